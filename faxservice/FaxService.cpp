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
#include <QSaveFile>
#include <QThread>
#include <QDeadlineTimer>
#include <QTimer>
#include <atomic>
#include <cstdlib>
#include <optional>
#include <sys/stat.h>

namespace sendmere::faxd {

namespace {

constexpr int MaxPage = 1000;

// The limits of one submission (see README.md): past them a client hears why at once.
constexpr int MaxRecipients = 100;
constexpr int MaxNoteLength = 10000;
constexpr int MaxTextLength = 1000;  // subject, document name, cover page name, each person field
constexpr int MaxTsidLength = 100;
constexpr int MaxSubmissionIdLength = 200;
constexpr qint64 MaxScheduleAheadMs = 366LL * 24 * 3600 * 1000;

// A submission whose render was cut short this often (the service crashed or hung in it each
// time) is not rendered once more at the next start: it is failed, with the reason.
constexpr int MaxInterruptedRenders = 3;
constexpr int ProgressTickMs = 250;    // progress is reported at most this often per submission
constexpr qint64 HeartbeatMs = 5000;   // and at least this often, unchanged, while it waits or renders
constexpr size_t RememberedFailures = 100;

int maxConcurrentRenders() { return std::max(1, QThread::idealThreadCount()); }

void checkLength(const QString &what, const QString &text, int max)
{
    if (text.size() > max)
        throw ServiceError(faxbus::ErrorInvalidArgument,
                           QStringLiteral("%1 is %2 characters long; at most %3 are taken.").arg(what).arg(text.size()).arg(max));
}

int checkedChoice(const QVariantMap &doc, const QString &key, int fallback, int max)
{
    const int value = doc.value(key, fallback).toInt();
    if (value < 0 || value > max)
        throw ServiceError(faxbus::ErrorInvalidArgument, QStringLiteral("%1 %2 is out of range.").arg(key).arg(value));
    return value;
}

}  // namespace

// An accepted submission while it waits for and goes through its render on a worker thread.
// It carries copies of all it needs; the spool is touched only on the service's own thread,
// before and after.
struct FaxService::SubmitTask {
    PendingSubmission pending;
    QStringList partPaths;
    QString bodyTemp;
    QString errorName, errorText;  // set when rendering failed
    QThread *worker = nullptr;     // owned by the service, while it renders
    std::atomic<bool> cancel{false};
    std::atomic<int> pagesDone{0};
    std::atomic<int> pagesTotal{0};  // 0 until the body's page count is known
    bool failed = false;  // its clients have heard so (past its time); the result is thrown away
    int reportedDone = -1, reportedTotal = -1;
    qint64 reportedAt = 0;

    void run()
    {
        try {
            std::optional<RenderedBody> body;
            if (!pending.body.isEmpty())
                body.emplace(pending.body, bodyTemp, &cancel, &pagesDone);
            const int bodyPages = body ? body->pages() : 0;
            pagesTotal = bodyPages + (bodyPages + (pending.cover.isEmpty() ? 0 : 1)) * int(pending.jobs.size());
            for (int i = 0; i < pending.jobs.size(); ++i) {
                QVariantMap &job = pending.jobs[i];
                const JobImage image{pending.cover, pending.document, faxbus::plainMap(job.value(QStringLiteral("Recipient"))),
                                     body ? &*body : nullptr, job.value(QStringLiteral("TSID")).toString(),
                                     QDateTime::currentDateTime(), &cancel, &pagesDone};
                // The image stays a .part file until the spool has committed its job.
                job.insert(QStringLiteral("Pages"), composeJobImage(image, partPaths[i]));
            }
        } catch (const ServiceError &e) {
            fail(e.name(), e.text());
        } catch (const render::RenderError &e) {
            fail(faxbus::ErrorRenderFailed, e.message());
        } catch (const std::exception &e) {
            fail(faxbus::ErrorFailed, QString::fromUtf8(e.what()));
        }
    }

    void fail(const QString &name, QString text)
    {
        // The client knows its body by its own name, not by the spool's copy.
        if (!pending.body.isEmpty())
            text.replace(pending.body, pending.clientBody);
        errorName = name;
        errorText = text;
        removeImages();
    }

    void removeImages() const
    {
        for (const QString &path : partPaths)
            QFile::remove(path);
    }

    QStringList ids() const
    {
        QStringList list;
        for (const QVariantMap &job : pending.jobs)
            list.append(job.value(QStringLiteral("Id")).toString());
        return list;
    }
};

FaxService::FaxService(Spool &spool, FaxdConfig config, CoverPageDirs coverDirs, const ServiceLog &log, QObject *parent)
    : QObject(parent),
      m_spool(spool),
      m_config(std::move(config)),
      m_coverDirs(std::move(coverDirs)),
      m_log(log),
      m_queue(new OutgoingQueue(spool, m_config, log, this)),
      m_line(new IncomingLine(spool, m_config, log, this)),
      m_store(spool.submissionsDirectory(), spool.quarantineDirectory(), log)
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

bool FaxService::stopRenders(int waitMs)
{
    for (const auto &task : m_rendering)
        task->cancel = true;
    m_line->stopRender();
    QDeadlineTimer deadline(waitMs);
    bool stopped = true;
    for (QThread *worker : findChildren<QThread *>())
        stopped = worker->wait(deadline) && stopped;
    // A submission this service did not get to render, or whose render stopped here, was not
    // cut short by a fault of its own: it does not count against it at the next start.
    std::vector<std::shared_ptr<SubmitTask>> stoppedCleanly = m_waiting;
    for (const auto &task : m_rendering)
        if (!task->failed && task->worker->isFinished())
            stoppedCleanly.push_back(task);
    for (const auto &task : stoppedCleanly) {
        --task->pending.renders;
        try {
            m_store.update(task->pending);
        } catch (const SpoolError &e) {
            m_log.warning(QString::fromUtf8(e.what()));
        }
    }
    m_waiting.clear();
    m_rendering.clear();
    return stopped;
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
    if (m_queue->hasWork() || m_line->busy() || !m_waiting.empty() || !findChildren<QThread *>().isEmpty()) {
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

void FaxService::checkLimits(const QVariantMap &doc) const
{
    const QList<QVariantMap> recipients = faxbus::plainMapList(doc.value(QStringLiteral("Recipients")));
    if (recipients.size() > MaxRecipients)
        throw ServiceError(faxbus::ErrorInvalidArgument, QStringLiteral("The fax has %1 recipients; at most %2 are taken in one submission.")
                                                             .arg(recipients.size()).arg(MaxRecipients));
    checkLength(QStringLiteral("The note"), doc.value(QStringLiteral("Note")).toString(), MaxNoteLength);
    for (const char *key : {"Subject", "DocumentName", "CoverPage"})
        checkLength(QStringLiteral("The %1").arg(QString::fromLatin1(key)), doc.value(QString::fromLatin1(key)).toString(), MaxTextLength);
    checkLength(QStringLiteral("The SubmissionId"), doc.value(QStringLiteral("SubmissionId")).toString(), MaxSubmissionIdLength);
    QList<QVariantMap> people = recipients;
    people.append(faxbus::plainMap(doc.value(QStringLiteral("Sender"))));
    for (const QVariantMap &person : people)
        for (auto it = person.begin(); it != person.end(); ++it)
            checkLength(QStringLiteral("The %1 of a sender or recipient").arg(it.key()), it.value().toString(),
                        it.key() == QStringLiteral("TSID") ? MaxTsidLength : MaxTextLength);
    if (doc.value(QStringLiteral("ScheduleType")).toInt() == 1) {
        const qint64 at = doc.value(QStringLiteral("ScheduleTime")).toLongLong();
        if (at <= 0)
            throw ServiceError(faxbus::ErrorInvalidArgument, QStringLiteral("The fax is to be sent at a given time, but the time is missing."));
        if (at > QDateTime::currentMSecsSinceEpoch() + MaxScheduleAheadMs)
            throw ServiceError(faxbus::ErrorInvalidArgument, QStringLiteral("The send time is more than a year ahead."));
    }
}

// Checks the document, reserves one job id per recipient and keeps the submission with its
// own copy of the body in the spool; raises ServiceError or SpoolError when refused.
std::shared_ptr<FaxService::SubmitTask> FaxService::acceptSubmission(const QVariantMap &doc)
{
    checkLimits(doc);
    const QList<QVariantMap> recipients = faxbus::plainMapList(doc.value(QStringLiteral("Recipients")));
    if (recipients.isEmpty())
        throw ServiceError(faxbus::ErrorInvalidArgument, QStringLiteral("The fax has no recipient."));
    for (const QVariantMap &r : recipients)
        if (r.value(QStringLiteral("FaxNumber")).toString().trimmed().isEmpty())
            throw ServiceError(faxbus::ErrorInvalidArgument, QStringLiteral("A recipient has no fax number."));
    checkedChoice(doc, QStringLiteral("Priority"), 1, 2);
    checkedChoice(doc, QStringLiteral("ScheduleType"), 0, 2);
    PendingSubmission pending;
    pending.document = doc;
    pending.cover = resolveCoverPage(m_coverDirs, checkedChoice(doc, QStringLiteral("CoverPageType"), 0, 2),
                                     doc.value(QStringLiteral("CoverPage")).toString());
    pending.clientBody = doc.value(QStringLiteral("Body")).toString();
    if (!pending.clientBody.isEmpty())
        checkReadable(pending.clientBody);
    else if (pending.cover.isEmpty())
        throw ServiceError(faxbus::ErrorInvalidArgument, QStringLiteral("The fax has neither a cover page nor a body."));
    const QList<qint64> ids = m_spool.allocateIds(int(recipients.size()));
    pending.key = idText(ids.first());
    // A submission without an id of the client's gets one, so that it can be followed too.
    pending.submissionId = doc.value(QStringLiteral("SubmissionId")).toString();
    if (pending.submissionId.isEmpty())
        pending.submissionId = QStringLiteral("submission-") + pending.key;
    for (int i = 0; i < recipients.size(); ++i) {
        QVariantMap job = jobProperties(doc, recipients.at(i), ids.at(i), 0);
        job.insert(QStringLiteral("SubmissionId"), pending.submissionId);
        pending.jobs.append(job);
    }
    pending.renders = 1;  // this service takes it on
    m_store.accept(pending);
    auto task = std::make_shared<SubmitTask>();
    task->pending = std::move(pending);
    for (qint64 id : ids)
        task->partPaths.append(m_spool.partPath(Folder::Queue, id));
    task->bodyTemp = task->partPaths.first() + QStringLiteral(".body.part");
    return task;
}

// What the service accepted before it last stopped is rendered again under the ids it was
// given; what was queued meanwhile (the stop came between the queueing and the clean-up) is
// left as it is.
void FaxService::resumeSubmissions()
{
    for (PendingSubmission &pending : m_store.load()) {
        for (const QVariantMap &job : pending.jobs)
            m_spool.keepIdsAbove(idNumber(job.value(QStringLiteral("Id")).toString()));
        if (!m_spool.submittedJobs(pending.submissionId).isEmpty()) {
            m_log.info(QStringLiteral("submission %1 was queued before the service stopped").arg(pending.submissionId));
            m_store.remove(pending.key);
            continue;
        }
        auto task = std::make_shared<SubmitTask>();
        task->pending = std::move(pending);
        for (const QString &id : task->ids())
            task->partPaths.append(m_spool.partPath(Folder::Queue, idNumber(id)));
        task->bodyTemp = task->partPaths.first() + QStringLiteral(".body.part");
        if (task->pending.renders >= MaxInterruptedRenders) {
            failSubmission(*task, faxbus::ErrorRenderFailed,
                           QStringLiteral("The fax service stopped %1 times while it rendered %2; the fax was not queued.")
                               .arg(task->pending.renders)
                               .arg(task->pending.clientBody.isEmpty() ? QStringLiteral("the cover page") : task->pending.clientBody));
            continue;
        }
        m_log.info(QStringLiteral("submission %1 (%2) was accepted before the service stopped; it is rendered again")
                       .arg(task->pending.submissionId, task->ids().join(u',')));
        // Counted before it starts: a render that takes the service down with it is not tried
        // for ever.
        ++task->pending.renders;
        try {
            m_store.update(task->pending);
        } catch (const SpoolError &e) {
            m_log.warning(QString::fromUtf8(e.what()));
        }
        m_waiting.push_back(task);
    }
    startRenders();
}

std::shared_ptr<FaxService::SubmitTask> FaxService::findTask(const QString &submissionId) const
{
    for (const auto *list : {&m_waiting, &m_rendering})
        for (const auto &task : *list)
            if (!task->failed && task->pending.submissionId == submissionId)
                return task;
    return nullptr;
}

// Answers once the submission is accepted, whatever its size: the caller may then delete its
// body file. The jobs are announced (OutgoingJobAdded) only once their images exist. A
// submission id the client gave makes a retry safe: the jobs made or reserved for it already
// are the answer.
QStringList FaxService::Submit(const QVariantMap &document, QString &submissionId)
{
    return guarded<QStringList>([&] {
        const QVariantMap doc = faxbus::plainMap(document);
        submissionId = doc.value(QStringLiteral("SubmissionId")).toString();
        if (!submissionId.isEmpty()) {
            checkLength(QStringLiteral("The SubmissionId"), submissionId, MaxSubmissionIdLength);
            const QStringList made = m_spool.submittedJobs(submissionId);
            if (!made.isEmpty()) {
                m_log.info(QStringLiteral("submission %1 was queued before as %2").arg(submissionId, made.join(u',')));
                return made;
            }
            if (const auto task = findTask(submissionId))
                return task->ids();
        }
        const std::shared_ptr<SubmitTask> task = acceptSubmission(doc);
        submissionId = task->pending.submissionId;
        m_log.info(QStringLiteral("submission %1 accepted as %2").arg(submissionId, task->ids().join(u',')));
        m_waiting.push_back(task);
        startRenders();
        return task->ids();
    });
}

QVariantMap FaxService::GetSubmission(const QString &submissionId)
{
    return guarded<QVariantMap>([&] {
        QVariantMap state{{QStringLiteral("SubmissionId"), submissionId}, {QStringLiteral("PagesDone"), 0},
                          {QStringLiteral("PagesTotal"), 0},           {QStringLiteral("JobIds"), QStringList()},
                          {QStringLiteral("ErrorName"), QString()},      {QStringLiteral("ErrorText"), QString()}};
        if (const auto task = findTask(submissionId)) {
            state.insert(QStringLiteral("State"), task->worker ? QStringLiteral("rendering") : QStringLiteral("waiting"));
            state.insert(QStringLiteral("PagesDone"), task->pagesDone.load());
            state.insert(QStringLiteral("PagesTotal"), task->pagesTotal.load());
            state.insert(QStringLiteral("JobIds"), task->ids());
            return state;
        }
        if (const QStringList made = m_spool.submittedJobs(submissionId); !made.isEmpty()) {
            state.insert(QStringLiteral("State"), QStringLiteral("queued"));
            state.insert(QStringLiteral("JobIds"), made);
            return state;
        }
        for (const Failure &f : m_failures)
            if (f.submissionId == submissionId) {
                state.insert(QStringLiteral("State"), QStringLiteral("failed"));
                state.insert(QStringLiteral("JobIds"), f.ids);
                state.insert(QStringLiteral("ErrorName"), f.errorName);
                state.insert(QStringLiteral("ErrorText"), f.errorText);
                return state;
            }
        throw ServiceError(faxbus::ErrorNotFound, QStringLiteral("There is no submission \"%1\".").arg(submissionId));
    });
}

// At most one render per core runs at a time; the others wait their turn in order.
void FaxService::startRenders()
{
    while (!m_waiting.empty() && int(m_rendering.size()) < maxConcurrentRenders()) {
        const std::shared_ptr<SubmitTask> task = m_waiting.front();
        m_waiting.erase(m_waiting.begin());
        startRender(task);
    }
    if (!m_waiting.empty() || !m_rendering.empty())
        m_progressTimer.start(ProgressTickMs);
}

void FaxService::startRender(const std::shared_ptr<SubmitTask> &task)
{
    m_rendering.push_back(task);
    QThread *worker = QThread::create([task] { task->run(); });
    task->worker = worker;
    worker->setParent(this);
    connect(worker, &QThread::finished, this, [this, task, worker] {
        worker->deleteLater();
        std::erase(m_rendering, task);
        finishSubmission(*task);
        startRenders();
    });
    QTimer::singleShot(int(m_config.renderSeconds * 1000), worker, [this, task] { renderTimedOut(task); });
    worker->start();
}

// A render past its time is stopped and its clients hear so at once; a render stuck inside
// one page is left to end by itself, and its images are thrown away then.
void FaxService::renderTimedOut(const std::shared_ptr<SubmitTask> &task)
{
    if (task->failed)
        return;
    task->cancel = true;
    failSubmission(*task, faxbus::ErrorRenderFailed,
                   QStringLiteral("Rendering %1 took longer than %2 seconds; the fax was not queued.")
                       .arg(task->pending.clientBody.isEmpty() ? QStringLiteral("the cover page") : task->pending.clientBody)
                       .arg(m_config.renderSeconds));
}

void FaxService::finishSubmission(SubmitTask &task)
{
    touch();
    if (task.failed) {
        task.removeImages();
        return;
    }
    if (!task.errorName.isEmpty()) {
        failSubmission(task, task.errorName, task.errorText);
        return;
    }
    try {
        m_queue->add(task.pending.jobs);
    } catch (const SpoolError &e) {
        task.removeImages();
        failSubmission(task, faxbus::ErrorFailed, QString::fromUtf8(e.what()));
        return;
    }
    m_store.remove(task.pending.key);
    m_log.info(QStringLiteral("queued %1 (%2)").arg(task.ids().join(u','),
                                                    task.pending.clientBody.isEmpty() ? QStringLiteral("cover page only") : task.pending.clientBody));
}

// Nothing of a failed submission was queued: it is forgotten but for its error, which a
// client that asks late still learns.
void FaxService::failSubmission(SubmitTask &task, const QString &name, const QString &text)
{
    task.failed = true;
    m_store.remove(task.pending.key);
    m_failures.push_back({task.pending.submissionId, name, text, task.ids()});
    if (m_failures.size() > RememberedFailures)
        m_failures.pop_front();
    m_log.warning(QStringLiteral("submission %1 failed: %2").arg(task.pending.submissionId, text));
    Q_EMIT SubmissionFailed(task.pending.submissionId, name, text);
}

void FaxService::reportProgress()
{
    if (m_waiting.empty() && m_rendering.empty()) {
        m_progressTimer.stop();
        return;
    }
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (const auto *list : {&m_rendering, &m_waiting})
        for (const auto &task : *list) {
            const int done = task->pagesDone, total = task->pagesTotal;
            if (task->failed || (done == task->reportedDone && total == task->reportedTotal && now - task->reportedAt < HeartbeatMs))
                continue;
            task->reportedDone = done;
            task->reportedTotal = total;
            task->reportedAt = now;
            Q_EMIT SubmissionProgress(task->pending.submissionId, done, total);
        }
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

// The ids alone cost a client a small part of reading every job's properties.
QStringList FaxService::ListJobIds()
{
    return guarded<QStringList>([&] { return m_queue->jobIds(); });
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

// The copy is written beside the target and renamed over it, so a failed copy leaves the
// old file as it was; only a regular file (or no file) is ever replaced, and never one of
// the spool's own files.
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
    struct stat st {};
    if (::lstat(QFile::encodeName(target).constData(), &st) == 0 && !S_ISREG(st.st_mode))
        throw ServiceError(faxbus::ErrorPathAccess, QStringLiteral("%1: is not a regular file; only a regular file is replaced.").arg(target));
    if (m_spool.ownsPath(target))
        throw ServiceError(faxbus::ErrorAccessDenied, QStringLiteral("%1: is a file of the fax spool.").arg(target));
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        throw ServiceError(faxbus::ErrorPathAccess, QStringLiteral("%1: %2").arg(source, in.errorString()));
    QSaveFile out(target);
    if (!out.open(QIODevice::WriteOnly))
        throw ServiceError(faxbus::ErrorAccessDenied, QStringLiteral("%1: the file cannot be written (%2).").arg(target, out.errorString()));
    while (!in.atEnd()) {
        const QByteArray chunk = in.read(1 << 16);
        if (chunk.isEmpty() || out.write(chunk) != chunk.size()) {
            out.cancelWriting();
            throw ServiceError(faxbus::ErrorPathAccess, QStringLiteral("%1: %2").arg(target, out.errorString()));
        }
    }
    if (!out.commit())
        throw ServiceError(faxbus::ErrorPathAccess, QStringLiteral("%1: %2").arg(target, out.errorString()));
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
    return guarded<QString>([&] { return m_line->answer(deviceId); });
}

}  // namespace sendmere::faxd
