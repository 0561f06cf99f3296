#pragma once
// Turning the fax job into a fax service document and handing it to the fax service.
namespace sendmere::mSend {

// Fills the job's FaxDoc from the fax job. A failing step is logged as "msend.GenerateFax"
// and ends the filling: the document keeps what the earlier steps set.
void GenerateFax();

// SubmitFax's first two steps: FaxDoc is a fresh document, filled by GenerateFax.
void PrepareFax();

// A fresh document, filled and submitted to the shared fax server; then the body copy is
// removed. Failures of the submission itself go back to the caller.
void SubmitFax();

// Renders a preview through the fax service: a new event sink waits for the job, the fax
// goes in as it would be sent, and the sink copies the job's image to PreviewFile, cancels
// the job and opens the image. Does nothing while a preview file exists. Failures are
// logged as "msend.PreviewFax".
void PreviewFax();

// Deletes the temporary body copy; a failure (a missing file included) is logged as
// "msend.RemovePreviewFile".
void RemovePreviewFile();

}  // namespace sendmere::mSend
