#pragma once
// A notification service on the test's bus, answering on a thread of its own so that a waiting
// test never blocks it.
#include <QDBusConnection>
#include <QMutex>
#include <QThread>
#include <QVariantMap>

namespace sendmere::test {

struct NotifyCall {
    QString appName;
    uint replacesId = 0;
    QString icon, summary, body;
    QStringList actions;
    uint id = 0;  // the id the service answered with
};

class NotificationService : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QList<NotifyCall> calls() const {
        const QMutexLocker lock(&m_mutex);
        return m_calls;
    }
public Q_SLOTS:
    uint Notify(const QString &appName, uint replacesId, const QString &icon, const QString &summary, const QString &body,
                const QStringList &actions, const QVariantMap &hints, int expireTimeout);
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
    NotificationWatcher();  // claims org.freedesktop.Notifications; claimed() says whether it could
    ~NotificationWatcher();
    bool claimed() const { return m_claimed; }
    QList<NotifyCall> calls() const { return m_service->calls(); }
    QList<NotifyCall> callsAbout(const QString &text) const {  // those whose summary contains text
        QList<NotifyCall> about = calls();
        about.removeIf([&](const NotifyCall &call) { return !call.summary.contains(text); });
        return about;
    }
    void invokeAction(uint id, const QString &action) {  // the user chose action on the notice id
        QMetaObject::invokeMethod(m_service, [service = m_service, id, action] { Q_EMIT service->ActionInvoked(id, action); });
    }
    void dismiss(uint id) {  // the user dismissed the notice id (reason 2)
        QMetaObject::invokeMethod(m_service, [service = m_service, id] { Q_EMIT service->NotificationClosed(id, 2); });
    }

private:
    QThread m_thread;
    NotificationService *m_service = new NotificationService;  // lives on m_thread; deleted when it ends
    bool m_claimed = false;
};

}  // namespace sendmere::test
