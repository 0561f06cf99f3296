#pragma once
// The last page of the wizard: a summary of the fax job, and Finish, which submits it.
#include "services/FormPage.h"

#include "send/FaxSubmission.h"

#include <QDate>
#include <QDateTime>
#include <QPointer>
#include <QProgressDialog>

class QLabel;
class QPushButton;
class QTreeWidget;

namespace sendmere {

class frmFinish : public FormPage {
    Q_OBJECT
public:
    static constexpr PageId pageId = PageId::frmFinish;
    frmFinish();

    void Form_Activate() override;
    void btnPreview_Click();
    void btnBack_Click();
    void CancelButton_Click();
    void OKButton_Click();
    // Deletes the preview file and forgets it; a failed deletion keeps the path.
    void FaxPreviewDelete();

    QLabel *lblCaption, *lblStr, *lblTo;
    QTreeWidget *lvRecipients;
    QLabel *lblCovPage, *lblCover, *lblSubj, *lblSubject, *lblTime, *lblSend, *lblFinish;
    QPushButton *btnPreview, *btnBack, *CancelButton, *OKButton;
    // While Finish's submission runs: its progress, with the Cancel that withdraws it.
    QProgressDialog *submissionProgress() const { return m_progress; }
    bool isSubmitting() const { return !m_submission.isNull(); }

Q_SIGNALS:
    // Finish's submission failed and the page stays open; reason says why (the service's
    // text, such as a document that cannot be rendered). The page itself shows nothing.
    void submissionFailed(const QString &reason);

private:
    void showRecipients();
    void showTemplate();
    void startSubmission();
    void showProgress(int pagesDone, int pagesTotal);
    void endSubmission();
    void submissionSucceeded();

    QPointer<FaxSubmission> m_submission;
    QPointer<QProgressDialog> m_progress;
};

// The send time as the summary writes it: sendTime less today's midnight, read as a date
// counted from 30 December 1899, in the system's short formats. A time today thus shows as
// the time alone; a time on another day carries a date near the end of 1899.
QString timeToSendText(const QDateTime &sendTime, const QDate &today);

}  // namespace sendmere
