#pragma once
// The scanner library (SANE) behind the imaging component: the library's one session per
// process, an opened device with its options, and the acquisition of one image.
#include "platform/AutomationError.h"

#include <QImage>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace sendmere::imaging::sane {

// Raised for every failing library call: number 440 and the library's own text.
AutomationError failure(const QString &what, int status);

// The library stays initialised while any Session exists; the last one ends it, so the next
// session reads the configuration (SANE_CONFIG_DIR) afresh.
class Session {
public:
    // Raises when the library does not start.
    static std::shared_ptr<Session> acquire();
    ~Session();
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    struct DeviceEntry {
        QString id;  // the library's device name, e.g. "test:0"
        QString vendor, model, type;
    };
    std::vector<DeviceEntry> devices() const;

private:
    Session() = default;
};

// One option of a device as the acquisition dialog shows it.
struct Option {
    int index = 0;
    QString name, title, description;
    enum class Kind { Bool, Int, Fixed, String, Other } kind = Kind::Other;
    QString unit;             // "dpi", "mm" ... or empty
    QVariantList choices;     // a list constraint: the allowed values
    bool hasRange = false;
    double min = 0, max = 0, step = 0;
    QVariant value;           // bool, int, double or QString
    bool active = false;
    bool settable = false;
};

// An opened device; closed when the last holder lets go.
class Device {
public:
    Device(std::shared_ptr<Session> session, const QString &id);  // raises when it cannot be opened
    ~Device();
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

    const QString &id() const { return m_id; }
    // The option of that name, read afresh; nothing when the device has none.
    std::optional<Option> option(const QString &name) const;
    // Raises when the device refuses the value.
    void setOption(const QString &name, const QVariant &value);

    // Scans one image; runs on a worker thread. cancelled is checked between reads and may
    // be set from another thread, which also calls cancel() to break a waiting read. Every
    // answer of the device counts up steps, so that a watcher sees the scan move.
    // A failure is handed to failed before the scan is ended, so that its reason is known even
    // when ending the scan hangs in the library.
    QImage acquire(const std::atomic<bool> &cancelled, std::atomic<quint64> &steps,
                   const std::function<void(std::exception_ptr)> &failed);
    // Safe from any thread while acquire() runs. A scan is ended once: the library's own
    // cancel joins the device's reader thread, and two of them at once would join it twice.
    void cancel();

private:
    std::optional<Option> readOption(int index) const;
    void endScan();
    QImage readImage(void *handle, const std::atomic<bool> &cancelled, std::atomic<quint64> &steps);
    std::shared_ptr<Session> m_session;
    QString m_id;
    void *m_handle = nullptr;
    std::mutex m_ending;
    bool m_scanning = false;  // guarded by m_ending
};

}  // namespace sendmere::imaging::sane
