#include "LoopbackLine.h"

#include "FaxdConfig.h"
#include "HylaFaxLine.h"
#include "IncomingLine.h"
#include "OutgoingQueue.h"
#include "ServiceLog.h"

namespace sendmere::faxd {

LoopbackLine::LoopbackLine(Spool &spool, const FaxdConfig &config, const ServiceLog &log, QObject *parent)
    : LineBackend(parent),
      m_config(config),
      m_queue(new OutgoingQueue(spool, config, log, this)),
      m_incoming(new IncomingLine(spool, config, log, this))
{
    connect(m_queue, &OutgoingQueue::jobAdded, this, &LineBackend::jobAdded);
    connect(m_queue, &OutgoingQueue::jobChanged, this, &LineBackend::jobChanged);
    connect(m_queue, &OutgoingQueue::jobRemoved, this, &LineBackend::jobRemoved);
    connect(m_queue, &OutgoingQueue::outgoingMessageAdded, this, &LineBackend::outgoingMessageAdded);
    connect(m_queue, &OutgoingQueue::incomingMessageAdded, this, &LineBackend::incomingMessageAdded);
    connect(m_incoming, &IncomingLine::incomingCall, this, &LineBackend::incomingCall);
    connect(m_incoming, &IncomingLine::incomingJobAdded, this, &LineBackend::incomingJobAdded);
    connect(m_incoming, &IncomingLine::incomingJobRemoved, this, &LineBackend::incomingJobRemoved);
    connect(m_incoming, &IncomingLine::incomingMessageAdded, this, &LineBackend::incomingMessageAdded);
}

void LoopbackLine::load() { m_queue->load(); }
void LoopbackLine::add(const QList<JobRecord> &jobs) { m_queue->add(jobs); }
QList<JobRecord> LoopbackLine::jobs() const { return m_queue->jobs(); }
std::optional<JobRecord> LoopbackLine::job(qint64 id) const { return m_queue->job(id); }
void LoopbackLine::cancel(qint64 id) { m_queue->cancel(id); }
bool LoopbackLine::hasWork() const { return m_queue->hasWork() || m_incoming->busy(); }
void LoopbackLine::stopRender() { m_incoming->stopRender(); }

void LoopbackLine::devices(DevicesDone done)
{
    QList<FaxDevice> devices;
    for (const DeviceConfig &d : m_config.devices)
        devices.append({d.id, d.name, d.csid, d.tsid});
    done(devices, {}, {});
}

void LoopbackLine::ring(int deviceId, const QString &callerId, const QString &documentPath, RingDone done)
{
    m_incoming->ring(deviceId, callerId, documentPath, std::move(done));
}

void LoopbackLine::answer(int deviceId, AnswerDone done)
{
    done(m_incoming->answer(deviceId), {}, {});
}

QVariantMap FaxDevice::toProperties() const
{
    return {{QStringLiteral("Id"), id}, {QStringLiteral("DeviceName"), name}, {QStringLiteral("CSID"), csid}, {QStringLiteral("TSID"), tsid}};
}

QStringList LineBackend::jobIds() const
{
    QStringList ids;
    for (const JobRecord &job : jobs())
        ids.append(job.idText());
    return ids;
}

LineBackend *makeLine(Spool &spool, const FaxdConfig &config, const ServiceLog &log, QObject *parent)
{
    if (!config.line.error.isEmpty())
        log.warning(config.line.error);
    if (config.line.backend == LineConfig::Backend::HylaFax) {
        log.info(QStringLiteral("line: HylaFAX server %1, user %2").arg(config.line.serverName(), config.line.user));
        return new HylaFaxLine(spool, config, log, parent);
    }
    return new LoopbackLine(spool, config, log, parent);
}

}  // namespace sendmere::faxd
