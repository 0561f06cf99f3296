// What the user is told through the desktop's notifications (a notification service of the test's own).
#include "Mirror.h"
#include "NotificationWatcher.h"
#include "SessionMirrorKit.h"
#include "SessionNotices.h"
#include "platform/shell/DesktopNotifications.h"

#include <QElapsedTimer>

using namespace sendmere;
using namespace sendmere::test;

class TestNotifications : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() {
        // Busy numbers are tried once more, a moment later; a fax takes no time per page.
        writeFile(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + u"/sendmere/faxd.conf"_s,
                  "[Transmission]\nSecondsPerPage=0\nDialDelaySeconds=0.3\n[Schedule]\nRetries=1\nRetryIntervalSeconds=0.2\n"
                  "[Device1]\nName=Sendmere Virtual Modem\nCSID=Loop CSID\nTSID=Loop TSID\nBusyNumbers=5550199\n");
        QVERIFY(!faxServiceRunning());
    }

    // A fax sent and received, a busy number's retry then failure (one notice, replaced), LibreOffice missing.
    void theMirrorTellsWhatHappensToTheFaxes() {
        NotificationWatcher watcher;
        QVERIFY(watcher.claimed());
        MirrorProcess mirror(true);
        QVERIFY(mirror.start());
        const auto told = [&](const QString &about) { return waitFor([&] { return !watcher.callsAbout(about).isEmpty(); }, 60000); };

        QVERIFY(!sendFax(QStringList()).isEmpty() && told(u"Fax sent"_s) && told(u"Fax received"_s));
        const NotifyCall sent = watcher.callsAbout(u"Fax sent"_s).constFirst(), received = watcher.callsAbout(u"Fax received"_s).constFirst();
        QCOMPARE(sent.body, u"To Ann (5550100), 1 page"_s);
        QCOMPARE(sent.appName, u"sendmere-mirror"_s);
        QVERIFY2(received.body.startsWith(u"From "_s) && received.body.endsWith(u", 1 page"_s), qPrintable(received.body));
        QVERIFY2(received.actions.contains(SessionNotices::OpenAction), qPrintable(received.actions.join(u',')));

        QVERIFY(!sendFax({}, u"Bob"_s, u"5550199"_s).isEmpty() && told(u"The fax to Bob (5550199) failed"_s));
        const QList<NotifyCall> busy = watcher.callsAbout(u"Bob (5550199)"_s);
        QCOMPARE(busy.size(), 2);
        QCOMPARE(busy[0].summary, u"The fax to Bob (5550199) will be tried again"_s);
        QCOMPARE(busy[1].body, u"Line busy"_s);
        QVERIFY(busy[0].replacesId == 0 && busy[1].replacesId == busy[0].id && busy[1].id == busy[0].id);

        const QString docx = QDir::tempPath() + u"/minutes.docx"_s;
        writeFile(docx, QByteArray("PK\x03\x04", 4) + QByteArray(200, '\0'));
        QVERIFY(sendFax({}, u"Ann"_s, u"5550100"_s, docx).isEmpty() && told(u"could not be prepared"_s));
        const QString failed = watcher.callsAbout(u"could not be prepared"_s).constFirst().body;
        QVERIFY2(failed.contains(u"LibreOffice is not installed"_s) && failed.contains(docx), qPrintable(failed));

        QTest::qWait(1000);
        QCOMPARE(watcher.calls().size(), 5);
    }

    // Where no notification service runs, a notice is dropped at once.
    void withoutANotificationServiceNothingWaits() {
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(shell::DesktopNotifications().notify({u"Fax sent"_s, u"To Ann"_s, {}}), 0u);
        QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
    }

    // A received fax's notice opens its image until dismissed; nothing is kept of a closed notice.
    void aReceivedFaxOpensFromItsNotice() {
        NotificationWatcher watcher;
        QVERIFY(watcher.claimed());
        RecordingSeams seams;
        Mirror mirror;
        const SessionNotices notices(mirror);
        mirror.start();
        QVERIFY(waitFor([&] { return mirror.following(); }));
        QVERIFY(!sendFax(QStringList()).isEmpty());
        QVERIFY(waitFor([&] { return !watcher.callsAbout(u"Fax received"_s).isEmpty() && !watcher.callsAbout(u"Fax sent"_s).isEmpty(); }, 60000));
        const uint received = watcher.callsAbout(u"Fax received"_s).constFirst().id;
        QCOMPARE(notices.awaitedNotices(), 1);  // the received fax's, for its action

        // Another notice's action, or another action, opens nothing.
        watcher.invokeAction(received + 100, SessionNotices::OpenAction);
        watcher.invokeAction(received, u"other"_s);
        QTest::qWait(500);
        QCOMPARE(seams.recorded().opened, QStringList());
        watcher.invokeAction(received, SessionNotices::OpenAction);
        QVERIFY(waitFor([&] { return seams.recorded().opened.size() == 1; }, 10000));
        const QString opened = seams.recorded().opened.constFirst();
        QVERIFY2(opened.endsWith(u".tif"_s) && (readFile(opened).startsWith("II*") || readFile(opened).startsWith("MM")), qPrintable(opened));

        watcher.dismiss(received);
        QVERIFY(waitFor([&] { return notices.awaitedNotices() == 0; }, 10000));
        watcher.invokeAction(received, SessionNotices::OpenAction);
        QTest::qWait(500);
        QCOMPARE(seams.recorded().opened.size(), 1);
        mCommon::ShutDown();
    }
};

QTEST_MAIN(TestNotifications)
#include "tst_notifications.moc"
