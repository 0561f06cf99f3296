#include "OutgoingQueue.h"

#include "FaxBusApi.h"
#include "FaxComposer.h"
#include "ServiceLog.h"
#include "Spool.h"

#include <algorithm>

namespace sendmere::faxd {

namespace {

const QString KeyId = QStringLiteral("Id");
const QString KeyStatus = QStringLiteral("Status");
const QString KeyPriority = QStringLiteral("Priority");
const QString KeyScheduled = QStringLiteral("ScheduledTime");
const QString KeyRetries = QStringLiteral("Retries");

qint64 nowMs() { return QDateTime::currentMSecsSinceEpoch(); }

bool inDiscountPeriod(QTime t, const FaxdConfig &c)
{
    if (c.discountStart <= c.discountEnd)
        return t >= c.discountStart && t < c.discountEnd;
    return t >= c.discountStart || t < c.discountEnd;
}

bool isWaiting(const QVariantMap &job)
{
    const int s = job.value(KeyStatus).toInt();
    return s == status::Pending || s == status::Retrying;
}

int msecsFromSeconds(double seconds) { return int(std::min(seconds * 1000.0, 86400000.0)); }

}  // namespace

QDateTime dueTime(int scheduleType, const QDateTime &requested, const QDateTime &now, const FaxdConfig &config)
{
    if (scheduleType == 1 && requested.isValid() && requested > now)
        return requested;
    if (scheduleType == 2 && !inDiscountPeriod(now.time(), config)) {
        QDateTime start(now.date(), config.discountStart);
        return start > now ? start : start.addDays(1);
    }
    return now;
}

OutgoingQueue::OutgoingQueue(Spool &spool, const FaxdConfig &config, const ServiceLog &log, QObject *parent)
    : QObject(parent), m_spool(spool), m_config(config), m_log(log)
{
    m_wake.setSingleShot(true);
    connect(&m_wake, &QTimer::timeout, this, &OutgoingQueue::dispatch);
    for (const DeviceConfig &device : config.devices) {
        Line line{device, 0, std::make_unique<QTimer>()};
        line.timer->setSingleShot(true);
        m_lines.push_back(std::move(line));
    }
    for (Line &line : m_lines)
        connect(line.timer.get(), &QTimer::timeout, this, [this, &line] { finishTransmission(line); });
}

OutgoingQueue::~OutgoingQueue() = default;

void OutgoingQueue::load()
{
    for (QVariantMap job : m_spool.jobs()) {
        // No line carries a job at the start: one the spool could not requeue (a full disk)
        // is requeued here, so that it moves all the same.
        const int s = job.value(KeyStatus).toInt();
        if (s == status::InProgress || s == status::Cancelling)
            job.insert(KeyStatus, s == status::InProgress ? status::Pending : status::Cancelled);
        m_jobs[idNumber(job.value(KeyId).toString())] = job;
    }
    scheduleWake();
}

void OutgoingQueue::add(const QList<QVariantMap> &jobs)
{
    m_spool.insertJobs(jobs);
    for (const QVariantMap &job : jobs) {
        m_jobs[idNumber(job.value(KeyId).toString())] = job;
        Q_EMIT jobAdded(job.value(KeyId).toString());
    }
    scheduleWake();
}

QList<QVariantMap> OutgoingQueue::jobs() const
{
    QList<QVariantMap> list;
    for (const auto &[id, job] : m_jobs)
        list.append(job);
    return list;
}

QStringList OutgoingQueue::jobIds() const
{
    QStringList ids;
    ids.reserve(qsizetype(m_jobs.size()));
    for (const auto &entry : m_jobs)
        ids.append(entry.second.value(QStringLiteral("Id")).toString());
    return ids;
}

std::optional<QVariantMap> OutgoingQueue::job(qint64 id) const
{
    const auto it = m_jobs.find(id);
    if (it == m_jobs.end())
        return std::nullopt;
    return it->second;
}

bool OutgoingQueue::hasWork() const
{
    return std::any_of(m_jobs.begin(), m_jobs.end(), [](const auto &entry) {
        const int s = entry.second.value(KeyStatus).toInt();
        return s == status::Pending || s == status::Retrying || s == status::InProgress;
    });
}

OutgoingQueue::Line *OutgoingQueue::lineOf(qint64 id)
{
    for (Line &line : m_lines)
        if (line.job == id)
            return &line;
    return nullptr;
}

// A cancel stops a transmission that has begun: nothing of a job reaches the archives
// until its last page is through, and a cancel before that drops the job with its line.
// So a client that copies a fresh job's image and cancels it at once (the preview) leaves
// no trace, even when the job was dialled the moment it was queued; a fresh job is not
// held back for it. Only a virtual modem set to dial and send in no time at all outruns
// such a client.
void OutgoingQueue::cancel(qint64 id)
{
    const auto it = m_jobs.find(id);
    if (it == m_jobs.end())
        throw ServiceError(faxbus::ErrorNotFound, QStringLiteral("There is no job %1 in the outgoing queue.").arg(idText(id)));
    const QString text = idText(id);
    m_spool.removeJob(id);  // when the spool refuses, nothing has changed and the caller hears why
    if (Line *line = lineOf(id)) {
        Q_EMIT jobChanged(text, status::Cancelling);
        line->timer->stop();
        line->job = 0;
    }
    m_jobs.erase(it);
    m_log.info(QStringLiteral("job %1 cancelled").arg(text));
    Q_EMIT jobChanged(text, status::Cancelled);
    Q_EMIT jobRemoved(text);
    scheduleWake();
}

// The job changes only once the spool holds the change; a SpoolError leaves it as it was.
void OutgoingQueue::setStatus(QVariantMap &job, int newStatus, const QString &extended)
{
    QVariantMap changed = job;
    changed.insert(KeyStatus, newStatus);
    changed.insert(QStringLiteral("ExtendedStatus"), extended);
    m_spool.updateJob(changed);
    job = changed;
    Q_EMIT jobChanged(job.value(KeyId).toString(), newStatus);
}

// The spool refused a write (most often a full disk): this job waits a retry interval and
// tries again by itself, showing why; its retries are not used up and the others go on.
void OutgoingQueue::postpone(QVariantMap &job, const QString &reason)
{
    const QString id = job.value(KeyId).toString();
    job.insert(KeyStatus, status::Retrying);
    job.insert(QStringLiteral("ExtendedStatus"), QStringLiteral("Postponed: %1").arg(reason));
    job.insert(KeyScheduled, nowMs() + qint64(std::clamp(m_config.retryIntervalSeconds, 1.0, 600.0) * 1000));
    m_log.warning(QStringLiteral("job %1 postponed: %2").arg(id, reason));
    try {
        m_spool.updateJob(job);
    } catch (const SpoolError &) {
        // the spool keeps the job as it was; the queue in memory holds the reason meanwhile
    }
    Q_EMIT jobChanged(id, status::Retrying);
}

std::optional<qint64> OutgoingQueue::nextDueJob(const QDateTime &now) const
{
    std::optional<qint64> best;
    auto better = [&](const QVariantMap &a, const QVariantMap &b) {
        const int pa = a.value(KeyPriority).toInt(), pb = b.value(KeyPriority).toInt();
        if (pa != pb)
            return pa > pb;
        return a.value(KeyScheduled).toLongLong() < b.value(KeyScheduled).toLongLong();
    };
    for (const auto &[id, job] : m_jobs) {
        if (!isWaiting(job) || job.value(KeyScheduled).toLongLong() > now.toMSecsSinceEpoch())
            continue;
        if (!best || better(job, m_jobs.at(*best)))
            best = id;
    }
    return best;
}

// Wakes the queue when the next waiting job is due (at once when one is due already).
void OutgoingQueue::scheduleWake()
{
    qint64 next = -1;
    for (const auto &[id, job] : m_jobs)
        if (isWaiting(job)) {
            const qint64 due = job.value(KeyScheduled).toLongLong();
            next = next < 0 ? due : std::min(next, due);
        }
    if (next < 0) {
        m_wake.stop();
        return;
    }
    const qint64 delay = std::clamp<qint64>(next - nowMs(), 0, 3600000);
    m_wake.start(int(delay));
}

void OutgoingQueue::dispatch()
{
    const QDateTime now = QDateTime::currentDateTime();
    for (Line &line : m_lines) {
        // A job the spool postponed leaves the line free for the next one.
        while (line.job == 0) {
            const auto id = nextDueJob(now);
            if (!id) {
                scheduleWake();
                return;
            }
            startTransmission(line, *id);
        }
    }
    scheduleWake();
}

void OutgoingQueue::startTransmission(Line &line, qint64 id)
{
    QVariantMap &job = m_jobs.at(id);
    QVariantMap started = job;
    started.insert(QStringLiteral("TransmissionStart"), nowMs());
    started.insert(QStringLiteral("DeviceName"), line.device.name);
    try {
        setStatus(started, status::InProgress, QStringLiteral("Transmitting"));
    } catch (const SpoolError &e) {
        postpone(job, QString::fromUtf8(e.what()));
        return;
    }
    job = started;
    line.job = id;
    const double seconds = m_config.dialDelaySeconds + m_config.secondsPerPage * job.value(QStringLiteral("Pages")).toInt();
    line.timer->start(msecsFromSeconds(seconds));
}

void OutgoingQueue::finishTransmission(Line &line)
{
    const qint64 id = line.job;
    line.job = 0;
    const auto it = m_jobs.find(id);
    if (it == m_jobs.end())
        return;
    const QString number = faxbus::plainMap(it->second.value(QStringLiteral("Recipient"))).value(QStringLiteral("FaxNumber")).toString();
    try {
        if (line.device.busyNumbers.contains(number.trimmed()))
            failAttempt(line, it->second, QStringLiteral("Line busy"));
        else
            complete(line, it->second);
    } catch (const SpoolError &e) {
        postpone(it->second, QString::fromUtf8(e.what()));
    }
    dispatch();
}

void OutgoingQueue::failAttempt(Line &line, QVariantMap &job, const QString &reason)
{
    const int retries = job.value(KeyRetries).toInt() + 1;
    job.insert(KeyRetries, retries);
    m_log.info(QStringLiteral("job %1 on %2: %3 (attempt %4)").arg(job.value(KeyId).toString(), line.device.name, reason).arg(retries));
    if (retries > m_config.retries) {
        setStatus(job, status::RetriesExceeded, reason);
        return;
    }
    job.insert(KeyScheduled, nowMs() + qint64(m_config.retryIntervalSeconds * 1000));
    setStatus(job, status::Retrying, reason);
}

void OutgoingQueue::complete(Line &line, QVariantMap &job)
{
    const qint64 id = idNumber(job.value(KeyId).toString());
    const qint64 end = nowMs();
    QVariantMap sent = job;
    sent.insert(QStringLiteral("TransmissionEnd"), end);
    sent.insert(QStringLiteral("CSID"), line.device.csid);
    sent.insert(KeyStatus, status::Completed);
    sent.insert(QStringLiteral("ExtendedStatus"), QString());

    const QVariantMap sender = faxbus::plainMap(job.value(QStringLiteral("Sender")));
    QVariantMap received;
    received.insert(KeyId, idText(m_spool.allocateId()));
    for (const char *key : {"Pages", "TransmissionStart", "Sender", "Recipient", "TSID", "Priority"})
        received.insert(QString::fromLatin1(key), sent.value(QString::fromLatin1(key)));
    received.insert(QStringLiteral("TransmissionEnd"), end);
    received.insert(QStringLiteral("CSID"), line.device.csid);
    received.insert(QStringLiteral("CallerId"), sender.value(QStringLiteral("FaxNumber")).toString().isEmpty()
                                                    ? job.value(QStringLiteral("TSID")).toString()
                                                    : sender.value(QStringLiteral("FaxNumber")).toString());
    received.insert(QStringLiteral("DeviceName"), line.device.name);
    received.insert(KeyRetries, 0);

    m_spool.archiveJob(sent, received);
    m_jobs.erase(id);
    const QString text = idText(id);
    m_log.info(QStringLiteral("job %1 sent on %2; delivered as incoming message %3").arg(text, line.device.name, received.value(KeyId).toString()));
    Q_EMIT jobChanged(text, status::Completed);
    Q_EMIT jobRemoved(text);
    Q_EMIT outgoingMessageAdded(text);
    Q_EMIT incomingMessageAdded(received.value(KeyId).toString());
}

}  // namespace sendmere::faxd
