#include "NotificationWatcher.h"

#include <QMutexLocker>

namespace sendmere::test {
namespace {
const QString Name = QStringLiteral("org.freedesktop.Notifications"), Path = QStringLiteral("/org/freedesktop/Notifications"),
              Connection = QStringLiteral("notification-watcher");
}  // namespace

QList<NotifyCall> NotificationService::calls() const {
    const QMutexLocker lock(&m_mutex);
    return m_calls;
}

uint NotificationService::Notify(const QString &appName, uint replacesId, const QString &icon, const QString &summary,
                                 const QString &body, const QStringList &actions, const QVariantMap &, int) {
    const QMutexLocker lock(&m_mutex);
    const uint id = replacesId != 0 && replacesId <= m_lastId ? replacesId : ++m_lastId;
    m_calls.append({appName, replacesId, icon, summary, body, actions, id});
    return id;
}

// Connected and registered on the service's thread, which the bus's objects for it belong to.
NotificationWatcher::NotificationWatcher() : m_service(new NotificationService) {
    m_service->moveToThread(&m_thread);
    QObject::connect(&m_thread, &QThread::finished, m_service, &QObject::deleteLater);
    m_thread.start();
    QString error;
    QMetaObject::invokeMethod(m_service, [&] {
            QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, Connection);
            m_claimed = bus.isConnected() && bus.registerObject(Path, m_service, QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals) &&
                        bus.registerService(Name);
            error = bus.lastError().message();
        }, Qt::BlockingQueuedConnection);
    if (!m_claimed) qWarning("the notification watcher cannot claim %s: %s", qPrintable(Name), qPrintable(error));
}

NotificationWatcher::~NotificationWatcher() {
    QMetaObject::invokeMethod(m_service, [] {
            QDBusConnection(Connection).unregisterService(Name);
            QDBusConnection::disconnectFromBus(Connection);
        }, Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
}

QList<NotifyCall> NotificationWatcher::callsAbout(const QString &text) const {
    QList<NotifyCall> about = calls();
    about.removeIf([&](const NotifyCall &call) { return !call.summary.contains(text); });
    return about;
}

void NotificationWatcher::invokeAction(uint id, const QString &action) {
    QMetaObject::invokeMethod(m_service, [service = m_service, id, action] { Q_EMIT service->ActionInvoked(id, action); }, Qt::QueuedConnection);
}

void NotificationWatcher::dismiss(uint id) {  // reason 2: dismissed by the user
    QMetaObject::invokeMethod(m_service, [service = m_service, id] { Q_EMIT service->NotificationClosed(id, 2); }, Qt::QueuedConnection);
}

}  // namespace sendmere::test
