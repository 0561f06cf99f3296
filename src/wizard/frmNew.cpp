#include "wizard/frmNew.h"

#include "job/FaxJob.h"
#include "platform/Failures.h"
#include "platform/shell/Shell.h"
#include "services/PageParts.h"
#include "session/mCommon.h"
#include "wizard/AddressBookSelection.h"
#include "wizard/WizardLayout.h"
#include "wizard/frmCover.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace sendmere {
namespace {

QString messageTitle() { return frmNew::tr("Send Fax Wizard"); }

}  // namespace

frmNew::frmNew() {
    setWindowTitle(tr("New Fax"));
    lblCaption = parts::heading(this, "lblCaption", tr("Recipient Information"));
    lblStr = parts::label(this, "lblStr",
                          tr("Enter the name and number of the person you want to send the fax to, "
                                         "or click Address Book to select a recipient."));
    QVBoxLayout *layout = wizard::beginPage(this, lblCaption, lblStr);

    txtTo = parts::make<QLineEdit>(this, "txtTo");
    txtFaxNumber = parts::make<QLineEdit>(this, "txtFaxNumber");
    lblTo = parts::label(this, "lblTo", tr("To:"), txtTo);
    lblFaxNumber = parts::label(this, "lblFaxNumber", tr("Fax Number:"), txtFaxNumber);
    cmdAddress = parts::button(this, "cmdAddress", tr("Address Book..."));
    auto *boxes = new QGridLayout;
    boxes->addWidget(lblTo, 0, 0);
    boxes->addWidget(txtTo, 0, 1);
    boxes->addWidget(cmdAddress, 0, 2);
    boxes->addWidget(lblFaxNumber, 1, 0);
    boxes->addWidget(txtFaxNumber, 1, 1);
    layout->addLayout(boxes);

    lblStr2 = parts::label(this, "lblStr2",
                           tr("To send to multiple recipients, type each recipient's information above, "
                                          "and then click Add to add the recipient to the list below."));
    lblStr2->setWordWrap(true);
    layout->addWidget(lblStr2);
    layout->addWidget(parts::separator(this));

    lvRecipients = parts::make<QTreeWidget>(this, "lvRecipients");
    lvRecipients->setRootIsDecorated(false);
    lvRecipients->setSelectionMode(QAbstractItemView::SingleSelection);
    lvRecipients->setAccessibleName(tr("Recipients"));
    cmdAdd = parts::button(this, "cmdAdd", tr("Add"));
    cmdEdit = parts::button(this, "cmdEdit", tr("Edit"));
    cmdRemove = parts::button(this, "cmdRemove", tr("Remove"));
    auto *listButtons = new QVBoxLayout;
    listButtons->addWidget(cmdAdd);
    listButtons->addWidget(cmdEdit);
    listButtons->addWidget(cmdRemove);
    listButtons->addStretch();
    auto *list = new QHBoxLayout;
    list->addWidget(lvRecipients, 1);
    list->addLayout(listButtons);
    layout->addLayout(list, 1);

    btnBack = parts::button(this, "btnBack", tr("< Back"));
    btnNext = parts::button(this, "btnNext", tr("Next >"));
    btnCancel = parts::button(this, "btnCancel", tr("Cancel"));
    btnNext->setDefault(true);
    wizard::endPage(layout, {btnBack, btnNext, btnCancel});

    connect(txtTo, &QLineEdit::textChanged, this, &frmNew::UpdateButtons);
    connect(txtFaxNumber, &QLineEdit::textChanged, this, &frmNew::UpdateButtons);
    connect(lvRecipients, &QTreeWidget::itemSelectionChanged, this, &frmNew::UpdateButtons);
    connect(cmdAdd, &QPushButton::clicked, this, &frmNew::cmdAdd_Click);
    connect(cmdEdit, &QPushButton::clicked, this, &frmNew::cmdEdit_Click);
    connect(cmdRemove, &QPushButton::clicked, this, &frmNew::cmdRemove_Click);
    connect(cmdAddress, &QPushButton::clicked, this, &frmNew::cmdAddress_Click);
    connect(btnNext, &QPushButton::clicked, this, &frmNew::btnNext_Click);
    connect(btnCancel, &QPushButton::clicked, this, &frmNew::btnCancel_Click);
    btnBack->setEnabled(false);
    UpdateButtons();
}

void frmNew::UpdateButtons() {
    cmdAdd->setEnabled(!txtTo->text().isEmpty() && !txtFaxNumber->text().isEmpty());
    const bool selected = !lvRecipients->selectedItems().isEmpty();
    cmdRemove->setEnabled(selected);
    cmdEdit->setEnabled(selected);
}

// The list shows the fax job as it stands: what was typed but not added is dropped.
void frmNew::Form_Activate() {
    endSilently([this] {
        txtTo->clear();
        txtFaxNumber->clear();
        rebuildList();
        btnBack->setEnabled(false);
        UpdateButtons();
    });
}

void frmNew::rebuildList() {
    lvRecipients->clear();
    lvRecipients->setColumnCount(2);
    lvRecipients->setHeaderLabels({tr("Recipient Name"), tr("Fax Number")});
    QHeaderView *header = lvRecipients->header();
    header->setStretchLastSection(false);
    // The number column reaches the list's right edge.
    header->resizeSection(1, lvRecipients->viewport()->width() - header->sectionPosition(1));
    const FaxJob &job = faxJob();
    for (int i = 1; i <= job.RecipientName.upperBound(); ++i) addEntry(job.RecipientName(i), job.RecipientNumber(i));
}

void frmNew::addEntry(const QString &name, const QString &number) {
    auto *entry = new QTreeWidgetItem(lvRecipients);  // owned by the list
    entry->setText(0, name);
    entry->setText(1, number);
}

bool frmNew::isListed(const QString &name, const QString &number) const {
    for (int i = 0; i < lvRecipients->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *entry = lvRecipients->topLevelItem(i);
        if (entry->text(0) == name && entry->text(1) == number) return true;
    }
    return false;
}

// One entry per name and number: a repeated pair only clears the boxes.
void frmNew::cmdAdd_Click() {
    endSilently([this] {
        if (!isListed(txtTo->text(), txtFaxNumber->text())) addEntry(txtTo->text(), txtFaxNumber->text());
        txtTo->clear();
        txtFaxNumber->clear();
        cmdAdd->setEnabled(false);
    });
}

void frmNew::cmdEdit_Click() {
    endSilently([this] {
        const QList<QTreeWidgetItem *> selected = lvRecipients->selectedItems();
        if (selected.isEmpty()) return;
        txtTo->setText(selected.first()->text(0));
        txtFaxNumber->setText(selected.first()->text(1));
    });
}

void frmNew::cmdRemove_Click() {
    endSilently([this] {
        const QList<QTreeWidgetItem *> selected = lvRecipients->selectedItems();
        if (selected.isEmpty()) return;
        delete lvRecipients->takeTopLevelItem(lvRecipients->indexOfTopLevelItem(selected.first()));
        UpdateButtons();
    });
}

void frmNew::cmdAddress_Click() { SelectFromAddressBook(*this); }

void frmNew::btnNext_Click() {
    endSilently([this] {
        if (lvRecipients->topLevelItemCount() == 0) {
            if (!cmdAdd->isEnabled()) {
                const QString text = txtTo->text().isEmpty() ? tr("Please enter the  recipient's name.")
                                                             : tr("Please enter the  recipient's fax number.");
                shell::seams().messageBox->show(this, text, messageTitle());
                return;
            }
            cmdAdd_Click();
        }
        storeRecipients();
        showCoverPage();
    });
}

void frmNew::storeRecipients() {
    FaxJob &job = faxJob();
    const int count = lvRecipients->topLevelItemCount();
    job.RecipientName.redim(count);
    job.RecipientNumber.redim(count);
    for (int i = 1; i <= count; ++i) {
        job.RecipientName(i) = lvRecipients->topLevelItem(i - 1)->text(0);
        job.RecipientNumber(i) = lvRecipients->topLevelItem(i - 1)->text(1);
    }
}

// Nothing of this page survives the swap but what storeRecipients() put in the fax job.
void frmNew::showCoverPage() {
    frmCover &cover = page<frmCover>();
    cover.setGeometry(geometry());
    unload();
    cover.showPage();
}

void frmNew::btnCancel_Click() {
    endSilently([this] {
        unload();
        mCommon::ExitApplication(0);
    });
}

}  // namespace sendmere
