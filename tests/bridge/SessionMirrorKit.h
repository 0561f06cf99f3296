#pragma once
// sendmere-mirror and the fax console as the user's session runs them, for the tests that
// watch the mirror fill a mail store: the mirror as a process of its own (ended by its id),
// faxes sent with "sendmere-fax", and the faxes the loopback line received.
#include "BridgeTestKit.h"
#include "TestSupport.h"

#include <QProcess>
#include <QTest>
#include <csignal>
#include <functional>
#include <optional>

namespace sendmere::test {

inline bool mirrorRunning() { return busInterface()->isServiceRegistered(QStringLiteral("org.sendmere.Mirror")); }

// One mirror process, ended by its id at the latest when this goes.
struct MirrorProcess {
    QProcess process;
    MirrorProcess() {
        process.setProgram(binDir() + QStringLiteral("/sendmere-mirror"));
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);  // its complaints in the test's output
    }
    ~MirrorProcess() { kill(SIGKILL); }
    MirrorProcess(const MirrorProcess &) = delete;
    MirrorProcess &operator=(const MirrorProcess &) = delete;
    // Started, once it owns the mirror's bus name itself (not a mirror that just ended).
    bool start() {
        process.start();
        return process.waitForStarted() && QTest::qWaitFor([this] { return ownsBusName(); }, 30000);
    }
    // Ended, and its bus name released, so that the next mirror can claim it.
    void kill(int signal) {
        if (process.state() == QProcess::NotRunning) return;
        ::kill(pid_t(process.processId()), signal);
        process.waitForFinished(10000);
        if (!QTest::qWaitFor([] { return !mirrorRunning(); }, 10000)) qWarning("the bus still names a mirror after its end");
    }
    bool ownsBusName() const {
        return process.state() == QProcess::Running &&
               busInterface()->servicePid(QStringLiteral("org.sendmere.Mirror")).value() == uint(process.processId());
    }
};

// "sendmere-fax" as a user runs it; its output, or nothing when it failed.
inline std::optional<QString> console(const QStringList &arguments) {
    QProcess fax;
    fax.start(binDir() + QStringLiteral("/sendmere-fax"), arguments);
    if (!fax.waitForFinished(60000) || fax.exitStatus() != QProcess::NormalExit || fax.exitCode() != 0) {
        qWarning("sendmere-fax %s: %s", qPrintable(arguments.join(u' ')), fax.readAllStandardError().constData());
        return std::nullopt;
    }
    return QString::fromUtf8(fax.readAllStandardOutput()).trimmed();
}

// A fax to "Ann" at 5550100 with this subject; its id, empty when the console failed.
inline QString sendFax(const QString &subject, const QStringList &more = {}) {
    const QString body = QDir::tempPath() + QStringLiteral("/body.txt");
    writeFile(body, "a fax from the console\n");
    return console(QStringList{QStringLiteral("send"), QStringLiteral("--to"), QStringLiteral("5550100"), QStringLiteral("--name"),
                               QStringLiteral("Ann"), QStringLiteral("--subject"), subject} +
                   more + QStringList{body})
        .value_or(QString());
}

// The ids of the faxes the service has received, sorted.
inline QStringList receivedIds() {
    fax::FaxServer server;
    server.Connect(QString());
    QStringList ids = archivedIds(server.Folders().IncomingArchive());
    ids.sort();
    return ids;
}

inline bool waitFor(const std::function<bool()> &condition, int ms = 30000) { return QTest::qWaitFor(condition, ms); }

}  // namespace sendmere::test
