// Submit, GetSubmission and CancelSubmission: a submission is accepted (its document read,
// its body copied into the spool, its job ids reserved), followed, withdrawn, and taken up
// again after a restart.
#include "FaxService.h"

#include "FaxServiceGuard.h"
#include "LineBackend.h"
#include "OutgoingQueue.h"
#include "ServiceLog.h"
#include "Spool.h"
#include "SubmitTask.h"

#include <QDateTime>

namespace sendmere::faxd {

namespace {

// A submission whose render was cut short this often (the service crashed or hung in it each
// time) is not rendered once more at the next start: it is failed, with the reason.
constexpr int MaxInterruptedRenders = 3;

}  // namespace

// A new job of a submission for one of its recipients, sent by the first device's TSID when
// the sender names neither a TSID nor a fax number.
JobRecord FaxService::newJob(const Submission &doc, const Person &recipient, qint64 id) const
{
    JobRecord job;
    job.id = id;
    job.subject = doc.subject;
    job.documentName = doc.documentName;
    job.note = doc.note;
    job.coverPage = doc.coverPage;
    job.coverPageType = doc.coverPageType;
    job.priority = doc.priority;
    job.scheduleType = doc.scheduleType;
    job.attachFaxToReceipt = doc.attachFaxToReceipt;
    job.status = status::Pending;
    const QDateTime now = QDateTime::currentDateTime();
    const QDateTime due = dueTime(doc.scheduleType, faxbus::fromWire(doc.scheduleTime), now, m_config);
    job.submissionTime = faxbus::toWire(now);
    job.originalScheduledTime = job.scheduledTime = faxbus::toWire(due);
    job.sender = doc.sender;
    job.recipient = recipient;
    job.tsid = !doc.sender.tsid.isEmpty() ? doc.sender.tsid : !doc.sender.faxNumber.isEmpty() ? doc.sender.faxNumber : m_config.devices.value(0).tsid;
    return job;
}

// Checks the document, reserves one job id per recipient and keeps the submission with its
// own copy of the body in the spool; raises ServiceError or SpoolError when refused.
std::shared_ptr<FaxService::SubmitTask> FaxService::acceptSubmission(const Submission &doc)
{
    PendingSubmission pending;
    pending.submission = doc;
    pending.cover = resolveCoverPage(m_coverDirs, doc.coverPageType, doc.coverPage);
    pending.clientBody = doc.body;
    if (!pending.clientBody.isEmpty())
        checkReadable(pending.clientBody);
    else if (pending.cover.isEmpty())
        throw ServiceError(faxbus::ErrorInvalidArgument, QStringLiteral("The fax has neither a cover page nor a body."));
    const QList<qint64> ids = m_spool.allocateIds(int(doc.recipients.size()));
    pending.key = idText(ids.first());
    // A submission without an id of the client's gets one, so that it can be followed too.
    pending.submissionId = doc.submissionId;
    if (pending.submissionId.isEmpty())
        pending.submissionId = QStringLiteral("submission-") + pending.key;
    for (int i = 0; i < doc.recipients.size(); ++i) {
        JobRecord job = newJob(doc, doc.recipients.at(i), ids.at(i));
        job.submissionId = pending.submissionId;
        pending.jobs.append(job);
    }
    pending.renders = 1;  // this service takes it on
    m_store.accept(pending);
    auto task = std::make_shared<SubmitTask>();
    task->pending = std::move(pending);
    for (qint64 id : ids)
        task->partPaths.append(m_spool.partPath(Folder::Queue, id));
    task->bodyTemp = task->partPaths.first() + QStringLiteral(".body.part");
    return task;
}

// What the service accepted before it last stopped is rendered again under the ids it was
// given; what was queued meanwhile (the stop came between the queueing and the clean-up) is
// left as it is.
void FaxService::resumeSubmissions()
{
    for (PendingSubmission &pending : m_store.load()) {
        for (const JobRecord &job : pending.jobs)
            m_spool.keepIdsAbove(job.id);
        if (!m_spool.submittedJobs(pending.submissionId).isEmpty()) {
            m_log.info(QStringLiteral("submission %1 was queued before the service stopped").arg(pending.submissionId));
            m_store.remove(pending.key);
            continue;
        }
        auto task = std::make_shared<SubmitTask>();
        task->pending = std::move(pending);
        for (const QString &id : task->ids())
            task->partPaths.append(m_spool.partPath(Folder::Queue, idNumber(id)));
        task->bodyTemp = task->partPaths.first() + QStringLiteral(".body.part");
        if (task->pending.renders >= MaxInterruptedRenders) {
            failSubmission(*task, faxbus::ErrorRenderFailed,
                           QStringLiteral("The fax service stopped %1 times while it rendered %2; the fax was not queued.")
                               .arg(task->pending.renders)
                               .arg(task->pending.clientBody.isEmpty() ? QStringLiteral("the cover page") : task->pending.clientBody));
            continue;
        }
        m_log.info(QStringLiteral("submission %1 (%2) was accepted before the service stopped; it is rendered again")
                       .arg(task->pending.submissionId, task->ids().join(u',')));
        // Counted before it starts: a render that takes the service down with it is not tried
        // for ever.
        ++task->pending.renders;
        try {
            m_store.update(task->pending);
        } catch (const SpoolError &e) {
            m_log.warning(QString::fromUtf8(e.what()));
        }
        m_waiting.push_back(task);
    }
    startRenders();
}

std::shared_ptr<FaxService::SubmitTask> FaxService::findTask(const QString &submissionId) const
{
    for (const auto *list : {&m_waiting, &m_rendering})
        for (const auto &task : *list)
            if (!task->failed && task->pending.submissionId == submissionId)
                return task;
    return nullptr;
}

// Answers once the submission is accepted, whatever its size: the caller may then delete its
// body file. The jobs are announced (OutgoingJobAdded) only once their images exist. A
// submission id the client gave makes a retry safe: the jobs made or reserved for it already
// are the answer.
QStringList FaxService::Submit(const QVariantMap &document, QString &submissionId)
{
    return guarded<QStringList>([&] {
        const QVariantMap doc = faxbus::plainMap(document);
        submissionId = Submission::idOf(doc);
        if (!submissionId.isEmpty()) {
            const QStringList made = m_spool.submittedJobs(submissionId);
            if (!made.isEmpty()) {
                m_log.info(QStringLiteral("submission %1 was queued before as %2").arg(submissionId, made.join(u',')));
                return made;
            }
            if (const auto task = findTask(submissionId))
                return task->ids();
        }
        const std::shared_ptr<SubmitTask> task = acceptSubmission(Submission::fromBus(doc));
        submissionId = task->pending.submissionId;
        m_log.info(QStringLiteral("submission %1 accepted as %2").arg(submissionId, task->ids().join(u',')));
        m_waiting.push_back(task);
        startRenders();
        return task->ids();
    });
}

QVariantMap FaxService::GetSubmission(const QString &submissionId)
{
    return guarded<QVariantMap>([&] {
        QVariantMap state{{QStringLiteral("SubmissionId"), submissionId}, {QStringLiteral("PagesDone"), 0},
                          {QStringLiteral("PagesTotal"), 0},           {QStringLiteral("JobIds"), QStringList()},
                          {QStringLiteral("ErrorName"), QString()},      {QStringLiteral("ErrorText"), QString()}};
        if (const auto task = findTask(submissionId)) {
            state.insert(QStringLiteral("State"), task->worker ? QStringLiteral("rendering") : QStringLiteral("waiting"));
            state.insert(QStringLiteral("PagesDone"), task->pagesDone.load());
            state.insert(QStringLiteral("PagesTotal"), task->pagesTotal.load());
            state.insert(QStringLiteral("JobIds"), task->ids());
            return state;
        }
        if (const QStringList made = m_spool.submittedJobs(submissionId); !made.isEmpty()) {
            state.insert(QStringLiteral("State"), QStringLiteral("queued"));
            state.insert(QStringLiteral("JobIds"), made);
            return state;
        }
        for (const Failure &f : m_failures)
            if (f.submissionId == submissionId) {
                state.insert(QStringLiteral("State"), QStringLiteral("failed"));
                state.insert(QStringLiteral("JobIds"), f.ids);
                state.insert(QStringLiteral("ErrorName"), f.errorName);
                state.insert(QStringLiteral("ErrorText"), f.errorText);
                return state;
            }
        throw ServiceError(faxbus::ErrorNotFound, QStringLiteral("There is no submission \"%1\".").arg(submissionId));
    });
}

QStringList FaxService::CancelSubmission(const QString &submissionId)
{
    return guarded<QStringList>([&] {
        if (const auto task = findTask(submissionId)) {
            // A render stops between two pages; its images are thrown away once it has.
            task->cancel = true;
            std::erase(m_waiting, task);
            failSubmission(*task, faxbus::ErrorCancelled,
                           QStringLiteral("The submission \"%1\" was withdrawn; nothing was queued.").arg(submissionId));
            return task->ids();
        }
        if (const QStringList made = m_spool.submittedJobs(submissionId); !made.isEmpty()) {
            // Queued already: what has not been sent yet leaves the queue.
            QStringList withdrawn;
            for (const QString &id : made)
                if (const qint64 number = idNumber(id); number != 0 && m_line->job(number)) {
                    m_line->cancel(number);
                    withdrawn.append(id);
                }
            m_log.info(QStringLiteral("submission %1 withdrawn after it was queued: %2 cancelled")
                           .arg(submissionId, withdrawn.isEmpty() ? QStringLiteral("no job") : withdrawn.join(u',')));
            return withdrawn;
        }
        for (const Failure &f : m_failures)
            if (f.submissionId == submissionId)
                return f.ids;  // nothing of it was ever queued
        throw ServiceError(faxbus::ErrorNotFound, QStringLiteral("There is no submission \"%1\".").arg(submissionId));
    });
}

}  // namespace sendmere::faxd
