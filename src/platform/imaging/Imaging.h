#pragma once
// The imaging component: scanners and cameras, reached through the scanner library (SANE).
// The program lists the devices, shows a device's acquisition dialog and transfers the
// acquired image to a file; every failing call raises AutomationError.
#include "platform/AutomationError.h"

#include <QString>
#include <atomic>
#include <chrono>
#include <memory>
#include <vector>

namespace sendmere::imaging {

namespace sane {
class Session;
class Device;
}  // namespace sane

// The name the component is registered under in the registry's classes root.
inline const QString ProgId = QStringLiteral("Wia.Script");

// True when the imaging component can be created on this machine.
bool IsScanAvailable();

// One entry of the device list.
struct DeviceInfo {
    QString Name;      // what a user recognises: vendor and model
    QString Type;      // the library's kind of device, e.g. "flatbed scanner"
    QString DeviceID;  // the library's own name of the device
};

// An image acquired through the dialog, waiting to be written to a file.
class Item {
public:
    // How long a scan may go without any answer from the device before it is stopped: the
    // registry value ScanTimeout (seconds) of HKEY_CURRENT_USER "Software\Sendmere", else
    // DefaultScanTimeout. A device that does not stop within StopGrace is left behind.
    static inline const QString SettingsKey = QStringLiteral("Software\\Sendmere");
    static inline const QString ScanTimeoutValue = QStringLiteral("ScanTimeout");
    static constexpr std::chrono::seconds DefaultScanTimeout{60};
    static constexpr std::chrono::seconds StopGrace{5};

    explicit Item(std::shared_ptr<sane::Device> device);
    ~Item();
    Item(const Item &) = delete;
    Item &operator=(const Item &) = delete;

    // Scans and writes the image to path as a bitmap. The scan runs on a worker thread while
    // the caller's events go on, so a window can offer Cancel. The file appears only whole:
    // a failure or a cancel leaves nothing at path, and raises.
    void Transfer(const QString &path);
    // Stops a running Transfer, which then raises; safe to call at any time.
    void Cancel();
    bool isTransferring() const { return m_transferring; }

    struct Scan;  // what the worker thread shares with the waiting caller

private:
    std::shared_ptr<sane::Device> m_device;
    std::shared_ptr<Scan> m_scan;  // the running transfer
    bool m_transferring = false;
};

class Device {
public:
    Device(std::shared_ptr<sane::Device> device, QString name);
    ~Device();
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

    // Shows the device's acquisition dialog. The items the user acquired, none when the
    // dialog was cancelled. flags and intent 0: the dialog's own defaults.
    std::vector<std::unique_ptr<Item>> GetItemsFromUI(int flags, int intent);

    sane::Device &scanner() { return *m_device; }

private:
    std::shared_ptr<sane::Device> m_device;
    QString m_name;
};

// The component's scripting object.
class ImagingScript {
public:
    // Raises 429 when the component is not registered or the scanner library does not start.
    ImagingScript();
    ~ImagingScript();
    ImagingScript(const ImagingScript &) = delete;
    ImagingScript &operator=(const ImagingScript &) = delete;

    // The devices as the library finds them now, in its order.
    std::vector<DeviceInfo> Devices() const;
    // Opens the device of that entry; raises when it is gone or busy.
    std::unique_ptr<Device> Create(const DeviceInfo &entry) const;

private:
    std::shared_ptr<sane::Session> m_session;
};

}  // namespace sendmere::imaging
