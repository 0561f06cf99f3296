#include "platform/mail/PendingWrites.h"

#include "platform/AutomationError.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace sendmere::mail {
namespace {

// "<sequence>.<folder>.<S or U>.eml": the order, the folder and the seen flag in the name.
const QRegularExpression NamePattern(QStringLiteral("^(\\d{12})\\.(\\d)\\.([SU])\\.eml$"));

QString nameOf(quint64 sequence, int folder, bool seen) {
    return QStringLiteral("%1.%2.%3.eml").arg(sequence, 12, 10, QChar(u'0')).arg(folder).arg(seen ? QStringLiteral("S") : QStringLiteral("U"));
}

AutomationError writeError(const QString &path, int error) {
    return {err::PathFileAccessError, QStringLiteral("The message waiting for the mail server cannot be written to %1: %2")
                                          .arg(path, QString::fromLocal8Bit(std::strerror(error)))};
}

}  // namespace

PendingWrites::PendingWrites(QString directory) : m_directory(std::move(directory)) {}

std::vector<PendingMessage> PendingWrites::list() const {
    std::vector<PendingMessage> messages;
    for (const QString &name : QDir(m_directory).entryList(QDir::Files, QDir::Name)) {
        const QRegularExpressionMatch m = NamePattern.match(name);
        if (m.hasMatch()) messages.push_back({m.captured(1).toULongLong(), m.captured(2).toInt(), m.captured(3) == u"S", name});
    }
    return messages;  // the zero-padded sequence sorts by name
}

std::optional<PendingMessage> PendingWrites::find(quint64 sequence) const {
    for (PendingMessage &m : list())
        if (m.sequence == sequence) return m;
    return std::nullopt;
}

QByteArray PendingWrites::read(const PendingMessage &message) const {
    QFile file(pathOf(message));
    if (!file.open(QIODevice::ReadOnly))
        throw AutomationError(err::PathFileAccessError, QStringLiteral("The message waiting for the mail server cannot be read: %1").arg(file.fileName()));
    return file.readAll();
}

PendingMessage PendingWrites::add(int folder, bool seen, const QByteArray &bytes) {
    if (!QDir().mkpath(m_directory)) throw writeError(m_directory, errno ? errno : EACCES);
    QFile::setPermissions(m_directory, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const std::vector<PendingMessage> waiting = list();
    const quint64 sequence = waiting.empty() ? 1 : waiting.back().sequence + 1;
    PendingMessage message{sequence, folder, seen, nameOf(sequence, folder, seen)};
    writeWhole(pathOf(message), bytes);
    return message;
}

PendingMessage PendingWrites::replace(const PendingMessage &message, int folder, bool seen, const std::optional<QByteArray> &bytes) {
    PendingMessage next{message.sequence, folder, seen, nameOf(message.sequence, folder, seen)};
    const QString from = pathOf(message);
    const QString to = pathOf(next);
    if (bytes) {
        writeWhole(to, *bytes);
        if (from != to) ::unlink(QFile::encodeName(from).constData());
    } else if (from != to && ::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0) {
        throw writeError(to, errno);
    }
    return next;
}

void PendingWrites::remove(const PendingMessage &message) {
    const QByteArray path = QFile::encodeName(pathOf(message));
    if (::unlink(path.constData()) != 0 && errno != ENOENT) throw writeError(pathOf(message), errno);
}

QString PendingWrites::setAside(const PendingMessage &message) {
    const QString kept = message.fileName + QStringLiteral(".damaged");
    if (::rename(QFile::encodeName(pathOf(message)).constData(), QFile::encodeName(m_directory + u'/' + kept).constData()) != 0)
        throw writeError(m_directory + u'/' + kept, errno);
    return kept;
}

QString PendingWrites::keyOf(quint64 sequence) { return QStringLiteral("pending-%1").arg(sequence); }

std::optional<quint64> PendingWrites::sequenceOf(const QString &key) {
    if (!key.startsWith(QLatin1String("pending-"))) return std::nullopt;
    bool ok = false;
    const quint64 sequence = key.mid(8).toULongLong(&ok);
    return ok ? std::optional(sequence) : std::nullopt;
}

QString PendingWrites::pathOf(const PendingMessage &message) const { return m_directory + u'/' + message.fileName; }

// Written to a hidden name, flushed to disk and renamed: a reader sees the whole message or none.
void PendingWrites::writeWhole(const QString &path, const QByteArray &bytes) const {
    const QString temporary = m_directory + QStringLiteral("/.writing-") + QString::number(::getpid());
    const QByteArray native = QFile::encodeName(temporary);
    const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) throw writeError(temporary, errno);
    qsizetype done = 0;
    int error = 0;
    while (done < bytes.size() && !error) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) error = n < 0 ? errno : ENOSPC;
        else done += n;
    }
    if (!error && ::fsync(fd) != 0) error = errno;
    if (::close(fd) != 0 && !error) error = errno;
    if (!error && ::rename(native.constData(), QFile::encodeName(path).constData()) != 0) error = errno;
    if (error) {
        ::unlink(native.constData());
        throw writeError(path, error);
    }
}

}  // namespace sendmere::mail
