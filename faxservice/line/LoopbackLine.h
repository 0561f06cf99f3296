#pragma once
// The default line: virtual modems on this desktop. What they send comes back as a received
// fax, and a simulated call (from the console tool) rings until a client answers it.
#include "LineBackend.h"

namespace sendmere::faxd {

class IncomingLine;
class OutgoingQueue;

class LoopbackLine : public LineBackend {
    Q_OBJECT
public:
    LoopbackLine(Spool &spool, const FaxdConfig &config, const ServiceLog &log, QObject *parent = nullptr);

    void load() override;
    void add(const QList<JobRecord> &jobs) override;
    QList<JobRecord> jobs() const override;
    std::optional<JobRecord> job(qint64 id) const override;
    void cancel(qint64 id) override;
    bool hasWork() const override;
    void devices(DevicesDone done) override;
    void ring(int deviceId, const QString &callerId, const QString &documentPath, RingDone done) override;
    void answer(int deviceId, AnswerDone done) override;
    void stopRender() override;

private:
    const FaxdConfig &m_config;
    OutgoingQueue *m_queue;  // children of this object
    IncomingLine *m_incoming;
};

}  // namespace sendmere::faxd
