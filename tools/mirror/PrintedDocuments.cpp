#include "PrintedDocuments.h"

#include "platform/shell/Shell.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QStandardPaths>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace sendmere {
namespace {

Q_LOGGING_CATEGORY(printing, "sendmere.print")

// Without the printer's spool (no printer set up yet) the mirror looks for it now and then,
// not every moment; once it exists, changes are heard as they happen.
constexpr int RetryMs = 5000;

QString userName() {
    const struct passwd *me = ::getpwuid(::geteuid());
    return me ? QString::fromLocal8Bit(me->pw_name) : QString();
}

// Only a whole document of the user's own: the backend names it only when it is written,
// and nothing but a plain file of this user is taken (no link to something else).
bool isDelivered(const QString &path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid();
}

// The name beside its siblings; the wizard's command line separates its lists with ';' and
// '#', so neither may appear in the path.
QString freeName(const QDir &dir, QString name) {
    name.replace(QLatin1Char(';'), QLatin1Char('_')).replace(QLatin1Char('#'), QLatin1Char('_'));
    const QString stem = QFileInfo(name).completeBaseName();
    for (int n = 2; QFileInfo::exists(dir.filePath(name)); ++n) name = QStringLiteral("%1 (%2).pdf").arg(stem).arg(n);
    return name;
}

}  // namespace

QString PrintedDocuments::spoolRoot() {
    const QString configured = qEnvironmentVariable("SENDMERE_PRINT_SPOOL");
    return configured.isEmpty() ? QStringLiteral("/var/spool/sendmere-fax") : configured;
}

QString PrintedDocuments::userSpoolFolder() { return spoolRoot() + QLatin1Char('/') + userName(); }

QString PrintedDocuments::keptFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/sendmere/printed");
}

QString PrintedDocuments::wizardProgram() { return QCoreApplication::applicationDirPath() + QStringLiteral("/sendmere"); }

PrintedDocuments::PrintedDocuments(QString spoolFolder, QString keptFolder, QObject *parent)
    : QObject(parent), m_spool(std::move(spoolFolder)), m_kept(std::move(keptFolder)) {
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this, [this] {
        watch();
        scan();
    });
    m_retry.setInterval(RetryMs);
    connect(&m_retry, &QTimer::timeout, this, [this] {
        watch();
        scan();
    });
}

void PrintedDocuments::start() {
    watch();
    scan();
}

// The backend makes the user's folder at the first print: until then its root is watched,
// and until the root exists it is looked for every few seconds.
void PrintedDocuments::watch() {
    if (m_watcher.directories().contains(m_spool)) return;
    if (!m_watcher.directories().isEmpty()) m_watcher.removePaths(m_watcher.directories());
    if (QFileInfo(m_spool).isDir() && m_watcher.addPath(m_spool)) {
        m_retry.stop();
        return;
    }
    const QString root = QFileInfo(m_spool).absolutePath();
    if (QFileInfo(root).isDir() && m_watcher.addPath(root)) {
        m_retry.stop();
        return;
    }
    m_retry.start();
}

void PrintedDocuments::scan() {
    const QDir spool(m_spool);
    if (!spool.exists()) return;
    // Hidden files are the backend's documents still being written.
    for (const QString &name : spool.entryList({QStringLiteral("*.pdf")}, QDir::Files, QDir::Time | QDir::Reversed))
        take(name);
}

void PrintedDocuments::take(const QString &name) {
    const QString from = QDir(m_spool).filePath(name);
    if (!isDelivered(from)) {
        qCWarning(printing, "%s is not a document of this user; it is left alone", qUtf8Printable(from));
        return;
    }
    const QDir kept(m_kept);
    if (!QDir().mkpath(m_kept)) {
        qCWarning(printing, "cannot make %s for the printed documents", qUtf8Printable(m_kept));
        return;
    }
    QFile::setPermissions(m_kept, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QString to = kept.filePath(freeName(kept, name));
    // A rename where both are on one file system; elsewhere a copy, and the spool's copy goes.
    if (!QFile::rename(from, to)) {
        qCWarning(printing, "cannot take %s out of the print spool to %s", qUtf8Printable(from), qUtf8Printable(to));
        return;
    }
    QFile::setPermissions(to, QFile::ReadOwner | QFile::WriteOwner);
    shell::seams().launcher->start(wizardProgram(), {QStringLiteral("new;;;;%1#").arg(to)});
    Q_EMIT handedToWizard(to);
}

}  // namespace sendmere
