// sendmere-faxd: the local fax service on the session bus. Started by D-Bus activation or by
// a client; ends with its bus or after some idle minutes.
#include "FaxBusApi.h"
#include "FaxComposer.h"
#include "FaxRender.h"
#include "FaxService.h"
#include "FaxdConfig.h"
#include "ServiceLog.h"
#include "Spool.h"

#include <QGuiApplication>
#include <QDBusConnection>
#include <QDir>
#include <QLockFile>
#include <sys/stat.h>

namespace {

QString statePath()
{
    QString dir = qEnvironmentVariable("XDG_STATE_HOME");
    if (dir.isEmpty())
        dir = QDir::homePath() + QStringLiteral("/.local/state");
    return dir + QStringLiteral("/sendmere/faxd.log");
}

}  // namespace

int main(int argc, char *argv[])
{
    ::umask(077);  // the spool, its database and the images are the user's alone
    // Text and SVG rendering need a GUI application, never a display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("sendmere-faxd"));
    using namespace sendmere;
    faxd::ServiceLog log(statePath());
    if (!QDBusConnection::sessionBus().isConnected()) {
        log.warning(QStringLiteral("no session bus: %1").arg(QDBusConnection::sessionBus().lastError().message()));
        return 1;
    }
    faxbus::registerTypes();
    try {
        const faxd::FaxdConfig config = faxd::FaxdConfig::load(faxd::FaxdConfig::defaultPath());
        const faxd::CoverPageDirs coverDirs = faxd::CoverPageDirs::fromRegistry(log);
        try {
            render::ensureShippedCoverPages(coverDirs.server);
        } catch (const std::exception &e) {
            log.warning(QStringLiteral("cannot install the shipped cover pages into %1: %2").arg(coverDirs.server, QString::fromUtf8(e.what())));
        }
        // Two instances started at once (two clients, or a client and the bus) must not both
        // reconcile the spool: the second one leaves at once and the first one serves.
        QDir().mkpath(faxd::Spool::defaultRoot());
        QLockFile lock(faxd::Spool::defaultRoot() + QStringLiteral("/spool.lock"));
        if (!lock.tryLock(0)) {
            log.info(QStringLiteral("another fax service holds the spool; this instance ends"));
            return 0;
        }
        faxd::Spool spool(faxd::Spool::defaultRoot(), log);
        spool.open();
        faxd::FaxService service(spool, config, coverDirs, log);
        if (!service.publish())
            return 0;
        const int rc = app.exec();
        log.info(QStringLiteral("fax service stopped"));
        return rc;
    } catch (const std::exception &e) {
        log.warning(QStringLiteral("the fax service cannot start: %1").arg(QString::fromUtf8(e.what())));
        return 1;
    }
}
