// sendmere-faxd: the local fax service on the session bus. Started by D-Bus activation or by
// a client; ends with its bus or after some idle minutes.
#include "FaxBusApi.h"
#include "FaxComposer.h"
#include "FaxRender.h"
#include "FaxService.h"
#include "FaxdConfig.h"
#include "ServiceLog.h"
#include "Spool.h"
#include "RegistryStore.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusVirtualObject>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QLockFile>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString statePath()
{
    QString dir = qEnvironmentVariable("XDG_STATE_HOME");
    if (dir.isEmpty())
        dir = QDir::homePath() + QStringLiteral("/.local/state");
    return dir + QStringLiteral("/sendmere/faxd.log");
}

enum class SpoolOwner { This, ServiceOfThisBus, OtherSession };

// A service killed a moment ago stays a zombie until its parent reaps it (where nothing
// reaps, for ever): its lock is stale all the same.
bool holderIsZombie(const QLockFile &lock)
{
    qint64 pid = 0;
    QString host, app;
    if (!lock.getLockInfo(&pid, &host, &app) || pid <= 0)
        return false;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray text = stat.readAll();
    const qsizetype end = text.lastIndexOf(')');  // the state follows the command name
    return end > 0 && text.mid(end + 1).trimmed().startsWith('Z');
}

bool tryTakeSpool(QLockFile &lock)
{
    if (lock.tryLock(0))
        return true;
    return holderIsZombie(lock) && lock.removeStaleLockFile() && lock.tryLock(0);
}

// A service on its way out holds the spool until it has gone: wait for it. When this bus has
// its service already, this instance is not needed; when the wait runs out, the holder is
// alive and serves another session of the same user.
SpoolOwner takeSpool(QLockFile &lock, double waitSeconds)
{
    const QDeadlineTimer deadline(qint64(waitSeconds * 1000));
    while (true) {
        if (tryTakeSpool(lock))
            return SpoolOwner::This;
        if (QDBusConnection::sessionBus().interface()->isServiceRegistered(sendmere::faxbus::ServiceName))
            return SpoolOwner::ServiceOfThisBus;
        if (deadline.hasExpired())
            return SpoolOwner::OtherSession;
        QThread::msleep(100);
    }
}

// Answers every call on this bus with the plain reason while another session's service
// holds the spool, so that a client says so instead of "did not come up".
class OtherSessionAnswer : public QDBusVirtualObject {
public:
    explicit OtherSessionAnswer(QString text) : m_text(std::move(text)) {}
    QString introspect(const QString &) const override { return {}; }
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        if (message.type() == QDBusMessage::MethodCallMessage)
            connection.send(message.createErrorReply(sendmere::faxbus::ErrorOtherSession, m_text));
        return true;
    }

private:
    QString m_text;
};

// Stands in for the service until the other session's service has let the spool go; false
// when this bus ended first or has a service of its own meanwhile.
bool standInForOtherSession(QLockFile &lock, const sendmere::faxd::ServiceLog &log)
{
    qint64 pid = 0;
    QString host, app;
    lock.getLockInfo(&pid, &host, &app);
    const QString text = QStringLiteral("Your fax service runs in another session (process %1): the faxes of this user are "
                                        "sent and received there. Use that session, or end it and try again.").arg(pid);
    log.warning(QStringLiteral("the spool is held by the fax service of another session (process %1); "
                               "calls of this session are told so").arg(pid));
    QDBusConnection bus = QDBusConnection::sessionBus();
    OtherSessionAnswer answer(text);
    if (!bus.registerVirtualObject(sendmere::faxbus::ObjectPath, &answer) || !bus.registerService(sendmere::faxbus::ServiceName))
        return false;
    QEventLoop wait;
    QTimer poll;
    bool held = false;
    QObject::connect(&poll, &QTimer::timeout, &wait, [&] {
        if (!bus.isConnected()) {
            wait.quit();
        } else if (tryTakeSpool(lock)) {
            held = true;
            wait.quit();
        }
    });
    poll.start(1000);
    wait.exec();
    bus.unregisterObject(sendmere::faxbus::ObjectPath);
    if (held)
        log.info(QStringLiteral("the other session's fax service has ended; this session's service starts"));
    return held;
}

// The write end of the pipe that turns SIGTERM and SIGINT into an event of the main loop; a
// signal handler can do no more than write to it.
int g_stopPipeWrite = -1;

extern "C" void requestStop(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(g_stopPipeWrite, &byte, 1);
}

// SIGTERM (a session manager, or systemd stopping the user unit) ends the service the way
// the end of its bus does: renders are stopped, a stuck one is not waited for, the spool is
// let go; the clients are told, and a waiting one submits again to the next service.
std::unique_ptr<QSocketNotifier> stopOnSignals(sendmere::faxd::FaxService &service, const sendmere::faxd::ServiceLog &log)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return nullptr;
    g_stopPipeWrite = fds[1];
    auto notifier = std::make_unique<QSocketNotifier>(fds[0], QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, notifier.get(), [&service, &log, fd = fds[0]] {
        char byte = 0;
        while (::read(fd, &byte, 1) > 0) {
        }
        log.info(QStringLiteral("asked to stop by a signal; the fax service ends"));
        Q_EMIT service.ServerShutDown();
        QDBusConnection::sessionBus().unregisterService(sendmere::faxbus::ServiceName);
        QCoreApplication::exit(0);
    });
    struct sigaction action {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    return notifier;
}

}  // namespace

int main(int argc, char *argv[])
{
    ::umask(077);  // the spool, its database and the images are the user's alone
    // Text and SVG rendering need a GUI application, never a display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("sendmere-faxd"));
    using namespace sendmere;
    faxd::ServiceLog log(statePath());
    if (!QDBusConnection::sessionBus().isConnected()) {
        log.warning(QStringLiteral("no session bus: %1").arg(QDBusConnection::sessionBus().lastError().message()));
        return 1;
    }
    faxbus::registerTypes();
    try {
        const faxd::FaxdConfig config = faxd::FaxdConfig::load(faxd::FaxdConfig::defaultPath());
        // The shipped templates go into the server folder once, when the machine's registry is
        // first made; after that the folder holds what its owner keeps there.
        registry::onRootSeeded([&log](registry::Root root) {
            if (root != registry::Root::LocalMachine)
                return;
            const QString server = faxd::CoverPageDirs::fromRegistry(log).server;
            try {
                render::ensureShippedCoverPages(server);
            } catch (const std::exception &e) {
                log.warning(QStringLiteral("cannot install the shipped cover pages into %1: %2").arg(server, QString::fromUtf8(e.what())));
            }
        });
        const faxd::CoverPageDirs coverDirs = faxd::CoverPageDirs::fromRegistry(log);
        // Two instances started at once (two clients, or a client and the bus) must not both
        // reconcile the spool: the second one leaves at once and the first one serves.
        QDir().mkpath(faxd::Spool::defaultRoot());
        QLockFile lock(faxd::Spool::defaultRoot() + QStringLiteral("/spool.lock"));
        lock.setStaleLockTime(0);  // a lock is stale only when its process has gone, never by age
        switch (takeSpool(lock, config.lockWaitSeconds)) {
        case SpoolOwner::This:
            break;
        case SpoolOwner::ServiceOfThisBus:
            log.info(QStringLiteral("another fax service holds the spool; this instance ends"));
            return 0;
        case SpoolOwner::OtherSession:
            if (!standInForOtherSession(lock, log))
                return 0;
            break;
        }
        faxd::Spool spool(faxd::Spool::defaultRoot(), log);
        spool.open();
        faxd::FaxService service(spool, config, coverDirs, log);
        if (!service.publish())
            return 0;
        const auto stopNotifier = stopOnSignals(service, log);
        const int rc = app.exec();
        // A render stuck inside one page is never waited for: the spool is let go at once.
        if (!service.stopRenders(3000)) {
            log.warning(QStringLiteral("a render did not stop; the fax service ends without it"));
            lock.unlock();
            std::_Exit(rc);
        }
        log.info(QStringLiteral("fax service stopped"));
        return rc;
    } catch (const std::exception &e) {
        log.warning(QStringLiteral("the fax service cannot start: %1").arg(QString::fromUtf8(e.what())));
        return 1;
    }
}
