// The HylaFAX line's frame: its session thread, the jobs it holds, its rounds, and how it
// notes that the server is away. Jobs on the server are in HylaFaxLineJobs.cpp; the polls,
// received faxes, modems and calls in HylaFaxLinePoll.cpp.
#include "HylaFaxLine.h"

#include "FaxComposer.h"
#include "FaxdConfig.h"
#include "HylaFaxLineParts.h"
#include "Netrc.h"
#include "ServiceLog.h"
#include "Spool.h"

#include <algorithm>

namespace sendmere::faxd {

namespace {

constexpr int MaxBackoffMs = 60000;

}  // namespace

HylaFaxLine::HylaFaxLine(Spool &spool, const FaxdConfig &config, const ServiceLog &log, QObject *parent)
    : LineBackend(parent), m_spool(spool), m_config(config), m_log(log)
{
    hylafax::ServerSettings settings;
    settings.host = config.line.host;
    settings.port = config.line.port;
    settings.user = config.line.user;
    settings.password = [host = settings.host, user = settings.user](QString &error) -> std::optional<QString> {
        const registry::NetrcLookup lookup = registry::lookupNetrc(host, user);
        error = lookup.error;
        if (!lookup.credentials)
            return std::nullopt;
        return lookup.credentials->password;
    };
    settings.adminPassword = [host = settings.host, user = settings.user](QString &error) -> std::optional<QString> {
        const registry::NetrcLookup lookup = registry::lookupNetrc(host, user);
        error = lookup.error;
        if (!lookup.credentials || lookup.credentials->account.isEmpty())
            return std::nullopt;
        return lookup.credentials->account;
    };
    m_session = new Session(std::move(settings));
    m_session->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_session, [session = m_session] { delete session; }, Qt::DirectConnection);
    m_thread.setObjectName(QStringLiteral("hylafax line"));
    m_thread.start();
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &HylaFaxLine::round);
}

HylaFaxLine::~HylaFaxLine()
{
    // A call in progress gives up within a fraction of a second; the rest is not begun.
    m_thread.requestInterruption();
    QMetaObject::invokeMethod(m_session, [session = m_session] { session->end(); }, Qt::QueuedConnection);
    m_thread.quit();
    m_thread.wait();
}

void HylaFaxLine::load()
{
    for (const JobRecord &job : fromPropertiesList(m_spool.jobs()))
        m_jobs[job.id] = job;
    m_receipts = m_spool.lineReceipts();
    m_timer.start(0);
}

void HylaFaxLine::add(const QList<JobRecord> &jobs)
{
    m_spool.insertJobs(toPropertiesList(jobs));
    for (const JobRecord &job : jobs) {
        m_jobs[job.id] = job;
        Q_EMIT jobAdded(job.idText());
    }
    if (m_inFlight == 0 && m_unreachable.isEmpty())
        m_timer.start(0);
}

QList<JobRecord> HylaFaxLine::jobs() const
{
    QList<JobRecord> list;
    for (const auto &[id, job] : m_jobs)
        list.append(job);
    return list;
}

std::optional<JobRecord> HylaFaxLine::job(qint64 id) const
{
    const auto it = m_jobs.find(id);
    return it == m_jobs.end() ? std::nullopt : std::optional<JobRecord>(it->second);
}

bool HylaFaxLine::hasWork() const
{
    return !m_incoming.empty() || std::any_of(m_jobs.begin(), m_jobs.end(), [](const auto &e) { return isLive(e.second.status); });
}

// The job changes only once the spool holds the change; a SpoolError leaves it as it was.
void HylaFaxLine::change(JobRecord &job, int newStatus, const QString &extended, const std::function<void(JobRecord &)> &more)
{
    JobRecord changed = job;
    changed.status = newStatus;
    changed.extendedStatus = extended;
    if (more)
        more(changed);
    if (changed == job)
        return;
    m_spool.updateJob(changed.toProperties());
    const bool statusChanged = job.status != newStatus || job.extendedStatus != extended;
    job = changed;
    if (statusChanged)
        Q_EMIT jobChanged(job.idText(), newStatus);
}

// One round: cancels and submissions first, then the lists; the next round follows once
// all of them have answered, sooner or later as the server answers.
void HylaFaxLine::round()
{
    if (m_inFlight > 0)
        return;
    for (auto &[id, job] : m_jobs) {
        const int s = job.status;
        if (s == status::Cancelling)
            kill(id);
        else if (isWaiting(s) && job.serverJobId.isEmpty())
            submit(id);
    }
    poll();
}

void HylaFaxLine::roundDone()
{
    const int pollMs = int(m_config.line.pollSeconds * 1000);
    m_timer.start(m_unreachable.isEmpty() ? pollMs : m_backoffMs);
}

void HylaFaxLine::lineFailed(const LineError &error)
{
    if (error.kind() == LineError::Kind::Rejected) {
        m_log.warning(error.text());
        return;
    }
    if (error.text() != m_unreachable)
        m_log.warning(error.text());
    m_unreachable = error.text();
    m_backoffMs = std::clamp(m_backoffMs * 2, 1000, MaxBackoffMs);
    // The jobs that wait for the server say why.
    for (auto &[id, job] : m_jobs) {
        const int s = job.status;
        if (isWaiting(s) && job.serverJobId.isEmpty()) {
            try {
                change(job, s, m_unreachable);
            } catch (const SpoolError &e) {
                m_log.warning(QString::fromUtf8(e.what()));
            }
        }
    }
}

void HylaFaxLine::reachable()
{
    if (!m_unreachable.isEmpty())
        m_log.info(QStringLiteral("fax server %1 answers again").arg(m_config.line.serverName()));
    m_unreachable.clear();
    m_backoffMs = 0;
}

}  // namespace sendmere::faxd
