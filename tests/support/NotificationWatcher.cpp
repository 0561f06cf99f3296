#include "NotificationWatcher.h"

#include <QDBusError>

namespace sendmere::test {
namespace {
const QString Name = QStringLiteral("org.freedesktop.Notifications"), Connection = QStringLiteral("notification-watcher");
}  // namespace

uint NotificationService::Notify(const QString &appName, uint replacesId, const QString &icon, const QString &summary,
                                 const QString &body, const QStringList &actions, const QVariantMap &, int) {
    const QMutexLocker lock(&m_mutex);
    const uint id = replacesId != 0 && replacesId <= m_lastId ? replacesId : ++m_lastId;
    m_calls.append({appName, replacesId, icon, summary, body, actions, id});
    return id;
}

// Connected and registered on the service's thread, which the bus's objects for it belong to.
NotificationWatcher::NotificationWatcher() {
    m_service->moveToThread(&m_thread);
    QObject::connect(&m_thread, &QThread::finished, m_service, &QObject::deleteLater);
    m_thread.start();
    QString error;
    QMetaObject::invokeMethod(m_service, [&] {
            QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, Connection);
            m_claimed = bus.isConnected() &&
                        bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), m_service,
                                           QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals) &&
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

}  // namespace sendmere::test
