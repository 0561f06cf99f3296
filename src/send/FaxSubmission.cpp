#include "send/FaxSubmission.h"

#include "job/FaxJob.h"
#include "send/mSend.h"
#include "session/mCommon.h"

namespace sendmere {

FaxSubmission::FaxSubmission(QObject *parent) : QObject(parent) {}

FaxSubmission::~FaxSubmission() {
    if (!m_thread) return;
    m_cancel.request();
    m_thread->wait();
}

void FaxSubmission::start() {
    if (m_thread) return;
    mSend::PrepareFax();
    fax::FaxServer *server = mCommon::GetFaxServer();
    if (!server) throw AutomationError::objectNotSet();
    // The thread works on a copy: the fax job and its document stay the GUI thread's alone.
    const fax::FaxDocument document = *faxJob().FaxDoc;
    const std::shared_ptr<fax::FaxConnection> connection = server->connection();
    m_thread.reset(QThread::create([this, document, connection] {
        std::shared_ptr<const AutomationError> failure;
        try {
            const auto report = [this](int done, int total) {
                QMetaObject::invokeMethod(this, [this, done, total] { Q_EMIT progress(done, total); }, Qt::QueuedConnection);
            };
            document.ConnectedSubmit(*connection, report, &m_cancel);
        } catch (const AutomationError &e) {
            failure = std::make_shared<const AutomationError>(e);
        } catch (const std::exception &e) {
            failure = std::make_shared<const AutomationError>(err::AutomationFailure, QString::fromUtf8(e.what()));
        }
        QMetaObject::invokeMethod(this, [this, failure] { threadEnded(failure); }, Qt::QueuedConnection);
    }));
    m_thread->setObjectName(QStringLiteral("FaxSubmission"));
    m_thread->start();
}

void FaxSubmission::cancel() {
    if (m_thread) m_cancel.request();
}

void FaxSubmission::threadEnded(std::shared_ptr<const AutomationError> failure) {
    m_thread->wait();
    m_thread.reset();
    if (!failure) {
        mSend::RemovePreviewFile();
        Q_EMIT succeeded();
    } else if (failure->number() == err::OperationCancelled && m_cancel.requested()) {
        Q_EMIT cancelled();
    } else {
        Q_EMIT failed(*failure);
    }
}

}  // namespace sendmere
