// The wizard of the real program on a real X server, with the fax service's line set to a
// real HylaFAX server (the fax lab): Finish hands the fax to the server, one modem sends it,
// the other receives it, and both archives hold it with the server's page count.
#include "DesktopKit.h"
#include "FaxTestSupport.h"
#include "HylaFaxLab.h"

#include <QElapsedTimer>
#include <QtTest>

using namespace sendmere;
using namespace sendmere::faxtest;
using namespace Qt::StringLiterals;

class TestDesktopFaxServer : public QObject {
    Q_OBJECT

    test::HylaFaxLab m_lab;

private Q_SLOTS:
    void initTestCase() {
        QVERIFY2(test::AtSpi().isConnected(), "no accessibility bus");
        SENDMERE_START_HYLAFAX_LAB(m_lab);
        writeConfig(u"[Line]\nBackend=hylafax\nServer=%1\nUser=fax\nPollSeconds=1\n"_s.arg(m_lab.server()));
    }

    // QtTest cuts a failure message at about a kilobyte: the service's log and the lab's
    // report go to the log whole.
    void cleanup() {
        if (QTest::currentTestFailed())
            qWarning().noquote() << readLog() << m_lab.report();
    }

    void cleanupTestCase() { m_lab.stop(); }

    // The wizard as a user goes through it: the recipient and the file from the command line,
    // Next on each page, Finish.
    void wizardSendsThroughTheServer() {
        test::AtSpi atspi;
        test::RunningProgram wizard;
        QElapsedTimer clock;
        clock.start();
        test::startProgram(wizard, atspi, u"new;;Ann#;%1#;%2#"_s.arg(m_lab.modems().at(1).number, writePdf(u"letter.pdf"_s, 2)));
        test::WizardWalk walk(atspi, wizard);
        walk.goToFinish();
        walk.press(u"Finish"_s);
        test::expectProgramEnd(wizard);
        QVERIFY(test::eventually([] { return listing(u"sent"_s).size() == 1; }, 120000));
        qInfo("from Finish to the sent archive through the fax server: %.1f s", clock.elapsed() / 1000.0);
        QCOMPARE(listing(u"sent"_s).first().toObject().value(u"Pages"_s).toInt(), 2);
        QVERIFY(test::eventually([] { return listing(u"received"_s).size() == 1; }, 30000));
        QCOMPARE(listing(u"received"_s).first().toObject().value(u"Pages"_s).toInt(), 2);
        QCOMPARE(m_lab.receivedFaxes().size(), 1);
    }
};

QTEST_MAIN(TestDesktopFaxServer)
#include "tst_desktop_faxserver.moc"
