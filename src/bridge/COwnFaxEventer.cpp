#include "bridge/COwnFaxEventer.h"

#include "bridge/FaxItems.h"
#include "bridge/PreviewCapture.h"
#include "job/FaxJob.h"
#include "platform/Failures.h"
#include "platform/fax/FaxClient.h"
#include "platform/mail/MailClient.h"
#include "session/mCommon.h"

namespace sendmere {

void KnownJobList::add(const QString &id, int position) {
    m_index.insert(id, m_entries.size());
    m_entries.emplace_back(id, position);
}

void KnownJobList::markAllUnseen() {
    for (auto &entry : m_entries) entry.second = -1;
}

QStringList KnownJobList::takeUnseen() {
    QStringList gone;
    std::vector<std::pair<QString, int>> kept;
    kept.reserve(m_entries.size());
    for (auto &entry : m_entries) {
        if (entry.second == -1)
            gone.append(entry.first);
        else
            kept.push_back(std::move(entry));
    }
    m_entries = std::move(kept);
    if (gone.isEmpty()) return gone;
    m_index.clear();
    for (size_t i = 0; i < m_entries.size(); ++i) m_index.insert(m_entries[i].first, i);
    return gone;
}

QStringList KnownJobList::ids() const {
    QStringList list;
    for (const auto &entry : m_entries) list.append(entry.first);
    return list;
}

COwnFaxEventer::COwnFaxEventer() : EventServer(mCommon::GetFaxServer()) {
    endSilently([this] { QueueFolders = EventServer->Folders(); });
    SnapshotOutgoingQueue();
}

COwnFaxEventer::~COwnFaxEventer() = default;

// The shared server goes when the program's connections are released; the next one is
// taken then.
fax::FaxServer &COwnFaxEventer::server() {
    if (!EventServer) EventServer = mCommon::GetFaxServer();
    if (!EventServer) throw AutomationError::objectNotSet();
    return *EventServer;
}

const fax::FaxFolders &COwnFaxEventer::folders() {
    if (!QueueFolders) QueueFolders = server().Folders();
    return *QueueFolders;
}

void COwnFaxEventer::SnapshotOutgoingQueue() {
    KnownJobs = KnownJobList();
    endSilently([this] {
        const fax::FaxOutgoingJobs jobs = folders().OutgoingQueue().GetJobs();
        for (int i = 1; i <= jobs.Count(); ++i) KnownJobs.add(jobs.Item(i).Id(), i);
    });
}

bool COwnFaxEventer::RaiseFaxEvent() {
    // A handler that lets window messages run may let the timer tick again; that tick is
    // skipped, so that two polls never work on KnownJobs at once.
    if (m_polling) return false;
    m_polling = true;
    const bool done = logFailures(QStringLiteral("mEventer.RaiseFaxEventer"), [this] {
        fax::FaxServer &eventServer = server();
        const fax::FaxOutgoingJobs jobs = folders().OutgoingQueue().GetJobs();
        KnownJobs.markAllUnseen();
        for (int i = 1; i <= jobs.Count(); ++i) {
            const QString id = jobs.Item(i).Id();
            if (KnownJobs.contains(id)) {
                KnownJobs.setPosition(id, i);
            } else {
                OnOutgoingJobAdded(eventServer, id);
                KnownJobs.add(id, i);
            }
        }
        for (const QString &id : KnownJobs.takeUnseen()) OnOutgoingJobRemoved(eventServer, id);
    });
    m_polling = false;
    return done;
}

void COwnFaxEventer::OnOutgoingJobAdded(fax::FaxServer &eventServer, const QString &jobId) {
    logFailures(QStringLiteral("mEventer.OnOutgoingJobAdded"), [&] {
        if (faxJob().PreviewMode != VbFalse) {
            capturePreviewJob(eventServer, jobId);
            return;
        }
        mSend::GenerateOutlookOutboxFax(eventServer.Folders().OutgoingQueue().GetJob(jobId));
    });
}

void COwnFaxEventer::OnOutgoingJobRemoved(fax::FaxServer &, const QString &jobId) {
    logFailures(QStringLiteral("mEventer.OnOutgoingJobRemoved"), [&] {
        if (faxJob().PreviewMode == VbFalse) mSend::RemovedOutlookFax(jobId, mail::FolderOutbox);
    });
}

}  // namespace sendmere
