#include "wizard/frmFinish.h"

#include "app/Failures.h"
#include "app/PageParts.h"
#include "app/mCommon.h"
#include "job/FaxJob.h"
#include "send/mSend.h"
#include "wizard/WizardLayout.h"
#include "wizard/frmSend.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <cstdlib>

namespace sendmere {
namespace {

constexpr qint64 MsecsPerDay = 24 * 60 * 60 * 1000;
const QDate AutomationDateZero{1899, 12, 30};

// The region's long time format, which shows the seconds, without its time zone.
QString timeWithSeconds(const QLocale &locale) {
    QString format = locale.timeFormat(QLocale::LongFormat);
    format.remove(QLatin1Char('t'));
    return format.simplified();
}

// A date value counted in days from 30 December 1899 with the time of day as its fraction:
// the whole days (towards zero) give the date, the fraction, taken positive, the time.
QString automationDateText(qint64 msecs) {
    const qint64 days = msecs / MsecsPerDay;
    const qint64 timeOfDay = std::abs(msecs % MsecsPerDay);
    const QLocale locale = QLocale::system();
    const QString time = locale.toString(QTime::fromMSecsSinceStartOfDay(int(timeOfDay)), timeWithSeconds(locale));
    if (days == 0) return time;
    const QString date = locale.toString(AutomationDateZero.addDays(days), QLocale::ShortFormat);
    return timeOfDay == 0 ? date : date + QLatin1Char(' ') + time;
}

QLabel *valueLabel(QWidget *parent, const char *name, QLabel *caption) {
    QLabel *value = parts::label(parent, name, QString());
    value->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // The caption labels the value (a buddy is a labelled-by relation for assistive
    // technology); the value keeps its own text as its name, so that it is what is read.
    caption->setBuddy(value);
    return value;
}

}  // namespace

QString timeToSendText(const QDateTime &sendTime, const QDate &today) {
    const qint64 msecs = today.daysTo(sendTime.date()) * MsecsPerDay + sendTime.time().msecsSinceStartOfDay();
    return automationDateText(msecs);
}

frmFinish::frmFinish() {
    setWindowTitle(QStringLiteral("Finish"));
    lblCaption = parts::heading(this, "lblCaption", QStringLiteral("Completing the Send Fax Wizard"));
    lblStr = parts::label(this, "lblStr", QStringLiteral("You have succesfully created a fax as follows:"));
    QVBoxLayout *layout = wizard::beginPage(this, lblCaption, lblStr);

    lvRecipients = parts::make<QTreeWidget>(this, "lvRecipients");
    lvRecipients->setRootIsDecorated(false);
    lvRecipients->setSelectionMode(QAbstractItemView::NoSelection);
    lblTo = parts::label(this, "lblTo", QStringLiteral("To:"), lvRecipients);
    lblCovPage = parts::label(this, "lblCovPage", QStringLiteral("Cover page template:"));
    lblCover = valueLabel(this, "lblCover", lblCovPage);
    lblSubj = parts::label(this, "lblSubj", QStringLiteral("Subject:"));
    lblSubject = valueLabel(this, "lblSubject", lblSubj);
    lblTime = parts::label(this, "lblTime", QStringLiteral("Time to send:"));
    lblSend = valueLabel(this, "lblSend", lblTime);
    lblSend->setText(QStringLiteral("Now"));

    auto *summary = new QGridLayout;
    summary->addWidget(lblTo, 0, 0, Qt::AlignTop);
    summary->addWidget(lvRecipients, 0, 1);
    summary->addWidget(lblCovPage, 1, 0);
    summary->addWidget(lblCover, 1, 1);
    summary->addWidget(lblSubj, 2, 0);
    summary->addWidget(lblSubject, 2, 1);
    summary->addWidget(lblTime, 3, 0);
    summary->addWidget(lblSend, 3, 1);
    summary->setColumnStretch(1, 1);
    layout->addLayout(summary, 1);

    lblFinish = parts::label(this, "lblFinish", QStringLiteral("To send your fax, click Finish."));
    btnPreview = parts::button(this, "btnPreview", QStringLiteral("Preview Fax..."));
    // The preview renders through the fax event bridge, which this build does not have yet.
    btnPreview->setEnabled(false);
    auto *finishRow = new QHBoxLayout;
    finishRow->addWidget(lblFinish, 1);
    finishRow->addWidget(btnPreview);
    layout->addLayout(finishRow);

    btnBack = parts::button(this, "btnBack", QStringLiteral("< Back"));
    CancelButton = parts::button(this, "CancelButton", QStringLiteral("Cancel"));
    OKButton = parts::button(this, "OKButton", QStringLiteral("Finish"));
    OKButton->setDefault(true);
    wizard::endPage(layout, {btnBack, OKButton, CancelButton});

    connect(btnBack, &QPushButton::clicked, this, &frmFinish::btnBack_Click);
    connect(CancelButton, &QPushButton::clicked, this, &frmFinish::CancelButton_Click);
    connect(OKButton, &QPushButton::clicked, this, &frmFinish::OKButton_Click);
}

void frmFinish::Form_Activate() {
    logFailures(QStringLiteral("frmFinish.Form_Load"), [this] {
        FaxJob &job = faxJob();
        job.PreviewMode = VbFalse;
        showRecipients();
        if (job.FaxSchedule == 0) lblSend->setText(QStringLiteral("Now"));
        if (job.FaxSchedule == 1) lblSend->setText(timeToSendText(job.DTFaxSend, QDate::currentDate()));
        if (job.FaxSchedule == 2) lblSend->setText(QStringLiteral("Discount period"));
        lblSubject->setText(job.FaxSubject);
        showTemplate();
    });
}

// Columns and rows are rebuilt, never added to, on every activation.
void frmFinish::showRecipients() {
    lvRecipients->clear();
    lvRecipients->setColumnCount(2);
    lvRecipients->setHeaderLabels({QStringLiteral("Recipient Name"), QStringLiteral("Fax Number")});
    const FaxJob &job = faxJob();
    for (int i = 1; i <= job.RecipientName.upperBound(); ++i) {
        auto *row = new QTreeWidgetItem(lvRecipients);  // owned by the list
        row->setText(0, job.RecipientName(i));
        row->setText(1, job.RecipientNumber(i));
    }
}

void frmFinish::showTemplate() {
    const FaxJob &job = faxJob();
    if (job.CoverIndex < 0) {
        lblCover->setText(QStringLiteral("None"));
        return;
    }
    const QString path = job.CoverPages(job.CoverIndex + 1);
    lblCover->setText(path.mid(path.lastIndexOf(QLatin1Char('/')) + 1));
}

void frmFinish::FaxPreviewDelete() {
    logFailures(QStringLiteral("frmFinish.FaxPreviewDelete"), [] {
        FaxJob &job = faxJob();
        if (job.PreviewFile.isEmpty()) return;
        if (!QFileInfo(job.PreviewFile).isFile())
            throw AutomationError(err::FileNotFound, QStringLiteral("File not found"));
        if (!QFile::remove(job.PreviewFile))
            throw AutomationError(err::PermissionDenied, QStringLiteral("Permission denied"));
        job.PreviewFile.clear();
    });
}

void frmFinish::btnBack_Click() {
    logFailures(QStringLiteral("frmFinish.btnBack_Click"), [this] {
        FaxPreviewDelete();
        QCoreApplication::processEvents();
        showInMyPlace(page<frmSend>());
        QCoreApplication::processEvents();
        unload();
    });
}

void frmFinish::CancelButton_Click() {
    endSilently([this] {
        FaxPreviewDelete();
        unload();
        mCommon::ExitApplication(0);
    });
}

// Any failure, the submission's included, leaves the page open for another try or Cancel.
void frmFinish::OKButton_Click() {
    endSilently([this] {
        FaxPreviewDelete();
        mSend::SubmitFax();
        unload();
        mCommon::ExitApplication(0);
    });
}

}  // namespace sendmere
