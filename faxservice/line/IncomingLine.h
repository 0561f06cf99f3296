#pragma once
// Simulated incoming calls: a call rings on a device (its document already rendered), a client
// answers it, and after the reception time the fax is in the incoming archive.
#include "FaxdConfig.h"

#include <QObject>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>

namespace sendmere::faxd {

class ServiceLog;
class Spool;

class IncomingLine : public QObject {
    Q_OBJECT
public:
    IncomingLine(Spool &spool, const FaxdConfig &config, const ServiceLog &log, QObject *parent = nullptr);
    ~IncomingLine() override;

    // The call's document is rendered on a worker thread; the line rings once it is ready
    // and done hears the outcome (an empty error name on success).
    using RingDone = std::function<void(const QString &errorName, const QString &errorText)>;
    void ring(int deviceId, const QString &callerId, const QString &documentPath, RingDone done);
    void stopRender();  // a render in progress stops between two pages
    QString answer(int deviceId);  // the id of the incoming job
    bool busy() const { return m_call.has_value(); }

Q_SIGNALS:
    void incomingCall(int deviceId, const QString &callerId);
    void incomingJobAdded(const QString &id);
    void incomingJobRemoved(const QString &id);
    void incomingMessageAdded(const QString &id);

private:
    struct Call {
        DeviceConfig device;
        QString callerId;
        qint64 id = 0;
        int pages = 0;
        bool answered = false;
        qint64 start = 0;
        bool rendering = true;  // the line is taken, but it rings only once the image is ready
    };
    struct RingRender;
    const DeviceConfig &device(int deviceId) const;
    void missed();
    void received();
    void discard();

    Spool &m_spool;
    const FaxdConfig &m_config;
    const ServiceLog &m_log;
    std::optional<Call> m_call;
    std::shared_ptr<RingRender> m_render;
    QTimer m_timer;
};

}  // namespace sendmere::faxd
