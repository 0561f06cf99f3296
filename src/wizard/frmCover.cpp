#include "wizard/frmCover.h"

#include "job/FaxJob.h"
#include "platform/Failures.h"
#include "platform/shell/Shell.h"
#include "send/CoverPageDirectories.h"
#include "send/mPicture.h"
#include "send/mRender.h"
#include "services/PageParts.h"
#include "services/Translations.h"
#include "session/mCommon.h"
#include "wizard/WizardLayout.h"
#include "wizard/frmNew.h"
#include "wizard/frmSend.h"
#include "wizard/frmSender.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTextEdit>
#include <QVBoxLayout>

namespace sendmere {
namespace {

QString messageTitle() { return frmCover::tr("Send Wizard Dialog"); }
constexpr QSize PictureSize{124, 164};  // a page's proportions

AutomationError pathNotFound() { return {err::PathNotFound, QStringLiteral("Path not found")}; }
AutomationError invalidArgument() {
    return {err::InvalidProcedureCall, QStringLiteral("Invalid procedure call or argument")};
}
AutomationError invalidPropertyValue() { return {380, QStringLiteral("Invalid property value")}; }

// A template's entry is its file name up to the first "."; a name without one is not a
// template name the list can show, and ends the listing.
QString entryName(const QString &fileName) {
    const qsizetype dot = fileName.indexOf(QLatin1Char('.'));
    if (dot < 0) throw invalidArgument();
    return fileName.left(dot);
}

}  // namespace

const QString frmCover::AttachDialogTitle = QStringLiteral(QT_TRANSLATE_NOOP("sendmere::frmCover", "Attach"));
const QString frmCover::AttachFilter = QStringLiteral(QT_TRANSLATE_NOOP("sendmere::frmCover",
    "Documents ( *.doc,  *.pdf, *.txt, *.rtf, *.xls, *.xlw)|*.doc;*.pdf;*.rtf;*.txt;*.xls;*.xlw|"
    "Images (*.bmp, *.jpg, *.gif, *.tif)|*.bmp;*.jpg;*.gif;*.tif|All (*.*)|*.*"));

frmCover::frmCover() {
    setWindowTitle(tr("Cover Page"));
    lblCaption = parts::heading(this, "lblCaption", tr("Preparing the Cover Page"));
    lblStr = parts::label(this, "lblStr",
                          tr("Select a cover page template, and type a subject line and note if required "
                                         "by the template. The information is automatically to the cover page."));
    QVBoxLayout *layout = wizard::beginPage(this, lblCaption, lblStr);

    chkCover = parts::make<QCheckBox>(this, "chkCover",
                                      tr("Select a cover page template with the following information."));
    layout->addWidget(chkCover);

    cbCover = parts::make<QComboBox>(this, "cbCover");
    txtSubject = parts::make<QLineEdit>(this, "txtSubject");
    rtbNote = parts::make<QTextEdit>(this, "rtbNote");
    rtbNote->setAcceptRichText(true);
    lblCover = parts::label(this, "lblCover", tr("Cover page template:"), cbCover);
    lblSubject = parts::label(this, "lblSubject", tr("Subject line:"), txtSubject);
    lblNote = parts::label(this, "lblNote", tr("Note:"), rtbNote);
    Picture1 = parts::make<QLabel>(this, "Picture1");
    Picture1->setFixedSize(PictureSize);
    Picture1->setFrameShape(QFrame::Box);
    Picture1->setAccessibleName(tr("Cover page preview"));
    cmdSender = parts::button(this, "cmdSender", tr("Sender Information..."));

    auto *fields = new QGridLayout;
    fields->addWidget(lblCover, 0, 0);
    fields->addWidget(cbCover, 0, 1);
    fields->addWidget(lblSubject, 1, 0);
    fields->addWidget(txtSubject, 1, 1);
    fields->addWidget(lblNote, 2, 0, Qt::AlignTop);
    fields->addWidget(rtbNote, 2, 1);
    auto *pictureColumn = new QVBoxLayout;
    pictureColumn->addWidget(Picture1);
    pictureColumn->addWidget(cmdSender);
    pictureColumn->addStretch();
    auto *coverArea = new QHBoxLayout;
    coverArea->addSpacing(18);  // under the check box's text: these controls belong to it
    coverArea->addLayout(fields, 1);
    coverArea->addLayout(pictureColumn);
    layout->addLayout(coverArea, 1);
    layout->addWidget(parts::separator(this));

    txtAttachment = parts::make<QLineEdit>(this, "txtAttachment");
    lblAttach = parts::label(this, "lblAttach", tr("Attachment:"), txtAttachment);
    cmdBrowse = parts::button(this, "cmdBrowse", tr("..."));
    cmdBrowse->setAccessibleName(tr("Browse for attachment"));
    auto *attachRow = new QHBoxLayout;
    attachRow->addWidget(lblAttach);
    attachRow->addWidget(txtAttachment, 1);
    attachRow->addWidget(cmdBrowse);
    layout->addLayout(attachRow);

    cmdBack = parts::button(this, "cmdBack", tr("< Back"));
    cmdNext = parts::button(this, "cmdNext", tr("Next >"));
    cmdCancel = parts::button(this, "cmdCancel", tr("Cancel"));
    cmdNext->setDefault(true);
    wizard::endPage(layout, {cmdBack, cmdNext, cmdCancel});

    connect(chkCover, &QCheckBox::toggled, this, &frmCover::chkCover_Click);
    connect(cbCover, &QComboBox::activated, this, &frmCover::cbCover_Click);
    connect(cmdBrowse, &QPushButton::clicked, this, &frmCover::cmdBrowse_Click);
    connect(cmdSender, &QPushButton::clicked, this, &frmCover::cmdSender_Click);
    connect(cmdBack, &QPushButton::clicked, this, &frmCover::cmdBack_Click);
    connect(cmdNext, &QPushButton::clicked, this, &frmCover::cmdNext_Click);
    connect(cmdCancel, &QPushButton::clicked, this, &frmCover::cmdCancel_Click);
}

void frmCover::Form_Load() { GetCoverPages(); }

// Lists the server templates, then the personal ones; the combo's entry k is the template
// CoverPages(k + 1). The listing stops at its first failure and keeps what it listed.
void frmCover::GetCoverPages() {
    logFailures(QStringLiteral("frmCover.GetCoverPages"), [this] {
        // Exactly what the folders hold: the shipped templates were put there when the
        // machine was set up, never here (the server folder may be read-only, or mistyped).
        const QString serverDirectory = ServerCoverPageDirectory();
        if (!QDir(serverDirectory).exists()) throw pathNotFound();
        faxJob().CoverPages.reset();
        listDirectory(serverDirectory, QString());
        listDirectory(PersonalCoverPageDirectory(), tr("(Personal)"));
        if (cbCover->count() > 0) cbCover->setCurrentIndex(cbCover->count() > 1 ? 1 : -1);
    });
}

void frmCover::listDirectory(const QString &directory, const QString &suffix) {
    const QDir dir(directory);
    if (!dir.exists()) throw pathNotFound();
    IndexedList<QString> &coverPages = faxJob().CoverPages;
    for (const QFileInfo &file : dir.entryInfoList(QDir::Files, QDir::Name)) {
        cbCover->addItem(entryName(file.fileName()) + suffix);
        coverPages.redimPreserve(coverPages.upperBound() + 1);
        coverPages(coverPages.upperBound()) = file.filePath();
    }
}

void frmCover::Form_Activate() {
    logFailures(QStringLiteral("frmCover.Form_Load"), [this] {
        const FaxJob &job = faxJob();
        txtSubject->setText(job.FaxSubject);
        rtbNote->setPlainText(job.Note);
        txtAttachment->setText(job.Attachments.upperBound() == 1 ? job.Attachments(1) : QString());
        selectTemplate(job.CoverIndex < 1 ? 0 : job.CoverIndex);
        chkCover->setChecked(job.UseCoverPage != VbFalse);
        chkCover_Click();
    });
}

void frmCover::selectTemplate(int index) {
    if (index >= cbCover->count()) throw invalidPropertyValue();
    cbCover->setCurrentIndex(index);
    cbCover_Click();
}

// The cover page controls follow the check box; the boxes keep their contents either way.
void frmCover::chkCover_Click() {
    const bool on = chkCover->isChecked();
    for (QWidget *control : {static_cast<QWidget *>(cbCover), static_cast<QWidget *>(txtSubject),
                             static_cast<QWidget *>(lblSubject), static_cast<QWidget *>(lblNote),
                             static_cast<QWidget *>(lblCover), static_cast<QWidget *>(rtbNote)})
        control->setEnabled(on);
    QPalette subjectPalette = txtSubject->palette();
    const QPalette::ColorRole shade = on ? QPalette::HighlightedText : QPalette::Button;
    subjectPalette.setColor(QPalette::Base, palette().color(QPalette::Active, shade));
    txtSubject->setPalette(subjectPalette);
}

void frmCover::cbCover_Click() {
    // A template that cannot be drawn leaves an empty picture, never the one shown before.
    Picture1->setPixmap(QPixmap());
    logFailures(QStringLiteral("frmCover.Click"), [this] {
        const QString path = faxJob().CoverPages(cbCover->currentIndex() + 1);
        // Drawn in the screen's own pixels (twice as many each way at a scale factor of 2),
        // so that the picture is as sharp as the text beside it.
        const qreal ratio = Picture1->devicePixelRatioF();
        const QSize pixels = (QSizeF(Picture1->size()) * ratio).toSize();
        const mPicture::Picture picture = mPicture::DCToPicture(mRender::RenderCoverPage(path), pixels.width(), pixels.height());
        QPixmap pixmap = picture.pixmap();
        pixmap.setDevicePixelRatio(ratio);
        Picture1->setPixmap(pixmap);
    });
}

void frmCover::cmdBrowse_Click() {
    logFailures(QStringLiteral("frmCover.cmdBrowse_Click"), [this] {
        const QString chosen = shell::seams().fileDialog->openFileName(this, translated("sendmere::frmCover", AttachDialogTitle),
                                                                       translated("sendmere::frmCover", AttachFilter));
        if (!chosen.isEmpty()) txtAttachment->setText(chosen);
    });
}

void frmCover::cmdSender_Click() {
    endSilently([] { page<frmSender>().showPage(); });
}

void frmCover::SetProperties() {
    logFailures(QStringLiteral("frmCover.SetProperties"), [this] {
        FaxJob &job = faxJob();
        job.FaxSubject = txtSubject->text();
        job.Note = rtbNote->toPlainText();
        job.CoverIndex = qint16(cbCover->currentIndex());
        job.UseCoverPage = chkCover->isChecked() ? VbTrue : VbFalse;
        // A path to a missing file is dropped without a word.
        const QString attachment = txtAttachment->text();
        if (!attachment.isEmpty() && FileExists(attachment)) {
            job.Attachments.redim(1);
            job.Attachments(1) = attachment;
        } else {
            job.Attachments.redim(0);
        }
    });
}

// A cover page needs something to show; a fax without one needs a document.
bool frmCover::mayLeave() const {
    const bool coverPageHasText =
        !cbCover->currentText().isEmpty() && (!txtSubject->text().isEmpty() || !rtbNote->toPlainText().isEmpty());
    const bool documentOnly = !chkCover->isChecked() && !txtAttachment->text().isEmpty();
    return coverPageHasText || documentOnly;
}

void frmCover::cmdNext_Click() {
    logFailures(QStringLiteral("frmCover.cmdNext_Click"), [this] {
        if (!mayLeave()) {
            const QString text = chkCover->isChecked()
                                     ? tr("Please enter text in the Note and/or Subject field.")
                                     : tr("Please add attachment.");
            shell::seams().messageBox->show(this, text, messageTitle());
            return;
        }
        SetProperties();
        showInMyPlace(page<frmSend>());
        hide();  // stays loaded with its list and boxes
    });
}

void frmCover::cmdBack_Click() {
    endSilently([this] {
        SetProperties();
        showInMyPlace(page<frmNew>());
        hide();
    });
}

void frmCover::cmdCancel_Click() {
    endSilently([this] {
        unload();
        mCommon::ExitApplication(0);
    });
}

}  // namespace sendmere
