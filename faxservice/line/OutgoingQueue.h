#pragma once
// The outgoing queue: jobs waiting for their time, their priority and a free line, the
// simulated transmission on the virtual modems, retries, and the move of a sent job into
// the outgoing archive with its loopback delivery into the incoming archive.
#include "FaxdConfig.h"
#include "JobRecord.h"

#include <QDateTime>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace sendmere::faxd {

class ServiceLog;
class Spool;

namespace status {
constexpr int Pending = 1, InProgress = 2, Failed = 8, Retrying = 64, RetriesExceeded = 128,
              Completed = 256, Cancelled = 512, Cancelling = 1024;
}

// When a job with this schedule type and requested time, submitted at now, is due.
QDateTime dueTime(int scheduleType, const QDateTime &requested, const QDateTime &now, const FaxdConfig &config);

class OutgoingQueue : public QObject {
    Q_OBJECT
public:
    OutgoingQueue(Spool &spool, const FaxdConfig &config, const ServiceLog &log, QObject *parent = nullptr);
    ~OutgoingQueue() override;

    void load();  // the jobs of the spool; starts the schedule
    void add(const QList<JobRecord> &jobs);  // their images are in the spool already
    QList<JobRecord> jobs() const;
    std::optional<JobRecord> job(qint64 id) const;
    void cancel(qint64 id);
    bool hasWork() const;  // a job waits for its time or is being sent

Q_SIGNALS:
    void jobAdded(const QString &id);
    void jobChanged(const QString &id, int status);
    void jobRemoved(const QString &id);
    void outgoingMessageAdded(const QString &id);
    void incomingMessageAdded(const QString &id);

private:
    struct Line {
        DeviceConfig device;
        qint64 job = 0;
        std::unique_ptr<QTimer> timer;
    };

    void scheduleWake();
    void dispatch();
    std::optional<qint64> nextDueJob(const QDateTime &now) const;
    void startTransmission(Line &line, qint64 id);
    void finishTransmission(Line &line);
    void failAttempt(Line &line, JobRecord &job, const QString &reason);
    void complete(Line &line, JobRecord &job);
    void setStatus(JobRecord &job, int status, const QString &extended);
    void postpone(JobRecord &job, const QString &reason);
    Line *lineOf(qint64 id);

    Spool &m_spool;
    const FaxdConfig &m_config;
    const ServiceLog &m_log;
    std::map<qint64, JobRecord> m_jobs;
    std::vector<Line> m_lines;
    QTimer m_wake;
};

}  // namespace sendmere::faxd
