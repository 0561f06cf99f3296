#pragma once
// The first page of the Send Fax Wizard: the list of recipients, each a name and a fax
// number. The list lives in the fax job; the page rebuilds it on every activation.
#include "services/FormPage.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QTreeWidget;

namespace sendmere {

class frmNew : public FormPage {
    Q_OBJECT
public:
    static constexpr PageId pageId = PageId::frmNew;
    frmNew();

    void Form_Activate() override;
    void cmdAdd_Click();
    void cmdEdit_Click();
    void cmdRemove_Click();
    void cmdAddress_Click();
    void btnNext_Click();
    void btnCancel_Click();

    QLabel *lblCaption, *lblStr, *lblTo, *lblFaxNumber, *lblStr2;
    QLineEdit *txtTo, *txtFaxNumber;
    QPushButton *cmdAddress, *cmdAdd, *cmdEdit, *cmdRemove;
    QTreeWidget *lvRecipients;
    QPushButton *btnBack, *btnNext, *btnCancel;

private:
    void UpdateButtons();
    void rebuildList();
    void addEntry(const QString &name, const QString &number);
    bool isListed(const QString &name, const QString &number) const;
    void storeRecipients();
    void showCoverPage();
};

}  // namespace sendmere
