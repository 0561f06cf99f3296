#include "FaxConnection.h"

#include "FaxBusApi.h"
#include "platform/fax/FaxClient.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusPendingCall>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QThread>
#include <algorithm>

namespace sendmere::fax {

namespace {

const QString ServerUnavailableText = QStringLiteral("The remote server machine does not exist or is unavailable");
const QString DaemonName = QStringLiteral("sendmere-faxd");
// The service waits up to 10 s for one that is ending before it comes up.
constexpr int StartTimeoutMs = 30000;

bool isUnreachable(const QString &errorName)
{
    static const QStringList names{QStringLiteral("org.freedesktop.DBus.Error.ServiceUnknown"),
                                   QStringLiteral("org.freedesktop.DBus.Error.NameHasNoOwner"),
                                   QStringLiteral("org.freedesktop.DBus.Error.NoReply"),
                                   QStringLiteral("org.freedesktop.DBus.Error.Timeout"),
                                   QStringLiteral("org.freedesktop.DBus.Error.TimedOut"),
                                   QStringLiteral("org.freedesktop.DBus.Error.Disconnected"),
                                   QStringLiteral("org.freedesktop.DBus.Error.NoServer"),
                                   QStringLiteral("org.freedesktop.DBus.Error.Spawn.ChildExited"),
                                   QStringLiteral("org.freedesktop.DBus.Error.Spawn.ExecFailed")};
    return names.contains(errorName);
}

bool hasNoOwner(const QString &errorName)
{
    return errorName == QStringLiteral("org.freedesktop.DBus.Error.ServiceUnknown")
           || errorName == QStringLiteral("org.freedesktop.DBus.Error.NameHasNoOwner");
}

AutomationError unavailable(const QString &detail)
{
    return {err::ServerNotAvailable, QStringLiteral("%1 (%2)").arg(ServerUnavailableText, detail)};
}

QStringList daemonCandidates()
{
    const QString ownDir = QCoreApplication::applicationDirPath();
    QStringList paths{ownDir + u'/' + DaemonName,
                      QDir::cleanPath(ownDir + QStringLiteral("/" SENDMERE_PROGRAMDIR_FROM_BINDIR "/") + DaemonName)};
    const QString testBin = qEnvironmentVariable("SENDMERE_TEST_BIN_DIR");
    if (!testBin.isEmpty())
        paths.append(testBin + u'/' + DaemonName);
    paths.append(QStringLiteral(SENDMERE_FAXD_INSTALLED_PATH));
    return paths;
}

}  // namespace

AutomationError errorFromReply(const QDBusMessage &reply)
{
    const QString name = reply.errorName();
    const QString text = reply.errorMessage();
    if (isUnreachable(name))
        return unavailable(text.isEmpty() ? name : text);
    if (name == faxbus::ErrorOtherSession)
        return {err::ServerNotAvailable, text};
    if (name == faxbus::ErrorFileNotFound)
        return {err::FileNotFound, text};
    if (name == faxbus::ErrorAccessDenied)
        return {err::PermissionDenied, text};
    if (name == faxbus::ErrorPathAccess)
        return {err::PathFileAccessError, text};
    if (name == faxbus::ErrorCancelled)
        return {err::OperationCancelled, text};
    if (name == faxbus::ErrorInvalidArgument || name == faxbus::ErrorNotFound || name == faxbus::ErrorRenderFailed)
        return {err::InvalidProcedureCall, text};
    return {err::AutomationFailure, text.isEmpty() ? name : text};
}

FaxConnection::FaxConnection() : m_bus(QDBusConnection::sessionBus())
{
    if (!m_bus.isConnected())
        throw unavailable(QStringLiteral("no session bus: %1").arg(m_bus.lastError().message()));
    faxbus::registerTypes();
}

FaxConnection::~FaxConnection() = default;

// The bus library's own blocking call never returns when the bus goes away while it waits
// (the end of a session): its timeout is not applied then. So the call is sent without
// blocking, and this thread looks at the reply and at the connection in growing pauses
// (0.02 ms up to 5 ms), which costs a call a few per cent of its time at most.
QDBusMessage FaxConnection::blockingCall(const QDBusMessage &message, int timeoutMs) const
{
    const QDeadlineTimer deadline(timeoutMs + 1000);  // the bus times the call out first
    QDBusPendingCall pending = m_bus.asyncCall(message, timeoutMs);
    for (unsigned long pauseUs = 20; !pending.isFinished(); pauseUs = std::min(pauseUs * 2, 5000UL)) {
        if (!m_bus.isConnected())
            throw unavailable(QStringLiteral("the session bus has gone"));
        if (deadline.hasExpired())
            throw unavailable(QStringLiteral("no reply to %1 within %2 s").arg(message.member()).arg(timeoutMs / 1000));
        QThread::usleep(pauseUs);
    }
    return pending.reply();
}

QDBusMessage FaxConnection::call(const QString &method, const QVariantList &args, int timeoutMs)
{
    QDBusMessage message = QDBusMessage::createMethodCall(faxbus::ServiceName, faxbus::ObjectPath, faxbus::Interface, method);
    message.setArguments(args);
    QDBusMessage reply = blockingCall(message, timeoutMs);
    if (reply.type() == QDBusMessage::ErrorMessage && hasNoOwner(reply.errorName())) {
        ensureService();  // it ended since (idle, or killed); start it again, once
        reply = blockingCall(message, timeoutMs);
    }
    if (reply.type() == QDBusMessage::ErrorMessage)
        throw errorFromReply(reply);
    if (reply.type() != QDBusMessage::ReplyMessage)
        throw unavailable(QStringLiteral("no reply to %1").arg(method));
    return reply;
}

bool FaxConnection::waitForOwner(int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    while (true) {
        if (!m_bus.isConnected())
            throw unavailable(QStringLiteral("the session bus has gone"));
        if (m_bus.interface()->isServiceRegistered(faxbus::ServiceName))
            return true;
        if (deadline.hasExpired())
            return false;
        QThread::msleep(50);
    }
}

void FaxConnection::ensureService()
{
    if (!m_bus.isConnected())
        throw unavailable(QStringLiteral("the session bus has gone"));
    if (m_bus.interface()->isServiceRegistered(faxbus::ServiceName))
        return;
    QDBusMessage start = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                                                        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("StartServiceByName"));
    start.setArguments({faxbus::ServiceName, 0u});
    const QDBusMessage reply = blockingCall(start, StartTimeoutMs);
    if (reply.type() == QDBusMessage::ReplyMessage && waitForOwner(StartTimeoutMs))
        return;
    startDaemonProcess();  // not activatable on this bus (a build tree): start it ourselves
}

void FaxConnection::startDaemonProcess()
{
    QString program;
    for (const QString &path : daemonCandidates())
        if (QFileInfo(path).isExecutable()) {
            program = path;
            break;
        }
    if (program.isEmpty())
        throw unavailable(QStringLiteral("the fax service %1 is not installed").arg(DaemonName));
    QProcess process;
    process.setProgram(program);
    process.setWorkingDirectory(QDir::rootPath());
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    if (!process.startDetached())
        throw unavailable(QStringLiteral("cannot start %1").arg(program));
    if (!waitForOwner(StartTimeoutMs))
        throw unavailable(QStringLiteral("%1 did not come up").arg(program));
}

void FaxConnection::listen(FaxServer *server, int mask)
{
    if (mask == 0) {
        stopListening();
        return;
    }
    if (!m_relay)
        m_relay = std::make_unique<FaxEventRelay>(m_bus, server);
    m_relay->setMask(mask);
}

void FaxConnection::stopListening()
{
    m_relay.reset();
}

namespace {

struct SignalSlot {
    const char *signal;
    const char *slot;
};

const SignalSlot Relayed[] = {
    {"OutgoingJobAdded", SLOT(outgoingJobAdded(QString))},
    {"OutgoingJobRemoved", SLOT(outgoingJobRemoved(QString))},
    {"OutgoingJobChanged", SLOT(outgoingJobChanged(QString,int))},
    {"OutgoingMessageAdded", SLOT(outgoingMessageAdded(QString))},
    {"OutgoingMessageRemoved", SLOT(outgoingMessageRemoved(QString))},
    {"IncomingJobAdded", SLOT(incomingJobAdded(QString))},
    {"IncomingJobRemoved", SLOT(incomingJobRemoved(QString))},
    {"IncomingMessageAdded", SLOT(incomingMessageAdded(QString))},
    {"IncomingMessageRemoved", SLOT(incomingMessageRemoved(QString))},
    {"IncomingCall", SLOT(incomingCall(int,QString))},
    {"ServerShutDown", SLOT(serverShutDown())},
};

}  // namespace

FaxEventRelay::FaxEventRelay(QDBusConnection bus, FaxServer *server) : m_bus(std::move(bus)), m_server(server)
{
    // Matched on the service's path and interface, not on its bus name: a name is followed
    // through its owner, which the bus library learns apart from the signals themselves, so
    // the first events of a service that has just (re)started could be dropped. Only the fax
    // service sends on this interface.
    for (const SignalSlot &s : Relayed)
        m_bus.connect(QString(), faxbus::ObjectPath, faxbus::Interface, QString::fromLatin1(s.signal), this, s.slot);
}

FaxEventRelay::~FaxEventRelay()
{
    for (const SignalSlot &s : Relayed)
        m_bus.disconnect(QString(), faxbus::ObjectPath, faxbus::Interface, QString::fromLatin1(s.signal), this, s.slot);
}

void FaxEventRelay::outgoingJobAdded(const QString &id)
{
    if (wants(EventsOutgoingQueue))
        Q_EMIT m_server->OnOutgoingJobAdded(m_server, id);
}

void FaxEventRelay::outgoingJobRemoved(const QString &id)
{
    if (wants(EventsOutgoingQueue))
        Q_EMIT m_server->OnOutgoingJobRemoved(m_server, id);
}

void FaxEventRelay::outgoingJobChanged(const QString &id, int status)
{
    if (wants(EventsOutgoingQueue))
        Q_EMIT m_server->OnOutgoingJobChanged(m_server, id, status);
}

void FaxEventRelay::outgoingMessageAdded(const QString &id)
{
    if (wants(EventsOutgoingArchive))
        Q_EMIT m_server->OnOutgoingMessageAdded(m_server, id);
}

void FaxEventRelay::outgoingMessageRemoved(const QString &id)
{
    if (wants(EventsOutgoingArchive))
        Q_EMIT m_server->OnOutgoingMessageRemoved(m_server, id);
}

void FaxEventRelay::incomingJobAdded(const QString &id)
{
    if (wants(EventsIncomingQueue))
        Q_EMIT m_server->OnIncomingJobAdded(m_server, id);
}

void FaxEventRelay::incomingJobRemoved(const QString &id)
{
    if (wants(EventsIncomingQueue))
        Q_EMIT m_server->OnIncomingJobRemoved(m_server, id);
}

void FaxEventRelay::incomingMessageAdded(const QString &id)
{
    if (wants(EventsIncomingArchive))
        Q_EMIT m_server->OnIncomingMessageAdded(m_server, id);
}

void FaxEventRelay::incomingMessageRemoved(const QString &id)
{
    if (wants(EventsIncomingArchive))
        Q_EMIT m_server->OnIncomingMessageRemoved(m_server, id);
}

void FaxEventRelay::incomingCall(int deviceId, const QString &callerId)
{
    if (wants(EventsIncomingCall))
        Q_EMIT m_server->OnIncomingCall(m_server, deviceId, callerId);
}

void FaxEventRelay::serverShutDown()
{
    if (wants(EventsServiceEnded))
        Q_EMIT m_server->OnServerShutDown(m_server);
}

}  // namespace sendmere::fax
