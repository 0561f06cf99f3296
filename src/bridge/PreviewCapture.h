#pragma once
// The preview's side of the fax event handlers: while preview mode is set, the next outgoing
// job (or archived outgoing message) is the preview the fax service rendered. Its image is
// copied first and the job cancelled (the message deleted) second, so it is never sent.
// Each raises its failure to the handler, which logs it under its own name.
#include <QString>

namespace sendmere {
namespace fax { class FaxServer; }

// The preview image of a job or message: the temporary directory, "fax", the id, ".tiff".
QString previewFileName(const QString &id);

void capturePreviewJob(fax::FaxServer &server, const QString &jobId);
void capturePreviewMessage(fax::FaxServer &server, const QString &messageId);

}  // namespace sendmere
