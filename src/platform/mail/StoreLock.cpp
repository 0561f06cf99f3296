#include "platform/mail/StoreLock.h"

#include "platform/AutomationError.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcStoreLock, "sendmere.mail")

namespace sendmere::mail {

StoreLock::StoreLock(QString path) : m_path(std::move(path)) {}

StoreLock::~StoreLock() {
    if (m_fd >= 0) ::close(m_fd);
}

void StoreLock::acquire(std::chrono::milliseconds wait) {
    if (m_depth > 0) {
        ++m_depth;
        return;
    }
    if (m_fd < 0) {
        QDir().mkpath(QFileInfo(m_path).absolutePath());
        m_fd = ::open(QFile::encodeName(m_path).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (m_fd < 0) {
            const int error = errno;
            qCWarning(lcStoreLock, "Mail store: the lock %s cannot be opened: %s", qUtf8Printable(m_path), std::strerror(error));
            throw AutomationError(err::PermissionDenied, QStringLiteral("Permission denied"));
        }
    }
    const QDeadlineTimer deadline(wait);
    while (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            const int error = errno;
            qCWarning(lcStoreLock, "Mail store: the lock %s cannot be taken: %s", qUtf8Printable(m_path), std::strerror(error));
            throw AutomationError(err::PermissionDenied, QStringLiteral("Permission denied"));
        }
        if (deadline.hasExpired()) {
            qCWarning(lcStoreLock, "Mail store: another program has been writing the store for %lld ms; gave up",
                      static_cast<long long>(wait.count()));
            throw AutomationError(err::PathFileAccessError,
                                  QStringLiteral("The mail store is in use by another program. Try again when it has finished."));
        }
        QThread::msleep(10);
    }
    m_depth = 1;
}

std::optional<AutomationError> StoreLock::tryAcquire(std::chrono::milliseconds wait) {
    try {
        acquire(wait);
        return std::nullopt;
    } catch (const AutomationError &error) {
        return error;
    }
}

void StoreLock::release() {
    if (m_depth == 0 || --m_depth > 0) return;
    ::flock(m_fd, LOCK_UN);
}

}  // namespace sendmere::mail
