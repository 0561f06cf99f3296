#include "platform/shell/TempDir.h"

#include <QFile>
#include <QLoggingCategory>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcTempDir, "sendmere.shell")

namespace sendmere::shell {
namespace {

// A folder the user may keep private files in: its own, and open to nobody else's writes.
bool ownAndUnshared(const struct stat &st) {
    return S_ISDIR(st.st_mode) && st.st_uid == ::getuid() && (st.st_mode & (S_IWOTH | S_ISVTX)) == 0;
}

QString environmentFolder(const char *name) {
    const char *value = std::getenv(name);
    if (!value || !*value || value[0] != '/') return {};
    QString path = QFile::decodeName(value);
    while (path.size() > 1 && path.endsWith(u'/')) path.chop(1);
    return path;
}

}  // namespace

bool isPrivateFolder(const QString &path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid() &&
           (st.st_mode & (S_IRWXG | S_IRWXO | S_ISVTX)) == 0;
}

QString privateFolderIn(const QString &base, const QString &name) {
    const QString path = base + u'/' + name;
    if (::mkdir(QFile::encodeName(path).constData(), 0700) != 0 && errno != EEXIST) {
        qCWarning(lcTempDir, "Temporary folder %s cannot be made: %s", qUtf8Printable(path), std::strerror(errno));
        return {};
    }
    // Made by this call or found: it is used only when it is this user's and nobody else's.
    if (!isPrivateFolder(path)) {
        qCWarning(lcTempDir, "Temporary folder %s is not private to this user (another owner, a link, or open to others); "
                             "it is not used", qUtf8Printable(path));
        return {};
    }
    return path;
}

QString userTempDir() {
    const QString tmpdir = environmentFolder("TMPDIR");
    if (!tmpdir.isEmpty()) {
        struct stat st {};
        if (::stat(QFile::encodeName(tmpdir).constData(), &st) == 0 && ownAndUnshared(st)) return tmpdir + u'/';
    }
    const QString runtime = environmentFolder("XDG_RUNTIME_DIR");
    QString folder;
    if (!runtime.isEmpty() && isPrivateFolder(runtime)) folder = privateFolderIn(runtime, QStringLiteral("sendmere"));
    if (folder.isEmpty()) folder = privateFolderIn(QStringLiteral("/tmp"), QStringLiteral("sendmere-%1").arg(::getuid()));
    return folder.isEmpty() ? QString() : folder + u'/';
}

}  // namespace sendmere::shell
