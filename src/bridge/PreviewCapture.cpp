#include "bridge/PreviewCapture.h"

#include "bridge/CEvent.h"
#include "job/FaxJob.h"
#include "platform/fax/FaxClient.h"
#include "session/mCommon.h"

namespace sendmere {
namespace {

// The event sink and the poller both hear of a new job; the one that comes second, while
// the first still shows the preview, finds the image already taken.
bool alreadyCaptured(const QString &id) {
    const QString &file = faxJob().PreviewFile;
    return !file.isEmpty() && file == previewFileName(id) && FileExists(file);
}

}  // namespace

QString previewFileName(const QString &id) {
    return mCommon::GetTempDir() + QStringLiteral("fax") + id + QStringLiteral(".tiff");
}

void capturePreviewJob(fax::FaxServer &server, const QString &jobId) {
    if (alreadyCaptured(jobId)) return;
    CEvent preview;
    faxJob().PreviewFile = previewFileName(jobId);
    server.Folders().OutgoingQueue().GetJob(jobId).CopyTiff(faxJob().PreviewFile);
    server.Folders().OutgoingQueue().GetJob(jobId).Cancel();
    preview.previewFax();
}

void capturePreviewMessage(fax::FaxServer &server, const QString &messageId) {
    if (alreadyCaptured(messageId)) return;
    CEvent preview;
    faxJob().PreviewFile = previewFileName(messageId);
    server.Folders().OutgoingArchive().GetMessage(messageId).CopyTiff(faxJob().PreviewFile);
    server.Folders().OutgoingArchive().GetMessage(messageId).Delete();
    preview.previewFax();
}

}  // namespace sendmere
