#pragma once
// The small window shown while an image is transferred from a scanner. Its Cancel (or
// Escape, or closing it) stops the transfer; the window itself stays until the scan page
// hides it.
#include "services/FormPage.h"

class QLabel;
class QPushButton;

namespace sendmere {
namespace imaging { class Item; }

class frmScanning : public FormPage {
    Q_OBJECT
public:
    static constexpr PageId pageId = PageId::frmScanning;
    frmScanning();

    // The transfer Cancel stops; none between transfers.
    void setItem(imaging::Item *item) { m_item = item; }
    void cmdCancel_Click();

    QLabel *Label1;
    QPushButton *cmdCancel;

protected:
    void reject() override;
    void closeEvent(QCloseEvent *event) override;

private:
    imaging::Item *m_item = nullptr;
};

}  // namespace sendmere
