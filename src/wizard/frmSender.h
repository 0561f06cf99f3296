#pragma once
// The sender's own details, as they go onto cover pages and into the fax document.
#include "services/FormPage.h"

class QLineEdit;
class QPushButton;

namespace sendmere {

class frmSender : public FormPage {
    Q_OBJECT
public:
    static constexpr PageId pageId = PageId::frmSender;
    frmSender();

    void Form_Activate() override;
    void btnOk_Click();
    void btnCancel_Click();

    QLineEdit *txtFullName, *txtFaxNumber, *txtEmail, *txtTitle, *txtCompany, *txtOffice,
        *txtDepartment, *txtHomePhone, *txtWorkPhone, *txtAddress, *txtBillingCode;
    QPushButton *btnOk, *btnCancel;

private:
    void closePage();
};

}  // namespace sendmere
