#include "wizard/frmSender.h"

#include "job/FaxJob.h"
#include "job/SenderInfo.h"
#include "platform/Failures.h"
#include "services/PageParts.h"

#include <QCoreApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QVBoxLayout>

namespace sendmere {
namespace {

struct SenderBox {
    const char *labelName;
    const char *text;
    const char *boxName;
    QLineEdit *frmSender::*box;
    QString FaxJob::*field;
};

const SenderBox SenderBoxes[] = {
    {"lblName", QT_TRANSLATE_NOOP("sendmere::frmSender", "Your full name:"), "txtFullName", &frmSender::txtFullName, &FaxJob::SenderFullName},
    {"lblFax", QT_TRANSLATE_NOOP("sendmere::frmSender", "Fax number:"), "txtFaxNumber", &frmSender::txtFaxNumber, &FaxJob::SenderfaxNumber},
    {"lblEmail", QT_TRANSLATE_NOOP("sendmere::frmSender", "E-mail Address:"), "txtEmail", &frmSender::txtEmail, &FaxJob::SenderEmail},
    {"lblTitle", QT_TRANSLATE_NOOP("sendmere::frmSender", "Title:"), "txtTitle", &frmSender::txtTitle, &FaxJob::SenderTitle},
    {"lblCompany", QT_TRANSLATE_NOOP("sendmere::frmSender", "Company:"), "txtCompany", &frmSender::txtCompany, &FaxJob::SenderCompany},
    {"lblOffice", QT_TRANSLATE_NOOP("sendmere::frmSender", "Office location:"), "txtOffice", &frmSender::txtOffice, &FaxJob::SenderOffice},
    {"lblDepartment", QT_TRANSLATE_NOOP("sendmere::frmSender", "Department:"), "txtDepartment", &frmSender::txtDepartment, &FaxJob::SenderDepartment},
    {"lblHomePhone", QT_TRANSLATE_NOOP("sendmere::frmSender", "Home phone:"), "txtHomePhone", &frmSender::txtHomePhone, &FaxJob::SenderHomePhone},
    {"lblWork", QT_TRANSLATE_NOOP("sendmere::frmSender", "Work phone:"), "txtWorkPhone", &frmSender::txtWorkPhone, &FaxJob::SenderWorkPhone},
    {"lblAddress", QT_TRANSLATE_NOOP("sendmere::frmSender", "Address:"), "txtAddress", &frmSender::txtAddress, &FaxJob::SenderAddress},
    {"lblBilling", QT_TRANSLATE_NOOP("sendmere::frmSender", "Biliing Code:"), "txtBillingCode", &frmSender::txtBillingCode, &FaxJob::SenderBillingCode},
};

}  // namespace

frmSender::frmSender() {
    setWindowTitle(tr("Sender Information"));
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(parts::heading(this, "lblCaption",
                                   tr("This sender information will be included  on your cover page.")));
    layout->addWidget(parts::separator(this));
    auto *grid = new QGridLayout;
    int row = 0;
    for (const SenderBox &entry : SenderBoxes) {
        QLineEdit *box = parts::make<QLineEdit>(this, entry.boxName);
        this->*entry.box = box;
        // Two columns of label and box, as on a paper form.
        grid->addWidget(parts::label(this, entry.labelName, tr(entry.text), box), row / 2, (row % 2) * 2);
        grid->addWidget(box, row / 2, (row % 2) * 2 + 1);
        ++row;
    }
    layout->addLayout(grid);
    layout->addWidget(parts::separator(this));
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    btnOk = parts::button(this, "btnOk", tr("OK"));
    btnCancel = parts::button(this, "btnCancel", tr("Cancel"));
    btnOk->setDefault(true);  // Return in any box confirms, as on every other page
    buttons->addWidget(btnOk);
    buttons->addWidget(btnCancel);
    layout->addLayout(buttons);
    connect(btnOk, &QPushButton::clicked, this, &frmSender::btnOk_Click);
    connect(btnCancel, &QPushButton::clicked, this, &frmSender::btnCancel_Click);
}

// Every activation reloads from the store: edits not confirmed with OK are dropped.
void frmSender::Form_Activate() {
    endSilently([this] {
        GetSenderInfo();
        const FaxJob &job = faxJob();
        for (const SenderBox &entry : SenderBoxes) (this->*entry.box)->setText(job.*entry.field);
    });
}

void frmSender::btnOk_Click() {
    endSilently([this] {
        FaxJob &job = faxJob();
        for (const SenderBox &entry : SenderBoxes) job.*entry.field = (this->*entry.box)->text();
        SetSenderInfo();
    });
    closePage();
}

void frmSender::btnCancel_Click() { closePage(); }

void frmSender::closePage() {
    hide();
    QCoreApplication::processEvents();
    unload();
}

}  // namespace sendmere
