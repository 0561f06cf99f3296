#include "platform/mail/RegularFile.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sendmere::mail {
namespace {

QString systemError(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

// Closes the descriptor it holds when it goes.
class Descriptor {
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor() {
        if (m_fd >= 0) ::close(m_fd);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

}  // namespace

std::optional<QByteArray> readRegularFile(const QString &path, qint64 limit, Links links, QString *error, int *errorNumber) {
    int ignored = 0;
    int &number = errorNumber ? *errorNumber : ignored;
    number = 0;
    // Non-blocking, so that opening a FIFO returns at once instead of waiting for a writer.
    int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    if (links == Links::Refuse) flags |= O_NOFOLLOW;
    const Descriptor fd(::open(QFile::encodeName(path).constData(), flags));
    if (fd.get() < 0) {
        number = errno;
        *error = number == ELOOP ? QStringLiteral("a symbolic link, not a file") : systemError(number);
        return std::nullopt;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        number = errno;
        *error = systemError(number);
        return std::nullopt;
    }
    if (!S_ISREG(info.st_mode)) {
        *error = QStringLiteral("not a regular file");
        return std::nullopt;
    }
    if (info.st_size > limit) {
        *error = QStringLiteral("larger than %1 bytes").arg(limit);
        return std::nullopt;
    }
    QByteArray bytes;
    bytes.reserve(qsizetype(info.st_size));
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            number = errno;
            *error = systemError(number);
            return std::nullopt;
        }
        if (got == 0) break;
        // The file may grow while it is read.
        if (bytes.size() + got > limit) {
            *error = QStringLiteral("larger than %1 bytes").arg(limit);
            return std::nullopt;
        }
        bytes.append(buffer, got);
    }
    return bytes;
}

}  // namespace sendmere::mail
