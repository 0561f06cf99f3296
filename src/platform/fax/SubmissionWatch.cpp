#include "SubmissionWatch.h"

#include "FaxBusApi.h"

#include <QDeadlineTimer>
#include <QDBusMessage>
#include <QUuid>
#include <algorithm>

namespace sendmere::fax {

namespace {

// The bus library tells nobody that its connection has ended (the end of a session): the
// waiting thread looks this often.
constexpr int ConnectionCheckMs = 100;

const QString BusService = QStringLiteral("org.freedesktop.DBus");
const QString BusPath = QStringLiteral("/org/freedesktop/DBus");

}  // namespace

// A connection of the watch's own: the program's shared connection hands out events only once
// the program's event loop has run, which a console waiting for its first submission never did.
QDBusConnection SubmissionWatch::ownConnection()
{
    return QDBusConnection::connectToBus(QDBusConnection::SessionBus,
                                         QStringLiteral("sendmere-submission-watch-") + QUuid::createUuid().toString(QUuid::Id128));
}

SubmissionWatch::SubmissionWatch() : m_bus(ownConnection())
{
    m_thread.setObjectName(QStringLiteral("SubmissionWatch"));
    m_thread.start();
    moveToThread(&m_thread);
    // The bus hands each event to the thread this object lives in. Matched on the service's
    // path and interface, as the event relay does, so that a restarted service is heard at once.
    m_bus.connect(QString(), faxbus::ObjectPath, faxbus::Interface, QStringLiteral("OutgoingJobAdded"), this, SLOT(jobAdded(QString)));
    m_bus.connect(QString(), faxbus::ObjectPath, faxbus::Interface, QStringLiteral("SubmissionProgress"), this,
                  SLOT(submissionProgress(QString,int,int)));
    m_bus.connect(QString(), faxbus::ObjectPath, faxbus::Interface, QStringLiteral("SubmissionFailed"), this,
                  SLOT(submissionFailed(QString,QString,QString)));
    m_bus.connect(BusService, BusPath, BusService, QStringLiteral("NameOwnerChanged"), {faxbus::ServiceName}, QString(), this,
                  SLOT(ownerChanged(QString,QString,QString)));
    // The bus takes a connection's messages in order: once it answers this call, it applies
    // the match rules above, before it sees the submission on the other connection.
    m_bus.call(QDBusMessage::createMethodCall(BusService, BusPath, BusService, QStringLiteral("GetId")));
}

SubmissionWatch::~SubmissionWatch()
{
    m_bus.disconnect(QString(), faxbus::ObjectPath, faxbus::Interface, QStringLiteral("OutgoingJobAdded"), this, SLOT(jobAdded(QString)));
    m_bus.disconnect(QString(), faxbus::ObjectPath, faxbus::Interface, QStringLiteral("SubmissionProgress"), this,
                     SLOT(submissionProgress(QString,int,int)));
    m_bus.disconnect(QString(), faxbus::ObjectPath, faxbus::Interface, QStringLiteral("SubmissionFailed"), this,
                     SLOT(submissionFailed(QString,QString,QString)));
    m_bus.disconnect(BusService, BusPath, BusService, QStringLiteral("NameOwnerChanged"), {faxbus::ServiceName}, QString(), this,
                     SLOT(ownerChanged(QString,QString,QString)));
    m_thread.quit();
    m_thread.wait();
    const QString name = m_bus.name();
    m_bus = QDBusConnection(QString());
    QDBusConnection::disconnectFromBus(name);
}

void SubmissionWatch::noteState(const QString &submissionId, const QVariantMap &state)
{
    const QString name = state.value(QStringLiteral("State")).toString();
    QMutexLocker lock(&m_mutex);
    if (name == QStringLiteral("queued")) {
        for (const QString &id : state.value(QStringLiteral("JobIds")).toStringList())
            m_added.insert(id);
    } else if (name == QStringLiteral("failed")) {
        m_failures.insert(submissionId, {state.value(QStringLiteral("ErrorName")).toString(), state.value(QStringLiteral("ErrorText")).toString()});
    } else {
        m_progress.insert(submissionId, {state.value(QStringLiteral("PagesDone")).toInt(), state.value(QStringLiteral("PagesTotal")).toInt()});
    }
    m_changed.wakeAll();
}

int SubmissionWatch::departures() const
{
    QMutexLocker lock(&m_mutex);
    return m_departures;
}

SubmissionWatch::Outcome SubmissionWatch::wait(const QString &submissionId, const QStringList &jobIds, int departuresBefore,
                                               int stallMs, const ProgressSink &progress, const std::function<bool()> &cancelRequested)
{
    QMutexLocker lock(&m_mutex);
    QDeadlineTimer stall(stallMs);
    quint64 seenEvents = m_events;
    Progress shown{-1, -1};
    while (true) {
        if (const auto failure = m_failures.constFind(submissionId); failure != m_failures.constEnd()) {
            m_errorName = failure->first;
            m_errorText = failure->second;
            return Outcome::Failed;
        }
        if (std::all_of(jobIds.begin(), jobIds.end(), [this](const QString &id) { return m_added.contains(id); }))
            return Outcome::Queued;
        if (cancelRequested && cancelRequested())
            return Outcome::CancelRequested;
        if (m_departures > departuresBefore)
            return Outcome::Vanished;
        if (m_events != seenEvents) {
            seenEvents = m_events;
            stall.setRemainingTime(stallMs);
        }
        const Progress now = m_progress.value(submissionId);
        if (progress && (now.done != shown.done || now.total != shown.total)) {
            shown = now;
            lock.unlock();  // the sink may take its time; events go on arriving meanwhile
            progress(now.done, now.total);
            lock.relock();
            continue;
        }
        if (stall.hasExpired())
            return Outcome::Stalled;
        if (!m_bus.isConnected())
            return Outcome::BusGone;
        m_changed.wait(&m_mutex, static_cast<unsigned long>(std::clamp<qint64>(stall.remainingTime(), 0, ConnectionCheckMs)));
    }
}

QString SubmissionWatch::errorName() const
{
    QMutexLocker lock(&m_mutex);
    return m_errorName;
}

QString SubmissionWatch::errorText() const
{
    QMutexLocker lock(&m_mutex);
    return m_errorText;
}

void SubmissionWatch::jobAdded(const QString &id)
{
    QMutexLocker lock(&m_mutex);
    m_added.insert(id);
    ++m_events;
    m_changed.wakeAll();
}

void SubmissionWatch::submissionProgress(const QString &submissionId, int pagesDone, int pagesTotal)
{
    QMutexLocker lock(&m_mutex);
    m_progress.insert(submissionId, {pagesDone, pagesTotal});
    ++m_events;
    m_changed.wakeAll();
}

void SubmissionWatch::submissionFailed(const QString &submissionId, const QString &errorName, const QString &text)
{
    QMutexLocker lock(&m_mutex);
    m_failures.insert(submissionId, {errorName, text});
    ++m_events;
    m_changed.wakeAll();
}

void SubmissionWatch::ownerChanged(const QString &, const QString &oldOwner, const QString &)
{
    if (oldOwner.isEmpty())
        return;  // the service came up; leaving is what counts
    QMutexLocker lock(&m_mutex);
    ++m_departures;
    m_changed.wakeAll();
}

}  // namespace sendmere::fax
