#include "platform/imaging/Imaging.h"

#include "RegistryStore.h"
#include "platform/imaging/AcquisitionDialog.h"
#include "platform/imaging/Sane.h"

#include <QEventLoop>
#include <QImage>
#include <QLoggingCategory>
#include <QSaveFile>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>
#include <exception>
#include <mutex>
#include <thread>

namespace sendmere::imaging {
namespace {

Q_LOGGING_CATEGORY(lcImaging, "sendmere.imaging")

AutomationError cannotCreate() {
    return {err::CannotCreateObject, QStringLiteral("ActiveX component can't create object")};
}

bool componentRegistered() {
    return registry::RegistryStore().keyExists(registry::Root::ClassesRoot, ProgId);
}

// The resolution the image was scanned at, so that it keeps its size on paper.
void setResolution(QImage &image, const sane::Device &device) {
    std::optional<sane::Option> resolution = device.option(QStringLiteral("resolution"));
    if (!resolution || !resolution->value.isValid()) return;
    const double dpi = resolution->value.toDouble();
    if (dpi <= 0) return;
    const int dotsPerMeter = qRound(dpi / 0.0254);
    image.setDotsPerMeterX(dotsPerMeter);
    image.setDotsPerMeterY(dotsPerMeter);
}

void writeWhole(const QImage &image, const QString &path) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        throw AutomationError(err::PathFileAccessError, QStringLiteral("Path/File access error: %1").arg(file.errorString()));
    if (!image.save(&file, "BMP") || !file.commit())
        throw AutomationError(err::PathFileAccessError, QStringLiteral("Path/File access error: %1").arg(file.errorString()));
}

}  // namespace

bool IsScanAvailable() {
    try {
        const ImagingScript script;
        return true;
    } catch (...) {
        return false;
    }
}

// ---- ImagingScript ----

ImagingScript::ImagingScript() {
    if (!componentRegistered()) throw cannotCreate();
    try {
        m_session = sane::Session::acquire();
    } catch (const AutomationError &e) {
        qCWarning(lcImaging, "%s", qUtf8Printable(e.text()));
        throw cannotCreate();
    }
}

ImagingScript::~ImagingScript() = default;

std::vector<DeviceInfo> ImagingScript::Devices() const {
    std::vector<DeviceInfo> devices;
    for (const sane::Session::DeviceEntry &entry : m_session->devices())
        devices.push_back({(entry.vendor + u' ' + entry.model).trimmed(), entry.type, entry.id});
    return devices;
}

std::unique_ptr<Device> ImagingScript::Create(const DeviceInfo &entry) const {
    return std::make_unique<Device>(std::make_shared<sane::Device>(m_session, entry.DeviceID), entry.Name);
}

// ---- Device ----

Device::Device(std::shared_ptr<sane::Device> device, QString name)
    : m_device(std::move(device)), m_name(std::move(name)) {}

Device::~Device() = default;

std::vector<std::unique_ptr<Item>> Device::GetItemsFromUI(int, int) {
    std::vector<std::unique_ptr<Item>> items;
    AcquisitionDialog dialog(*m_device, m_name);
    if (dialog.exec() == QDialog::Accepted) items.push_back(std::make_unique<Item>(m_device));
    return items;
}

// ---- Item ----

// Shared by the worker thread and the caller, so that a worker left behind by a device that
// does not stop still has everything it touches.
struct Item::Scan {
    explicit Scan(std::shared_ptr<sane::Device> d) : device(std::move(d)) {}
    std::shared_ptr<sane::Device> device;
    std::atomic<bool> cancelled{false};
    std::atomic<quint64> steps{0};
    QImage image;                // written by the worker before it ends
    std::exception_ptr failed;   // likewise
    std::mutex guard;
    std::exception_ptr reported;  // the device's failure, known before the scan is ended
    void report(std::exception_ptr failure) {
        const std::lock_guard lock(guard);
        reported = std::move(failure);
    }
    std::exception_ptr reportedFailure() {
        const std::lock_guard lock(guard);
        return reported;
    }
    // Ends the device's scan without waiting for the library: its cancel may itself wait
    // for the device.
    void stop() {
        if (cancelled.exchange(true)) return;
        std::thread([device = device] { device->cancel(); }).detach();
    }
};

Item::Item(std::shared_ptr<sane::Device> device) : m_device(std::move(device)) {}

Item::~Item() { Cancel(); }

namespace {

std::chrono::milliseconds scanTimeout() {
    const std::optional<registry::RegValue> value =
        registry::RegistryStore().value(registry::Root::CurrentUser, Item::SettingsKey, Item::ScanTimeoutValue);
    qint64 seconds = 0;
    if (value) seconds = value->type == registry::ValueType::DWord ? qint64(value->dword) : value->text.trimmed().toLongLong();
    return seconds > 0 ? std::chrono::milliseconds(seconds * 1000) : std::chrono::milliseconds(Item::DefaultScanTimeout);
}

AutomationError silentDevice(const QString &id, std::chrono::milliseconds waited) {
    return {err::AutomationFailure,
            QStringLiteral("The scanner %1 sent nothing for %2 s and was stopped").arg(id).arg(double(waited.count()) / 1000)};
}

}  // namespace

void Item::Transfer(const QString &path) {
    if (m_transferring) throw AutomationError(err::AutomationFailure, QStringLiteral("The item is being transferred"));
    m_transferring = true;
    const auto scan = std::make_shared<Scan>(m_device);
    m_scan = scan;
    const std::chrono::milliseconds timeout = scanTimeout();
    bool timedOut = false;
    bool abandoned = false;
    std::exception_ptr failedBeforeStop;
    {
        QEventLoop loop;
        // The thread object goes once the thread has ended, also when nobody waits any more.
        QThread *worker = QThread::create([scan] {
            try {
                scan->image = scan->device->acquire(scan->cancelled, scan->steps,
                                                    [&scan = *scan](std::exception_ptr failure) { scan.report(std::move(failure)); });
            } catch (...) {
                scan->failed = std::current_exception();
            }
        });
        QObject::connect(worker, &QThread::finished, worker, &QObject::deleteLater);
        QObject::connect(worker, &QThread::finished, &loop, &QEventLoop::quit);
        // A device that answers nothing for the time limit is stopped; one that does not even
        // stop then is left to its thread, and the caller hears of it.
        QTimer watch;
        QElapsedTimer quiet, stopping;
        quiet.start();
        quint64 lastSteps = 0;
        QObject::connect(&watch, &QTimer::timeout, &loop, [&] {
            if (const quint64 steps = scan->steps; steps != lastSteps) {
                lastSteps = steps;
                quiet.restart();
            }
            if (!scan->cancelled && quiet.elapsed() >= timeout.count()) {
                // A device that failed and then hung while its scan was ended keeps its reason.
                failedBeforeStop = scan->reportedFailure();
                timedOut = true;
                scan->stop();
            }
            if (scan->cancelled && !stopping.isValid()) stopping.start();
            if (stopping.isValid() && stopping.elapsed() >= std::chrono::milliseconds(StopGrace).count()) {
                abandoned = true;
                loop.quit();
            }
        });
        watch.start(100);
        worker->start();
        loop.exec();  // the thread object deletes itself once its thread has ended
    }
    m_transferring = false;
    m_scan.reset();
    try {
        if (failedBeforeStop) std::rethrow_exception(failedBeforeStop);
        if (timedOut) throw silentDevice(m_device->id(), timeout);
        if (abandoned) {
            if (const std::exception_ptr reported = scan->reportedFailure()) std::rethrow_exception(reported);
            throw AutomationError(err::AutomationFailure, QStringLiteral("The scan was cancelled"));
        }
        if (scan->failed) std::rethrow_exception(scan->failed);
    } catch (const AutomationError &e) {
        qCWarning(lcImaging, "Scanning from %s: %s", qUtf8Printable(m_device->id()), qUtf8Printable(e.text()));
        throw;
    }
    QImage image = std::move(scan->image);
    setResolution(image, *m_device);
    writeWhole(image, path);
}

void Item::Cancel() {
    if (m_transferring && m_scan) m_scan->stop();
}

}  // namespace sendmere::imaging
