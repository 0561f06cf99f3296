#include "NotificationWatcher.h"

#include <QDBusConnectionInterface>
#include <QMetaObject>
#include <QMutexLocker>

namespace sendmere::test {
namespace {
const QString Name = QStringLiteral("org.freedesktop.Notifications");
const QString Path = QStringLiteral("/org/freedesktop/Notifications");
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

QStringList NotificationService::GetCapabilities() const { return {QStringLiteral("actions"), QStringLiteral("body")}; }

void NotificationService::CloseNotification(uint id) { Q_EMIT NotificationClosed(id, 3); }

QString NotificationService::GetServerInformation(QString &vendor, QString &version, QString &protocolVersion) const {
    vendor = QStringLiteral("test");
    version = QStringLiteral("1");
    protocolVersion = QStringLiteral("1.2");
    return QStringLiteral("notification watcher");
}

// The connection is made, and the service registered, on the service's own thread: the
// bus's objects for it belong to that thread.
NotificationWatcher::NotificationWatcher()
    : m_service(new NotificationService), m_connectionName(QStringLiteral("notification-watcher")) {
    m_service->moveToThread(&m_thread);
    QObject::connect(&m_thread, &QThread::finished, m_service, &QObject::deleteLater);
    m_thread.start();
    QString error;
    QMetaObject::invokeMethod(
        m_service,
        [&] {
            QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, m_connectionName);
            m_claimed = bus.isConnected() &&
                        bus.registerObject(Path, m_service, QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals) &&
                        bus.registerService(Name);
            error = bus.lastError().message();
        },
        Qt::BlockingQueuedConnection);
    if (!m_claimed) qWarning("the notification watcher cannot claim %s: %s", qPrintable(Name), qPrintable(error));
}

NotificationWatcher::~NotificationWatcher() {
    QMetaObject::invokeMethod(
        m_service,
        [this] {
            QDBusConnection bus(m_connectionName);
            bus.unregisterService(Name);
            bus.unregisterObject(Path);
            QDBusConnection::disconnectFromBus(m_connectionName);
        },
        Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
}

QList<NotifyCall> NotificationWatcher::callsAbout(const QString &text) const {
    QList<NotifyCall> about;
    for (const NotifyCall &call : calls())
        if (call.summary.contains(text)) about.append(call);
    return about;
}

void NotificationWatcher::invokeAction(uint id, const QString &action) {
    QMetaObject::invokeMethod(m_service, [service = m_service, id, action] { Q_EMIT service->ActionInvoked(id, action); },
                              Qt::QueuedConnection);
}

void NotificationWatcher::dismiss(uint id) {
    // Reason 2: dismissed by the user.
    QMetaObject::invokeMethod(m_service, [service = m_service, id] { Q_EMIT service->NotificationClosed(id, 2); },
                              Qt::QueuedConnection);
}

}  // namespace sendmere::test
