// What the user is told through the desktop's notifications, with a notification service of
// the test's own on the private session bus and the real fax service: sendmere-mirror tells
// of a fax sent, a fax to a busy number that used up its retries (one notice, replaced, with
// the service's reason), a fax received, and a document that could not be rendered because
// LibreOffice is missing; a received fax's notice opens it; without a notification service
// nothing is shown and nothing waits.
#include "BridgeTestKit.h"
#include "Mirror.h"
#include "NotificationWatcher.h"
#include "SessionNotices.h"
#include "TestSeams.h"
#include "TestSupport.h"
#include "platform/shell/DesktopNotifications.h"
#include "session/mCommon.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <csignal>

using namespace sendmere;
using namespace Qt::StringLiterals;

namespace {

const QString BusyNumber = u"5550199"_s;

bool waitFor(const std::function<bool()> &condition, int ms = 60000) { return QTest::qWaitFor(condition, ms); }

// One sendmere-mirror as the session starts it, ended by its id at the latest when this goes.
// Its PATH holds no LibreOffice, and the fax service it starts inherits that.
struct MirrorProcess {
    QProcess process;
    QTemporaryDir emptyBin;
    MirrorProcess() {
        process.setProgram(test::binDir() + u"/sendmere-mirror"_s);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"PATH"_s, emptyBin.path());
        process.setProcessEnvironment(env);
    }
    ~MirrorProcess() {
        if (process.state() == QProcess::NotRunning) return;
        ::kill(pid_t(process.processId()), SIGKILL);
        process.waitForFinished(10000);
    }
    bool start() {
        process.start();
        return process.waitForStarted() &&
               waitFor([] { return test::busInterface()->isServiceRegistered(u"org.sendmere.Mirror"_s); }, 30000);
    }
};

// "sendmere-fax send" to one recipient; the job id, or nothing when the console failed.
QString sendFax(const QString &name, const QString &number, const QString &document) {
    QProcess fax;
    fax.start(test::binDir() + u"/sendmere-fax"_s, {u"send"_s, u"--to"_s, number, u"--name"_s, name, document});
    if (!fax.waitForFinished(60000) || fax.exitStatus() != QProcess::NormalExit || fax.exitCode() != 0) return {};
    return QString::fromUtf8(fax.readAllStandardOutput()).trimmed();
}

QString textDocument() {
    const QString body = QDir::tempPath() + u"/letter.txt"_s;
    test::writeFile(body, "a fax with one page\n");
    return body;
}

}  // namespace

class TestNotifications : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() {
        // Busy numbers are tried once more, a moment later; a fax takes no time per page.
        test::writeFile(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + u"/sendmere/faxd.conf"_s,
                        "[Transmission]\nSecondsPerPage=0\nDialDelaySeconds=0.3\n"
                        "[Schedule]\nRetries=1\nRetryIntervalSeconds=0.2\n"
                        "[Device1]\nName=Sendmere Virtual Modem\nCSID=Loop CSID\nTSID=Loop TSID\nBusyNumbers=5550199\n");
        QVERIFY(!test::faxServiceRunning());
    }

    void theMirrorTellsWhatHappensToTheFaxes() {
        test::NotificationWatcher watcher;
        QVERIFY(watcher.claimed());
        MirrorProcess mirror;
        QVERIFY(mirror.start());
        QVERIFY(waitFor([] { return test::faxServiceRunning(); }));

        // Sent over the loopback line: one notice that it went, one that it came in.
        QVERIFY(!sendFax(u"Ann"_s, u"5550100"_s, textDocument()).isEmpty());
        QVERIFY(waitFor([&] { return !watcher.callsAbout(u"Fax sent"_s).isEmpty() && !watcher.callsAbout(u"Fax received"_s).isEmpty(); }));
        const test::NotifyCall sent = watcher.callsAbout(u"Fax sent"_s).constFirst();
        QCOMPARE(sent.body, u"To Ann (5550100), 1 page"_s);
        QCOMPARE(sent.appName, u"sendmere-mirror"_s);
        const test::NotifyCall received = watcher.callsAbout(u"Fax received"_s).constFirst();
        QVERIFY2(received.body.startsWith(u"From "_s) && received.body.endsWith(u", 1 page"_s), qPrintable(received.body));
        QVERIFY2(received.actions.contains(SessionNotices::OpenAction), qPrintable(received.actions.join(u',')));

        // A busy number: tried again, then given up; one notice that changes, with the reason.
        QVERIFY(!sendFax(u"Bob"_s, BusyNumber, textDocument()).isEmpty());
        QVERIFY(waitFor([&] { return !watcher.callsAbout(u"The fax to Bob (5550199) failed"_s).isEmpty(); }));
        const QList<test::NotifyCall> busy = watcher.callsAbout(u"Bob (5550199)"_s);
        QCOMPARE(busy.size(), 2);
        QCOMPARE(busy[0].summary, u"The fax to Bob (5550199) will be tried again"_s);
        QCOMPARE(busy[0].replacesId, 0u);
        QCOMPARE(busy[1].summary, u"The fax to Bob (5550199) failed"_s);
        QCOMPARE(busy[1].body, u"Line busy"_s);
        QCOMPARE(busy[1].replacesId, busy[0].id);
        QCOMPARE(busy[1].id, busy[0].id);

        // A word processor document while LibreOffice is missing: the reason reaches the user.
        const QString docx = QDir::tempPath() + u"/minutes.docx"_s;
        test::writeFile(docx, QByteArray("PK\x03\x04", 4) + QByteArray(200, '\0'));
        QVERIFY(sendFax(u"Ann"_s, u"5550100"_s, docx).isEmpty());
        QVERIFY(waitFor([&] { return !watcher.callsAbout(u"could not be prepared"_s).isEmpty(); }));
        const test::NotifyCall failed = watcher.callsAbout(u"could not be prepared"_s).constFirst();
        QVERIFY2(failed.body.contains(u"LibreOffice is not installed"_s) && failed.body.contains(docx), qPrintable(failed.body));

        // Nothing was told twice.
        QTest::qWait(1000);
        QCOMPARE(watcher.callsAbout(u"Fax sent"_s).size(), 1);
        QCOMPARE(watcher.callsAbout(u"Fax received"_s).size(), 1);
        QCOMPARE(watcher.callsAbout(u"could not be prepared"_s).size(), 1);
        QCOMPARE(watcher.calls().size(), 5);
    }

    // Where no notification service runs, a notice is dropped at once; the session's mirror
    // goes on as before.
    void withoutANotificationServiceNothingWaits() {
        shell::DesktopNotifications desktop;
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(desktop.notify({u"Fax sent"_s, u"To Ann"_s, {}}), 0u);
        QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
    }

    // The notice of a received fax opens the fax image with the desktop's viewer, until it is
    // dismissed. Nothing is kept of the notices that nothing replaces, nor of a closed one:
    // the mirror runs as long as the session, with a notice for every fax.
    void aReceivedFaxOpensFromItsNotice() {
        test::NotificationWatcher watcher;
        QVERIFY(watcher.claimed());
        test::RecordingSeams seams;
        Mirror mirror;
        const SessionNotices notices(mirror);
        mirror.start();
        QVERIFY(waitFor([&] { return mirror.following(); }));
        QVERIFY(!sendFax(u"Ann"_s, u"5550100"_s, textDocument()).isEmpty());
        QVERIFY(waitFor([&] { return !watcher.callsAbout(u"Fax received"_s).isEmpty() && !watcher.callsAbout(u"Fax sent"_s).isEmpty(); }));
        const test::NotifyCall received = watcher.callsAbout(u"Fax received"_s).constFirst();
        QCOMPARE(notices.awaitedNotices(), 1);  // the received fax's, for its action

        // Another notice's action, or another action, opens nothing.
        watcher.invokeAction(received.id + 100, SessionNotices::OpenAction);
        QTest::qWait(500);
        QCOMPARE(seams.recorded().opened, QStringList());

        watcher.invokeAction(received.id, SessionNotices::OpenAction);
        QVERIFY(waitFor([&] { return seams.recorded().opened.size() == 1; }, 10000));
        const QString opened = seams.recorded().opened.constFirst();
        QVERIFY2(opened.endsWith(u".tif"_s), qPrintable(opened));
        const QByteArray image = test::readFile(opened);
        QVERIFY2(image.startsWith("II*") || image.startsWith("MM"), qPrintable(opened));

        watcher.dismiss(received.id);
        QVERIFY(waitFor([&] { return notices.awaitedNotices() == 0; }, 10000));
        watcher.invokeAction(received.id, SessionNotices::OpenAction);
        QTest::qWait(500);
        QCOMPARE(seams.recorded().opened.size(), 1);
        mCommon::ShutDown();
    }
};

QTEST_MAIN(TestNotifications)
#include "tst_notifications.moc"
