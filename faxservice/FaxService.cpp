// The service object: its life on the bus, its end when idle, and the line's devices and calls.
// Submissions are in FaxServiceSubmissions.cpp, their renders in FaxServiceRenders.cpp, the
// queue and the archives in FaxServiceArchives.cpp.
#include "FaxService.h"

#include "FaxServiceGuard.h"
#include "LineBackend.h"
#include "ServiceLog.h"
#include "Spool.h"
#include "SubmitTask.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDateTime>
#include <QThread>
#include <QTimer>
#include <cstdlib>

namespace sendmere::faxd {

FaxService::FaxService(Spool &spool, FaxdConfig config, CoverPageDirs coverDirs, const ServiceLog &log, QObject *parent)
    : QObject(parent),
      m_spool(spool),
      m_config(std::move(config)),
      m_coverDirs(std::move(coverDirs)),
      m_log(log),
      m_line(makeLine(spool, m_config, log, this)),
      m_store(spool.submissionsDirectory(), spool.quarantineDirectory(), log)
{
    connect(m_line, &LineBackend::jobAdded, this, &FaxService::OutgoingJobAdded);
    connect(m_line, &LineBackend::jobChanged, this, &FaxService::OutgoingJobChanged);
    connect(m_line, &LineBackend::jobRemoved, this, &FaxService::OutgoingJobRemoved);
    connect(m_line, &LineBackend::outgoingMessageAdded, this, &FaxService::OutgoingMessageAdded);
    connect(m_line, &LineBackend::incomingMessageAdded, this, &FaxService::IncomingMessageAdded);
    connect(m_line, &LineBackend::incomingCall, this, &FaxService::IncomingCall);
    connect(m_line, &LineBackend::incomingJobAdded, this, &FaxService::IncomingJobAdded);
    connect(m_line, &LineBackend::incomingJobRemoved, this, &FaxService::IncomingJobRemoved);
    m_line->load();
    resumeSubmissions();
    connect(&m_progressTimer, &QTimer::timeout, this, &FaxService::reportProgress);

    touch();
    connect(&m_idleTimer, &QTimer::timeout, this, &FaxService::checkIdle);
    m_idleTimer.start(int(qBound(200.0, m_config.idleExitMinutes * 60000 / 4, 15000.0)));
    // The session bus ends with the session (or the test): the service ends with it.
    connect(&m_busWatch, &QTimer::timeout, this, [this] {
        if (!QDBusConnection::sessionBus().isConnected()) {
            m_log.info(QStringLiteral("the session bus has gone; the fax service ends"));
            QCoreApplication::exit(0);
        }
    });
    m_busWatch.start(500);
}

FaxService::~FaxService()
{
    // A render that does not stop is never waited for: its images, never queued, are
    // leftovers that the next start removes.
    if (!stopRenders(3000)) {
        m_log.warning(QStringLiteral("a render did not stop; the fax service ends without it"));
        std::_Exit(0);
    }
}

bool FaxService::publish()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.registerObject(faxbus::ObjectPath, this, QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals)) {
        m_log.warning(QStringLiteral("cannot register %1 on the session bus: %2").arg(faxbus::ObjectPath, bus.lastError().message()));
        return false;
    }
    if (!bus.registerService(faxbus::ServiceName)) {
        m_log.info(QStringLiteral("%1 is already owned on this bus; this instance ends").arg(faxbus::ServiceName));
        return false;
    }
    m_log.info(QStringLiteral("fax service ready as %1 (spool %2)").arg(faxbus::ServiceName, m_spool.directory(Folder::Queue)));
    return true;
}

void FaxService::touch()
{
    m_lastActivity = QDateTime::currentMSecsSinceEpoch();
}

void FaxService::checkIdle()
{
    if (m_line->hasWork() || !m_waiting.empty() || !findChildren<QThread *>().isEmpty()) {
        touch();
        return;
    }
    if (QDateTime::currentMSecsSinceEpoch() - m_lastActivity < qint64(m_config.idleExitMinutes * 60000))
        return;
    m_log.info(QStringLiteral("nothing to do for %1 minutes; the fax service ends").arg(m_config.idleExitMinutes));
    Q_EMIT ServerShutDown();
    QDBusConnection::sessionBus().unregisterService(faxbus::ServiceName);
    QCoreApplication::exit(0);
}

// A line may have to ask its server first: the reply follows when it has the answer.
faxbus::MapList FaxService::ListDevices()
{
    return guarded<faxbus::MapList>([&] {
        const QDBusMessage request = message();
        setDelayedReply(true);
        m_line->devices([request](const QList<FaxDevice> &devices, const QString &errorName, const QString &errorText) {
            faxbus::MapList list;
            for (const FaxDevice &device : devices)
                list.append(device.toProperties());
            QDBusConnection::sessionBus().send(errorName.isEmpty() ? request.createReply(QVariant::fromValue(list))
                                                                   : request.createErrorReply(errorName, errorText));
        });
        return faxbus::MapList();
    });
}

void FaxService::Ring(int deviceId, const QString &callerId, const QString &path)
{
    guarded<bool>([&] {
        // The caller's number is what the calling station sends: a number of at most 20 characters.
        if (!callerId.isEmpty())
            if (const QString problem = faxbus::faxNumberProblem(callerId, faxbus::MaxCallerIdLength); !problem.isEmpty())
                throw ServiceError(faxbus::ErrorInvalidArgument, QStringLiteral("The caller: %1").arg(problem));
        const QDBusMessage request = message();
        m_line->ring(deviceId, callerId, path, [request](const QString &errorName, const QString &errorText) {
            QDBusConnection::sessionBus().send(errorName.isEmpty() ? request.createReply() : request.createErrorReply(errorName, errorText));
        });
        setDelayedReply(true);
        return true;
    });
}

QString FaxService::AnswerCall(int deviceId)
{
    return guarded<QString>([&] {
        const QDBusMessage request = message();
        m_line->answer(deviceId, [request](const QString &jobId, const QString &errorName, const QString &errorText) {
            QDBusConnection::sessionBus().send(errorName.isEmpty() ? request.createReply(jobId) : request.createErrorReply(errorName, errorText));
        });
        setDelayedReply(true);
        return QString();
    });
}

}  // namespace sendmere::faxd
