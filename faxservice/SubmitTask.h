#pragma once
// A submission the service accepted, on its way through the render: shared by the files of
// FaxService that accept, render and withdraw submissions.
#include "FaxComposer.h"
#include "FaxRender.h"
#include "FaxService.h"
#include "SubmissionStore.h"

#include <QDateTime>
#include <QFile>
#include <QThread>
#include <atomic>
#include <optional>

namespace sendmere::faxd {

// An accepted submission while it waits for and goes through its render on a worker thread.
// It carries copies of all it needs; the spool is touched only on the service's own thread,
// before and after.
struct FaxService::SubmitTask {
    PendingSubmission pending;
    QStringList partPaths;
    QString bodyTemp;
    QString errorName, errorText;  // set when rendering failed
    QThread *worker = nullptr;     // owned by the service, while it renders
    std::atomic<bool> cancel{false};
    std::atomic<int> pagesDone{0};
    std::atomic<int> pagesTotal{0};  // 0 until the body's page count is known
    bool failed = false;  // its clients have heard so (past its time); the result is thrown away
    int reportedDone = -1, reportedTotal = -1;
    qint64 reportedAt = 0;

    void run()
    {
        try {
            // The body is drawn once, then each fax is made of it with its cover page.
            const auto countPages = [this](int bodyPages) {
                pagesTotal = bodyPages + (bodyPages + (pending.cover.isEmpty() ? 0 : 1)) * int(pending.jobs.size());
            };
            std::optional<RenderedBody> body;
            if (!pending.body.isEmpty())
                body.emplace(pending.body, bodyTemp, &cancel, &pagesDone, countPages);
            countPages(body ? body->pages() : 0);
            for (int i = 0; i < pending.jobs.size(); ++i) {
                JobRecord &job = pending.jobs[i];
                const Submission &doc = pending.submission;
                const JobImage image{pending.cover, doc.sender, job.recipient, doc.subject, doc.note, body ? &*body : nullptr,
                                     job.tsid, QDateTime::currentDateTime(), &cancel, &pagesDone};
                // The image stays a .part file until the spool has committed its job.
                job.pages = composeJobImage(image, partPaths[i]);
            }
        } catch (const ServiceError &e) {
            fail(e.name(), e.text());
        } catch (const render::RenderError &e) {
            fail(faxbus::ErrorRenderFailed, e.message());
        } catch (const std::exception &e) {
            fail(faxbus::ErrorFailed, QString::fromUtf8(e.what()));
        }
    }

    void fail(const QString &name, QString text)
    {
        // The client knows its body by its own name, not by the spool's copy.
        if (!pending.body.isEmpty())
            text.replace(pending.body, pending.clientBody);
        errorName = name;
        errorText = text;
        removeImages();
    }

    void removeImages() const
    {
        for (const QString &path : partPaths)
            QFile::remove(path);
    }

    QStringList ids() const
    {
        QStringList list;
        for (const JobRecord &job : pending.jobs)
            list.append(job.idText());
        return list;
    }
};

}  // namespace sendmere::faxd
