#include "bridge/frmImport.h"

#include "bridge/FaxImport.h"
#include "platform/Failures.h"
#include "platform/mail/MailClient.h"
#include "platform/shell/Shell.h"
#include "services/PageParts.h"
#include "session/mCommon.h"

#include <QButtonGroup>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace sendmere {

frmImport::frmImport() {
    setWindowTitle(tr("Import Faxes"));
    Label1 = parts::label(this, "Label1", tr("You have many faxes. Import faxes can take a lot of time."));
    Label1->setWordWrap(true);
    optAll = parts::make<QRadioButton>(this, "optAll", tr("Import all faxes."));
    optLast = parts::make<QRadioButton>(this, "optLast", tr("Import last day faxes."));
    auto *choice = new QButtonGroup(this);  // owned by the page
    choice->addButton(optAll);
    choice->addButton(optLast);
    progress = parts::make<QProgressBar>(this, "progress");
    progress->setAccessibleName(tr("Import progress"));
    OKButton = parts::button(this, "OKButton", tr("Import"));
    OKButton->setDefault(true);
    CancelButton = parts::button(this, "CancelButton", tr("Cancel"));

    auto *layout = new QVBoxLayout(this);  // owned by the page
    layout->addWidget(Label1);
    layout->addWidget(optAll);
    layout->addWidget(optLast);
    layout->addWidget(progress);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(OKButton);
    buttons->addWidget(CancelButton);
    layout->addLayout(buttons);

    connect(OKButton, &QPushButton::clicked, this, &frmImport::OKButton_Click);
    connect(CancelButton, &QPushButton::clicked, this, &frmImport::CancelButton_Click);
    MakeWindowTopmost();
}

// The window manager keeps the window in the band above ordinary windows; the window's
// geometry stays as it is.
void frmImport::MakeWindowTopmost() {
    setWindowFlags(windowFlags() | Qt::WindowStaysOnTopHint);
}

void frmImport::showMessage(const QString &text) {
    shell::seams().messageBox->show(nullptr, text, mCommon::ProgramTitle);
}

void frmImport::Form_Activate() {
    // The window shows itself again to offer the choice; that is not a new activation.
    if (m_waitingForChoice) return;
    m_working = true;
    logFailures(QStringLiteral("frmImport.Form_Active"), [this] {
        CancelButton->setEnabled(true);
        OKButton->setEnabled(true);
        hide();
        progress->setMinimum(0);
        const qint16 faxes = CountFaxesForImport(dtNewestFax);
        if (faxes == 0) {
            showMessage(tr("You haven't faxes for import."));
            hide();
            mCommon::ExitApplication(0);
            return;
        }
        progress->setMaximum(faxes);
        progress->setValue(0);
        optLast->setChecked(true);
        if (progress->maximum() >= ChoiceThreshold) {
            m_waitingForChoice = true;
            showPage();
            return;
        }
        const mail::StoreWatch written;
        ImportFaxes(false, nullptr, QDateTime());
        // Items the mail store could not write (a full disk, a read-only folder) make the
        // import a failure: logged, and no word of success.
        written.check();
        showMessage(tr("Import Faxes from FaxConsole successfully."));
        hide();
        mCommon::ExitApplication(0);
    });
    m_working = false;
}

void frmImport::OKButton_Click() {
    m_working = true;
    logFailures(QStringLiteral("frmImport.OKButton"), [this] {
        CancelButton->setEnabled(false);
        OKButton->setEnabled(false);
        const mail::StoreWatch written;
        if (optLast->isChecked())
            ImportFaxes(true, progress, dtNewestFax);
        else
            ImportFaxes(false, progress, QDateTime());
        written.check();
        hide();
        showMessage(tr("Import Faxes from FaxConsole successfully."));
        m_leaving = true;
        unload();
        mCommon::ExitApplication(0);
    });
    m_working = false;
}

void frmImport::CancelButton_Click() {
    m_leaving = true;
    unload();
    mCommon::ExitApplication(0);
}

// Closing the dialog rejects it as well; once a handler is on its way out, that only hides.
void frmImport::reject() {
    if (m_leaving)
        FormPage::reject();
    else
        CancelButton_Click();
}

void frmImport::closeEvent(QCloseEvent *event) {
    FormPage::closeEvent(event);
    if (m_leaving) return;
    m_leaving = true;
    mCommon::ExitApplication(0);
}

}  // namespace sendmere
