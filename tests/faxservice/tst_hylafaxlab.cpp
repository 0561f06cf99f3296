// The fax lab that the fax service's server tests run against: a real HylaFAX server with two
// software modems, both idle and ready for calls once it started, and no process, device or
// lock left behind, whether it is stopped or its owner dies. Faxes crossing the lab, a server
// that goes away and comes back and a line nobody answers are tested through the fax service
// in tst_faxhylafax.
#include "HylaFaxLab.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTest>
#include <QThread>
#include <algorithm>
#include <csignal>

using sendmere::test::HylaFaxLab;

namespace {

struct ToolResult {
    int exitCode = -1;
    QString output;  // stdout and stderr together
};

ToolResult runTool(const QString &program, const QStringList &arguments) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(60'000)) {
        process.kill();
        process.waitForFinished();
        return {-1, program + QStringLiteral(" did not finish")};
    }
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromLocal8Bit(process.readAll())};
}

QList<qint64> recordedPids(const QString &labDir) {
    QList<qint64> pids;
    QFile file(labDir + QStringLiteral("/pids"));
    if (file.open(QIODevice::ReadOnly))
        for (const QByteArray &line : file.readAll().split('\n'))
            if (const qint64 pid = line.split(' ').first().toLongLong(); pid > 0)
                pids.append(pid);
    return pids;
}

bool processExists(qint64 pid) { return ::kill(pid_t(pid), 0) == 0 || errno != ESRCH; }

// The first of pids still there a few seconds on (a killed process is reaped by init), as
// "PID: its /proc status", or empty.
QString survivor(const QList<qint64> &pids) {
    for (QDeadlineTimer deadline(10'000);; QThread::msleep(200)) {
        const auto alive = std::find_if(pids.begin(), pids.end(), processExists);
        if (alive == pids.end())
            return {};
        if (deadline.hasExpired()) {
            QFile status(QStringLiteral("/proc/%1/status").arg(*alive));
            QStringList lines;
            if (status.open(QIODevice::ReadOnly))
                for (const QByteArray &line : status.readAll().split('\n'))
                    if (line.startsWith("Name") || line.startsWith("State") || line.startsWith("PPid") || line.startsWith("NSpgid"))
                        lines.append(QString::fromLocal8Bit(line));
            return QStringLiteral("%1: %2").arg(*alive).arg(lines.join(QStringLiteral(", ")));
        }
    }
}

// Processes whose command line names the folder: every daemon of a lab names its spool or device.
QStringList processesNaming(const QString &folder) {
    QStringList found;
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        if (entry.toLongLong() <= 0 || entry.toLongLong() == QCoreApplication::applicationPid())
            continue;
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(entry));
        if (!cmdline.open(QIODevice::ReadOnly))
            continue;
        const QByteArray command = cmdline.readAll().replace('\0', ' ');
        if (command.contains(folder.toLocal8Bit()))
            found.append(entry + u' ' + QString::fromLocal8Bit(command));
    }
    return found;
}

QStringList iaxDevices(const QString &folder) { return QDir(folder).entryList({QStringLiteral("ttyIAX*")}, QDir::System); }

}  // namespace

class TestHylaFaxLab : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void missingProgramsMeanSkip();
    void startedLabIsReadyAndStopsWithoutATrace();
    void labGoesWithItsOwner();
};

void TestHylaFaxLab::missingProgramsMeanSkip() {
    // Where iaxmodem and the client tools cannot be found (only /usr/sbin on the path), the
    // lab says which are missing and that the test should skip rather than fail.
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", "/usr/sbin");
    HylaFaxLab lab;
    const bool started = lab.start();
    qputenv("PATH", path);
    QVERIFY(!started);
    QVERIFY(lab.packagesMissing());
    QVERIFY2(lab.reason().contains(QStringLiteral("iaxmodem")) && lab.reason().contains(QStringLiteral("sendfax")), qPrintable(lab.reason()));
    QVERIFY(!lab.running());
}

void TestHylaFaxLab::startedLabIsReadyAndStopsWithoutATrace() {
    const QStringList devicesBefore = iaxDevices(QStringLiteral("/dev"));
    HylaFaxLab lab;
    SENDMERE_START_HYLAFAX_LAB(lab);
    const QString labDir = lab.dir();
    const QList<qint64> pids = recordedPids(labDir);
    QCOMPARE(pids.size(), 6);  // two iaxmodems, faxq, hfaxd, two faxgettys
    const HylaFaxLab::Modem a = lab.modems().value(0), b = lab.modems().value(1);
    QVERIFY(a.id != b.id && a.number != b.number);

    // The server lists both modems, ready for calls, under their devices and numbers.
    const ToolResult status = runTool(QStringLiteral("faxstat"), {QStringLiteral("-h"), lab.server(), QStringLiteral("-a")});
    QCOMPARE(status.exitCode, 0);
    for (const HylaFaxLab::Modem &modem : {a, b})
        QVERIFY2(status.output.contains(QStringLiteral("Modem %1 (%2): Running and idle").arg(modem.device, modem.number)),
                 qPrintable(status.output));

    // A second start in the same folder refuses and leaves the running lab alone.
    QProcess again;
    again.start(HylaFaxLab::scriptPath(), {QStringLiteral("start"), labDir});
    QVERIFY(again.waitForFinished(30'000));
    QCOMPARE(again.exitCode(), 1);
    QVERIFY(again.readAllStandardError().contains("already holds a lab"));
    QCOMPARE(recordedPids(labDir), pids);

    // Stopped, the lab leaves no process, no device and no lock behind.
    QVERIFY2(lab.stop(), qPrintable(lab.reason()));
    QVERIFY2(survivor(pids).isEmpty(), qPrintable(survivor(pids)));
    QVERIFY2(processesNaming(labDir).isEmpty(), qPrintable(processesNaming(labDir).join(u'\n')));
    QVERIFY(iaxDevices(labDir + QStringLiteral("/dev")).isEmpty());
    QCOMPARE(iaxDevices(QStringLiteral("/dev")), devicesBefore);
    QVERIFY(QDir(lab.spool() + QStringLiteral("/lock")).entryList(QDir::Files).isEmpty());
    QVERIFY(!QFile::exists(labDir + QStringLiteral("/pids")));
}

void TestHylaFaxLab::labGoesWithItsOwner() {
    // A lab whose owner dies without stopping it (a crashed test) ends and removes its folder.
    QProcess owner;
    owner.start(QStringLiteral("sleep"), {QStringLiteral("600")});
    QVERIFY(owner.waitForStarted());
    const QString labDir = QStringLiteral("/tmp/sendmere-faxlab-owner-%1").arg(QCoreApplication::applicationPid());
    QProcess script;
    script.start(HylaFaxLab::scriptPath(), {QStringLiteral("start"), labDir, QString::number(owner.processId())});
    QVERIFY(script.waitForFinished(180'000));
    if (script.exitCode() == 2)
        QSKIP(script.readAllStandardError().constData());
    QVERIFY2(script.exitCode() == 0, script.readAllStandardError().constData());
    const QList<qint64> pids = recordedPids(labDir);
    QCOMPARE(pids.size(), 6);

    owner.kill();
    owner.waitForFinished();
    for (QDeadlineTimer deadline(30'000); QFile::exists(labDir) && !deadline.hasExpired();)
        QThread::msleep(200);
    QVERIFY(!QFile::exists(labDir));
    QVERIFY2(survivor(pids).isEmpty(), qPrintable(survivor(pids)));
    QVERIFY2(processesNaming(labDir).isEmpty(), qPrintable(processesNaming(labDir).join(u'\n')));
}

QTEST_GUILESS_MAIN(TestHylaFaxLab)
#include "tst_hylafaxlab.moc"
