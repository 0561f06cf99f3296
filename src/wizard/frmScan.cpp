#include "wizard/frmScan.h"

#include "job/FaxJob.h"
#include "platform/Failures.h"
#include "services/PageParts.h"
#include "session/mCommon.h"
#include "wizard/frmScanning.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLoggingCategory>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace sendmere {
namespace {

Q_LOGGING_CATEGORY(lcScan, "sendmere.scan")

// The scanning window is hidden again however the transfer ends.
struct ScanningWindow {
    frmScanning &window;
    ~ScanningWindow() {
        window.setItem(nullptr);
        window.hide();
    }
};

}  // namespace

QString newScanImagePath() {
    QString path = mCommon::GetTempFile();
    if (path.isEmpty()) throw AutomationError(err::PathFileAccessError, QStringLiteral("Path/File access error"));
    return path.replace(QStringLiteral(".tmp"), QStringLiteral(".bmp"));
}

frmScan::frmScan() {
    setWindowTitle(tr("Scan Dialog"));
    auto *layout = new QVBoxLayout(this);
    lvScanDevices = parts::make<QTreeWidget>(this, "lvScanDevices");
    lvScanDevices->setRootIsDecorated(false);
    lvScanDevices->setSelectionMode(QAbstractItemView::SingleSelection);
    lvScanDevices->setAccessibleName(tr("Scan devices"));
    lvScanDevices->setMinimumSize(360, 160);
    layout->addWidget(lvScanDevices);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    OKButton = parts::button(this, "OKButton", tr("OK"));
    OKButton->setDefault(true);
    CancelButton = parts::button(this, "CancelButton", tr("Cancel"));
    buttons->addWidget(OKButton);
    buttons->addWidget(CancelButton);
    layout->addLayout(buttons);
    connect(OKButton, &QPushButton::clicked, this, &frmScan::OKButton_Click);
    connect(CancelButton, &QPushButton::clicked, this, &frmScan::CancelButton_Click);
    connect(lvScanDevices, &QTreeWidget::itemActivated, this, &frmScan::OKButton_Click);
}

frmScan::~frmScan() = default;

void frmScan::Form_Load() {
    lvScanDevices->clear();
    lvScanDevices->setColumnCount(2);
    lvScanDevices->setHeaderLabels({tr("Scan devices"), tr("Type")});
    // "Type" fills the rest of the list.
    lvScanDevices->header()->setStretchLastSection(true);
    lvScanDevices->setColumnWidth(0, lvScanDevices->minimumWidth() / 2);
    try {
        Wia = std::make_unique<imaging::ImagingScript>();
        Devices = Wia->Devices();
    } catch (...) {
        qCWarning(lcScan, "The scanners cannot be listed: %s",
                  qUtf8Printable(asAutomationError(std::current_exception()).text()));
    }
    for (const imaging::DeviceInfo &device : Devices) {
        auto *row = new QTreeWidgetItem(lvScanDevices, {device.Name, device.Type});  // owned by the list
        row->setData(0, Qt::AccessibleTextRole, device.Name);
    }
    if (lvScanDevices->topLevelItemCount() > 0) lvScanDevices->setCurrentItem(lvScanDevices->topLevelItem(0));
    if (lvScanDevices->topLevelItemCount() == 1) {
        hide();
        ScanFromDevice(lvScanDevices->topLevelItem(0)->text(0));
        hide();
        m_scannedOnLoad = true;
    }
}

void frmScan::showAndWait() {
    if (m_scannedOnLoad) return;
    exec();
}

void frmScan::OKButton_Click() {
    const QTreeWidgetItem *selected = lvScanDevices->currentItem();
    if (!selected || m_scanning) return;
    ScanFromDevice(selected->text(0));
}

void frmScan::CancelButton_Click() { hide(); }

void frmScan::ScanFromDevice(const QString &name) {
    m_scanning = true;
    for (const imaging::DeviceInfo &entry : Devices) {
        if (entry.Name != name) continue;
        try {
            scanEntry(entry);
        } catch (...) {
            // A device that is gone, busy or broke off: nothing is attached from it, and the
            // next device of that name still gets its turn.
            const AutomationError e = asAutomationError(std::current_exception());
            qCWarning(lcScan, "Scanning from %s (%s) failed: %s", qUtf8Printable(entry.Name),
                      qUtf8Printable(entry.DeviceID), qUtf8Printable(e.text()));
            // The log keeps why nothing was scanned, as for every failure of the program.
            WriteErrorLog(e.number(), QStringLiteral("%1 (%2): %3").arg(entry.Name, entry.DeviceID, e.text()),
                          QStringLiteral("frmScan.ScanFromDevice"));
        }
    }
    m_scanning = false;
    hide();
}

void frmScan::scanEntry(const imaging::DeviceInfo &entry) {
    if (!Wia) throw AutomationError::objectNotSet();
    const std::unique_ptr<imaging::Device> device = Wia->Create(entry);
    const std::vector<std::unique_ptr<imaging::Item>> items = device->GetItemsFromUI(0, 0);
    if (items.empty()) {
        faxJob().Attachments.redimPreserve(0);
        return;
    }
    for (const std::unique_ptr<imaging::Item> &item : items) transfer(*item);
}

void frmScan::transfer(imaging::Item &item) {
    hide();
    frmScanning &scanning = page<frmScanning>();
    scanning.setParent(this, scanning.windowFlags());  // owned by the scan page
    const ScanningWindow shown{scanning};
    scanning.setItem(&item);
    scanning.showPage();
    const QString path = newScanImagePath();
    item.Transfer(path);
    FaxJob &job = faxJob();
    job.Attachments.redimPreserve(1);
    job.Attachments(1) = path;
}

}  // namespace sendmere
