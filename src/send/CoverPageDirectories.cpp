#include "send/CoverPageDirectories.h"

#include "FaxRender.h"
#include "platform/Failures.h"
#include "services/CWinReg.h"

namespace sendmere {
namespace {

const QString ShellFolders = QStringLiteral("Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders");
const QString FaxSetup = QStringLiteral("Software\\Microsoft\\Fax\\Setup");

QString readValue(quint32 root, const QString &key, const QString &name) {
    CWinReg reg;
    if (!reg.OpenKey(root, key, true)) return {};
    const QString value = reg.GetStringValue(name);
    reg.CloseKey();
    return value;
}

QString coverPageDirectory(quint32 root, const QString &folderValue, const QString &subValue) {
    return readValue(root, ShellFolders, folderValue) + QLatin1Char('/') + readValue(root, FaxSetup, subValue);
}

}  // namespace

QString ServerCoverPageDirectory() {
    return coverPageDirectory(CWinReg::HKEY_LOCAL_MACHINE(), QStringLiteral("Common AppData"),
                              QStringLiteral("ServerCoverPageDir"));
}

QString PersonalCoverPageDirectory() {
    return coverPageDirectory(CWinReg::HKEY_CURRENT_USER(), QStringLiteral("Personal"),
                              QStringLiteral("CoverPageDir"));
}

bool IsServerCoverPage(const QString &path) {
    bool isServer = false;
    logFailures(QStringLiteral("mCommon.IsServerCoverPage"), [&] {
        isServer = path.contains(ServerCoverPageDirectory(), Qt::CaseInsensitive);
    });
    return isServer;
}

void shipCoverPagesWhenSeeded() {
    registry::onRootSeeded([](registry::Root root) {
        if (root != registry::Root::LocalMachine) return;
        logFailures(QStringLiteral("mCommon.ShipCoverPages"),
                    [] { render::ensureShippedCoverPages(ServerCoverPageDirectory()); });
    });
}

}  // namespace sendmere
