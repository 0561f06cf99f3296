#pragma once
// The Finish page's submission, run off the GUI thread: the fax job becomes a fresh fax
// document here, the fax service takes and renders it while a thread of the submission's
// own waits for its jobs, and the outcome comes back to the GUI thread as a signal. So the
// window keeps answering (repaints, the accessibility bus, the window manager's ping) for as
// long as a large document renders.
#include "platform/AutomationError.h"
#include "platform/fax/FaxClient.h"

#include <QObject>
#include <QThread>
#include <memory>

namespace sendmere {

class FaxSubmission : public QObject {
    Q_OBJECT
public:
    explicit FaxSubmission(QObject *parent = nullptr);
    // A submission still running is withdrawn, and its thread is waited for.
    ~FaxSubmission() override;

    // SubmitFax's first two steps on this thread (a fresh FaxDoc, filled by GenerateFax), then
    // the submission on a thread of its own. Raises as SubmitFax does when there is no fax
    // server; then nothing runs.
    void start();
    // Withdraws the submission: nothing of it stays queued. Ends with cancelled(), or with
    // succeeded() when the jobs were already sent on their way before the cancel arrived.
    void cancel();
    bool isRunning() const { return m_thread != nullptr; }

Q_SIGNALS:
    // The service's render: pages made of all it will make (0 while not known yet).
    void progress(int pagesDone, int pagesTotal);
    // The jobs are queued and the temporary body copy is removed, as SubmitFax ends.
    void succeeded();
    // The service refused or could not render the fax; nothing was queued, the body copy stays.
    void failed(const sendmere::AutomationError &reason);
    void cancelled();

private:
    void threadEnded(std::shared_ptr<const AutomationError> failure);

    std::unique_ptr<QThread> m_thread;
    fax::SubmitCancel m_cancel;
};

}  // namespace sendmere
