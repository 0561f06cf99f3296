#pragma once
// Simulated incoming calls: a call rings on a device (its document already rendered), a client
// answers it, and after the reception time the fax is in the incoming archive.
#include "FaxdConfig.h"

#include <QObject>
#include <QTimer>
#include <optional>

namespace sendmere::faxd {

class ServiceLog;
class Spool;

class IncomingLine : public QObject {
    Q_OBJECT
public:
    IncomingLine(Spool &spool, const FaxdConfig &config, const ServiceLog &log, QObject *parent = nullptr);
    ~IncomingLine() override;

    void ring(int deviceId, const QString &callerId, const QString &documentPath);
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
    };
    const DeviceConfig &device(int deviceId) const;
    void missed();
    void received();
    void discard();

    Spool &m_spool;
    const FaxdConfig &m_config;
    const ServiceLog &m_log;
    std::optional<Call> m_call;
    QTimer m_timer;
};

}  // namespace sendmere::faxd
