#pragma once
// The desktop's notification service as a test runs it: it claims
// org.freedesktop.Notifications on the test's session bus, answers Notify as the protocol
// says (a new id, or the replaced notice's id) and records every call. It answers on a bus
// connection and a thread of its own, so that a test blocked in a wait of its own never holds
// up the program that notifies.
#include <QDBusConnection>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QStringList>
#include <QThread>
#include <QVariantMap>

namespace sendmere::test {

struct NotifyCall {
    QString appName;
    uint replacesId = 0;
    QString icon;
    QString summary;
    QString body;
    QStringList actions;
    uint id = 0;  // the id the service answered with
};

class NotificationService : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QList<NotifyCall> calls() const;

public Q_SLOTS:
    uint Notify(const QString &appName, uint replacesId, const QString &icon, const QString &summary,
                const QString &body, const QStringList &actions, const QVariantMap &hints, int expireTimeout);
    QStringList GetCapabilities() const;
    void CloseNotification(uint id);
    QString GetServerInformation(QString &vendor, QString &version, QString &protocolVersion) const;

Q_SIGNALS:
    void ActionInvoked(uint id, const QString &actionKey);
    void NotificationClosed(uint id, uint reason);

private:
    mutable QMutex m_mutex;
    QList<NotifyCall> m_calls;
    uint m_lastId = 0;
};

class NotificationWatcher {
public:
    // Claims the name; false (with a warning) when it cannot.
    NotificationWatcher();
    ~NotificationWatcher();
    NotificationWatcher(const NotificationWatcher &) = delete;
    NotificationWatcher &operator=(const NotificationWatcher &) = delete;

    bool claimed() const { return m_claimed; }
    QList<NotifyCall> calls() const { return m_service->calls(); }
    // The calls whose summary contains text.
    QList<NotifyCall> callsAbout(const QString &text) const;
    // The user chose action on the notice id.
    void invokeAction(uint id, const QString &action);
    // The user dismissed the notice id.
    void dismiss(uint id);

private:
    QThread m_thread;
    NotificationService *m_service;  // lives on m_thread; deleted when it ends
    QString m_connectionName;
    bool m_claimed = false;
};

}  // namespace sendmere::test
