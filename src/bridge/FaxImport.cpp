#include "bridge/FaxImport.h"

#include "bridge/FaxItems.h"
#include "platform/Failures.h"
#include "platform/fax/FaxClient.h"
#include "session/mCommon.h"

#include <QCoreApplication>
#include <QProgressBar>
#include <limits>

namespace sendmere {
namespace {

constexpr int PrefetchSize = 100;
constexpr int MaxCount = std::numeric_limits<qint16>::max();

AutomationError overflow() { return {6, QStringLiteral("Overflow")}; }

fax::FaxFolders serverFolders() {
    fax::FaxServer *server = mCommon::GetFaxServer();
    if (!server) throw AutomationError::objectNotSet();
    return server->Folders();
}

void raise(QDateTime &newest, const QDateTime &t) {
    if (t.isValid() && (!newest.isValid() || t > newest)) newest = t;
}

// Faxes that arrived after the count still go in; the bar stops at its end.
void step(QProgressBar *progress) {
    if (progress && progress->value() < progress->maximum()) progress->setValue(progress->value() + 1);
}

QDateTime orNow(const QDateTime &reference) {
    return reference.isValid() ? reference : QDateTime::currentDateTime();
}

qint16 countArchive(const fax::FaxArchive &archive, QDateTime &newest) {
    int count = 0;
    endSilently([&] {
        for (fax::FaxMessageIterator it = archive.GetMessages(PrefetchSize); !it.AtEOF(); it.MoveNext()) {
            if (++count > MaxCount) throw overflow();
            raise(newest, it.Message().TransmissionEnd());
        }
    });
    return count > MaxCount ? 0 : qint16(count);
}

template <typename Mirror>
void importArchive(const fax::FaxArchive &archive, bool lastDay, QProgressBar *progress,
                   const QDateTime &reference, Mirror mirror) {
    for (fax::FaxMessageIterator it = archive.GetMessages(PrefetchSize); !it.AtEOF();) {
        const fax::FaxMessage message = it.Message();
        QCoreApplication::processEvents();
        if (!lastDay || withinLastDay(message.TransmissionEnd(), reference)) mirror(message);
        QCoreApplication::processEvents();
        it.MoveNext();
        step(progress);
    }
}

}  // namespace

bool withinLastDay(const QDateTime &t, const QDateTime &reference) {
    return t.date().daysTo(reference.date()) <= 1;
}

qint16 CountFaxesForImport(QDateTime &newest) {
    newest = QDateTime();
    int count = 0;
    const bool read = endSilently([&] {
        const fax::FaxOutgoingJobs jobs = serverFolders().OutgoingQueue().GetJobs();
        for (int i = 1; i <= jobs.Count(); ++i) {
            if (++count > MaxCount) throw overflow();
            raise(newest, jobs.Item(i).ScheduledTime());
        }
        count += CountOutgoingArchiveFaxes(newest);
        count += CountIncomingArchiveFaxes(newest);
        if (count > MaxCount) throw overflow();
    });
    return read ? qint16(count) : 0;
}

qint16 CountOutgoingArchiveFaxes(QDateTime &newest) {
    qint16 count = 0;
    endSilently([&] { count = countArchive(serverFolders().OutgoingArchive(), newest); });
    return count;
}

qint16 CountIncomingArchiveFaxes(QDateTime &newest) {
    qint16 count = 0;
    endSilently([&] { count = countArchive(serverFolders().IncomingArchive(), newest); });
    return count;
}

void ImportFaxes(bool lastDay, QProgressBar *progress, QDateTime reference) {
    reference = orNow(reference);
    const bool queueRead = endSilently([&] {
        const fax::FaxOutgoingJobs jobs = serverFolders().OutgoingQueue().GetJobs();
        for (int i = 1; i <= jobs.Count(); ++i) {
            const fax::FaxOutgoingJob &job = jobs.Item(i);
            if (job.Status() != fax::StatusCancelled && job.Status() != fax::StatusCancelling) {
                QCoreApplication::processEvents();
                if (!lastDay || withinLastDay(job.ScheduledTime(), reference)) mSend::GenerateOutlookOutboxFax(job);
                QCoreApplication::processEvents();
            }
            step(progress);
        }
    });
    if (!queueRead) return;
    ImportOutgoingArchiveFaxes(lastDay, progress, reference);
    ImportIncomingArchiveFaxes(lastDay, progress, reference);
}

void ImportOutgoingArchiveFaxes(bool lastDay, QProgressBar *progress, QDateTime reference) {
    endSilently([&] {
        importArchive(serverFolders().OutgoingArchive(), lastDay, progress, orNow(reference),
                      [](const fax::FaxMessage &m) { mSend::GenerateOutlookSentFax(m); });
    });
}

void ImportIncomingArchiveFaxes(bool lastDay, QProgressBar *progress, QDateTime reference) {
    endSilently([&] {
        importArchive(serverFolders().IncomingArchive(), lastDay, progress, orNow(reference),
                      [](const fax::FaxMessage &m) { mSend::GenerateOutlookInboxFax(m); });
    });
}

}  // namespace sendmere
