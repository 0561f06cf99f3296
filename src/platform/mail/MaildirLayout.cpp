#include "platform/mail/MaildirLayout.h"

#include "platform/mail/MailClient.h"
#include "platform/mail/MaildirFiles.h"
#include "platform/mail/MaildirStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QUuid>
#include <algorithm>

#include <cerrno>
#include <csignal>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace sendmere::mail {

namespace {

QString withSeen(QString flags, bool seen) {
    flags.remove(u'S');
    if (seen) flags.append(u'S');
    std::sort(flags.begin(), flags.end());
    return flags;
}

// This program's leftover in tmp/: a name this host's store made ("<seconds>.M<micro>P<pid>
// Q<n>.<host>", a replacement being written with ".<pid>.<n>" after it) in a process that
// has ended.
bool leftoverOfEndedProcess(const QString &name, const QString &host) {
    static const QRegularExpression own(QStringLiteral("^\\d+\\.M\\d+P(\\d+)Q\\d+\\.(.*?)(?:\\.(\\d+)\\.\\d+)?$"));
    const QRegularExpressionMatch m = own.match(name);
    if (!m.hasMatch() || m.captured(2) != host) return false;
    const qint64 pid = (m.hasCaptured(3) ? m.captured(3) : m.captured(1)).toLongLong();
    if (pid <= 0 || pid == QCoreApplication::applicationPid()) return false;
    return ::kill(pid_t(pid), 0) != 0 && errno == ESRCH;
}

QString hostName() {
    char buffer[256] = {};
    ::gethostname(buffer, sizeof buffer - 1);
    QString host = QString::fromLocal8Bit(buffer);
    if (host.isEmpty()) host = QStringLiteral("localhost");
    // "/" and ":" cannot stand in a Maildir name; the convention writes them in octal.
    return host.replace(u'/', QLatin1String("\\057")).replace(u':', QLatin1String("\\072"));
}

}  // namespace

const FolderDef &folderDef(int folder) {
    for (const FolderDef &f : Folders)
        if (f.number == folder) return f;
    throw notFound(QStringLiteral("folder"));
}

QString keyOf(const QString &fileName) { return fileName.section(u':', 0, 0); }

QString flagsOf(const QString &relativeName) {
    const qsizetype marker = relativeName.indexOf(QLatin1String(":2,"));
    return marker < 0 ? QString() : relativeName.mid(marker + 3);
}

// Where a message written anew lands: an unread one, that no reader has seen yet, in new/,
// so that mail readers count it as new mail; a read one in cur/ with the seen flag.
QString freshName(const QString &key, bool unread) {
    return unread ? QStringLiteral("new/") + key : QStringLiteral("cur/%1:2,S").arg(key);
}

// The name after a save that sets the seen flag: an unread message still in new/ stays
// there, any other goes to cur/ with its flags.
QString nameWithSeen(const QString &key, const QString &oldName, bool unread) {
    if (unread && oldName.startsWith(QLatin1String("new/"))) return oldName;
    return QStringLiteral("cur/%1:2,%2").arg(key, withSeen(flagsOf(oldName), !unread));
}

bool MaildirStore::isFolder(int folder) {
    return std::any_of(std::begin(Folders), std::end(Folders), [&](const FolderDef &f) { return f.number == folder; });
}

QString MaildirStore::folderName(int folder) { return QString::fromLatin1(folderDef(folder).name); }

QString MaildirStore::folderEntryId(int folder) {
    return QStringLiteral("folder:") + QString::fromLatin1(folderDef(folder).slug);
}

QString MaildirStore::folderPath(int folder) const {
    const char *dir = folderDef(folder).dir;
    return *dir ? m_root + u'/' + QString::fromLatin1(dir) : m_root;
}

QString MaildirStore::filePath(int folder, const QString &fileName) const { return folderPath(folder) + u'/' + fileName; }

QString MaildirStore::journalPath(int folder) const {
    return m_indexDir + u'/' + QString::fromLatin1(folderDef(folder).slug) + QStringLiteral(".journal");
}

void MaildirStore::ensureFolder(int folder) {
    // The first write makes every default folder, so that mail readers list all four.
    if (!m_foldersMade) {
        m_foldersMade = true;
        for (const FolderDef &f : Folders)
            if (f.number != folder) {
                try {
                    ensureFolder(f.number);
                } catch (const AutomationError &) {
                    // the folder written to reports its own failure
                }
            }
    }
    const QString path = folderPath(folder);
    for (const char *sub : {"cur", "new", "tmp"}) {
        const QString dir = path + u'/' + QLatin1String(sub);
        if (QFileInfo::exists(dir)) continue;
        errno = 0;
        if (!QDir().mkpath(m_root)) throw fileError(errno ? errno : EACCES, QStringLiteral("create"), m_root);
        if (::mkdir(encoded(path).constData(), 0700) != 0 && errno != EEXIST) throw fileError(errno, QStringLiteral("create"), path);
        if (::mkdir(encoded(dir).constData(), 0700) != 0 && errno != EEXIST) throw fileError(errno, QStringLiteral("create"), dir);
    }
    // Maildir++ marks a subfolder with this empty file.
    if (folder != FolderInbox && !QFileInfo::exists(path + QStringLiteral("/maildirfolder")))
        QFile(path + QStringLiteral("/maildirfolder")).open(QIODevice::WriteOnly);
}

void MaildirStore::removeStaleTmp(int folder) {
    const QString dir = folderPath(folder) + QStringLiteral("/tmp");
    const qint64 cutoff = QDateTime::currentSecsSinceEpoch() - 36 * 3600;
    static const QString host = hostName();
    for (const QString &name : listDirectory(dir)) {
        struct stat st {};
        const QByteArray path = encoded(dir + u'/' + name);
        if (::lstat(path.constData(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        // What a killed process of this program left goes at once; other programs' files
        // after the time Maildir gives them.
        if (st.st_mtime < cutoff || leftoverOfEndedProcess(name, host)) ::unlink(path.constData());
    }
}

QString MaildirStore::newKey() {
    struct timeval now {};
    ::gettimeofday(&now, nullptr);
    static const QString host = hostName();
    return QStringLiteral("%1.M%2P%3Q%4.%5")
        .arg(qint64(now.tv_sec))
        .arg(qint64(now.tv_usec))
        .arg(QCoreApplication::applicationPid())
        .arg(++m_keyCounter)
        .arg(host);
}

}  // namespace sendmere::mail
