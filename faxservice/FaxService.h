#pragma once
// The service object on the session bus (org.sendmere.Fax1 at /org/sendmere/Fax): every
// method checks its arguments and answers a bad id or path with an error reply, never with a
// crash; every change of the queue and the archives is announced by a signal, in order.
#include "FaxBusApi.h"
#include "FaxComposer.h"
#include "FaxdConfig.h"
#include "SubmissionStore.h"

#include <QDBusContext>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <QVariantMap>
#include <deque>
#include <memory>
#include <vector>

namespace sendmere::faxd {

class LineBackend;
class ServiceLog;
class Spool;
enum class Folder;

class FaxService : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.sendmere.Fax1")
public:
    FaxService(Spool &spool, FaxdConfig config, CoverPageDirs coverDirs, const ServiceLog &log, QObject *parent = nullptr);
    ~FaxService() override;

    // Registers the object and the bus name; false when another instance owns the name.
    bool publish();
    // Stops every render between two pages and waits up to waitMs for them; false when one
    // is stuck (the process must then end without waiting for it).
    bool stopRenders(int waitMs);

public Q_SLOTS:
    // Answers as soon as the submission is accepted (checked, its body copied into the spool,
    // its job ids reserved); the render follows, reported by SubmissionProgress and ended by
    // OutgoingJobAdded per job or by SubmissionFailed.
    QStringList Submit(const QVariantMap &document, QString &submissionId);
    QVariantMap GetSubmission(const QString &submissionId);
    // Withdraws a submission: one that waits or renders is failed with Cancelled and leaves
    // no job; one already queued has its jobs that are still in the queue cancelled. Returns
    // the ids of the jobs that will never be sent.
    QStringList CancelSubmission(const QString &submissionId);
    sendmere::faxbus::MapList ListJobs();
    QStringList ListJobIds();
    QVariantMap GetJob(const QString &id);
    void CancelJob(const QString &id);
    void CopyJobTiff(const QString &id, const QString &path);
    sendmere::faxbus::MapList ListMessages(const QString &folder, const QString &after, int count, QString &next);
    QVariantMap GetMessage(const QString &folder, const QString &id);
    void DeleteMessage(const QString &folder, const QString &id);
    void CopyMessageTiff(const QString &folder, const QString &id, const QString &path);
    sendmere::faxbus::MapList ListDevices();
    void Ring(int deviceId, const QString &callerId, const QString &path);
    QString AnswerCall(int deviceId);

Q_SIGNALS:
    void OutgoingJobAdded(const QString &id);
    void OutgoingJobRemoved(const QString &id);
    void OutgoingJobChanged(const QString &id, int status);
    void OutgoingMessageAdded(const QString &id);
    void OutgoingMessageRemoved(const QString &id);
    void IncomingJobAdded(const QString &id);
    void IncomingJobRemoved(const QString &id);
    void IncomingMessageAdded(const QString &id);
    void IncomingMessageRemoved(const QString &id);
    void IncomingCall(int deviceId, const QString &callerId);
    void ServerShutDown();
    void SubmissionProgress(const QString &submissionId, int pagesDone, int pagesTotal);
    void SubmissionFailed(const QString &submissionId, const QString &errorName, const QString &text);

private:
    template <typename Result, typename Body>
    Result guarded(Body body);
    struct SubmitTask;
    struct Failure {
        QString submissionId, errorName, errorText;
        QStringList ids;
    };
    std::shared_ptr<SubmitTask> acceptSubmission(const Submission &document);
    void resumeSubmissions();
    std::shared_ptr<SubmitTask> findTask(const QString &submissionId) const;
    void startRenders();
    void startRender(const std::shared_ptr<SubmitTask> &task);
    void renderTimedOut(const std::shared_ptr<SubmitTask> &task);
    void finishSubmission(SubmitTask &task);
    void failSubmission(SubmitTask &task, const QString &name, const QString &text);
    void reportProgress();
    JobRecord newJob(const Submission &document, const Person &recipient, qint64 id) const;
    qint64 knownJob(const QString &id) const;
    Folder archive(const QString &folder) const;
    JobRecord knownMessage(Folder folder, const QString &id) const;
    void copyImage(const QString &source, const QString &target, const QString &what) const;
    void checkIdle();
    void touch();

    Spool &m_spool;
    FaxdConfig m_config;
    CoverPageDirs m_coverDirs;
    const ServiceLog &m_log;
    LineBackend *m_line;  // a child of this object: what transmits and receives
    std::vector<std::shared_ptr<SubmitTask>> m_waiting;  // submissions not rendering yet
    std::vector<std::shared_ptr<SubmitTask>> m_rendering;
    SubmissionStore m_store;
    std::deque<Failure> m_failures;  // the latest, for a client that asks after the event
    QTimer m_progressTimer;
    QTimer m_idleTimer;
    QTimer m_busWatch;
    qint64 m_lastActivity = 0;
};

}  // namespace sendmere::faxd
