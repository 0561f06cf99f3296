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
#include <QThread>
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

FaxService::~FaxService()
{
    // A render still running finishes first; its images, never queued, are leftovers that
    // the next start removes.
    for (QThread *worker : findChildren<QThread *>())
        worker->wait();
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
    if (m_queue->hasWork() || m_line->busy() || !findChildren<QThread *>().isEmpty()) {
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

// A person as the service keeps it: the known fields, as text, whatever a client sent.
static QVariantMap personProperties(const QVariant &value)
{
    static const char *const fields[] = {"Name", "FaxNumber", "Company", "Department", "Email", "HomePhone",
                                         "OfficeLocation", "OfficePhone", "StreetAddress", "City", "State",
                                         "ZipCode", "Country", "Title", "BillingCode", "TSID"};
    const QVariantMap given = faxbus::plainMap(value);
    QVariantMap person;
    for (const char *field : fields)
        person.insert(QString::fromLatin1(field), given.value(QString::fromLatin1(field)).toString());
    return person;
}

// The job's properties, each of its own type even when a client left one out or sent
// another type: every map the service sends back must marshal.
QVariantMap FaxService::jobProperties(const QVariantMap &doc, const QVariantMap &recipient, qint64 id, int pages) const
{
    const QVariantMap sender = personProperties(doc.value(QStringLiteral("Sender")));
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
    for (const char *key : {"Subject", "DocumentName", "Note", "CoverPage"})
        job.insert(QString::fromLatin1(key), doc.value(QString::fromLatin1(key)).toString());
    job.insert(QStringLiteral("CoverPageType"), doc.value(QStringLiteral("CoverPageType")).toInt());
    job.insert(QStringLiteral("Priority"), doc.value(QStringLiteral("Priority"), 1).toInt());
    job.insert(QStringLiteral("ScheduleType"), scheduleType);
    job.insert(QStringLiteral("AttachFaxToReceipt"), doc.value(QStringLiteral("AttachFaxToReceipt")).toBool());
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
    job.insert(QStringLiteral("Recipient"), personProperties(recipient));
    job.insert(QStringLiteral("CSID"), QString());
    job.insert(QStringLiteral("TSID"), tsid);
    job.insert(QStringLiteral("DeviceName"), QString());
    return job;
}

// A submission while it is rendered on a worker thread. It carries copies of all it needs;
// the spool is touched only on the service's own thread, before and after.
struct FaxService::SubmitTask {
    QVariantMap document;
    QString cover, bodyPath, bodyTemp;
    QList<QVariantMap> jobs;  // their Pages are filled in by run()
    QStringList partPaths, imagePaths;
    QString errorName, errorText;  // set when rendering failed

    void run()
    {
        try {
            std::optional<RenderedBody> body;
            if (!bodyPath.isEmpty())
                body.emplace(bodyPath, bodyTemp);
            for (int i = 0; i < jobs.size(); ++i) {
                const JobImage image{cover, document, faxbus::plainMap(jobs[i].value(QStringLiteral("Recipient"))),
                                     body ? &*body : nullptr, jobs[i].value(QStringLiteral("TSID")).toString(),
                                     QDateTime::currentDateTime()};
                jobs[i].insert(QStringLiteral("Pages"), composeJobImage(image, partPaths[i]));
                if (!QFile::rename(partPaths[i], imagePaths[i]))
                    throw ServiceError(faxbus::ErrorFailed, QStringLiteral("cannot move %1 into the queue").arg(partPaths[i]));
            }
        } catch (const ServiceError &e) {
            fail(e.name(), e.text());
        } catch (const render::RenderError &e) {
            fail(faxbus::ErrorRenderFailed, e.message());
        } catch (const std::exception &e) {
            fail(faxbus::ErrorFailed, QString::fromUtf8(e.what()));
        }
    }

    void fail(const QString &name, const QString &text)
    {
        errorName = name;
        errorText = text;
        removeImages();
    }

    void removeImages() const
    {
        for (const QString &path : partPaths + imagePaths)
            QFile::remove(path);
    }

    QStringList ids() const
    {
        QStringList list;
        for (const QVariantMap &job : jobs)
            list.append(job.value(QStringLiteral("Id")).toString());
        return list;
    }
};

// Checks the document and gives each recipient its job; raises ServiceError when refused.
std::shared_ptr<FaxService::SubmitTask> FaxService::prepareSubmission(const QVariantMap &doc)
{
    const QList<QVariantMap> recipients = faxbus::plainMapList(doc.value(QStringLiteral("Recipients")));
    if (recipients.isEmpty())
        throw ServiceError(faxbus::ErrorInvalidArgument, QStringLiteral("The fax has no recipient."));
    for (const QVariantMap &r : recipients)
        if (r.value(QStringLiteral("FaxNumber")).toString().trimmed().isEmpty())
            throw ServiceError(faxbus::ErrorInvalidArgument, QStringLiteral("A recipient has no fax number."));
    checkedChoice(doc, QStringLiteral("Priority"), 1, 2);
    checkedChoice(doc, QStringLiteral("ScheduleType"), 0, 2);
    auto task = std::make_shared<SubmitTask>();
    task->document = doc;
    task->cover = resolveCoverPage(m_coverDirs, checkedChoice(doc, QStringLiteral("CoverPageType"), 0, 2),
                                   doc.value(QStringLiteral("CoverPage")).toString());
    task->bodyPath = doc.value(QStringLiteral("Body")).toString();
    if (!task->bodyPath.isEmpty())
        checkReadable(task->bodyPath);
    else if (task->cover.isEmpty())
        throw ServiceError(faxbus::ErrorInvalidArgument, QStringLiteral("The fax has neither a cover page nor a body."));
    for (const QVariantMap &recipient : recipients) {
        const qint64 id = m_spool.allocateId();
        task->jobs.append(jobProperties(doc, recipient, id, 0));
        task->partPaths.append(m_spool.partPath(Folder::Queue, id));
        task->imagePaths.append(m_spool.imagePath(Folder::Queue, id));
    }
    task->bodyTemp = task->partPaths.first() + QStringLiteral(".body.part");
    return task;
}

// Renders every recipient's image before anything is queued, on a worker thread so that the
// service goes on answering meanwhile; the caller gets its reply (and may delete its body
// file) only when the jobs are queued, or nothing is.
QStringList FaxService::Submit(const QVariantMap &document)
{
    return guarded<QStringList>([&] {
        const std::shared_ptr<SubmitTask> task = prepareSubmission(faxbus::plainMap(document));
        setDelayedReply(true);
        const QDBusMessage request = message();
        QThread *worker = QThread::create([task] { task->run(); });
        worker->setParent(this);
        connect(worker, &QThread::finished, this, [this, task, request, worker] {
            worker->deleteLater();
            finishSubmission(*task, request);
        });
        worker->start();
        return QStringList();
    });
}

void FaxService::finishSubmission(const SubmitTask &task, const QDBusMessage &request)
{
    touch();
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!task.errorName.isEmpty()) {
        bus.send(request.createErrorReply(task.errorName, task.errorText));
        return;
    }
    try {
        m_queue->add(task.jobs);
    } catch (const SpoolError &e) {
        task.removeImages();
        m_log.warning(QString::fromUtf8(e.what()));
        bus.send(request.createErrorReply(faxbus::ErrorFailed, QString::fromUtf8(e.what())));
        return;
    }
    m_log.info(QStringLiteral("queued %1 (%2)").arg(task.ids().join(u','), task.bodyPath.isEmpty() ? QStringLiteral("cover page only") : task.bodyPath));
    bus.send(request.createReply(QVariant(task.ids())));
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
