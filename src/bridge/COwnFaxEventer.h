#pragma once
// Outgoing-queue events of the program's own making: every poll compares the queue with
// the jobs seen before and reports the jobs that appeared and the jobs that have gone. The
// fax service's own events tell the event sink of new jobs but not of jobs leaving.
#include "platform/fax/FaxClient.h"

#include <QHash>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <optional>
#include <utility>
#include <vector>

namespace sendmere {

// Job ids in the order they were first seen, each with its position in the latest poll;
// a poll marks them all unseen (-1) before it looks at the queue.
class KnownJobList {
public:
    bool contains(const QString &id) const { return m_index.contains(id); }
    void setPosition(const QString &id, int position) { m_entries[m_index.value(id)].second = position; }
    void add(const QString &id, int position);
    void markAllUnseen();
    int count() const { return int(m_entries.size()); }
    // Removes the entries still unseen and returns their ids, in their order.
    QStringList takeUnseen();
    QStringList ids() const;

private:
    std::vector<std::pair<QString, int>> m_entries;
    QHash<QString, size_t> m_index;
};

class COwnFaxEventer {
public:
    // Takes the shared fax server and records the jobs queued now; they raise no event.
    COwnFaxEventer();
    ~COwnFaxEventer();
    COwnFaxEventer(const COwnFaxEventer &) = delete;
    COwnFaxEventer &operator=(const COwnFaxEventer &) = delete;

    // One poll. A failure ends it, is logged as "mEventer.RaiseFaxEventer", and the next poll
    // starts afresh; a poll that did not read the queue reports nothing as gone.
    bool RaiseFaxEvent();

    const KnownJobList &knownJobs() const { return KnownJobs; }

private:
    void SnapshotOutgoingQueue();
    void OnOutgoingJobAdded(fax::FaxServer &server, const QString &jobId);
    void OnOutgoingJobRemoved(fax::FaxServer &server, const QString &jobId);
    fax::FaxServer &server();
    const fax::FaxFolders &folders();

    QPointer<fax::FaxServer> EventServer;
    std::optional<fax::FaxFolders> QueueFolders;
    KnownJobList KnownJobs;
    bool m_polling = false;
};

}  // namespace sendmere
