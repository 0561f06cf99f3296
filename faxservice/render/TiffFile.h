#pragma once
// An open libtiff handle that keeps libtiff's messages to itself, so that a failure can be
// reported with libtiff's reason instead of being printed to stderr.
#include <QString>
#include <memory>

struct tiff;

namespace sendmere::render::detail {

class TiffFile {
public:
    TiffFile(const QString &path, const char *mode);  // check isOpen() afterwards
    ~TiffFile();
    TiffFile(const TiffFile &) = delete;
    TiffFile &operator=(const TiffFile &) = delete;

    bool isOpen() const { return m_tiff != nullptr; }
    tiff *get() const { return m_tiff; }
    bool close();  // flushes; false when libtiff reported an error while writing

    // libtiff's last error, or fallback when it reported none.
    QString lastError(const QString &fallback) const;

private:
    struct Messages {
        QString lastError;
    };
    std::unique_ptr<Messages> m_messages = std::make_unique<Messages>();
    tiff *m_tiff = nullptr;
};

}  // namespace sendmere::render::detail
