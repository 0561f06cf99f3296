#include "wizard/frmFinish.h"

#include "bridge/CEvent.h"
#include "job/FaxJob.h"
#include "platform/Failures.h"
#include "send/FaxSubmission.h"
#include "send/mSend.h"
#include "services/PageParts.h"
#include "session/mCommon.h"
#include "wizard/WizardLayout.h"
#include "wizard/frmSend.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QProgressDialog>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <QTimer>

#include <cstdlib>
#include <limits>
#include <memory>

namespace sendmere {
namespace {

constexpr qint64 MsecsPerDay = 24 * 60 * 60 * 1000;
// A submission that is over sooner shows no progress window at all.
constexpr int ProgressDelayMs = 400;
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
    setWindowTitle(tr("Finish"));
    lblCaption = parts::heading(this, "lblCaption", tr("Completing the Send Fax Wizard"));
    lblStr = parts::label(this, "lblStr", tr("You have succesfully created a fax as follows:"));
    QVBoxLayout *layout = wizard::beginPage(this, lblCaption, lblStr);

    lvRecipients = parts::make<QTreeWidget>(this, "lvRecipients");
    lvRecipients->setRootIsDecorated(false);
    lvRecipients->setSelectionMode(QAbstractItemView::NoSelection);
    lblTo = parts::label(this, "lblTo", tr("To:"), lvRecipients);
    lblCovPage = parts::label(this, "lblCovPage", tr("Cover page template:"));
    lblCover = valueLabel(this, "lblCover", lblCovPage);
    lblSubj = parts::label(this, "lblSubj", tr("Subject:"));
    lblSubject = valueLabel(this, "lblSubject", lblSubj);
    lblTime = parts::label(this, "lblTime", tr("Time to send:"));
    lblSend = valueLabel(this, "lblSend", lblTime);
    lblSend->setText(tr("Now"));

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

    lblFinish = parts::label(this, "lblFinish", tr("To send your fax, click Finish."));
    btnPreview = parts::button(this, "btnPreview", tr("Preview Fax..."));
    auto *finishRow = new QHBoxLayout;
    finishRow->addWidget(lblFinish, 1);
    finishRow->addWidget(btnPreview);
    layout->addLayout(finishRow);

    btnBack = parts::button(this, "btnBack", tr("< Back"));
    CancelButton = parts::button(this, "CancelButton", tr("Cancel"));
    OKButton = parts::button(this, "OKButton", tr("Finish"));
    OKButton->setDefault(true);
    wizard::endPage(layout, {btnBack, OKButton, CancelButton});

    connect(btnPreview, &QPushButton::clicked, this, &frmFinish::btnPreview_Click);
    connect(btnBack, &QPushButton::clicked, this, &frmFinish::btnBack_Click);
    connect(CancelButton, &QPushButton::clicked, this, &frmFinish::CancelButton_Click);
    connect(OKButton, &QPushButton::clicked, this, &frmFinish::OKButton_Click);
}

void frmFinish::Form_Activate() {
    logFailures(QStringLiteral("frmFinish.Form_Load"), [this] {
        FaxJob &job = faxJob();
        job.PreviewMode = VbFalse;
        showRecipients();
        if (job.FaxSchedule == 0) lblSend->setText(tr("Now"));
        if (job.FaxSchedule == 1) lblSend->setText(timeToSendText(job.DTFaxSend, QDate::currentDate()));
        if (job.FaxSchedule == 2) lblSend->setText(tr("Discount period"));
        lblSubject->setText(job.FaxSubject);
        showTemplate();
    });
}

// Columns and rows are rebuilt, never added to, on every activation.
void frmFinish::showRecipients() {
    lvRecipients->clear();
    lvRecipients->setColumnCount(2);
    lvRecipients->setHeaderLabels({tr("Recipient Name"), tr("Fax Number")});
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
        lblCover->setText(tr("None"));
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

// An existing preview is opened again; otherwise the fax service renders a new one, which
// the fax event handlers catch and open.
void frmFinish::btnPreview_Click() {
    if (isSubmitting()) return;
    logFailures(QStringLiteral("frmFinish.btnPreview_Click"), [this] {
        btnPreview->setEnabled(false);
        QCoreApplication::processEvents();
        if (!faxJob().PreviewFile.isEmpty()) {
            CEvent().previewFax();
        } else {
            faxJob().PreviewMode = VbTrue;
            mSend::PreviewFax();
        }
        btnPreview->setEnabled(true);
        QCoreApplication::processEvents();
    });
}

void frmFinish::btnBack_Click() {
    if (isSubmitting()) return;
    logFailures(QStringLiteral("frmFinish.btnBack_Click"), [this] {
        FaxPreviewDelete();
        QCoreApplication::processEvents();
        showInMyPlace(page<frmSend>());
        QCoreApplication::processEvents();
        unload();
    });
}

void frmFinish::CancelButton_Click() {
    if (isSubmitting()) return;  // the progress window's Cancel withdraws the submission
    endSilently([this] {
        FaxPreviewDelete();
        unload();
        mCommon::ExitApplication(0);
    });
}

// Any failure, the submission's included, leaves the page open for another try or Cancel.
// The submission runs off the GUI thread; meanwhile the page shows its progress and ignores
// a second Finish.
void frmFinish::OKButton_Click() {
    if (isSubmitting()) return;
    endSilently([this] {
        FaxPreviewDelete();
        startSubmission();
    });
}

void frmFinish::startSubmission() {
    auto submission = std::make_unique<FaxSubmission>();
    connect(submission.get(), &FaxSubmission::progress, this, &frmFinish::showProgress);
    connect(submission.get(), &FaxSubmission::succeeded, this, &frmFinish::submissionSucceeded);
    connect(submission.get(), &FaxSubmission::cancelled, this, &frmFinish::endSubmission);
    connect(submission.get(), &FaxSubmission::failed, this, [this](const AutomationError &reason) {
        endSubmission();
        Q_EMIT submissionFailed(reason.text());
    });
    submission->start();  // a failure here leaves nothing running
    submission->setParent(this);
    m_submission = submission.release();

    m_progress = new QProgressDialog(tr("Preparing the fax..."), tr("Cancel"), 0, 0, this);
    m_progress->setObjectName(QStringLiteral("SubmissionProgress"));
    m_progress->setWindowTitle(tr("Sending Fax"));
    m_progress->setWindowModality(Qt::WindowModal);
    m_progress->setAutoClose(false);
    m_progress->setAutoReset(false);
    m_progress->setMinimumDuration(std::numeric_limits<int>::max());  // shown by the timer below
    connect(m_progress.data(), &QProgressDialog::canceled, m_submission.data(), &FaxSubmission::cancel);
    QTimer::singleShot(ProgressDelayMs, m_progress.data(), [progress = m_progress.data()] { progress->show(); });
    setCursor(Qt::BusyCursor);
}

// The service counts the document's pages before it knows how many there are in all.
void frmFinish::showProgress(int pagesDone, int pagesTotal) {
    if (!m_progress || pagesDone <= 0) return;
    if (pagesTotal <= 0) {
        m_progress->setLabelText(tr("Rendering the fax: page %1").arg(pagesDone));
        return;
    }
    m_progress->setLabelText(tr("Rendering the fax: page %1 of %2").arg(pagesDone).arg(pagesTotal));
    m_progress->setRange(0, pagesTotal);
    m_progress->setValue(pagesDone);
}

// The page is as it was before Finish, for another try or Cancel.
void frmFinish::endSubmission() {
    if (m_progress) {
        m_progress->hide();
        m_progress->deleteLater();
    }
    if (m_submission) m_submission->deleteLater();
    m_progress.clear();
    m_submission.clear();
    unsetCursor();
}

void frmFinish::submissionSucceeded() {
    endSubmission();
    endSilently([this] {
        unload();
        mCommon::ExitApplication(0);
    });
}

}  // namespace sendmere
