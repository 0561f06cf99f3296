// The service ends by itself when it has had nothing to do for its idle time, tells its
// clients so, and a later call starts it again; a job waiting for its time keeps it alive.
#include "FaxTestSupport.h"

#include <QtTest>

using namespace sendmere;
using namespace sendmere::fax;
using namespace sendmere::faxtest;

class TestFaxIdle : public QObject {
    Q_OBJECT

private Q_SLOTS:
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
