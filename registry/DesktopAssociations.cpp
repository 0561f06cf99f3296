#include "DesktopAssociations.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QStandardPaths>
#include <QStringList>

namespace sendmere::registry {

namespace {

using Group = QHash<QString, QString>;
using KeyFile = QHash<QString, Group>;

const QString kDefaults = QStringLiteral("Default Applications");
const QString kAdded = QStringLiteral("Added Associations");
const QString kRemoved = QStringLiteral("Removed Associations");
const QString kMimeCache = QStringLiteral("MIME Cache");
const QString kDesktopEntry = QStringLiteral("Desktop Entry");
const QString kDesktopSuffix = QStringLiteral(".desktop");

// The "[group]" / "key=value" files of the freedesktop specifications; a missing or
// unreadable file is an empty one.
KeyFile readKeyFile(const QString &path)
{
    KeyFile groups;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return groups;
    Group *current = nullptr;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.isEmpty() || line.startsWith(u'#'))
            continue;
        if (line.startsWith(u'[') && line.endsWith(u']')) {
            current = &groups[line.mid(1, line.size() - 2)];
            continue;
        }
        const qsizetype eq = line.indexOf(u'=');
        if (current && eq > 0 && !current->contains(line.left(eq).trimmed()))
            current->insert(line.left(eq).trimmed(), line.mid(eq + 1).trimmed());
    }
    return groups;
}

QStringList idList(const KeyFile &file, const QString &group, const QString &mimeType)
{
    return file.value(group).value(mimeType).split(u';', Qt::SkipEmptyParts);
}

QStringList currentDesktops()
{
    return qEnvironmentVariable("XDG_CURRENT_DESKTOP").toLower().split(u':', Qt::SkipEmptyParts);
}

QStringList applicationDirs()
{
    return QStandardPaths::standardLocations(QStandardPaths::ApplicationsLocation);
}

// mimeapps.list files, most important first: the user's and the system's configuration,
// then the applications folders; a desktop-specific file before the general one.
QStringList mimeAppsFiles()
{
    QStringList dirs = QStandardPaths::standardLocations(QStandardPaths::GenericConfigLocation);
    dirs += applicationDirs();
    QStringList files;
    for (const QString &dir : dirs) {
        for (const QString &desktop : currentDesktops())
            files.append(dir + u'/' + desktop + QStringLiteral("-mimeapps.list"));
        files.append(dir + QStringLiteral("/mimeapps.list"));
    }
    return files;
}

// A desktop file id "vendor-app.desktop" may live in applications/vendor/app.desktop.
QStringList candidatePaths(const QString &dir, const QString &id)
{
    QStringList paths{dir + u'/' + id};
    for (qsizetype dash = id.indexOf(u'-'); dash > 0; dash = id.indexOf(u'-', dash + 1))
        paths.append(dir + u'/' + id.left(dash) + u'/' + id.mid(dash + 1));
    return paths;
}

QString unescapeValue(const QString &value)
{
    QString out;
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] != u'\\' || i + 1 == value.size()) {
            out += value[i];
            continue;
        }
        const QChar next = value[++i];
        if (next == u's')
            out += u' ';
        else if (next == u'n')
            out += u'\n';
        else if (next == u't')
            out += u'\t';
        else if (next == u'r')
            out += u'\r';
        else if (next == u'\\')
            out += u'\\';
        else
            out += QString{u'\\', next};
    }
    return out;
}

// File and URL field codes become "%1"; the others have no counterpart and are dropped.
QString commandFromExec(const QString &exec)
{
    QString out;
    for (qsizetype i = 0; i < exec.size(); ++i) {
        if (exec[i] != u'%' || i + 1 == exec.size()) {
            out += exec[i];
            continue;
        }
        const QChar code = exec[++i];
        if (code == u'%')
            out += u'%';
        else if (QStringLiteral("fFuU").contains(code))
            out += QStringLiteral("\"%1\"");
    }
    return out.simplified();
}

bool tryExecFound(const QString &tryExec)
{
    if (tryExec.isEmpty())
        return true;
    if (tryExec.startsWith(u'/'))
        return QFileInfo(tryExec).isExecutable();
    return !QStandardPaths::findExecutable(tryExec).isEmpty();
}

// The first desktop file of that id in the applications folders decides, as the
// specification has it; a hidden or broken entry means the program is not installed.
std::optional<DesktopApplication> installedApplication(const QString &id)
{
    if (!id.endsWith(kDesktopSuffix))
        return std::nullopt;
    for (const QString &dir : applicationDirs()) {
        for (const QString &path : candidatePaths(dir, id)) {
            if (!QFileInfo(path).isFile())
                continue;
            const Group entry = readKeyFile(path).value(kDesktopEntry);
            const QString exec = unescapeValue(entry.value(QStringLiteral("Exec")));
            if (entry.value(QStringLiteral("Type")) != QStringLiteral("Application")
                || entry.value(QStringLiteral("Hidden")) == QStringLiteral("true") || exec.isEmpty()
                || !tryExecFound(entry.value(QStringLiteral("TryExec"))))
                return std::nullopt;
            return DesktopApplication{id.chopped(kDesktopSuffix.size()), commandFromExec(exec)};
        }
    }
    return std::nullopt;
}

std::optional<DesktopApplication> firstInstalled(const QStringList &ids, const QSet<QString> &excluded = {})
{
    for (const QString &id : ids) {
        if (excluded.contains(id))
            continue;
        if (auto app = installedApplication(id))
            return app;
    }
    return std::nullopt;
}

std::optional<DesktopApplication> fromDefaults(const QString &mimeType, const QList<KeyFile> &mimeApps)
{
    for (const KeyFile &file : mimeApps) {
        if (auto app = firstInstalled(idList(file, kDefaults, mimeType)))
            return app;
    }
    for (const QString &dir : applicationDirs()) {
        if (auto app = firstInstalled(idList(readKeyFile(dir + QStringLiteral("/defaults.list")), kDefaults, mimeType)))
            return app;
    }
    return std::nullopt;
}

// Without a default, the most preferred associated program: a file's removals hide the
// associations of the files after it.
std::optional<DesktopApplication> fromAssociations(const QString &mimeType, const QList<KeyFile> &mimeApps)
{
    QSet<QString> removed;
    for (const KeyFile &file : mimeApps) {
        if (auto app = firstInstalled(idList(file, kAdded, mimeType), removed))
            return app;
        for (const QString &id : idList(file, kRemoved, mimeType))
            removed.insert(id);
    }
    for (const QString &dir : applicationDirs()) {
        const KeyFile cache = readKeyFile(dir + QStringLiteral("/mimeinfo.cache"));
        if (auto app = firstInstalled(idList(cache, kMimeCache, mimeType), removed))
            return app;
    }
    return std::nullopt;
}

}  // namespace

std::optional<DesktopApplication> defaultApplicationFor(const QString &mimeType)
{
    QList<KeyFile> mimeApps;
    for (const QString &path : mimeAppsFiles())
        mimeApps.append(readKeyFile(path));
    if (auto app = fromDefaults(mimeType, mimeApps))
        return app;
    return fromAssociations(mimeType, mimeApps);
}

QString systemInformationTool()
{
    for (const char *name : {"hardinfo2", "hardinfo", "kinfocenter", "gnome-system-monitor"}) {
        const QString path = QStandardPaths::findExecutable(QString::fromLatin1(name));
        if (!path.isEmpty())
            return path;
    }
    return {};
}

}  // namespace sendmere::registry
