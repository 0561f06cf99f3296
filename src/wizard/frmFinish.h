#pragma once
// The last page of the wizard: a summary of the fax job, and Finish, which submits it.
#include "app/FormPage.h"

#include <QDate>
#include <QDateTime>

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

private:
    void showRecipients();
    void showTemplate();
};

// The send time as the summary writes it: sendTime less today's midnight, read as a date
// counted from 30 December 1899, in the system's short formats. A time today thus shows as
// the time alone; a time on another day carries a date near the end of 1899.
QString timeToSendText(const QDateTime &sendTime, const QDate &today);

}  // namespace sendmere
