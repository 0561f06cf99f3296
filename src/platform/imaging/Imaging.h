#pragma once
// The imaging component: scanners and cameras.

namespace sendmere::imaging {

// True when the imaging component can be created on this machine.
bool IsScanAvailable();

}  // namespace sendmere::imaging
