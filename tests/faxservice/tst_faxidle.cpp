// How the service comes and goes: the bus starts it from its activation file; it ends by
// itself when it has had nothing to do for its idle time, tells its clients so, and a later
// call starts it again; a job waiting for its time keeps it alive.
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
    void busActivationStartsTheService()
    {
        const QString binDir = qEnvironmentVariable("SENDMERE_TEST_BIN_DIR");
        const QString services = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/dbus-1/services");
        QVERIFY(QDir().mkpath(services));
        QFile file(services + QStringLiteral("/org.sendmere.Fax.service"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QStringLiteral("[D-BUS Service]\nName=org.sendmere.Fax\nExec=%1/sendmere-faxd\n").arg(binDir).toUtf8());
        file.close();
        QDBusMessage reload = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                                                             QStringLiteral("org.freedesktop.DBus"), QStringLiteral("ReloadConfig"));
        QCOMPARE(QDBusConnection::sessionBus().call(reload).type(), QDBusMessage::ReplyMessage);

        QTemporaryDir empty;
        qputenv("SENDMERE_TEST_BIN_DIR", empty.path().toUtf8());
        FaxServer server;
        server.Connect(QString());
        qputenv("SENDMERE_TEST_BIN_DIR", binDir.toUtf8());
        QVERIFY(serviceRunning());
        QCOMPARE(server.GetDevices().Count(), 1);
        killService();
        QVERIFY(file.remove());
        QCOMPARE(QDBusConnection::sessionBus().call(reload).type(), QDBusMessage::ReplyMessage);
    }

    void idleServiceEndsAndComesBack()
    {
        writeConfig(QStringLiteral("[Transmission]\nSecondsPerPage=0\nDialDelaySeconds=0\n[Service]\nIdleExitMinutes=0.03\n"));
        FaxServer server;
        server.Connect(QString());
        int shutDowns = 0;
        connect(&server, &FaxServer::OnServerShutDown, this, [&](FaxServer *) { ++shutDowns; });
        server.ListenToServerEvents(EventsServiceEnded);

        FaxDocument doc = document(QStringLiteral("5550100"), writeTextFile(QStringLiteral("idle.txt"), QStringLiteral("idle\n")));
        doc.ScheduleType = ScheduleSpecificTime;
        doc.ScheduleTime = QDateTime::currentDateTime().addSecs(4);
        const QString id = doc.ConnectedSubmit(server).first();
        QTest::qWait(3000);  // longer than the idle time: the waiting job keeps the service up
        QVERIFY(serviceRunning());
        QTRY_VERIFY_WITH_TIMEOUT(messageIds(server.Folders().OutgoingArchive()).contains(id), 10000);

        QTRY_VERIFY_WITH_TIMEOUT(!serviceRunning(), 15000);
        QTRY_COMPARE_WITH_TIMEOUT(shutDowns, 1, 2000);
        QCOMPARE(messageIds(server.Folders().OutgoingArchive()), QStringList{id});  // started again
        QVERIFY(serviceRunning());
        QVERIFY(readLog().contains(QStringLiteral("nothing to do")));
    }
};

QTEST_MAIN(TestFaxIdle)
#include "tst_faxidle.moc"
