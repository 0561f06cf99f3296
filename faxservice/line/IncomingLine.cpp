#include "IncomingLine.h"

#include "FaxBusApi.h"
#include "FaxComposer.h"
#include "JobRecord.h"
#include "ServiceLog.h"
#include "Spool.h"

#include "FaxRender.h"

#include <QDateTime>
#include <QFile>
#include <QThread>
#include <atomic>

namespace sendmere::faxd {

IncomingLine::IncomingLine(Spool &spool, const FaxdConfig &config, const ServiceLog &log, QObject *parent)
    : QObject(parent), m_spool(spool), m_config(config), m_log(log)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        if (m_call)
            m_call->answered ? received() : missed();
    });
}

IncomingLine::~IncomingLine()
{
    if (m_call && !m_call->rendering)
        discard();
}

const DeviceConfig &IncomingLine::device(int deviceId) const
{
    for (const DeviceConfig &d : m_config.devices)
        if (d.id == deviceId)
            return d;
    throw ServiceError(faxbus::ErrorNotFound, QStringLiteral("There is no fax device %1.").arg(deviceId));
}

struct IncomingLine::RingRender {
    std::atomic<bool> cancel{false};
    int pages = 0;
    QString errorName, errorText;
};

void IncomingLine::ring(int deviceId, const QString &callerId, const QString &documentPath, RingDone done)
{
    const DeviceConfig &d = device(deviceId);
    if (m_call)
        throw ServiceError(faxbus::ErrorFailed, QStringLiteral("The line of %1 is busy with another call.").arg(d.name));
    checkReadable(documentPath);
    const qint64 id = m_spool.allocateId();
    const QString part = m_spool.partPath(Folder::Received, id);
    m_call = Call{d, callerId, id, 0, false, 0, true};
    auto render = std::make_shared<RingRender>();
    m_render = render;
    // Rendered beside the service's thread, so that other clients are answered meanwhile.
    QThread *worker = QThread::create([render, documentPath, callerId, part] {
        try {
            render->pages = composeIncomingImage(documentPath, callerId, part, &render->cancel);
        } catch (const ServiceError &e) {
            render->errorName = e.name();
            render->errorText = e.text();
        } catch (const render::RenderError &e) {
            render->errorName = faxbus::ErrorRenderFailed;
            render->errorText = e.message();
        } catch (const std::exception &e) {
            render->errorName = faxbus::ErrorFailed;
            render->errorText = QString::fromUtf8(e.what());
        }
    });
    worker->setParent(this);
    connect(worker, &QThread::finished, this, [this, worker, render, part, deviceId, callerId, done] {
        worker->deleteLater();
        m_render.reset();
        if (!render->errorName.isEmpty()) {
            QFile::remove(part);
            m_call.reset();
            done(render->errorName, render->errorText);
            return;
        }
        m_call->pages = render->pages;
        m_call->rendering = false;
        m_log.info(QStringLiteral("incoming call from %1 rings on %2").arg(callerId, m_call->device.name));
        m_timer.start(int(m_config.ringSeconds * 1000));
        done({}, {});
        Q_EMIT incomingCall(deviceId, callerId);
    });
    worker->start();
}

void IncomingLine::stopRender()
{
    if (m_render)
        m_render->cancel = true;
}

QString IncomingLine::answer(int deviceId)
{
    const DeviceConfig &d = device(deviceId);
    if (!m_call || m_call->rendering || m_call->answered || m_call->device.id != deviceId)
        throw ServiceError(faxbus::ErrorNoCall, QStringLiteral("No call is ringing on %1.").arg(d.name));
    m_call->answered = true;
    m_call->start = QDateTime::currentMSecsSinceEpoch();
    m_timer.start(int((m_config.dialDelaySeconds + m_config.secondsPerPage * m_call->pages) * 1000));
    const QString id = idText(m_call->id);
    Q_EMIT incomingJobAdded(id);
    return id;
}

void IncomingLine::missed()
{
    m_log.info(QStringLiteral("incoming call from %1 was not answered").arg(m_call->callerId));
    discard();
}

void IncomingLine::discard()
{
    QFile::remove(m_spool.partPath(Folder::Received, m_call->id));
    m_call.reset();
}

void IncomingLine::received()
{
    const Call call = *m_call;
    m_call.reset();
    JobRecord message;
    message.id = call.id;
    message.pages = call.pages;
    message.csid = call.device.csid;
    message.tsid = message.callerId = call.callerId;
    message.deviceName = call.device.name;
    message.transmissionStart = call.start;
    message.transmissionEnd = QDateTime::currentMSecsSinceEpoch();
    const QString id = idText(call.id);
    try {
        m_spool.insertMessage(Folder::Received, message.toProperties());
    } catch (const SpoolError &e) {
        m_log.warning(QStringLiteral("incoming fax %1 from %2 is lost: %3").arg(id, call.callerId, QString::fromUtf8(e.what())));
        Q_EMIT incomingJobRemoved(id);
        return;
    }
    m_log.info(QStringLiteral("incoming fax %1 from %2 received on %3").arg(id, call.callerId, call.device.name));
    Q_EMIT incomingJobRemoved(id);
    Q_EMIT incomingMessageAdded(id);
}

}  // namespace sendmere::faxd
