// The fax lab that the server tests run against: a missing package means skip; a started lab
// has both modems idle and ready for calls; stopped, or orphaned by its owner, it leaves no
// process, device or lock behind. Faxes across the lab are tested in tst_faxhylafax.
#include "HylaFaxLab.h"

#include <QDir>
#include <QProcess>

using namespace sendmere::test;

namespace {

QByteArray recordedPids(const QString &labDir) {
    QFile file(labDir + QStringLiteral("/pids"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList iaxDevices(const QString &folder) { return QDir(folder).entryList({QStringLiteral("ttyIAX*")}, QDir::System); }

}  // namespace

class TestHylaFaxLab : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Without iaxmodem and the client tools (only /usr/sbin on the path) the lab names them.
    void missingProgramsMeanSkip() {
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", "/usr/sbin");
        HylaFaxLab lab;
        const bool started = lab.start();
        qputenv("PATH", path);
        QVERIFY(!started && !lab.running() && lab.packagesMissing());
        QVERIFY2(lab.reason().contains(QStringLiteral("iaxmodem")) && lab.reason().contains(QStringLiteral("sendfax")), qPrintable(lab.reason()));
    }

    // Started, refusing a second start, stopped; started again in its folder for an owner
    // that then dies, as a crashed test would. Every daemon names the lab's folder.
    void labStartsReadyAndLeavesNoTrace() {
        const QStringList devicesBefore = iaxDevices(QStringLiteral("/dev"));
        HylaFaxLab lab;
        SENDMERE_START_HYLAFAX_LAB(lab);
        const QString labDir = lab.dir();
        const QByteArray pids = recordedPids(labDir);
        QCOMPARE(pids.count('\n'), 6);  // two iaxmodems, faxq, hfaxd, two faxgettys
        const auto bothIdle = [&] {
            return lab.run(QStringLiteral("faxstat"), {QStringLiteral("-h"), lab.server(), QStringLiteral("-a")}) &&
                   std::ranges::all_of(lab.modems(), [&](const HylaFaxLab::Modem &m) {
                       return lab.output().contains(QStringLiteral("Modem %1 (%2): Running and idle").arg(m.device, m.number));
                   });
        };
        const auto nothingLeft = [&] { return eventually([&] { return !lab.run(QStringLiteral("pgrep"), {QStringLiteral("-af"), labDir}); }, 10'000); };
        QVERIFY2(bothIdle(), qPrintable(lab.output() + lab.reason()));
        QVERIFY(lab.modems().at(0).id != lab.modems().at(1).id && lab.modems().at(0).number != lab.modems().at(1).number);
        QVERIFY(!lab.run(HylaFaxLab::scriptPath(), {QStringLiteral("start"), labDir}) && !lab.packagesMissing());
        QVERIFY2(lab.reason().contains(QStringLiteral("already holds a lab")), qPrintable(lab.reason()));
        QCOMPARE(recordedPids(labDir), pids);

        QVERIFY2(lab.stop(), qPrintable(lab.reason()));
        QVERIFY2(nothingLeft(), qPrintable(lab.output()));
        QVERIFY(iaxDevices(labDir + QStringLiteral("/dev")).isEmpty() && !QFile::exists(labDir + QStringLiteral("/pids")));
        QCOMPARE(iaxDevices(QStringLiteral("/dev")), devicesBefore);
        QCOMPARE(QDir(lab.spool() + QStringLiteral("/lock")).entryList(QDir::Files), QStringList());

        QProcess owner;
        owner.start(QStringLiteral("sleep"), {QStringLiteral("600")});
        QVERIFY(owner.waitForStarted());
        QVERIFY2(lab.run(HylaFaxLab::scriptPath(), {QStringLiteral("start"), labDir, QString::number(owner.processId())}, 180'000),
                 qPrintable(lab.reason()));
        QCOMPARE(recordedPids(labDir).count('\n'), 6);
        QVERIFY2(bothIdle(), qPrintable(lab.output() + lab.reason()));  // on the same port, with the same modems
        owner.kill();
        owner.waitForFinished();
        QVERIFY(eventually([&] { return !QFile::exists(labDir); }, 30'000));
        QVERIFY2(nothingLeft(), qPrintable(lab.output()));
    }
};

QTEST_GUILESS_MAIN(TestHylaFaxLab)
#include "tst_hylafaxlab.moc"
