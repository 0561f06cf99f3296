#include "platform/imaging/Sane.h"

#include "platform/imaging/SaneLibrary.h"

#include <QCoreApplication>
#include <QMutex>
#include <QElapsedTimer>
#include <QMutexLocker>
#include <sane/sane.h>
#include <sane/saneopts.h>

#include <cstring>
#include <optional>
#include <thread>

namespace sendmere::imaging::sane {
namespace {

constexpr int ReadBufferBytes = 64 * 1024;

SANE_Handle handleOf(void *handle) { return static_cast<SANE_Handle>(handle); }

// One frame of a scan: the whole image, or one colour of a three-pass scan.
struct Frame {
    SANE_Parameters parameters{};
    QByteArray data;
    int lines() const {
        return parameters.bytes_per_line > 0 ? int(data.size() / parameters.bytes_per_line) : 0;
    }
};

AutomationError cancelledError() {
    return {err::AutomationFailure, QStringLiteral("The scan was cancelled")};
}

// A sample scaled to 0..255, where 0 is black. A 1-bit sample of 1 is black.
int sampleAt(const Frame &frame, int x, int y, int channel, int channels) {
    const SANE_Parameters &p = frame.parameters;
    const auto *line = reinterpret_cast<const uchar *>(frame.data.constData()) + qsizetype(y) * p.bytes_per_line;
    const int index = x * channels + channel;
    switch (p.depth) {
    case 1:
        return (line[index / 8] & (0x80 >> (index % 8))) ? 0 : 255;
    case 16: {
        quint16 value;  // the host's byte order
        std::memcpy(&value, line + 2 * index, sizeof value);
        return value >> 8;
    }
    default:
        return line[index];
    }
}

void requireDepth(const SANE_Parameters &p) {
    if (p.depth != 1 && p.depth != 8 && p.depth != 16)
        throw AutomationError(err::AutomationFailure,
                              QStringLiteral("The scanner sends %1-bit samples, which cannot be read").arg(p.depth));
}

QImage grayImage(const Frame &frame, int width, int height) {
    const SANE_Parameters &p = frame.parameters;
    if (p.depth == 1) {
        // Bits go across as they came: most significant first, 1 for black.
        QImage image(width, height, QImage::Format_Mono);
        image.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
        for (int y = 0; y < height; ++y)
            std::memcpy(image.scanLine(y), frame.data.constData() + qsizetype(y) * p.bytes_per_line, (width + 7) / 8);
        return image;
    }
    QImage image(width, height, QImage::Format_Grayscale8);
    for (int y = 0; y < height; ++y) {
        uchar *out = image.scanLine(y);
        for (int x = 0; x < width; ++x) out[x] = uchar(sampleAt(frame, x, y, 0, 1));
    }
    return image;
}

QImage colourImage(const std::vector<Frame> &frames, int width, int height) {
    QImage image(width, height, QImage::Format_RGB888);
    for (int y = 0; y < height; ++y) {
        uchar *out = image.scanLine(y);
        for (int x = 0; x < width; ++x) {
            for (int c = 0; c < 3; ++c) {
                if (frames.size() == 1) {
                    out[3 * x + c] = uchar(sampleAt(frames[0], x, y, c, 3));
                } else {
                    // Three-pass: each frame carries one colour, named by its format.
                    for (const Frame &f : frames)
                        if (f.parameters.format == SANE_FRAME_RED + c) out[3 * x + c] = uchar(sampleAt(f, x, y, 0, 1));
                }
            }
        }
    }
    return image;
}

QImage imageFromFrames(const std::vector<Frame> &frames) {
    const Frame &first = frames.front();
    int height = first.lines();
    for (const Frame &f : frames) {
        requireDepth(f.parameters);
        height = std::min(height, f.lines());
    }
    const int width = first.parameters.pixels_per_line;
    if (width <= 0 || height <= 0)
        throw AutomationError(err::AutomationFailure, QStringLiteral("The scanner sent an empty image"));
    if (first.parameters.format == SANE_FRAME_GRAY) return grayImage(first, width, height);
    return colourImage(frames, width, height);
}

}  // namespace

AutomationError failure(const QString &what, int status) {
    return {err::AutomationFailure,
            QStringLiteral("%1: %2").arg(what, QString::fromUtf8(library().strstatus(SANE_Status(status))))};
}

// ---- Session ----

std::shared_ptr<Session> Session::acquire() {
    // The library is one per process: every holder shares the session that is running.
    static QMutex guard;
    static std::weak_ptr<Session> running;
    const QMutexLocker lock(&guard);
    if (std::shared_ptr<Session> session = running.lock()) return session;
    SANE_Int version = 0;
    const SANE_Status status = library().init(&version, nullptr);
    if (status != SANE_STATUS_GOOD) throw failure(QStringLiteral("The scanner library does not start"), status);
    std::shared_ptr<Session> session(new Session());  // the constructor is private to keep it shared
    running = session;
    return session;
}

Session::~Session() { library().exit(); }

std::vector<Session::DeviceEntry> Session::devices() const {
    const SANE_Device **list = nullptr;
    const SANE_Status status = library().getDevices(&list, SANE_FALSE);
    if (status != SANE_STATUS_GOOD) throw failure(QStringLiteral("The scanners cannot be listed"), status);
    std::vector<DeviceEntry> entries;
    for (int i = 0; list && list[i]; ++i) {
        const SANE_Device *d = list[i];
        entries.push_back({QString::fromUtf8(d->name), QString::fromUtf8(d->vendor), QString::fromUtf8(d->model),
                           QString::fromUtf8(d->type)});
    }
    return entries;
}

// ---- Device ----

Device::Device(std::shared_ptr<Session> session, const QString &id) : m_session(std::move(session)), m_id(id) {
    SANE_Handle handle = nullptr;
    const SANE_Status status = library().open(id.toUtf8().constData(), &handle);
    if (status != SANE_STATUS_GOOD)
        throw failure(QStringLiteral("The scanner %1 cannot be opened").arg(id), status);
    m_handle = handle;
}

Device::~Device() { library().close(handleOf(m_handle)); }

std::optional<Option> Device::readOption(int index) const {
    const SANE_Option_Descriptor *d = library().getOptionDescriptor(handleOf(m_handle), index);
    if (!d || !d->name) return std::nullopt;
    Option option;
    option.index = index;
    option.name = QString::fromUtf8(d->name);
    option.title = QString::fromUtf8(d->title ? d->title : d->name);
    option.description = QString::fromUtf8(d->desc ? d->desc : "");
    option.active = SANE_OPTION_IS_ACTIVE(d->cap);
    option.settable = SANE_OPTION_IS_SETTABLE(d->cap);
    static const char *const Units[] = {"", "px", "bit", "mm", "dpi", "%", "us"};
    option.unit = QString::fromLatin1(d->unit >= 0 && d->unit <= SANE_UNIT_MICROSECOND ? Units[d->unit] : "");
    const bool single = d->size == sizeof(SANE_Word);
    switch (d->type) {
    case SANE_TYPE_BOOL: option.kind = Option::Kind::Bool; break;
    case SANE_TYPE_INT: option.kind = single ? Option::Kind::Int : Option::Kind::Other; break;
    case SANE_TYPE_FIXED: option.kind = single ? Option::Kind::Fixed : Option::Kind::Other; break;
    case SANE_TYPE_STRING: option.kind = Option::Kind::String; break;
    default: option.kind = Option::Kind::Other; break;
    }
    auto word = [&](SANE_Word w) -> QVariant {
        return option.kind == Option::Kind::Fixed ? QVariant(SANE_UNFIX(w)) : QVariant(int(w));
    };
    if (d->constraint_type == SANE_CONSTRAINT_STRING_LIST) {
        for (int i = 0; d->constraint.string_list[i]; ++i)
            option.choices.append(QString::fromUtf8(d->constraint.string_list[i]));
    } else if (d->constraint_type == SANE_CONSTRAINT_WORD_LIST) {
        for (int i = 1; i <= d->constraint.word_list[0]; ++i) option.choices.append(word(d->constraint.word_list[i]));
    } else if (d->constraint_type == SANE_CONSTRAINT_RANGE) {
        const SANE_Range *r = d->constraint.range;
        option.hasRange = true;
        const bool fixed = option.kind == Option::Kind::Fixed;
        option.min = fixed ? SANE_UNFIX(r->min) : r->min;
        option.max = fixed ? SANE_UNFIX(r->max) : r->max;
        option.step = fixed ? SANE_UNFIX(r->quant) : r->quant;
    }
    if (option.active && option.kind != Option::Kind::Other && (d->cap & SANE_CAP_SOFT_DETECT)) {
        QByteArray buffer(std::max<int>(d->size, int(sizeof(SANE_Word))) + 1, '\0');
        if (library().controlOption(handleOf(m_handle), index, SANE_ACTION_GET_VALUE, buffer.data(), nullptr) ==
            SANE_STATUS_GOOD) {
            SANE_Word w;
            std::memcpy(&w, buffer.constData(), sizeof w);
            if (option.kind == Option::Kind::String) option.value = QString::fromUtf8(buffer.constData());
            else if (option.kind == Option::Kind::Bool) option.value = bool(w);
            else option.value = word(w);
        }
    }
    return option;
}

std::optional<Option> Device::option(const QString &name) const {
    SANE_Int count = 0;
    if (library().controlOption(handleOf(m_handle), 0, SANE_ACTION_GET_VALUE, &count, nullptr) != SANE_STATUS_GOOD)
        return std::nullopt;
    for (int i = 1; i < count; ++i) {
        const SANE_Option_Descriptor *d = library().getOptionDescriptor(handleOf(m_handle), i);
        if (d && d->name && name == QLatin1String(d->name)) return readOption(i);
    }
    return std::nullopt;
}

// What it refuses is shown to the user in the acquisition dialog, so it is said in their language.
void Device::setOption(const QString &name, const QVariant &value) {
    const std::optional<Option> option = this->option(name);
    if (!option || !option->settable || !option->active)
        throw AutomationError(err::InvalidProcedureCall, QCoreApplication::translate("sendmere::imaging::Device", "The scanner has no setting %1").arg(name));
    const SANE_Option_Descriptor *d = library().getOptionDescriptor(handleOf(m_handle), option->index);
    QByteArray buffer(std::max<int>(d->size, int(sizeof(SANE_Word))), '\0');
    SANE_Word w = 0;
    switch (option->kind) {
    case Option::Kind::String: {
        const QByteArray text = value.toString().toUtf8();
        if (text.size() >= buffer.size())
            throw AutomationError(err::InvalidProcedureCall, QCoreApplication::translate("sendmere::imaging::Device", "The value of %1 is too long").arg(name));
        std::memcpy(buffer.data(), text.constData(), size_t(text.size()));
        break;
    }
    case Option::Kind::Bool: w = value.toBool() ? SANE_TRUE : SANE_FALSE; break;
    case Option::Kind::Int: w = value.toInt(); break;
    case Option::Kind::Fixed: w = SANE_FIX(value.toDouble()); break;
    case Option::Kind::Other:
        throw AutomationError(err::InvalidProcedureCall, QCoreApplication::translate("sendmere::imaging::Device", "The setting %1 cannot be changed here").arg(name));
    }
    if (option->kind != Option::Kind::String) std::memcpy(buffer.data(), &w, sizeof w);
    const SANE_Status status =
        library().controlOption(handleOf(m_handle), option->index, SANE_ACTION_SET_VALUE, buffer.data(), nullptr);
    if (status != SANE_STATUS_GOOD) throw failure(QCoreApplication::translate("sendmere::imaging::Device", "The scanner refuses %1").arg(name), status);
}

QImage Device::acquire(const std::atomic<bool> &cancelled, std::atomic<quint64> &steps,
                       const std::function<void(std::exception_ptr)> &failed) {
    {
        const std::lock_guard lock(m_ending);
        m_scanning = true;
    }
    QElapsedTimer started;
    started.start();
    try {
        QImage image = readImage(m_handle, cancelled, steps);
        endScan();  // a scan always ends with the library's cancel, also after its last frame
        return image;
    } catch (...) {
        failed(std::current_exception());
        // The library cancels a device's reader thread asynchronously; one that has only just
        // started may be inside the memory allocator then, and a thread cancelled there
        // deadlocks on the allocator's lock as it exits, and the cancel waits for it for ever.
        // A reader is given a moment to settle before a scan that failed at once is ended.
        constexpr qint64 SettleMs = 250;
        if (const qint64 left = SettleMs - started.elapsed(); left > 0) std::this_thread::sleep_for(std::chrono::milliseconds(left));
        endScan();
        throw;
    }
}

QImage Device::readImage(void *deviceHandle, const std::atomic<bool> &cancelled, std::atomic<quint64> &steps) {
    SANE_Handle handle = handleOf(deviceHandle);
    std::vector<Frame> frames;
    QByteArray buffer(ReadBufferBytes, '\0');
    for (;;) {
        if (cancelled) throw cancelledError();
        SANE_Status status = library().start(handle);
        ++steps;
        if (cancelled) throw cancelledError();
        if (status != SANE_STATUS_GOOD) throw failure(QStringLiteral("The scan does not start"), status);
        Frame frame;
        status = library().getParameters(handle, &frame.parameters);
        if (status != SANE_STATUS_GOOD) throw failure(QStringLiteral("The scan has no image size"), status);
        for (;;) {
            SANE_Int length = 0;
            status = library().read(handle, reinterpret_cast<SANE_Byte *>(buffer.data()), SANE_Int(buffer.size()), &length);
            ++steps;
            if (cancelled) throw cancelledError();
            if (status == SANE_STATUS_EOF) break;
            if (status != SANE_STATUS_GOOD) throw failure(QStringLiteral("The scan broke off"), status);
            frame.data.append(buffer.constData(), length);
        }
        const SANE_Parameters &p = frame.parameters;
        if (p.lines > 0 && frame.data.size() < qsizetype(p.lines) * p.bytes_per_line)
            throw AutomationError(err::AutomationFailure, QStringLiteral("The scan broke off after %1 of %2 lines")
                                                              .arg(frame.lines())
                                                              .arg(p.lines));
        const bool last = p.last_frame;
        frames.push_back(std::move(frame));
        if (last) break;
    }
    return imageFromFrames(frames);
}

void Device::cancel() { endScan(); }

void Device::endScan() {
    const std::lock_guard lock(m_ending);
    if (!m_scanning) return;
    m_scanning = false;
    library().cancel(handleOf(m_handle));
}

}  // namespace sendmere::imaging::sane
