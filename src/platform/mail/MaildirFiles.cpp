#include "platform/mail/MaildirFiles.h"

#include "platform/mail/MaildirLayout.h"
#include "platform/mail/RegularFile.h"

#include <QFile>
#include <QHash>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sendmere::mail {

namespace {

constexpr qint32 DiskFull = 61;
// A fax item is a few megabytes; a message far larger than any mail is not read into memory.
constexpr qint64 MaxMessageFile = 256ll * 1024 * 1024;

}  // namespace

QByteArray encoded(const QString &path) { return QFile::encodeName(path); }

// The failure a file operation's errno stands for, with the details in the program's log.
AutomationError fileError(int error, const QString &what, const QString &path) {
    qCWarning(lcMailStore, "Mail store: cannot %s %s: %s", qUtf8Printable(what), qUtf8Printable(path), std::strerror(error));
    switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
        return {err::PermissionDenied, QStringLiteral("Permission denied")};
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return {DiskFull, QStringLiteral("Disk full")};
    case ENOENT:
        return {err::PathNotFound, QStringLiteral("Path not found")};
    default:
        return {err::PathFileAccessError, QStringLiteral("Path/File access error")};
    }
}

Stamp stampOf(const QString &dir) {
    struct stat st {};
    if (::stat(encoded(dir).constData(), &st) != 0) return {};
    return {qint64(st.st_mtim.tv_sec), qint64(st.st_mtim.tv_nsec)};
}

// The message file takes the item's own time, which mail servers give as its arrival.
void setFileTime(const QString &path, const QDateTime &time) {
    const qint64 ms = time.toMSecsSinceEpoch();
    const struct timespec at = {time_t(ms / 1000 - (ms % 1000 < 0 ? 1 : 0)), long((ms % 1000 + 1000) % 1000) * 1000000};
    const struct timespec times[2] = {at, at};
    if (::utimensat(AT_FDCWD, encoded(path).constData(), times, 0) != 0)
        qCWarning(lcMailStore, "Mail store: cannot set the time of %s: %s", qUtf8Printable(path), std::strerror(errno));
}

QStringList listDirectory(const QString &dir, Only only) {
    QStringList names;
    DIR *d = ::opendir(encoded(dir).constData());
    if (!d) return names;
    while (const dirent *e = ::readdir(d)) {
        if (e->d_name[0] == '.') continue;
        if (only == Only::RegularFiles && e->d_type != DT_REG) {
            // A message is a regular file: a folder, link, FIFO or device named like one is not.
            struct stat st {};
            const bool regular = e->d_type == DT_UNKNOWN && ::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                                 S_ISREG(st.st_mode);
            if (!regular) {
                qCWarning(lcMailStore, "Mail store: %s/%s is not a message file; left out", qUtf8Printable(dir), e->d_name);
                continue;
            }
        }
        names.append(QFile::decodeName(e->d_name));
    }
    ::closedir(d);
    names.sort();
    return names;
}

// A message file's bytes: only a regular file, not through a link, and not past the limit.
std::optional<QByteArray> readMessageFile(const QString &path) {
    QString error;
    std::optional<QByteArray> bytes = readRegularFile(path, MaxMessageFile, Links::Refuse, &error);
    if (!bytes) qCWarning(lcMailStore, "Mail store: %s cannot be read: %s", qUtf8Printable(path), qUtf8Printable(error));
    return bytes;
}

// Writes bytes into a new file at path and flushes it to disk; on failure nothing is left.
void writeNewFile(const QString &path, const QByteArray &bytes) {
    const QByteArray native = encoded(path);
    const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) throw fileError(errno, QStringLiteral("create"), path);
    qsizetype done = 0;
    int error = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = n < 0 ? errno : ENOSPC;
            break;
        }
        done += n;
    }
    if (!error && ::fsync(fd) != 0) error = errno;
    if (::close(fd) != 0 && !error) error = errno;
    if (error) {
        ::unlink(native.constData());
        throw fileError(error, QStringLiteral("write"), path);
    }
}

void renameFile(const QString &from, const QString &to) {
    if (::rename(encoded(from).constData(), encoded(to).constData()) != 0) {
        const int error = errno;
        throw fileError(error, QStringLiteral("rename into"), to);
    }
}

bool fileExists(const QString &path) {
    struct stat st {};
    return ::stat(encoded(path).constData(), &st) == 0 && S_ISREG(st.st_mode);
}

FolderListing listFolder(const QString &path) {
    constexpr int MaxReadings = 5;
    FolderListing listing;
    QHash<QString, size_t> at;
    for (int reading = 0; reading < MaxReadings; ++reading) {
        listing.cur = stampOf(path + QStringLiteral("/cur"));
        listing.fresh = stampOf(path + QStringLiteral("/new"));
        QSet<QString> seenNow;
        for (const char *sub : {"new", "cur"}) {
            for (const QString &name : listDirectory(path + u'/' + QLatin1String(sub), Only::RegularFiles)) {
                const QString key = keyOf(name);
                if (seenNow.contains(key)) continue;  // caught between new/ and cur/ by another program
                seenNow.insert(key);
                const QString fileName = QLatin1String(sub) + u'/' + name;
                const auto known = at.constFind(key);
                if (known != at.cend()) {
                    listing.names[*known].second = fileName;  // the latest reading's name
                    continue;
                }
                at.insert(key, listing.names.size());
                listing.names.emplace_back(key, fileName);
                listing.keys.insert(key);
            }
        }
        if (stampOf(path + QStringLiteral("/cur")) == listing.cur && stampOf(path + QStringLiteral("/new")) == listing.fresh) break;
    }
    return listing;
}

// The message of key, read where it is now: another program may rename it (a flag change)
// between the listing and the reading. fileName follows it.
// renamedAway: it kept moving faster than it could be read.
std::optional<QByteArray> readRenamed(const QString &path, const QString &key, QString &fileName, bool &renamedAway) {
    constexpr int MaxAttempts = 20;
    for (int attempt = 0; attempt < MaxAttempts; ++attempt) {
        QString error;
        int errorNumber = 0;
        std::optional<QByteArray> bytes = readRegularFile(path + u'/' + fileName, MaxMessageFile, Links::Refuse, &error, &errorNumber);
        if (bytes) return bytes;
        if (errorNumber != ENOENT) {
            qCWarning(lcMailStore, "Mail store: %s/%s cannot be read: %s", qUtf8Printable(path), qUtf8Printable(fileName),
                      qUtf8Printable(error));
            return std::nullopt;
        }
        QString now;
        for (const char *sub : {"cur", "new"})
            for (const QString &name : listDirectory(path + u'/' + QLatin1String(sub), Only::RegularFiles))
                if (keyOf(name) == key) now = QLatin1String(sub) + u'/' + name;
        if (now.isEmpty()) return std::nullopt;  // gone meanwhile
        fileName = now;
    }
    renamedAway = true;
    return std::nullopt;
}

}  // namespace sendmere::mail
