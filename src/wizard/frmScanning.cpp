#include "wizard/frmScanning.h"

#include "platform/imaging/Imaging.h"
#include "services/PageParts.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace sendmere {

frmScanning::frmScanning() {
    setWindowTitle(QString());
    auto *layout = new QVBoxLayout(this);
    Label1 = parts::label(this, "Label1", tr("Scanning..."));
    Label1->setAlignment(Qt::AlignCenter);
    Label1->setMinimumWidth(200);
    layout->addWidget(Label1);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    cmdCancel = parts::button(this, "cmdCancel", tr("Cancel"));
    buttons->addWidget(cmdCancel);
    buttons->addStretch();
    layout->addLayout(buttons);
    connect(cmdCancel, &QPushButton::clicked, this, &frmScanning::cmdCancel_Click);
}

void frmScanning::cmdCancel_Click() {
    if (m_item) m_item->Cancel();
}

// Escape cancels the transfer; the scan page hides the window when the transfer has ended.
void frmScanning::reject() { cmdCancel_Click(); }

void frmScanning::closeEvent(QCloseEvent *event) {
    if (m_item && m_item->isTransferring()) {
        m_item->Cancel();
        event->ignore();
        return;
    }
    FormPage::closeEvent(event);
}

}  // namespace sendmere
