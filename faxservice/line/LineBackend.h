#pragma once
// What transmits and receives for the fax service: the loopback (virtual modems that deliver
// what they send into the received archive) or a HylaFAX server. The service keeps its bus
// interface, spool, renders and events; a line holds the outgoing queue's jobs, places them
// on its line, follows them into the archives and brings received faxes in.
#include "FaxBusApi.h"
#include "JobRecord.h"

#include <QObject>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>

namespace sendmere::faxd {

struct FaxdConfig;
class ServiceLog;
class Spool;

// A fax device of the line: a virtual modem, or a modem of the fax server.
struct FaxDevice {
    int id = 0;  // counted from 1
    QString name, csid, tsid;
    QVariantMap toProperties() const;
};

class LineBackend : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~LineBackend() override = default;

    virtual void load() = 0;                              // the queued jobs of the spool
    virtual void add(const QList<JobRecord> &jobs) = 0;  // their images are in the spool already
    virtual QList<JobRecord> jobs() const = 0;
    QStringList jobIds() const;                           // in the order of jobs()
    virtual std::optional<JobRecord> job(qint64 id) const = 0;
    virtual void cancel(qint64 id) = 0;                   // raises ServiceError, SpoolError
    virtual bool hasWork() const = 0;                     // the service must not end meanwhile

    // Answers come through these; an empty error name means success. A line may answer
    // before the call returns.
    using DevicesDone = std::function<void(const QList<FaxDevice> &devices, const QString &errorName, const QString &errorText)>;
    using RingDone = std::function<void(const QString &errorName, const QString &errorText)>;
    using AnswerDone = std::function<void(const QString &jobId, const QString &errorName, const QString &errorText)>;
    virtual void devices(DevicesDone done) = 0;
    virtual void ring(int deviceId, const QString &callerId, const QString &documentPath, RingDone done) = 0;
    virtual void answer(int deviceId, AnswerDone done) = 0;
    virtual void stopRender() {}  // a render for a simulated call stops between two pages

Q_SIGNALS:
    void jobAdded(const QString &id);
    void jobChanged(const QString &id, int status);
    void jobRemoved(const QString &id);
    void outgoingMessageAdded(const QString &id);
    void incomingMessageAdded(const QString &id);
    void incomingCall(int deviceId, const QString &callerId);
    void incomingJobAdded(const QString &id);
    void incomingJobRemoved(const QString &id);
};

// The line that faxd.conf [Line] names; a child of parent.
LineBackend *makeLine(Spool &spool, const FaxdConfig &config, const ServiceLog &log, QObject *parent);

}  // namespace sendmere::faxd
