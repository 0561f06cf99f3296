#pragma once
// The faxes the fax service holds (outgoing queue, outgoing archive, incoming archive),
// counted and made into mail items. These end quietly at their first failure: a count
// then answers 0, an import loop stops and its caller goes on with the next source.
#include <QDateTime>

class QProgressBar;

namespace sendmere {

// Counts every queued job and archived message; newest becomes the latest of their times
// (a job's scheduled time, a message's transmission end), invalid when there are none.
// A count past 32767 is a failure.
qint16 CountFaxesForImport(QDateTime &newest);
qint16 CountOutgoingArchiveFaxes(QDateTime &newest);
qint16 CountIncomingArchiveFaxes(QDateTime &newest);

// Mirrors the queue's jobs (cancelled ones skipped), then both archives. With lastDay only
// faxes at most one calendar day before reference (an invalid reference is now) are
// mirrored. Every visited fax moves progress one step, never past its maximum.
void ImportFaxes(bool lastDay, QProgressBar *progress, QDateTime reference);
void ImportOutgoingArchiveFaxes(bool lastDay, QProgressBar *progress, QDateTime reference);
void ImportIncomingArchiveFaxes(bool lastDay, QProgressBar *progress, QDateTime reference);

// Whether a fax at time t falls within the last day before reference: at most one
// midnight lies between them (a time after the reference passes as well).
bool withinLastDay(const QDateTime &t, const QDateTime &reference);

}  // namespace sendmere
