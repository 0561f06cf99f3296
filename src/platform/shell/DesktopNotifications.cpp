#include "platform/shell/DesktopNotifications.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QLoggingCategory>
#include <QVariantMap>

namespace sendmere::shell {
namespace {

Q_LOGGING_CATEGORY(notices, "sendmere.notifications")

// A notice that cannot be shown within this time is not worth holding the caller up for.
constexpr int CallTimeoutMs = 3000;

}  // namespace

const QString DesktopNotifications::ServiceName = QStringLiteral("org.freedesktop.Notifications");
const QString DesktopNotifications::ObjectPath = QStringLiteral("/org/freedesktop/Notifications");
const QString DesktopNotifications::Interface = QStringLiteral("org.freedesktop.Notifications");

DesktopNotifications::DesktopNotifications(const QDBusConnection &bus, QObject *parent) : QObject(parent), m_bus(bus) {
    if (!m_bus.isConnected()) return;
    m_bus.connect(ServiceName, ObjectPath, Interface, QStringLiteral("ActionInvoked"), this,
                  SLOT(onActionInvoked(uint, QString)));
    m_bus.connect(ServiceName, ObjectPath, Interface, QStringLiteral("NotificationClosed"), this, SLOT(onClosed(uint, uint)));
}

uint DesktopNotifications::notify(const Notice &notice, uint replacesId) {
    if (!m_bus.isConnected()) return 0;
    // Asking first keeps a bus without the service (and without its activation) from
    // answering every notice with an error; an activatable service is started by the call.
    QDBusConnectionInterface *bus = m_bus.interface();
    if (bus && !bus->isServiceRegistered(ServiceName) && !bus->activatableServiceNames().value().contains(ServiceName))
        return 0;
    QDBusMessage call = QDBusMessage::createMethodCall(ServiceName, ObjectPath, Interface, QStringLiteral("Notify"));
    const QVariantMap hints{{QStringLiteral("desktop-entry"), QStringLiteral("org.sendmere.Sendmere")}};
    call << QCoreApplication::applicationName() << replacesId << notice.icon << notice.summary << notice.body
         << notice.actions << hints << int(-1);
    const QDBusMessage reply = m_bus.call(call, QDBus::Block, CallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        qCInfo(notices, "notice \"%s\" not shown: %s", qUtf8Printable(notice.summary), qUtf8Printable(reply.errorMessage()));
        return 0;
    }
    return reply.arguments().constFirst().toUInt();
}

void DesktopNotifications::onActionInvoked(uint id, const QString &actionKey) { Q_EMIT actionInvoked(id, actionKey); }

void DesktopNotifications::onClosed(uint id, uint) { Q_EMIT closed(id); }

}  // namespace sendmere::shell
