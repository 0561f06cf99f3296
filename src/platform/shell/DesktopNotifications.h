#pragma once
// The desktop's notification service (org.freedesktop.Notifications on the session bus), as
// one small client: a notice goes up, may replace an earlier one, and may carry actions whose
// invocation comes back as a signal. Where no notification service runs, notices are dropped
// without a word: the desktop has no place to show them.
#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QStringList>

namespace sendmere::shell {

struct Notice {
    QString summary;
    QString body;
    // Pairs of action key and its label, as the protocol wants them.
    QStringList actions;
    QString icon = QStringLiteral("sendmere");  // the program's icon in the icon theme
};

class DesktopNotifications : public QObject {
    Q_OBJECT
public:
    static const QString ServiceName;
    static const QString ObjectPath;
    static const QString Interface;

    explicit DesktopNotifications(const QDBusConnection &bus = QDBusConnection::sessionBus(), QObject *parent = nullptr);

    // Shows notice, in place of the notice replacesId when that is not 0; the id the service
    // gave it, 0 when none runs or it refused.
    uint notify(const Notice &notice, uint replacesId = 0);

Q_SIGNALS:
    void actionInvoked(uint id, const QString &actionKey);
    void closed(uint id);

private Q_SLOTS:
    void onActionInvoked(uint id, const QString &actionKey);
    void onClosed(uint id, uint reason);

private:
    QDBusConnection m_bus;
};

}  // namespace sendmere::shell
