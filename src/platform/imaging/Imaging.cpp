#include "platform/imaging/Imaging.h"

#include "RegistryStore.h"
#include "platform/imaging/AcquisitionDialog.h"
#include "platform/imaging/Sane.h"

#include <QEventLoop>
#include <QImage>
#include <QLoggingCategory>
#include <QSaveFile>
#include <QThread>
#include <exception>

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

Item::Item(std::shared_ptr<sane::Device> device) : m_device(std::move(device)) {}

Item::~Item() = default;

void Item::Transfer(const QString &path) {
    if (m_transferring) throw AutomationError(err::AutomationFailure, QStringLiteral("The item is being transferred"));
    m_transferring = true;
    m_cancelled = false;
    QImage image;
    std::exception_ptr failed;
    {
        QEventLoop loop;
        std::unique_ptr<QThread> worker(QThread::create([&] {
            try {
                image = m_device->acquire(m_cancelled);
            } catch (...) {
                failed = std::current_exception();
            }
        }));
        QObject::connect(worker.get(), &QThread::finished, &loop, &QEventLoop::quit);
        worker->start();
        loop.exec();
        worker->wait();
    }
    m_transferring = false;
    if (failed) {
        try {
            std::rethrow_exception(failed);
        } catch (const AutomationError &e) {
            qCWarning(lcImaging, "Scanning from %s: %s", qUtf8Printable(m_device->id()), qUtf8Printable(e.text()));
            throw;
        }
    }
    setResolution(image, *m_device);
    writeWhole(image, path);
}

void Item::Cancel() {
    if (m_transferring && !m_cancelled.exchange(true)) m_device->cancel();
}

}  // namespace sendmere::imaging
