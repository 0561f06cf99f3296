#include "RegSeed.h"

#include "DesktopAssociations.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace sendmere::registry {

namespace {

const QString kTiffViewerKey = QStringLiteral(".tiff");
const QString kSysInfoKey = QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools\\MSINFO");
const QString kShellFolders = QStringLiteral("Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders");
const QString kFaxSetup = QStringLiteral("Software\\Microsoft\\Fax\\Setup");

void setString(Hive &hive, const QString &key, const QString &name, const QString &text)
{
    hive.ensureKey(key).set(name, RegValue::string(text));
}

// The common application data folder. An installed program finds its shared data folder,
// where the shipped cover page templates were installed, beside its own folder; run from a
// build tree it uses the user's data folder, into which the templates are copied.
QString commonAppData()
{
    if (QCoreApplication::instance()) {
        const QDir programDir(QCoreApplication::applicationDirPath());
        for (const char *relative : {SENDMERE_DATADIR_FROM_PROGRAMDIR, SENDMERE_DATADIR_FROM_BINDIR}) {
            const QString shared = QDir::cleanPath(programDir.filePath(QString::fromUtf8(relative)));
            if (QFileInfo(shared + QStringLiteral("/coverpages")).isDir())
                return shared;
        }
    }
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/sendmere");
}

}  // namespace

std::function<void(Root)> &seededInstaller()
{
    static std::function<void(Root)> installer;
    return installer;
}

// What a fresh machine holds, so that the program finds its folders, the mail store and the
// imaging component.
Hive seededHive(Root root)
{
    Hive hive;
    if (root == Root::LocalMachine) {
        setString(hive, kShellFolders, QStringLiteral("Common AppData"), commonAppData());
        setString(hive, kFaxSetup, QStringLiteral("ServerCoverPageDir"), QStringLiteral("coverpages"));
        setString(hive, QStringLiteral("SOFTWARE\\Clients\\Mail"), QString(), QString());
        setString(hive, QStringLiteral("SOFTWARE\\Clients\\Mail\\Microsoft Outlook"), QString(),
                  QStringLiteral("Sendmere mail store"));
    } else if (root == Root::CurrentUser) {
        const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
        const QString personalCoverPages = QStringLiteral("Fax/Personal Coverpages");
        setString(hive, kShellFolders, QStringLiteral("Personal"), documents);
        setString(hive, kFaxSetup, QStringLiteral("CoverPageDir"), personalCoverPages);
        // The folder the user's own cover pages go in exists from the start, as it would
        // where the fax service is set up.
        QDir().mkpath(documents + QLatin1Char('/') + personalCoverPages);
        hive.ensureKey(QStringLiteral("Software\\Microsoft\\Fax\\UserInfo"));
    } else if (root == Root::ClassesRoot) {
        // The mail side's components, served by the program's own mail store, and the imaging
        // component, the program's binding to the scanner library. Taking a registration away
        // makes the program take its path for a machine without it.
        const std::pair<const char *, const char *> components[] = {
            {"Outlook.Application", "{6E3A1C20-5D1B-4C0E-9A51-2F4B8C7D0A01}"},
            {"MAPI.Session", "{6E3A1C20-5D1B-4C0E-9A51-2F4B8C7D0A02}"},
            {"RedOutlook.SafeMailItem", "{6E3A1C20-5D1B-4C0E-9A51-2F4B8C7D0A03}"},
            {"RedOutlook.MAPIUtils", "{6E3A1C20-5D1B-4C0E-9A51-2F4B8C7D0A04}"},
            {"Wia.Script", "{6E3A1C20-5D1B-4C0E-9A51-2F4B8C7D0A05}"},
        };
        for (const auto &[name, clsid] : components) {
            setString(hive, QLatin1String(name), QString(), QLatin1String(name));
            setString(hive, QLatin1String(name) + QStringLiteral("\\CLSID"), QString(), QLatin1String(clsid));
        }
    }
    return hive;
}

// Values the desktop answers at the time of asking, so a viewer or a tool installed later
// is seen. Worked out only for keys on their way, since reading the desktop's files costs.
Hive computedHive(Root root, const QString &key)
{
    Hive hive;
    if (root == Root::ClassesRoot) {
        if (const auto viewer = defaultApplicationFor(QStringLiteral("image/tiff"))) {
            setString(hive, kTiffViewerKey, QString(), viewer->className);
            setString(hive, viewer->className + QStringLiteral("\\shell\\open\\command"), QString(), viewer->command);
        }
    } else if (root == Root::LocalMachine && pathsRelated(key, kSysInfoKey)) {
        const QString tool = systemInformationTool();
        if (!tool.isEmpty())
            setString(hive, kSysInfoKey, QStringLiteral("PATH"), tool);
    }
    return hive;
}

bool hasComputedKeys(Root root, const QString &key)
{
    return root == Root::ClassesRoot || (root == Root::LocalMachine && pathsRelated(key, kSysInfoKey));
}

void onRootSeeded(std::function<void(Root)> installer)
{
    seededInstaller() = std::move(installer);
}

}  // namespace sendmere::registry
