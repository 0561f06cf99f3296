#pragma once
// The schedule and priority page: when the fax goes (now, at a time within the next day,
// when discount rates apply) and at which priority.
#include "services/FormPage.h"

#include <initializer_list>

class QCheckBox;
class QDateTimeEdit;
class QGroupBox;
class QLabel;
class QPushButton;

namespace sendmere {

class frmSend : public FormPage {
    Q_OBJECT
public:
    static constexpr PageId pageId = PageId::frmSend;
    frmSend();

    void Form_Activate() override;
    void btnNext_Click();
    void btnBack_Click();
    void btnCancel_Click();
    void optSchNow_Click();
    void optSchDiscount_Click();
    void optSchTime_Click();
    void optPriorityHigh_Click();
    void optPriorityNormal_Click();
    void optPriorityLow_Click();

    QLabel *lblCaption, *lblStr;
    QGroupBox *FrameSend;
    QCheckBox *optSchNow, *optSchDiscount, *optSchTime;
    QDateTimeEdit *dtFaxSend;
    QGroupBox *FramePriority;
    QCheckBox *optPriorityHigh, *optPriorityNormal, *optPriorityLow;
    QPushButton *btnBack, *btnNext, *btnCancel;

private:
    void SetParameters();
    void scheduleClicked(QCheckBox *clicked);
    void priorityClicked(QCheckBox *clicked);
    void chooseOne(QCheckBox *clicked, std::initializer_list<QCheckBox *> group);
    void showPicker(const QDateTime &value);

    bool bUpdating = false;
};

}  // namespace sendmere
