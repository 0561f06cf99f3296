#include "OutgoingQueue.h"

#include "FaxBusApi.h"
#include "FaxComposer.h"
#include "ServiceLog.h"
#include "Spool.h"

#include <algorithm>

namespace sendmere::faxd {

namespace {

qint64 nowMs() { return QDateTime::currentMSecsSinceEpoch(); }

bool inDiscountPeriod(QTime t, const FaxdConfig &c)
{
    if (c.discountStart <= c.discountEnd)
        return t >= c.discountStart && t < c.discountEnd;
    return t >= c.discountStart || t < c.discountEnd;
}

bool isWaiting(const JobRecord &job)
{
    return job.status == status::Pending || job.status == status::Retrying;
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
    for (JobRecord job : fromPropertiesList(m_spool.jobs())) {
        // No line carries a job at the start: one the spool could not requeue (a full disk)
        // is requeued here, so that it moves all the same.
        if (job.status == status::InProgress || job.status == status::Cancelling)
            job.status = job.status == status::InProgress ? status::Pending : status::Cancelled;
        m_jobs[job.id] = job;
    }
    scheduleWake();
}

void OutgoingQueue::add(const QList<JobRecord> &jobs)
{
    m_spool.insertJobs(toPropertiesList(jobs));
    for (const JobRecord &job : jobs) {
        m_jobs[job.id] = job;
        Q_EMIT jobAdded(job.idText());
    }
    scheduleWake();
}

QList<JobRecord> OutgoingQueue::jobs() const
{
    QList<JobRecord> list;
    for (const auto &[id, job] : m_jobs)
        list.append(job);
    return list;
}

std::optional<JobRecord> OutgoingQueue::job(qint64 id) const
{
    const auto it = m_jobs.find(id);
    if (it == m_jobs.end())
        return std::nullopt;
    return it->second;
}

bool OutgoingQueue::hasWork() const
{
    return std::any_of(m_jobs.begin(), m_jobs.end(), [](const auto &entry) {
        const int s = entry.second.status;
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
void OutgoingQueue::setStatus(JobRecord &job, int newStatus, const QString &extended)
{
    JobRecord changed = job;
    changed.status = newStatus;
    changed.extendedStatus = extended;
    m_spool.updateJob(changed.toProperties());
    job = changed;
    Q_EMIT jobChanged(job.idText(), newStatus);
}

// The spool refused a write (most often a full disk): this job waits a retry interval and
// tries again by itself, showing why; its retries are not used up and the others go on.
void OutgoingQueue::postpone(JobRecord &job, const QString &reason)
{
    const QString id = job.idText();
    job.status = status::Retrying;
    job.extendedStatus = QStringLiteral("Postponed: %1").arg(reason);
    job.scheduledTime = nowMs() + qint64(std::clamp(m_config.retryIntervalSeconds, 1.0, 600.0) * 1000);
    m_log.warning(QStringLiteral("job %1 postponed: %2").arg(id, reason));
    try {
        m_spool.updateJob(job.toProperties());
    } catch (const SpoolError &) {
        // the spool keeps the job as it was; the queue in memory holds the reason meanwhile
    }
    Q_EMIT jobChanged(id, status::Retrying);
}

std::optional<qint64> OutgoingQueue::nextDueJob(const QDateTime &now) const
{
    std::optional<qint64> best;
    auto better = [&](const JobRecord &a, const JobRecord &b) {
        if (a.priority != b.priority)
            return a.priority > b.priority;
        return a.scheduledTime < b.scheduledTime;
    };
    for (const auto &[id, job] : m_jobs) {
        if (!isWaiting(job) || job.scheduledTime > now.toMSecsSinceEpoch())
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
            const qint64 due = job.scheduledTime;
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
    JobRecord &job = m_jobs.at(id);
    JobRecord started = job;
    started.transmissionStart = nowMs();
    started.deviceName = line.device.name;
    try {
        setStatus(started, status::InProgress, QStringLiteral("Transmitting"));
    } catch (const SpoolError &e) {
        postpone(job, QString::fromUtf8(e.what()));
        return;
    }
    job = started;
    line.job = id;
    const double seconds = m_config.dialDelaySeconds + m_config.secondsPerPage * job.pages;
    line.timer->start(msecsFromSeconds(seconds));
}

void OutgoingQueue::finishTransmission(Line &line)
{
    const qint64 id = line.job;
    line.job = 0;
    const auto it = m_jobs.find(id);
    if (it == m_jobs.end())
        return;
    const QString number = it->second.recipient.faxNumber;
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

void OutgoingQueue::failAttempt(Line &line, JobRecord &job, const QString &reason)
{
    const int retries = job.retries + 1;
    job.retries = retries;
    m_log.info(QStringLiteral("job %1 on %2: %3 (attempt %4)").arg(job.idText(), line.device.name, reason).arg(retries));
    if (retries > m_config.retries) {
        setStatus(job, status::RetriesExceeded, reason);
        return;
    }
    job.scheduledTime = nowMs() + qint64(m_config.retryIntervalSeconds * 1000);
    setStatus(job, status::Retrying, reason);
}

void OutgoingQueue::complete(Line &line, JobRecord &job)
{
    const qint64 id = job.id;
    const qint64 end = nowMs();
    JobRecord sent = job;
    sent.transmissionEnd = end;
    sent.csid = line.device.csid;
    sent.status = status::Completed;
    sent.extendedStatus.clear();

    // The loopback delivers it as a received fax: the transmission, its people and its
    // priority, and the sender's number (or the job's TSID) as the caller's.
    JobRecord received;
    received.id = m_spool.allocateId();
    received.pages = sent.pages;
    received.transmissionStart = sent.transmissionStart;
    received.sender = sent.sender;
    received.recipient = sent.recipient;
    received.tsid = sent.tsid;
    received.priority = sent.priority;
    received.transmissionEnd = end;
    received.csid = line.device.csid;
    received.callerId = job.sender.faxNumber.isEmpty() ? job.tsid : job.sender.faxNumber;
    received.deviceName = line.device.name;

    m_spool.archiveJob(sent.toProperties(), received.toProperties());
    m_jobs.erase(id);
    const QString text = idText(id);
    m_log.info(QStringLiteral("job %1 sent on %2; delivered as incoming message %3").arg(text, line.device.name, received.idText()));
    Q_EMIT jobChanged(text, status::Completed);
    Q_EMIT jobRemoved(text);
    Q_EMIT outgoingMessageAdded(text);
    Q_EMIT incomingMessageAdded(received.idText());
}

}  // namespace sendmere::faxd
