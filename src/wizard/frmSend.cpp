#include "wizard/frmSend.h"

#include "job/FaxJob.h"
#include "platform/Failures.h"
#include "services/PageParts.h"
#include "session/mCommon.h"
#include "wizard/WizardLayout.h"
#include "wizard/frmCover.h"
#include "wizard/frmFinish.h"

#include <QCheckBox>
#include <QDateTimeEdit>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace sendmere {

frmSend::frmSend() {
    setWindowTitle(tr("Send schedule"));
    lblCaption = parts::heading(this, "lblCaption", tr("Schedule"));
    lblStr = parts::label(this, "lblStr",
                          tr("Specify when you want your fax to be sent, and set priority.Higher priority "
                                         "faxes will be sent first."));
    QVBoxLayout *layout = wizard::beginPage(this, lblCaption, lblStr);

    FrameSend = parts::make<QGroupBox>(this, "FrameSend", tr("When do you want to send this fax?"));
    optSchNow = parts::make<QCheckBox>(FrameSend, "optSchNow", tr("Now"));
    optSchDiscount = parts::make<QCheckBox>(FrameSend, "optSchDiscount", tr("When discount rates apply"));
    optSchTime = parts::make<QCheckBox>(FrameSend, "optSchTime", tr("Specific time in the next 24 hours:"));
    dtFaxSend = parts::make<QDateTimeEdit>(FrameSend, "dtFaxSend");
    dtFaxSend->setDisplayFormat(QStringLiteral("H:mm:ss"));
    dtFaxSend->setAccessibleName(tr("Time to send"));
    auto *schedule = new QGridLayout(FrameSend);
    schedule->addWidget(optSchNow, 0, 0);
    schedule->addWidget(optSchDiscount, 1, 0);
    schedule->addWidget(optSchTime, 2, 0);
    schedule->addWidget(dtFaxSend, 2, 1);
    schedule->setColumnStretch(2, 1);
    layout->addWidget(FrameSend);

    FramePriority = parts::make<QGroupBox>(this, "FramePriority", tr("What is the fax priority?"));
    optPriorityHigh = parts::make<QCheckBox>(FramePriority, "optPriorityHigh", tr("High"));
    optPriorityNormal = parts::make<QCheckBox>(FramePriority, "optPriorityNormal", tr("Normal"));
    optPriorityLow = parts::make<QCheckBox>(FramePriority, "optPriorityLow", tr("Low"));
    auto *priority = new QVBoxLayout(FramePriority);
    priority->addWidget(optPriorityHigh);
    priority->addWidget(optPriorityNormal);
    priority->addWidget(optPriorityLow);
    layout->addWidget(FramePriority);

    btnBack = parts::button(this, "btnBack", tr("< Back"));
    btnNext = parts::button(this, "btnNext", tr("Next >"));
    btnCancel = parts::button(this, "btnCancel", tr("Cancel"));
    btnNext->setDefault(true);
    wizard::endPage(layout, {btnBack, btnNext, btnCancel});

    // Every change of a box's value runs its handler, whether by mouse, keyboard, an
    // assistive tool or the page itself; bUpdating keeps the handlers from running each other.
    connect(optSchNow, &QCheckBox::toggled, this, &frmSend::optSchNow_Click);
    connect(optSchDiscount, &QCheckBox::toggled, this, &frmSend::optSchDiscount_Click);
    connect(optSchTime, &QCheckBox::toggled, this, &frmSend::optSchTime_Click);
    connect(optPriorityHigh, &QCheckBox::toggled, this, &frmSend::optPriorityHigh_Click);
    connect(optPriorityNormal, &QCheckBox::toggled, this, &frmSend::optPriorityNormal_Click);
    connect(optPriorityLow, &QCheckBox::toggled, this, &frmSend::optPriorityLow_Click);
    connect(btnNext, &QPushButton::clicked, this, &frmSend::btnNext_Click);
    connect(btnBack, &QPushButton::clicked, this, &frmSend::btnBack_Click);
    connect(btnCancel, &QPushButton::clicked, this, &frmSend::btnCancel_Click);
}

// Every activation shows the stored choice, so a choice not stored by Next or Back is gone.
void frmSend::Form_Activate() {
    bUpdating = true;
    logFailures(QStringLiteral("frmSend.Form_Active"), [this] {
        const FaxJob &job = faxJob();
        for (QCheckBox *box : {optPriorityHigh, optPriorityLow, optPriorityNormal}) box->setChecked(false);
        if (job.FaxPriority == 0) optPriorityLow->setChecked(true);
        if (job.FaxPriority == 1) optPriorityNormal->setChecked(true);
        if (job.FaxPriority == 2) optPriorityHigh->setChecked(true);
        for (QCheckBox *box : {optSchTime, optSchNow, optSchDiscount}) box->setChecked(false);
        dtFaxSend->setEnabled(false);
        if (job.FaxSchedule == 0) optSchNow->setChecked(true);
        if (job.FaxSchedule == 1) {
            optSchTime->setChecked(true);
            dtFaxSend->setEnabled(true);
        }
        if (job.FaxSchedule == 2) optSchDiscount->setChecked(true);
        showPicker(job.DTFaxSend);
    });
    bUpdating = false;
}

// The picker edits the time of day only: its date range is the value's own day.
void frmSend::showPicker(const QDateTime &value) {
    dtFaxSend->setDateRange(value.date(), value.date());
    dtFaxSend->setDateTime(value);
}

void frmSend::optSchNow_Click() { scheduleClicked(optSchNow); }
void frmSend::optSchDiscount_Click() { scheduleClicked(optSchDiscount); }
void frmSend::optSchTime_Click() { scheduleClicked(optSchTime); }
void frmSend::optPriorityHigh_Click() { priorityClicked(optPriorityHigh); }
void frmSend::optPriorityNormal_Click() { priorityClicked(optPriorityNormal); }
void frmSend::optPriorityLow_Click() { priorityClicked(optPriorityLow); }

void frmSend::scheduleClicked(QCheckBox *clicked) {
    if (bUpdating) return;
    bUpdating = true;
    dtFaxSend->setEnabled(clicked == optSchTime);
    chooseOne(clicked, {optSchNow, optSchDiscount, optSchTime});
    bUpdating = false;
}

void frmSend::priorityClicked(QCheckBox *clicked) {
    if (bUpdating) return;
    bUpdating = true;
    chooseOne(clicked, {optPriorityHigh, optPriorityNormal, optPriorityLow});
    bUpdating = false;
}

// Check boxes behaving as options: the clicked one is on (even when clicked while on),
// the others of its group off.
void frmSend::chooseOne(QCheckBox *clicked, std::initializer_list<QCheckBox *> group) {
    for (QCheckBox *box : group) box->setChecked(box == clicked);
}

// A later checked box overwrites an earlier one; none checked keeps the stored value.
void frmSend::SetParameters() {
    logFailures(QStringLiteral("frmSend.SetParameters"), [this] {
        FaxJob &job = faxJob();
        const std::pair<QCheckBox *, qint32> schedules[] = {{optSchDiscount, 2}, {optSchNow, 0}, {optSchTime, 1}};
        for (const auto &[box, value] : schedules)
            if (box->isChecked()) job.FaxSchedule = value;
        const std::pair<QCheckBox *, qint32> priorities[] = {{optPriorityHigh, 2}, {optPriorityLow, 0}, {optPriorityNormal, 1}};
        for (const auto &[box, value] : priorities)
            if (box->isChecked()) job.FaxPriority = value;
        job.DTFaxSend = dtFaxSend->dateTime();
    });
}

void frmSend::btnNext_Click() {
    endSilently([this] {
        SetParameters();
        showInMyPlace(page<frmFinish>());
        unload();
    });
}

void frmSend::btnBack_Click() {
    endSilently([this] {
        SetParameters();
        showInMyPlace(page<frmCover>());
        unload();
    });
}

void frmSend::btnCancel_Click() {
    endSilently([this] {
        unload();
        mCommon::ExitApplication(0);
    });
}

}  // namespace sendmere
