#pragma once
// The scan page: lists the scanners and cameras, shows the chosen device's acquisition
// dialog and hands the acquired image to the fax job as its attachment.
#include "platform/imaging/Imaging.h"
#include "services/FormPage.h"

#include <memory>
#include <vector>

class QPushButton;
class QTreeWidget;

namespace sendmere {

class frmScan : public FormPage {
    Q_OBJECT
public:
    static constexpr PageId pageId = PageId::frmScan;
    frmScan();
    ~frmScan() override;

    void Form_Load() override;
    void OKButton_Click();
    void CancelButton_Click();
    void ScanFromDevice(const QString &name);

    // Shows the page and waits until it is hidden or closed; returns at once when its load
    // has already scanned from the only device.
    void showAndWait();

    QTreeWidget *lvScanDevices;
    QPushButton *OKButton, *CancelButton;

    // The imaging scripting object and its device list as read on load.
    std::unique_ptr<imaging::ImagingScript> Wia;
    std::vector<imaging::DeviceInfo> Devices;

private:
    void scanEntry(const imaging::DeviceInfo &entry);
    void transfer(imaging::Item &item);
    bool m_scannedOnLoad = false;
    bool m_scanning = false;
};

// The path an acquired image goes to: a new temporary file's name with every ".tmp" made
// ".bmp". The reserved ".tmp" file stays.
QString newScanImagePath();

}  // namespace sendmere
