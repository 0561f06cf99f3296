#pragma once
// Turning the fax job into a fax service document and handing it to the fax service.
namespace sendmere::mSend {

// Fills the job's FaxDoc from the fax job. A failing step is logged as "msend.GenerateFax"
// and ends the filling: the document keeps what the earlier steps set.
void GenerateFax();

// A fresh document, filled and submitted to the shared fax server; then the body copy is
// removed. Failures of the submission itself go back to the caller.
void SubmitFax();

// Deletes the temporary body copy; a failure (a missing file included) is logged as
// "msend.RemovePreviewFile".
void RemovePreviewFile();

}  // namespace sendmere::mSend
