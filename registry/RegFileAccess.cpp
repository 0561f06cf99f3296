#include "RegFileAccess.h"

#include "RegSeed.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QThread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sendmere::registry {

namespace {

constexpr int kLockTimeoutMs = 10000;
constexpr int kMaxReportedProblems = 20;

}  // namespace

FileStamp stampOf(const QString &path)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return {};
    return {true, qint64(st.st_size), qint64(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec,
            qint64(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec, quint64(st.st_ino)};
}

ReadFile readFile(const QString &path, Root root)
{
    QFile file(path);
    if (!file.exists())
        return {seededHive(root), {}, false};
    if (!file.open(QIODevice::ReadOnly)) {
        return {Hive(), {{0, QStringLiteral("cannot be read: %1").arg(file.errorString())}}, true, true};
    }
    ParsedFile parsed = parseRegFile(file.readAll(), RegistryStore::rootName(root));
    return {std::move(parsed.hive), std::move(parsed.problems), true, false};
}

void reportProblems(const QString &path, const QList<ParseProblem> &problems)
{
    for (qsizetype i = 0; i < problems.size() && i < kMaxReportedProblems; ++i) {
        const ParseProblem &p = problems[i];
        if (p.line > 0)
            qCWarning(lcRegistry, "Registry file %s, line %d: %s; the line is skipped", qUtf8Printable(path),
                      p.line, qUtf8Printable(p.message));
        else
            qCWarning(lcRegistry, "Registry file %s: %s", qUtf8Printable(path), qUtf8Printable(p.message));
    }
    if (problems.size() > kMaxReportedProblems)
        qCWarning(lcRegistry, "Registry file %s: %lld more problems", qUtf8Printable(path),
                  qint64(problems.size() - kMaxReportedProblems));
}

// The damaged file is kept under a name of its own before it is replaced, never over an
// earlier copy. Without that copy the file is not replaced at all.
bool keepDamagedCopy(const QString &path)
{
    const QString base = path + QStringLiteral(".corrupt-")
        + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddhhmmss"));
    QString copy = base;
    for (int n = 2; QFile::exists(copy); ++n)
        copy = base + u'-' + QString::number(n);
    if (QFile::copy(path, copy)) {
        QFile::setPermissions(copy, QFile::ReadOwner | QFile::WriteOwner);
        qCWarning(lcRegistry, "Registry file %s was damaged; kept a copy as %s before rewriting it",
                  qUtf8Printable(path), qUtf8Printable(copy));
        return true;
    }
    qCWarning(lcRegistry, "Registry file %s was damaged and could not be copied to %s; it is left as it is",
              qUtf8Printable(path), qUtf8Printable(copy));
    return false;
}

bool saveFile(const QString &path, const QByteArray &bytes)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly)) {
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
        if (file.write(bytes) == bytes.size() && file.commit())
            return true;
    }
    qCWarning(lcRegistry, "Registry file %s could not be saved: %s", qUtf8Printable(path),
              qUtf8Printable(file.errorString()));
    return false;
}

// Short polls instead of QLockFile's growing back-off: a writer that waits must not
// starve while another process saves value after value.
bool acquire(QLockFile &lock)
{
    const QDeadlineTimer deadline(kLockTimeoutMs);
    while (!lock.tryLock(0)) {
        if (lock.error() != QLockFile::LockFailedError || deadline.hasExpired())
            return false;
        QThread::usleep(200 + QRandomGenerator::global()->bounded(800));
    }
    return true;
}

bool syncPath(const QString &path, int flags)
{
    const int fd = ::open(QFile::encodeName(path).constData(), flags | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

}  // namespace sendmere::registry
