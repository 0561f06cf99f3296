// The HylaFAX line's jobs on the server: submitted once under their tag, followed through the
// server's queues into the sent archive, and cancelled there.
#include "HylaFaxLine.h"

#include "FaxComposer.h"
#include "FaxdConfig.h"
#include "HylaFaxLineParts.h"
#include "OutgoingFax.h"
#include "ServiceLog.h"
#include "Spool.h"

#include <QRandomGenerator>
#include <algorithm>

namespace sendmere::faxd {

namespace {

// JKILL moves a job to the done queue a moment later; only then can JDELE remove it.
void killServerJob(HylaFaxClient &client, const QString &serverId)
{
    client.command(QStringLiteral("JKILL ") + serverId);
    for (int attempt = 0; attempt < 25; ++attempt) {
        const hylafax::Reply reply = client.command(QStringLiteral("JDELE ") + serverId);
        if (reply.completed() || reply.text().contains(QStringLiteral("does not exist"), Qt::CaseInsensitive))
            return;
        QThread::msleep(200);
    }
    throw LineError(LineError::Kind::Rejected, QStringLiteral("the fax server did not remove its job %1").arg(serverId));
}

bool anyModemIdle(const QList<hylafax::Modem> &modems)
{
    return std::any_of(modems.begin(), modems.end(),
                       [](const hylafax::Modem &m) { return m.running && m.status.contains(QStringLiteral("idle"), Qt::CaseInsensitive); });
}

}  // namespace

void HylaFaxLine::submit(qint64 id)
{
    if (m_submitting.contains(id))
        return;
    JobRecord &job = m_jobs.at(id);
    if (job.lineTag.isEmpty()) {
        // The tag is in the spool before the server hears of the job: whatever happens next,
        // a later attempt looks for it first.
        const QString tag = QStringLiteral("sendmere-%1-%2").arg(job.idText()).arg(QRandomGenerator::system()->generate64() & 0xffffffffffffULL, 12, 16, QLatin1Char('0'));
        try {
            change(job, job.status, job.extendedStatus, [&tag](JobRecord &j) { j.lineTag = tag; });
        } catch (const SpoolError &e) {
            m_log.warning(QStringLiteral("job %1 waits: %2").arg(job.idText(), QString::fromUtf8(e.what())));
            return;
        }
    }
    const OutgoingFax fax = OutgoingFax::fromJob(job, m_spool.imagePath(Folder::Queue, id), m_config);
    m_submitting.insert(id);
    run<Submitted>(
        [fax](HylaFaxClient &client) {
            int bad = 0;
            for (const hylafax::ServerJob &found : serverJobs(client, bad))
                if (found.tag == fax.tag)
                    return Submitted{found.id, true};
            HylaFaxClient::NewJob newJob{fax.tag, jobParameters(fax, QDateTime::currentDateTimeUtc()), client.upload(fax.tiffPath)};
            return Submitted{client.submit(newJob), false};
        },
        [this, id](const Submitted &result) { submitted(id, result); },
        [this, id](const LineError &error) {
            m_submitting.remove(id);
            const auto it = m_jobs.find(id);
            if (error.kind() != LineError::Kind::Rejected || it == m_jobs.end()) {
                lineFailed(error);
                return;
            }
            m_log.warning(QStringLiteral("job %1: the fax server refused it: %2").arg(idText(id), error.text()));
            try {
                change(it->second, status::Failed, error.text());
            } catch (const SpoolError &e) {
                m_log.warning(QString::fromUtf8(e.what()));
            }
        });
}

void HylaFaxLine::submitted(qint64 id, const Submitted &result)
{
    m_submitting.remove(id);
    reachable();
    const auto it = m_jobs.find(id);
    if (it == m_jobs.end())
        return;
    m_log.info(result.foundByTag ? QStringLiteral("job %1 was on fax server %2 already as job %3").arg(idText(id), m_config.line.serverName(), result.serverId)
                                 : QStringLiteral("job %1 submitted to fax server %2 as job %3").arg(idText(id), m_config.line.serverName(), result.serverId));
    const int s = it->second.status;
    try {
        // A job cancelled meanwhile keeps its status: the next round removes the server's job.
        change(it->second, s, s == status::Cancelling ? it->second.extendedStatus
                                                      : QStringLiteral("Queued on fax server %1 as job %2").arg(m_config.line.serverName(), result.serverId),
               [&result](JobRecord &j) { j.serverJobId = result.serverId; });
    } catch (const SpoolError &e) {
        // The server's job is found again by its tag at the next round.
        m_log.warning(QString::fromUtf8(e.what()));
    }
}

void HylaFaxLine::cancel(qint64 id)
{
    const auto it = m_jobs.find(id);
    if (it == m_jobs.end())
        throw ServiceError(faxbus::ErrorNotFound, QStringLiteral("There is no job %1 in the outgoing queue.").arg(idText(id)));
    JobRecord &job = it->second;
    const QString text = idText(id);
    if (job.status == status::Cancelling)
        return;
    if (job.lineTag.isEmpty()) {
        // The server never heard of it.
        m_spool.removeJob(id);
        m_jobs.erase(it);
        m_log.info(QStringLiteral("job %1 cancelled").arg(text));
        Q_EMIT jobChanged(text, status::Cancelled);
        Q_EMIT jobRemoved(text);
        return;
    }
    change(job, status::Cancelling, QStringLiteral("Cancelling on fax server %1").arg(m_config.line.serverName()));
    kill(id);
}

void HylaFaxLine::kill(qint64 id)
{
    if (m_killing.contains(id))
        return;
    const JobRecord &job = m_jobs.at(id);
    const QString serverId = job.serverJobId, tag = job.lineTag;
    m_killing.insert(id);
    run<bool>(
        [serverId, tag](HylaFaxClient &client) {
            QString target = serverId;
            if (target.isEmpty()) {
                int bad = 0;
                for (const hylafax::ServerJob &found : serverJobs(client, bad))
                    if (found.tag == tag)
                        target = found.id;
            }
            if (!target.isEmpty())
                killServerJob(client, target);
            return true;
        },
        [this, id](bool) { killed(id); },
        [this, id](const LineError &error) {
            m_killing.remove(id);
            lineFailed(error);
        });
}

void HylaFaxLine::killed(qint64 id)
{
    m_killing.remove(id);
    if (!m_jobs.count(id))
        return;
    const QString text = idText(id);
    try {
        m_spool.removeJob(id);
    } catch (const SpoolError &e) {
        m_log.warning(QString::fromUtf8(e.what()));
        return;  // still "cancelling": the next round removes it
    }
    m_jobs.erase(id);
    m_waitingSince.erase(id);
    m_log.info(QStringLiteral("job %1 cancelled; fax server %2 removed its job").arg(text, m_config.line.serverName()));
    Q_EMIT jobChanged(text, status::Cancelled);
    Q_EMIT jobRemoved(text);
}

void HylaFaxLine::follow(JobRecord &job, const hylafax::ServerJob &sj)
{
    wakeIfStalled(job, sj);
    if (sj.state == u'D') {
        complete(job, sj);
        return;
    }
    const int retries = std::max(0, sj.dials - (sj.state == u'R' ? 1 : 0));
    const auto more = [retries](JobRecord &j) { j.retries = retries; };
    if (sj.state == u'F') {
        const bool exhausted = (sj.maxTries > 0 && sj.tries >= sj.maxTries) || (sj.maxDials > 0 && sj.dials >= sj.maxDials);
        const QString reason = sj.status.isEmpty() ? QStringLiteral("The fax server %1 gave up on job %2").arg(m_config.line.serverName(), sj.id) : sj.status;
        m_log.info(QStringLiteral("job %1 failed on fax server %2: %3").arg(job.idText(), m_config.line.serverName(), reason));
        change(job, exhausted ? status::RetriesExceeded : status::Failed, reason, more);
        return;
    }
    if (sj.state == u'R') {
        const auto running = [&sj, retries](JobRecord &j) {
            j.retries = retries;
            if (!sj.modem.isEmpty() && sj.modem != QStringLiteral("any"))  // "any": the server has not said which
                j.deviceName = sj.modem;
            if (j.transmissionStart == 0)
                j.transmissionStart = nowMs();
        };
        const QString progress = sj.pagesTotal > 0 ? QStringLiteral("Transmitting page %1 of %2").arg(std::min(sj.pagesSent + 1, sj.pagesTotal)).arg(sj.pagesTotal)
                                                   : QStringLiteral("Transmitting");
        change(job, status::InProgress, progress, running);
        return;
    }
    const bool retrying = sj.state == u'S' || (sj.dials > 0 && !sj.status.isEmpty());
    change(job, retrying ? status::Retrying : status::Pending,
           sj.status.isEmpty() ? QStringLiteral("Queued on fax server %1 as job %2").arg(m_config.line.serverName(), sj.id) : sj.status, more);
}

void HylaFaxLine::complete(JobRecord &job, const hylafax::ServerJob &sj)
{
    const qint64 id = job.id;
    JobRecord sent = job;
    const qint64 end = nowMs();
    if (sent.transmissionStart == 0)
        sent.transmissionStart = end;
    sent.transmissionEnd = end;
    sent.pages = sj.pagesSent > 0 ? sj.pagesSent : job.pages;
    if (!sj.modem.isEmpty() && sj.modem != QStringLiteral("any"))
        sent.deviceName = sj.modem;
    sent.retries = std::max(0, sj.dials - 1);
    sent.status = status::Completed;
    sent.extendedStatus.clear();
    m_spool.archiveJob(sent.toProperties(), std::nullopt);
    m_jobs.erase(id);
    const QString text = idText(id);
    m_log.info(QStringLiteral("job %1 sent by fax server %2 (its job %3, %4 pages on %5)")
                   .arg(text, m_config.line.serverName(), sj.id).arg(sj.pagesSent).arg(sj.modem));
    Q_EMIT jobChanged(text, status::Completed);
    Q_EMIT jobRemoved(text);
    Q_EMIT outgoingMessageAdded(text);
}

// The server's scheduler runs at most once a second and can miss a wake-up that comes in the
// same second as another (a job submitted just as a modem reports ready). The job then waits
// for a modem while one is idle, until the next event on the server, which in a quiet office
// may be hours away. Suspending it and submitting it again gives the scheduler its turn.
void HylaFaxLine::wakeIfStalled(const JobRecord &job, const hylafax::ServerJob &sj)
{
    if (sj.state != u'W' || !anyModemIdle(m_modems)) {
        m_waitingSince.erase(job.id);
        return;
    }
    const qint64 now = nowMs();
    const qint64 since = m_waitingSince.try_emplace(job.id, now).first->second;
    if (now - since < qint64(m_config.line.stallSeconds * 1000) || m_waking.contains(job.id))
        return;
    m_waitingSince[job.id] = now;  // once per period at most
    m_waking.insert(job.id);
    m_log.warning(QStringLiteral("job %1: fax server %2 kept its job %3 waiting for a modem for %4 s while a modem was idle; it is submitted to the server's scheduler again")
                      .arg(job.idText(), m_config.line.serverName(), sj.id)
                      .arg(qRound64((now - since) / 1000.0)));
    run<bool>(
        [serverId = sj.id](HylaFaxClient &client) {
            client.expectOk(QStringLiteral("JSUSP ") + serverId);
            // Once suspended, the job must not stay so: the submission is asked for again.
            for (int attempt = 1;; ++attempt) {
                if (client.command(QStringLiteral("JSUBM ") + serverId).completed())
                    return true;
                if (attempt == 5)
                    throw LineError(LineError::Kind::Rejected, QStringLiteral("the fax server keeps its job %1 suspended").arg(serverId));
                QThread::msleep(200);
            }
        },
        [this, id = job.id](bool) { m_waking.remove(id); },
        [this, id = job.id](const LineError &error) {
            m_waking.remove(id);
            if (error.kind() == LineError::Kind::Rejected)  // it started meanwhile, or is gone
                m_log.warning(QStringLiteral("job %1 was not submitted again: %2").arg(idText(id), error.text()));
            else
                lineFailed(error);
        });
}

}  // namespace sendmere::faxd
