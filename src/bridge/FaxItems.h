#pragma once
// Mail items that mirror the fax service's faxes: a received fax in the Inbox, a queued
// outgoing job in the Outbox, an archived outgoing message in Sent Items. Each item carries
// the fax's id in its "FaxID" user property, which the duplicate check and the removal match
// on. None of these reports a failure to its caller: failures are logged under "msend.*".
#include <QString>

namespace sendmere::fax {
class FaxOutgoingJob;
class FaxMessage;
}  // namespace sendmere::fax

namespace sendmere::mSend {

void GenerateOutlookInboxFax(const fax::FaxMessage &message);
void GenerateOutlookOutboxFax(const fax::FaxOutgoingJob &job);
void GenerateOutlookSentFax(const fax::FaxMessage &message);
// Deletes the item of the given default folder whose "FaxID" is id.
void RemovedOutlookFax(const QString &id, short defaultFolder);

// Where an item's copy of the fax image goes: tempDir + the fax's CSID + ".tiff". The CSID
// comes from the remote fax machine, so what could name another folder is replaced: path
// separators, "..", control characters; an overlong one is cut. The copy stays in tempDir.
QString faxImageCopyPath(const QString &tempDir, const QString &csid);

}  // namespace sendmere::mSend
