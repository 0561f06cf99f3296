#pragma once
// sendmere-mirror and the fax console as the user's session runs them.
#include "BridgeTestKit.h"

#include <QTemporaryDir>

namespace sendmere::test {

inline bool mirrorRunning() { return busInterface()->isServiceRegistered(u"org.sendmere.Mirror"_s); }
inline bool waitFor(const std::function<bool()> &condition, int ms = 30000) { return QTest::qWaitFor(condition, ms); }

// One mirror, ended by its id at the latest when this goes; without LibreOffice on its PATH or the service's.
struct MirrorProcess {
    QProcess process;
    QTemporaryDir emptyBin;
    explicit MirrorProcess(bool withoutLibreOffice = false) {
        process.setProgram(binDir() + u"/sendmere-mirror"_s);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);  // its complaints in the test's output
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        if (withoutLibreOffice) env.insert(u"PATH"_s, emptyBin.path());
        process.setProcessEnvironment(env);
    }
    ~MirrorProcess() { kill(SIGKILL); }
    // Started once it owns the bus name (not a mirror that just ended) and has started the fax service.
    bool start() {
        process.start();
        return process.waitForStarted() && waitFor([this] {
                   return process.state() == QProcess::Running && faxServiceRunning() &&
                          busInterface()->servicePid(u"org.sendmere.Mirror"_s).value() == uint(process.processId());
               });
    }
    // Ended, and its bus name released, so that the next mirror can claim it.
    void kill(int signal) {
        if (process.state() == QProcess::NotRunning) return;
        ::kill(pid_t(process.processId()), signal);
        process.waitForFinished(10000);
        if (!waitFor([] { return !mirrorRunning(); }, 10000)) qWarning("the bus still names a mirror after its end");
    }
};

// "sendmere-fax" as a user runs it; its output, or nothing when it failed.
inline std::optional<QString> console(const QStringList &arguments) {
    QProcess fax;
    fax.start(binDir() + u"/sendmere-fax"_s, arguments);
    if (!fax.waitForFinished(60000) || fax.exitStatus() != QProcess::NormalExit || fax.exitCode() != 0) {
        qWarning("sendmere-fax %s: %s", qPrintable(arguments.join(u' ')), fax.readAllStandardError().constData());
        return std::nullopt;
    }
    return QString::fromUtf8(fax.readAllStandardOutput()).trimmed();
}

// A fax over the loopback line (received again); its id, empty when the console failed.
inline QString sendFax(const QStringList &more, const QString &name = u"Ann"_s, const QString &number = u"5550100"_s, QString document = {}) {
    if (document.isEmpty()) writeFile(document = QDir::tempPath() + u"/body.txt"_s, "a fax from the console\n");
    return console(QStringList{u"send"_s, u"--to"_s, number, u"--name"_s, name} + more + QStringList{document}).value_or(QString());
}
inline QString sendFax(const QString &subject) { return sendFax({u"--subject"_s, subject}); }

// The ids of the faxes the service has archived in one folder, sorted.
inline QStringList archived(bool received) {
    fax::FaxServer server;
    server.Connect(QString());
    QStringList ids = archivedIds(received ? server.Folders().IncomingArchive() : server.Folders().OutgoingArchive());
    ids.sort();
    return ids;
}
inline QStringList receivedIds() { return archived(true); }

// The "import" action run to its end, with its message.
inline void runImport() {
    RecordingSeams seams;
    runEntry(u"import"_s);
    QTRY_COMPARE_WITH_TIMEOUT(seams.recorded().exitCodes, QList<int>{0}, 90000);
}

inline void cleanupPrintsServiceLog() {
    if (QTest::currentTestFailed())
        qWarning("the fax service's log:\n%s", readFile(qEnvironmentVariable("XDG_STATE_HOME") + u"/sendmere/faxd.log"_s).right(4000).constData());
}

}  // namespace sendmere::test
