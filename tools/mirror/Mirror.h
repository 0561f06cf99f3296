#pragma once
// The mail side of a user's session: while the user is logged in, the fax service's traffic
// reaches the mail folders as it happens. A queued fax gets its Outbox item, a sent one its
// Sent Items item (its Outbox item goes with the job), a received one its Inbox item, and a
// fax taken out of the service loses its item. When the service (re)appears, what happened
// meanwhile is caught up the way the import does it (the "FaxID" rule keeps one item per
// fax), and Outbox items of jobs that left the queue meanwhile go.
//
// The service ends by itself after some idle minutes and is started again by whoever needs
// it next. The mirror follows it rather than keeping it up: it starts it once at its own
// start, to catch up, and afterwards calls it only while it runs, polling the queue only
// while the queue has work (which keeps the service up anyway).
#include <QDBusServiceWatcher>
#include <QObject>
#include <QString>
#include <QTimer>
#include <deque>
#include <memory>
#include <optional>

namespace sendmere {

namespace fax { class FaxServer; }
class COwnFaxEventer;

class Mirror : public QObject {
    Q_OBJECT
public:
    explicit Mirror(QObject *parent = nullptr);
    ~Mirror() override;
    Mirror(const Mirror &) = delete;
    Mirror &operator=(const Mirror &) = delete;

    // The name that makes the mirror one per user on the session bus.
    static const QString BusName;
    // Claims BusName; the reason when another mirror holds it or there is no session bus.
    static std::optional<QString> claimInstance();

    // Prepares the process (temporary directory, mail store) and follows the fax service
    // from now on.
    void start();

    bool following() const { return m_serviceUp; }
    // The connection whose events the mirror handles; empty until the service was reached.
    // Other session work (notifications) may listen on it too.
    fax::FaxServer *eventServer() const { return m_events.get(); }

    static constexpr int PollIntervalMs = 1000;

Q_SIGNALS:
    // The service is followed again and all it holds is mirrored.
    void caughtUp();
    // A received fax was handed to the Inbox member; a sent one to the Sent Items member.
    void faxReceived(const QString &messageId);
    void faxSent(const QString &messageId);
    // A queued fax changed its status, as the service announced it.
    void outgoingJobChanged(const QString &jobId, int status);
    void serviceLost();

private:
    enum class Work { CatchUp, OutboxAdded, OutboxRemoved, SentAdded, SentRemoved, InboxAdded, InboxRemoved };
    struct Task {
        Work work;
        QString id;
        bool operator==(const Task &) const = default;
    };

    void follow();
    void lose();
    void enqueue(Work work, const QString &id = {});
    void scheduleDrain();
    void drain();
    void returnFreedMemory();
    void writeWaitingItems();
    void perform(const Task &task);
    void sweepOutbox();
    void poll();
    bool queueHasWork() const;
    void watchSessionBus();

    QDBusServiceWatcher m_watcher;
    std::unique_ptr<fax::FaxServer> m_events;
    std::unique_ptr<COwnFaxEventer> m_eventer;
    QTimer m_poll;
    QTimer m_busCheck;
    QTimer m_idle;  // since the last task: the memory the work freed goes back to the system
    QTimer m_waitingItems;  // items kept while the mail server was away are tried again
    std::deque<Task> m_pending;
    bool m_serviceUp = false;
    bool m_drainScheduled = false;
    bool m_working = false;  // a task or a poll runs; what arrives meanwhile waits its turn
};

}  // namespace sendmere
