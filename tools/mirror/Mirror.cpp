#include "Mirror.h"

#include "FaxBusApi.h"
#include "bridge/COwnFaxEventer.h"
#include "bridge/FaxImport.h"
#include "bridge/FaxItems.h"
#include "job/SenderInfo.h"
#include "platform/Failures.h"
#include "platform/fax/FaxClient.h"
#include "platform/mail/MailClient.h"
#include "session/mCommon.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusReply>
#include <QSet>
#include <algorithm>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace sendmere {
namespace {

// The outgoing queue and archive, as the program's event sink hears them, the incoming
// archive for received faxes, and the service's own end.
constexpr int MirrorEvents = fax::EventsOutgoingQueue | fax::EventsOutgoingArchive | fax::EventsIncomingArchive |
                             fax::EventsServiceEnded;
constexpr int BusCheckMs = 2000;
constexpr int IdleMs = 3000;
// The mail store tries an away server again no sooner than this after losing it.
constexpr int WaitingItemsRetryMs = 5000;

QString label(const char *procedure) { return QStringLiteral("Mirror.") + QLatin1String(procedure); }

bool isActive(int status) {
    // The statuses for which the service itself stays up: while it has them, polling costs
    // the user nothing.
    return status == fax::StatusPending || status == fax::StatusInProgress || status == fax::StatusRetrying;
}

}  // namespace

const QString Mirror::BusName = QStringLiteral("org.sendmere.Mirror");

std::optional<QString> Mirror::claimInstance() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return QStringLiteral("no session bus: %1").arg(bus.lastError().message());
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply = bus.interface()->registerService(
        BusName, QDBusConnectionInterface::DontQueueService, QDBusConnectionInterface::DontAllowReplacement);
    if (!reply.isValid()) return QStringLiteral("cannot own %1: %2").arg(BusName, reply.error().message());
    if (reply.value() != QDBusConnectionInterface::ServiceRegistered)
        return QStringLiteral("another sendmere-mirror already runs in this session (it owns %1)").arg(BusName);
    return std::nullopt;
}

Mirror::Mirror(QObject *parent) : QObject(parent) {
    m_poll.setInterval(PollIntervalMs);
    connect(&m_poll, &QTimer::timeout, this, &Mirror::poll);
    m_idle.setSingleShot(true);
    m_idle.setInterval(IdleMs);
    connect(&m_idle, &QTimer::timeout, this, &Mirror::returnFreedMemory);
    m_waitingItems.setSingleShot(true);
    m_waitingItems.setInterval(WaitingItemsRetryMs);
    connect(&m_waitingItems, &QTimer::timeout, this, &Mirror::writeWaitingItems);
    m_watcher.setConnection(QDBusConnection::sessionBus());
    m_watcher.setWatchMode(QDBusServiceWatcher::WatchForRegistration | QDBusServiceWatcher::WatchForUnregistration);
    m_watcher.addWatchedService(faxbus::ServiceName);
    connect(&m_watcher, &QDBusServiceWatcher::serviceRegistered, this, &Mirror::follow);
    connect(&m_watcher, &QDBusServiceWatcher::serviceUnregistered, this, &Mirror::lose);
}

Mirror::~Mirror() {
    m_poll.stop();
    m_eventer.reset();
    if (m_events) endSilently([this] { m_events->ListenToServerEvents(fax::EventsNone); });
}

void Mirror::start() {
    // The fax images are copied into the temporary directory; the mail store opens here.
    mCommon::Start(false);
    watchSessionBus();
    // Once at the start, the service is started if need be: what happened while the mirror
    // was not running is caught up now, and the service ends again when it is idle.
    follow();
}

// The session ends with its bus: so does the mirror.
void Mirror::watchSessionBus() {
    m_busCheck.setInterval(BusCheckMs);
    connect(&m_busCheck, &QTimer::timeout, this, [] {
        if (!QDBusConnection::sessionBus().isConnected()) QCoreApplication::exit(0);
    });
    m_busCheck.start();
}

void Mirror::follow() {
    if (m_serviceUp) return;  // already followed: the name's appearance after our own start
    const bool reached = logFailures(label("follow"), [this] {
        if (!m_events) {
            auto server = std::make_unique<fax::FaxServer>();
            connect(server.get(), &fax::FaxServer::OnOutgoingJobAdded, this, [this](fax::FaxServer *, const QString &id) {
                enqueue(Work::OutboxAdded, id);
                if (!m_poll.isActive() && m_serviceUp) m_poll.start();
            });
            connect(server.get(), &fax::FaxServer::OnOutgoingJobChanged, this, [this](fax::FaxServer *, const QString &id, int status) {
                if (isActive(status) && !m_poll.isActive() && m_serviceUp) m_poll.start();
                Q_EMIT outgoingJobChanged(id, status);
            });
            connect(server.get(), &fax::FaxServer::OnOutgoingJobRemoved, this,
                    [this](fax::FaxServer *, const QString &id) { enqueue(Work::OutboxRemoved, id); });
            connect(server.get(), &fax::FaxServer::OnOutgoingMessageAdded, this,
                    [this](fax::FaxServer *, const QString &id) { enqueue(Work::SentAdded, id); });
            connect(server.get(), &fax::FaxServer::OnOutgoingMessageRemoved, this,
                    [this](fax::FaxServer *, const QString &id) { enqueue(Work::SentRemoved, id); });
            connect(server.get(), &fax::FaxServer::OnIncomingMessageAdded, this,
                    [this](fax::FaxServer *, const QString &id) { enqueue(Work::InboxAdded, id); });
            connect(server.get(), &fax::FaxServer::OnIncomingMessageRemoved, this,
                    [this](fax::FaxServer *, const QString &id) { enqueue(Work::InboxRemoved, id); });
            connect(server.get(), &fax::FaxServer::OnServerShutDown, this, &Mirror::lose);
            server->Connect(QString());
            server->ListenToServerEvents(MirrorEvents);
            m_events = std::move(server);
        }
        // The shared connection the poller and the catch-up use; one whose first attempt
        // failed (no service yet) is connected now.
        fax::FaxServer *shared = mCommon::GetFaxServer();
        if (!shared) throw AutomationError::objectNotSet();
        if (!shared->isConnected()) shared->Connect(QString());
    });
    if (!reached) return;  // the service's name appearing later calls this again
    m_serviceUp = true;
    // Subscribed first, then caught up: nothing falls between the two.
    m_eventer = std::make_unique<COwnFaxEventer>();
    enqueue(Work::CatchUp);
    m_poll.start();
}

void Mirror::lose() {
    if (!m_serviceUp) return;
    m_serviceUp = false;
    m_poll.stop();
    m_eventer.reset();
    Q_EMIT serviceLost();
}

void Mirror::enqueue(Work work, const QString &id) {
    const Task task{work, id};
    // A job that has left the queue before its Outbox item was made needs none: on a busy
    // line that is most jobs. The removal still runs, for an item made another way.
    if (work == Work::OutboxRemoved) {
        const auto added = std::find(m_pending.begin(), m_pending.end(), Task{Work::OutboxAdded, id});
        if (added != m_pending.end()) m_pending.erase(added);
    }
    if (std::find(m_pending.begin(), m_pending.end(), task) == m_pending.end()) m_pending.push_back(task);
    scheduleDrain();
}

// One drain waits in the event queue at a time: while a burst of faxes keeps the mirror
// busy, each of their events would otherwise queue one more that finds nothing to do.
void Mirror::scheduleDrain() {
    if (m_working || m_drainScheduled) return;
    m_drainScheduled = true;
    QTimer::singleShot(0, this, [this] {
        m_drainScheduled = false;
        drain();
    });
}

// One task after another, never one inside another: the catch-up lets events run while it
// works, and those wait here until it is done.
void Mirror::drain() {
    if (m_working) return;
    m_working = true;
    while (!m_pending.empty()) {
        const Task task = m_pending.front();
        m_pending.pop_front();
        perform(task);
    }
    m_working = false;
    m_idle.start();
    if (!m_waitingItems.isActive()) m_waitingItems.start();
}

// Items the mail store kept while its server was away are written once the server is back,
// without waiting for the next fax to reach the store again; tried until none waits.
void Mirror::writeWaitingItems() {
    if (m_working) {
        m_waitingItems.start();
        return;
    }
    int waiting = 0;
    logFailures(label("writeWaitingItems"), [&] { waiting = mail::writePendingItems(); });
    if (waiting > 0) m_waitingItems.start();
}

// The fax service's replies and events are read on the bus's own thread, so their memory
// comes from that thread's heap, where the strings kept of them (ids in the mail store's
// index) stay scattered among the space the work freed. The allocator keeps that space
// mapped; once a burst of work is over it is handed back, so that the mirror's resident
// size follows what it really holds.
void Mirror::returnFreedMemory() {
#if defined(__GLIBC__)
    ::malloc_trim(0);
#endif
}

void Mirror::perform(const Task &task) {
    // The items name the user as their sender: as the user's sender information says now.
    GetSenderInfo();
    const bool needsService = task.work == Work::CatchUp || task.work == Work::OutboxAdded ||
                              task.work == Work::SentAdded || task.work == Work::InboxAdded;
    // Calling an absent service would start it again; the next catch-up covers these.
    if (needsService && !m_serviceUp) return;
    switch (task.work) {
    case Work::CatchUp:
        ImportFaxes(false, nullptr, QDateTime());
        sweepOutbox();
        Q_EMIT caughtUp();
        break;
    case Work::OutboxAdded:
        logFailures(label("OnOutgoingJobAdded"), [&] {
            mSend::GenerateOutlookOutboxFax(m_events->Folders().OutgoingQueue().GetJob(task.id));
        });
        break;
    case Work::OutboxRemoved:
        logFailures(label("OnOutgoingJobRemoved"), [&] { mSend::RemovedOutlookFax(task.id, mail::FolderOutbox); });
        break;
    case Work::SentAdded:
        logFailures(label("OnOutgoingMessageAdded"), [&] {
            mSend::GenerateOutlookSentFax(m_events->Folders().OutgoingArchive().GetMessage(task.id));
        });
        Q_EMIT faxSent(task.id);
        break;
    case Work::SentRemoved:
        logFailures(label("OnOutgoingMessageRemoved"), [&] { mSend::RemovedOutlookFax(task.id, mail::FolderSentItems); });
        break;
    case Work::InboxAdded:
        logFailures(label("OnIncomingMessageAdded"), [&] {
            mSend::GenerateOutlookInboxFax(m_events->Folders().IncomingArchive().GetMessage(task.id));
        });
        Q_EMIT faxReceived(task.id);
        break;
    case Work::InboxRemoved:
        logFailures(label("OnIncomingMessageRemoved"), [&] { mSend::RemovedOutlookFax(task.id, mail::FolderInbox); });
        break;
    }
}

// The import adds what is missing; a job that left the queue while no mirror ran still has
// its Outbox item. The items are read before the queue, so that a job queued in between is
// never taken for one that has gone.
void Mirror::sweepOutbox() {
    logFailures(label("sweepOutbox"), [] {
        mail::MailNamespace *ns = mCommon::GetMailNamespace();
        if (!ns) throw AutomationError::objectNotSet();
        QStringList mirrored;
        const std::unique_ptr<mail::MailItems> items = ns->GetDefaultFolder(mail::FolderOutbox)->Items();
        for (int i = 1, n = items->count(); i <= n; ++i) {
            const QString id = items->Item(i)->userProperty(QStringLiteral("FaxID")).toString();
            if (!id.isEmpty()) mirrored << id;
        }
        if (mirrored.isEmpty()) return;
        QSet<QString> queued;
        const fax::FaxOutgoingJobs jobs = mCommon::GetFaxServer()->Folders().OutgoingQueue().GetJobs();
        for (int i = 1; i <= jobs.Count(); ++i) queued.insert(jobs.Item(i).Id());
        for (const QString &id : mirrored)
            if (!queued.contains(id)) mSend::RemovedOutlookFax(id, mail::FolderOutbox);
    });
}

// The poll finds the jobs that left the queue, as the program's own eventer does. It runs
// only while the queue has work: with nothing to do the service may end when it is idle,
// and a job that is added or starts again brings the poll back.
void Mirror::poll() {
    if (m_working) return;  // the tick after the task
    if (!m_serviceUp || !m_eventer) {
        m_poll.stop();
        return;
    }
    m_working = true;
    m_eventer->RaiseFaxEvent();
    const bool busy = queueHasWork();
    m_working = false;
    if (!busy) m_poll.stop();
    if (!m_pending.empty()) drain();
}

bool Mirror::queueHasWork() const {
    bool busy = true;  // a queue that cannot be read is looked at again next time
    endSilently([&] {
        const fax::FaxOutgoingJobs jobs = mCommon::GetFaxServer()->Folders().OutgoingQueue().GetJobs();
        busy = false;
        for (int i = 1; i <= jobs.Count() && !busy; ++i) busy = isActive(jobs.Item(i).Status());
    });
    return busy;
}

}  // namespace sendmere
