// The real program on a real X server, driven through the accessibility bus as a screen
// reader user drives it: each action ends the process by itself, with code 0.
#include "DesktopKit.h"
#include "TestSupport.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QtTest>

using namespace sendmere;
using test::AtSpi;

namespace {

struct Program {
    QProcess process;
    AtSpi::Node app;
};

// Starts the program with commandLine and waits until its pages are on the accessibility bus.
void start(Program &program, AtSpi &atspi, const QString &commandLine) {
    program.process.setProcessChannelMode(QProcess::ForwardedChannels);
    program.process.start(test::binDir() + QStringLiteral("/sendmere"), {commandLine});
    QVERIFY(program.process.waitForStarted());
    program.app = atspi.application(program.process.processId());
    QVERIFY2(program.app.isValid(), "the program never appeared on the accessibility bus");
}

// The process ends by itself within about a second of its last page going, with code 0.
void expectEnd(Program &program) {
    QElapsedTimer elapsed;
    elapsed.start();
    if (!program.process.waitForFinished(1500)) {
        program.process.kill();
        program.process.waitForFinished();
        QFAIL("the program kept running after its last page was gone");
    }
    QCOMPARE(program.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.process.exitCode(), 0);
    qInfo("ended %lld ms after the last page went", qint64(elapsed.elapsed()));
}

}  // namespace

class TestDesktopProcesses : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { QVERIFY2(AtSpi().isConnected(), "no accessibility bus"); }

    void senderEndsAfterOkAndCancel() {
        AtSpi atspi;
        {
            Program sender;
            start(sender, atspi, QStringLiteral("sender"));
            const AtSpi::Node name = atspi.find(sender.app, QStringLiteral("Your full name"), AtSpi::Text);
            QVERIFY(name.isValid());
            QVERIFY(atspi.setText(name, QStringLiteral("Ann Example")));
            QVERIFY(atspi.doAction(atspi.find(sender.app, QStringLiteral("OK"), AtSpi::PushButton), QStringLiteral("Press")));
            expectEnd(sender);
        }
        // The next start shows what OK stored; Cancel ends it just the same.
        Program again;
        start(again, atspi, QStringLiteral("sender"));
        const AtSpi::Node name = atspi.find(again.app, QStringLiteral("Your full name"), AtSpi::Text);
        QTRY_COMPARE(atspi.text(name), QStringLiteral("Ann Example"));
        QVERIFY(atspi.doAction(atspi.find(again.app, QStringLiteral("Cancel"), AtSpi::PushButton), QStringLiteral("Press")));
        expectEnd(again);
    }
};

QTEST_MAIN(TestDesktopProcesses)
#include "tst_desktop_processes.moc"
