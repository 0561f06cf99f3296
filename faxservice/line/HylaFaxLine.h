#pragma once
// The HylaFAX line: jobs are uploaded to a HylaFAX server and followed there until they are
// done, faxes its modems received are brought into the received archive, and its modems
// are the fax devices. The protocol runs on a thread of its own, so that the service answers
// its clients while the server is slow or away; the spool is written on the service's thread.
//
// Nothing is lost or sent twice: before a job is first offered to the server it gets a tag
// (committed in the spool), and before every submission the server's queues are searched
// for that tag. A service killed after the server took a job, or a connection cut between
// JNEW and JSUBM, finds the job (or its absence) there at the next attempt. A cancel is kept
// as "cancelling" in the spool until the server has removed its job.
#include "HylaFaxProtocol.h"
#include "LineBackend.h"

#include <QSet>
#include <QThread>
#include <QTimer>
#include <map>

namespace sendmere::faxd {

namespace hylafax {
class HylaFaxClient;
}

class HylaFaxLine : public LineBackend {
    Q_OBJECT
public:
    HylaFaxLine(Spool &spool, const FaxdConfig &config, const ServiceLog &log, QObject *parent = nullptr);
    ~HylaFaxLine() override;

    void load() override;
    void add(const QList<JobRecord> &jobs) override;
    QList<JobRecord> jobs() const override;
    std::optional<JobRecord> job(qint64 id) const override;
    void cancel(qint64 id) override;
    bool hasWork() const override;
    void devices(DevicesDone done) override;
    void ring(int deviceId, const QString &callerId, const QString &documentPath, RingDone done) override;
    void answer(int deviceId, AnswerDone done) override;

private:
    struct Snapshot {
        QList<hylafax::ServerJob> jobs;
        QList<hylafax::ReceivedFax> received;
        QList<hylafax::Modem> modems;
        int bad = 0;  // lines that made no sense
    };
    struct Submitted {
        QString serverId;
        bool foundByTag = false;
    };
    class Session;

    template <typename Result, typename Work, typename Done, typename Failed>
    void run(Work work, Done done, Failed failed);
    void round();
    void roundDone();
    void submit(qint64 id);
    void submitted(qint64 id, const Submitted &result);
    void kill(qint64 id);
    void killed(qint64 id);
    void poll();
    void apply(const Snapshot &snapshot);
    void announceRinging();  // IncomingCall for each call that began to ring
    void follow(JobRecord &job, const hylafax::ServerJob &serverJob);
    void wakeIfStalled(const JobRecord &job, const hylafax::ServerJob &serverJob);
    void complete(JobRecord &job, const hylafax::ServerJob &serverJob);
    void receive(const hylafax::ReceivedFax &fax);
    void lineFailed(const hylafax::LineError &error);
    void reachable();
    // more changes other fields of the job at the same time.
    void change(JobRecord &job, int status, const QString &extended, const std::function<void(JobRecord &)> &more = {});
    QList<FaxDevice> deviceList() const;
    QString receiptKey(const QString &file) const;

    Spool &m_spool;
    const FaxdConfig &m_config;
    const ServiceLog &m_log;
    std::map<qint64, JobRecord> m_jobs;
    QThread m_thread;
    Session *m_session;  // lives on m_thread, deleted with it
    int m_inFlight = 0;
    QSet<qint64> m_submitting, m_killing;
    QSet<QString> m_receipts;              // received faxes of the server already in the archive
    QSet<QString> m_retrieving, m_refused;  // being fetched; the server would not give them
    std::map<QString, qint64> m_incoming;  // faxes coming in, with the id they will have
    std::optional<qint64> m_answered;      // the id of the call a client answered, for the next fax
    std::map<qint64, int> m_missing;       // polls in a row that did not list a job's server job
    std::map<qint64, qint64> m_waitingSince;  // since when a job waits for a modem while one is idle
    QSet<qint64> m_waking;                   // jobs being handed to the scheduler again
    QList<hylafax::Modem> m_modems;
    bool m_modemsKnown = false;
    QSet<QString> m_ringing;  // the modems on which a call rings, announced once per call
    QSet<QString> m_answering;  // of those, the ones a client has answered: one answer per call
    QList<DevicesDone> m_deviceWaiters;
    QString m_unreachable;  // why the last round failed; empty while the server answers
    int m_backoffMs = 0;
    QTimer m_timer;
};

}  // namespace sendmere::faxd
