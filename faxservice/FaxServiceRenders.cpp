// The renders of accepted submissions on worker threads: their turns, their time limit, their
// progress events, and their end in queued jobs or a failed submission.
#include "FaxService.h"

#include "LineBackend.h"
#include "ServiceLog.h"
#include "Spool.h"
#include "SubmitTask.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QThread>
#include <QTimer>

namespace sendmere::faxd {

namespace {

constexpr int ProgressTickMs = 250;    // progress is reported at most this often per submission
constexpr qint64 HeartbeatMs = 5000;   // and at least this often, unchanged, while it waits or renders
constexpr size_t RememberedFailures = 100;

int maxConcurrentRenders() { return std::max(1, QThread::idealThreadCount()); }

}  // namespace

bool FaxService::stopRenders(int waitMs)
{
    for (const auto &task : m_rendering)
        task->cancel = true;
    m_line->stopRender();
    QDeadlineTimer deadline(waitMs);
    bool stopped = true;
    for (QThread *worker : findChildren<QThread *>())
        stopped = worker->wait(deadline) && stopped;
    // A submission this service did not get to render, or whose render stopped here, was not
    // cut short by a fault of its own: it does not count against it at the next start.
    std::vector<std::shared_ptr<SubmitTask>> stoppedCleanly = m_waiting;
    for (const auto &task : m_rendering)
        if (!task->failed && task->worker->isFinished())
            stoppedCleanly.push_back(task);
    for (const auto &task : stoppedCleanly) {
        --task->pending.renders;
        try {
            m_store.update(task->pending);
        } catch (const SpoolError &e) {
            m_log.warning(QString::fromUtf8(e.what()));
        }
    }
    m_waiting.clear();
    m_rendering.clear();
    return stopped;
}

// At most one render per core runs at a time; the others wait their turn in order.
void FaxService::startRenders()
{
    while (!m_waiting.empty() && int(m_rendering.size()) < maxConcurrentRenders()) {
        const std::shared_ptr<SubmitTask> task = m_waiting.front();
        m_waiting.erase(m_waiting.begin());
        startRender(task);
    }
    if (!m_waiting.empty() || !m_rendering.empty())
        m_progressTimer.start(ProgressTickMs);
}

void FaxService::startRender(const std::shared_ptr<SubmitTask> &task)
{
    m_rendering.push_back(task);
    QThread *worker = QThread::create([task] { task->run(); });
    task->worker = worker;
    worker->setParent(this);
    connect(worker, &QThread::finished, this, [this, task, worker] {
        worker->deleteLater();
        std::erase(m_rendering, task);
        finishSubmission(*task);
        startRenders();
    });
    QTimer::singleShot(int(m_config.renderSeconds * 1000), worker, [this, task] { renderTimedOut(task); });
    worker->start();
}

// A render past its time is stopped and its clients hear so at once; a render stuck inside
// one page is left to end by itself, and its images are thrown away then.
void FaxService::renderTimedOut(const std::shared_ptr<SubmitTask> &task)
{
    if (task->failed)
        return;
    task->cancel = true;
    failSubmission(*task, faxbus::ErrorRenderFailed,
                   QStringLiteral("Rendering %1 took longer than %2 seconds; the fax was not queued.")
                       .arg(task->pending.clientBody.isEmpty() ? QStringLiteral("the cover page") : task->pending.clientBody)
                       .arg(m_config.renderSeconds));
}

void FaxService::finishSubmission(SubmitTask &task)
{
    touch();
    if (task.failed) {
        task.removeImages();
        return;
    }
    if (!task.errorName.isEmpty()) {
        failSubmission(task, task.errorName, task.errorText);
        return;
    }
    try {
        m_line->add(task.pending.jobs);
    } catch (const SpoolError &e) {
        task.removeImages();
        failSubmission(task, faxbus::ErrorFailed, QString::fromUtf8(e.what()));
        return;
    }
    m_store.remove(task.pending.key);
    m_log.info(QStringLiteral("queued %1 (%2)").arg(task.ids().join(u','),
                                                    task.pending.clientBody.isEmpty() ? QStringLiteral("cover page only") : task.pending.clientBody));
}

// Nothing of a failed submission was queued: it is forgotten but for its error, which a
// client that asks late still learns.
void FaxService::failSubmission(SubmitTask &task, const QString &name, const QString &text)
{
    task.failed = true;
    m_store.remove(task.pending.key);
    m_failures.push_back({task.pending.submissionId, name, text, task.ids()});
    if (m_failures.size() > RememberedFailures)
        m_failures.pop_front();
    m_log.warning(QStringLiteral("submission %1 failed: %2").arg(task.pending.submissionId, text));
    Q_EMIT SubmissionFailed(task.pending.submissionId, name, text);
}

void FaxService::reportProgress()
{
    if (m_waiting.empty() && m_rendering.empty()) {
        m_progressTimer.stop();
        return;
    }
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (const auto *list : {&m_rendering, &m_waiting})
        for (const auto &task : *list) {
            const int done = task->pagesDone, total = task->pagesTotal;
            if (task->failed || (done == task->reportedDone && total == task->reportedTotal && now - task->reportedAt < HeartbeatMs))
                continue;
            task->reportedDone = done;
            task->reportedTotal = total;
            task->reportedAt = now;
            Q_EMIT SubmissionProgress(task->pending.submissionId, done, total);
        }
}

}  // namespace sendmere::faxd
