#pragma once
// The D-Bus plumbing that one connected FaxServer and the objects it hands out share: calls
// with bounded timeouts, the start of the service when its name has no owner, and the relay
// of the service's signals to the server's Qt signals.
#include "platform/AutomationError.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QPointer>
#include <QVariantList>
#include <functional>
#include <memory>

namespace sendmere::fax {

class FaxServer;

constexpr int DefaultCallTimeoutMs = 5000;
constexpr int RenderCallTimeoutMs = 120000;  // a ring answers once its document is rendered
// A submission is answered once its body is copied into the spool, whatever its size.
constexpr int SubmitCallTimeoutMs = 30000;
// While the service renders a submission, this long without any sign of progress means it
// is stuck.
constexpr int SubmitStallMs = 30000;
constexpr int MaxResubmissions = 2;  // after the service ended in the middle of a submission

// Receives the service's signals and re-emits those that the event-set mask selects.
class FaxEventRelay : public QObject {
    Q_OBJECT
public:
    FaxEventRelay(QDBusConnection bus, FaxServer *server);
    ~FaxEventRelay() override;
    void setMask(int mask) { m_mask = mask; }

private Q_SLOTS:
    void outgoingJobAdded(const QString &id);
    void outgoingJobRemoved(const QString &id);
    void outgoingJobChanged(const QString &id, int status);
    void outgoingMessageAdded(const QString &id);
    void outgoingMessageRemoved(const QString &id);
    void incomingJobAdded(const QString &id);
    void incomingJobRemoved(const QString &id);
    void incomingMessageAdded(const QString &id);
    void incomingMessageRemoved(const QString &id);
    void incomingCall(int deviceId, const QString &callerId);
    void serverShutDown();

private:
    bool wants(int bit) const { return (m_mask & bit) != 0 && m_server; }
    QDBusConnection m_bus;
    QPointer<FaxServer> m_server;
    int m_mask = 0;
};

class FaxConnection {
public:
    FaxConnection();  // raises 462 when there is no session bus
    ~FaxConnection();
    FaxConnection(const FaxConnection &) = delete;
    FaxConnection &operator=(const FaxConnection &) = delete;

    // Calls a method of the service; a failure raises AutomationError with the service's text.
    QDBusMessage call(const QString &method, const QVariantList &args = {}, int timeoutMs = DefaultCallTimeoutMs);
    // Starts the service when its bus name has no owner: bus activation first, then the
    // daemon executable; raises 462 when it does not appear within a few seconds.
    void ensureService();

    void listen(FaxServer *server, int mask);  // mask 0 stops the events
    void stopListening();

private:
    QDBusMessage blockingCall(const QDBusMessage &message, int timeoutMs) const;
    void startDaemonProcess();
    bool waitForOwner(int timeoutMs) const;

    QDBusConnection m_bus;
    std::unique_ptr<FaxEventRelay> m_relay;
};

// The automation error for a failed reply: the service's own errors keep their text.
AutomationError errorFromReply(const QDBusMessage &reply);

// Submits a document (with its SubmissionId) and returns its job ids once they are queued.
// A requested cancel withdraws the submission and raises OperationCancelled.
QStringList submitAndWait(FaxConnection &connection, const QVariantMap &document,
                          const std::function<void(int pagesDone, int pagesTotal)> &progress,
                          const std::function<bool()> &cancelRequested = {});

}  // namespace sendmere::fax
