#include "FaxService.h"

#include "FaxRender.h"
#include "IncomingLine.h"
#include "OutgoingQueue.h"
#include "ServiceLog.h"
#include "Spool.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <optional>

namespace sendmere::faxd {

namespace {

constexpr int MaxPage = 1000;

int checkedChoice(const QVariantMap &doc, const QString &key, int fallback, int max)
{
    const int value = doc.value(key, fallback).toInt();
    if (value < 0 || value > max)
        throw ServiceError(faxbus::ErrorInvalidArgument, QStringLiteral("%1 %2 is out of range.").arg(key).arg(value));
    return value;
}

}  // namespace

FaxService::FaxService(Spool &spool, FaxdConfig config, CoverPageDirs coverDirs, const ServiceLog &log, QObject *parent)
    : QObject(parent),
      m_spool(spool),
      m_config(std::move(config)),
      m_coverDirs(std::move(coverDirs)),
      m_log(log),
      m_queue(new OutgoingQueue(spool, m_config, log, this)),
      m_line(new IncomingLine(spool, m_config, log, this))
{
    connect(m_queue, &OutgoingQueue::jobAdded, this, &FaxService::OutgoingJobAdded);
    connect(m_queue, &OutgoingQueue::jobChanged, this, &FaxService::OutgoingJobChanged);
    connect(m_queue, &OutgoingQueue::jobRemoved, this, &FaxService::OutgoingJobRemoved);
    connect(m_queue, &OutgoingQueue::outgoingMessageAdded, this, &FaxService::OutgoingMessageAdded);
    connect(m_queue, &OutgoingQueue::incomingMessageAdded, this, &FaxService::IncomingMessageAdded);
    connect(m_line, &IncomingLine::incomingCall, this, &FaxService::IncomingCall);
    connect(m_line, &IncomingLine::incomingJobAdded, this, &FaxService::IncomingJobAdded);
    connect(m_line, &IncomingLine::incomingJobRemoved, this, &FaxService::IncomingJobRemoved);
    connect(m_line, &IncomingLine::incomingMessageAdded, this, &FaxService::IncomingMessageAdded);
    m_queue->load();

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

FaxService::~FaxService() = default;

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
    if (m_queue->hasWork() || m_line->busy()) {
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

// Runs one bus method: a refused request becomes an error reply with its text, whatever
// went wrong inside; the service itself goes on.
template <typename Result, typename Body>
Result FaxService::guarded(Body body)
{
    touch();
    try {
        return body();
    } catch (const ServiceError &e) {
        sendErrorReply(e.name(), e.text());
    } catch (const render::RenderError &e) {
        sendErrorReply(faxbus::ErrorRenderFailed, e.message());
    } catch (const SpoolError &e) {
        m_log.warning(QString::fromUtf8(e.what()));
        sendErrorReply(faxbus::ErrorFailed, QString::fromUtf8(e.what()));
    } catch (const std::exception &e) {
        m_log.warning(QStringLiteral("unexpected failure: %1").arg(QString::fromUtf8(e.what())));
        sendErrorReply(faxbus::ErrorFailed, QString::fromUtf8(e.what()));
    }
    return Result{};
}

QStringList FaxService::Submit(const QVariantMap &document)
{
    return guarded<QStringList>([&] { return submit(faxbus::plainMap(document)); });
}

QVariantMap FaxService::jobProperties(const QVariantMap &doc, const QVariantMap &recipient, qint64 id, int pages) const
{
    const QVariantMap sender = faxbus::plainMap(doc.value(QStringLiteral("Sender")));
    QString tsid = sender.value(QStringLiteral("TSID")).toString();
    if (tsid.isEmpty())
        tsid = sender.value(QStringLiteral("FaxNumber")).toString();
    if (tsid.isEmpty())
        tsid = m_config.devices.value(0).tsid;
    const QDateTime now = QDateTime::currentDateTime();
    const int scheduleType = doc.value(QStringLiteral("ScheduleType")).toInt();
    const QDateTime due = dueTime(scheduleType, faxbus::fromWire(doc.value(QStringLiteral("ScheduleTime"))), now, m_config);
    QVariantMap job;
    job.insert(QStringLiteral("Id"), idText(id));
    for (const char *key : {"Subject", "DocumentName", "Note", "CoverPage", "CoverPageType", "AttachFaxToReceipt", "Priority", "ScheduleType"})
        job.insert(QString::fromLatin1(key), doc.value(QString::fromLatin1(key)));
    job.insert(QStringLiteral("Status"), status::Pending);
    job.insert(QStringLiteral("ExtendedStatus"), QString());
    job.insert(QStringLiteral("SubmissionTime"), faxbus::toWire(now));
    job.insert(QStringLiteral("OriginalScheduledTime"), faxbus::toWire(due));
    job.insert(QStringLiteral("ScheduledTime"), faxbus::toWire(due));
    job.insert(QStringLiteral("TransmissionStart"), 0);
    job.insert(QStringLiteral("TransmissionEnd"), 0);
    job.insert(QStringLiteral("Pages"), pages);
    job.insert(QStringLiteral("Retries"), 0);
    job.insert(QStringLiteral("Sender"), sender);
    job.insert(QStringLiteral("Recipient"), recipient);
    job.insert(QStringLiteral("CSID"), QString());
    job.insert(QStringLiteral("TSID"), tsid);
    job.insert(QStringLiteral("DeviceName"), QString());
    return job;
}

// Renders every recipient's image before anything is queued: a document that fails leaves
// nothing behind, and the client may delete its body file as soon as this returns.
QStringList FaxService::submit(const QVariantMap &doc)
{
    const QList<QVariantMap> recipients = faxbus::plainMapList(doc.value(QStringLiteral("Recipients")));
    if (recipients.isEmpty())
        throw ServiceError(faxbus::ErrorInvalidArgument, QStringLiteral("The fax has no recipient."));
    for (const QVariantMap &r : recipients)
        if (r.value(QStringLiteral("FaxNumber")).toString().trimmed().isEmpty())
            throw ServiceError(faxbus::ErrorInvalidArgument, QStringLiteral("A recipient has no fax number."));
    checkedChoice(doc, QStringLiteral("Priority"), 1, 2);
    checkedChoice(doc, QStringLiteral("ScheduleType"), 0, 2);
    const QString cover = resolveCoverPage(m_coverDirs, checkedChoice(doc, QStringLiteral("CoverPageType"), 0, 2),
                                           doc.value(QStringLiteral("CoverPage")).toString());
    const QString bodyPath = doc.value(QStringLiteral("Body")).toString();
    std::optional<RenderedBody> body;
    if (!bodyPath.isEmpty())
        body.emplace(bodyPath, QStringLiteral("%1/submission-%2.part").arg(m_spool.directory(Folder::Queue)).arg(QDateTime::currentMSecsSinceEpoch()));

    QList<QVariantMap> jobs;
    QStringList ids;
    try {
        for (const QVariantMap &recipient : recipients) {
            const qint64 id = m_spool.allocateId();
            ids.append(idText(id));
            JobImage image{cover, doc, recipient, body ? &*body : nullptr, QString(), QDateTime::currentDateTime()};
            QVariantMap job = jobProperties(doc, recipient, id, 0);
            image.tsid = job.value(QStringLiteral("TSID")).toString();
            const int pages = composeJobImage(image, m_spool.partPath(Folder::Queue, id));
            if (!QFile::rename(m_spool.partPath(Folder::Queue, id), m_spool.imagePath(Folder::Queue, id)))
                throw SpoolError(QStringLiteral("cannot move the image of job %1 into the queue").arg(idText(id)));
            job.insert(QStringLiteral("Pages"), pages);
            jobs.append(job);
        }
        m_queue->add(jobs);
    } catch (...) {
        for (const QString &id : ids) {
            QFile::remove(m_spool.partPath(Folder::Queue, idNumber(id)));
            QFile::remove(m_spool.imagePath(Folder::Queue, idNumber(id)));
        }
        throw;
    }
    m_log.info(QStringLiteral("queued %1 (%2)").arg(ids.join(u','), bodyPath.isEmpty() ? QStringLiteral("cover page only") : bodyPath));
    return ids;
}

faxbus::MapList FaxService::ListJobs()
{
    return guarded<faxbus::MapList>([&] { return m_queue->jobs(); });
}

qint64 FaxService::knownJob(const QString &id) const
{
    const qint64 number = idNumber(id);
    if (number == 0 || !m_queue->job(number))
        throw ServiceError(faxbus::ErrorNotFound, QStringLiteral("There is no job \"%1\" in the outgoing queue.").arg(id));
    return number;
}

QVariantMap FaxService::GetJob(const QString &id)
{
    return guarded<QVariantMap>([&] { return *m_queue->job(knownJob(id)); });
}

void FaxService::CancelJob(const QString &id)
{
    guarded<bool>([&] {
        m_queue->cancel(knownJob(id));
        return true;
    });
}

void FaxService::copyImage(const QString &source, const QString &target, const QString &what) const
{
    if (target.isEmpty() || QFileInfo(target).isRelative())
        throw ServiceError(faxbus::ErrorInvalidArgument, QStringLiteral("\"%1\" is no absolute file path.").arg(target));
    if (!QFileInfo::exists(source))
        throw ServiceError(faxbus::ErrorFileNotFound, QStringLiteral("The fax image of %1 is missing.").arg(what));
    const QFileInfo info(target);
    if (!info.absoluteDir().exists())
        throw ServiceError(faxbus::ErrorPathAccess, QStringLiteral("%1: the folder does not exist.").arg(target));
    if (info.isDir())
        throw ServiceError(faxbus::ErrorPathAccess, QStringLiteral("%1: is a folder.").arg(target));
    if (info.exists() && !QFile::remove(target))
        throw ServiceError(faxbus::ErrorAccessDenied, QStringLiteral("%1: the file cannot be replaced.").arg(target));
    QFile file(source);
    if (!file.copy(target))
        throw ServiceError(faxbus::ErrorPathAccess, QStringLiteral("%1: %2").arg(target, file.errorString()));
}

void FaxService::CopyJobTiff(const QString &id, const QString &path)
{
    guarded<bool>([&] {
        copyImage(m_spool.imagePath(Folder::Queue, knownJob(id)), path, QStringLiteral("job %1").arg(id));
        return true;
    });
}

Folder FaxService::archive(const QString &folder) const
{
    if (folder == faxbus::FolderOutgoing)
        return Folder::Sent;
    if (folder == faxbus::FolderIncoming)
        return Folder::Received;
    throw ServiceError(faxbus::ErrorInvalidArgument, QStringLiteral("There is no archive \"%1\".").arg(folder));
}

QVariantMap FaxService::knownMessage(Folder folder, const QString &id) const
{
    const qint64 number = idNumber(id);
    auto message = number ? m_spool.message(folder, number) : std::nullopt;
    if (!message)
        throw ServiceError(faxbus::ErrorNotFound, QStringLiteral("There is no message \"%1\" in the %2 archive.")
                                                      .arg(id, folder == Folder::Sent ? faxbus::FolderOutgoing : faxbus::FolderIncoming));
    return *message;
}

faxbus::MapList FaxService::ListMessages(const QString &folder, const QString &after, int count, QString &next)
{
    return guarded<faxbus::MapList>([&] {
        const Folder f = archive(folder);
        const qint64 afterId = after.isEmpty() ? 0 : idNumber(after);
        if (!after.isEmpty() && afterId == 0)
            throw ServiceError(faxbus::ErrorInvalidArgument, QStringLiteral("\"%1\" is no message position.").arg(after));
        const int size = qBound(1, count, MaxPage);
        faxbus::MapList page = m_spool.messages(f, afterId, size + 1);
        next.clear();
        if (page.size() > size) {
            page.resize(size);
            next = page.last().value(QStringLiteral("Id")).toString();
        }
        return page;
    });
}

QVariantMap FaxService::GetMessage(const QString &folder, const QString &id)
{
    return guarded<QVariantMap>([&] { return knownMessage(archive(folder), id); });
}

void FaxService::DeleteMessage(const QString &folder, const QString &id)
{
    guarded<bool>([&] {
        const Folder f = archive(folder);
        knownMessage(f, id);
        m_spool.deleteMessage(f, idNumber(id));
        m_log.info(QStringLiteral("%1 message %2 deleted").arg(folder, id));
        Q_EMIT(f == Folder::Sent ? OutgoingMessageRemoved(id) : IncomingMessageRemoved(id));
        return true;
    });
}

void FaxService::CopyMessageTiff(const QString &folder, const QString &id, const QString &path)
{
    guarded<bool>([&] {
        const Folder f = archive(folder);
        knownMessage(f, id);
        copyImage(m_spool.imagePath(f, idNumber(id)), path, QStringLiteral("message %1").arg(id));
        return true;
    });
}

faxbus::MapList FaxService::ListDevices()
{
    return guarded<faxbus::MapList>([&] {
        faxbus::MapList devices;
        for (const DeviceConfig &d : m_config.devices)
            devices.append({{QStringLiteral("Id"), d.id},
                            {QStringLiteral("DeviceName"), d.name},
                            {QStringLiteral("CSID"), d.csid},
                            {QStringLiteral("TSID"), d.tsid}});
        return devices;
    });
}

void FaxService::Ring(int deviceId, const QString &callerId, const QString &path)
{
    guarded<bool>([&] {
        m_line->ring(deviceId, callerId, path);
        return true;
    });
}

QString FaxService::AnswerCall(int deviceId)
{
    return guarded<QString>([&] { return m_line->answer(deviceId); });
}

}  // namespace sendmere::faxd
