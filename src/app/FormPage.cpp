#include "app/FormPage.h"

#include <QEvent>
#include <array>

namespace sendmere {

FormPage::FormPage(QWidget *parent) : QDialog(parent) {
    setAttribute(Qt::WA_DeleteOnClose);
}

void FormPage::showPage() {
    show();
    raise();
    activateWindow();
}

void FormPage::unload() {
    close();  // WA_DeleteOnClose destroys the instance; its slot empties itself
}

void FormPage::showInMyPlace(FormPage &next) {
    next.setGeometry(geometry());
    next.showPage();
}

bool FormPage::event(QEvent *event) {
    const bool handled = QDialog::event(event);
    if (event->type() == QEvent::WindowActivate) Form_Activate();
    return handled;
}

QPointer<QWidget> &pageSlot(PageId id) {
    static std::array<QPointer<QWidget>, size_t(PageId::frmUpdate) + 1> slots;
    return slots[size_t(id)];
}

void releasePages() {
    for (PageId id : {PageId::frmScan, PageId::frmScanning, PageId::frmtest, PageId::frmAbout,
                      PageId::frmCover, PageId::frmFinish, PageId::frmImport, PageId::frmNew,
                      PageId::frmSend, PageId::frmSender, PageId::frmWarning, PageId::frmUpdate}) {
        QPointer<QWidget> &slot = pageSlot(id);
        if (slot) {
            // Deferred, because the page whose button ended the program is still on the stack.
            slot->hide();
            slot->deleteLater();
        }
        slot.clear();
    }
}

}  // namespace sendmere
