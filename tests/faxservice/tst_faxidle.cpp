// The service is started by the bus, ends by itself once idle (telling its clients), and comes back; a waiting job keeps it up.
#include "FaxTestSupport.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace sendmere;
using namespace sendmere::fax;
using namespace sendmere::faxtest;

class TestFaxIdle : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Installed, the bus starts the service: no daemon beside the client is needed.
    void busActivationStartsTheService() {
        const QString binDir = qEnvironmentVariable("SENDMERE_TEST_BIN_DIR");
        const QString file = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + u"/dbus-1/services/org.sendmere.Fax.service"_s;
        writeFile(file, u"[D-BUS Service]\nName=org.sendmere.Fax\nExec=%1/sendmere-faxd\n"_s.arg(binDir).toUtf8());
        const QString dbus = u"org.freedesktop.DBus"_s;
        const QDBusMessage reload = QDBusMessage::createMethodCall(dbus, u"/org/freedesktop/DBus"_s, dbus, u"ReloadConfig"_s);
        QCOMPARE(QDBusConnection::sessionBus().call(reload).type(), QDBusMessage::ReplyMessage);

        QTemporaryDir empty;  // the client cannot start the service itself
        qputenv("SENDMERE_TEST_BIN_DIR", empty.path().toUtf8());
        FaxServer server;
        server.Connect(QString());
        qputenv("SENDMERE_TEST_BIN_DIR", binDir.toUtf8());
        QVERIFY(serviceRunning());
        QCOMPARE(server.GetDevices().Count(), 1);
        killService();
        QVERIFY(QFile::remove(file));
        QCOMPARE(QDBusConnection::sessionBus().call(reload).type(), QDBusMessage::ReplyMessage);
    }

    void idleServiceEndsAndComesBack() {
        writeConfig(u"[Transmission]\nSecondsPerPage=0\nDialDelaySeconds=0\n[Service]\nIdleExitMinutes=0.03\n"_s);
        FaxServer server;
        server.Connect(QString());
        int shutDowns = 0;
        connect(&server, &FaxServer::OnServerShutDown, this, [&](FaxServer *) { ++shutDowns; });
        server.ListenToServerEvents(EventsServiceEnded);
        const QString id = document(u"5550100"_s, writeTextFile(u"idle.txt"_s, u"idle\n"_s), 4).ConnectedSubmit(server).first();
        QTest::qWait(3000);  // longer than the idle time: the waiting job keeps the service up
        QVERIFY(serviceRunning());
        QTRY_VERIFY_WITH_TIMEOUT(messageIds(server.Folders().OutgoingArchive()).contains(id), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!serviceRunning(), 15000);
        QTRY_COMPARE_WITH_TIMEOUT(shutDowns, 1, 2000);
        QCOMPARE(messageIds(server.Folders().OutgoingArchive()), QStringList{id});  // started again
        QVERIFY(serviceRunning());
        QVERIFY(readLog().contains(u"nothing to do"_s));
    }
};

QTEST_MAIN(TestFaxIdle)
#include "tst_faxidle.moc"
