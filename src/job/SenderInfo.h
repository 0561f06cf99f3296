#pragma once
// The sender's details live where the fax service keeps the current user's sender
// information, so that the program and the fax service's own tools show the same data.

namespace sendmere {

void GetSenderInfo();  // registry -> the sender fields of the fax job
void SetSenderInfo();  // the sender fields of the fax job -> registry

}  // namespace sendmere
