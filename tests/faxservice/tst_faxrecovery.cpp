// The fax service after faults: killed in the middle of a transmission, a lost fax image, a
// corrupt spool database, leftovers of an unfinished step. Each case restarts the real daemon.
#include "FaxTestSupport.h"

#include <QDirIterator>
#include <QtTest>

using namespace sendmere;
using namespace sendmere::fax;
using namespace sendmere::faxtest;

class TestFaxRecovery : public QObject {
    Q_OBJECT

private:
    FaxServer m_server;
    QStringList m_events;

    QStringList queueIds()
    {
        QStringList ids;
        const FaxOutgoingJobs jobs = m_server.Folders().OutgoingQueue().GetJobs();
        for (int i = 1; i <= jobs.Count(); ++i)
            ids << jobs.Item(i).Id();
        return ids;
    }
    QString submitLater(const QString &name)
    {
        FaxDocument doc = document(QStringLiteral("5550100"), writeTextFile(name, name + QStringLiteral("\n")));
        doc.ScheduleType = ScheduleSpecificTime;
        doc.ScheduleTime = QDateTime::currentDateTime().addSecs(3600);
        return doc.ConnectedSubmit(m_server).first();
    }

private Q_SLOTS:
    void initTestCase()
    {
        writeConfig(QStringLiteral("[Transmission]\nSecondsPerPage=0\nDialDelaySeconds=1.5\n"));
        m_server.Connect(QString());
        recordEvents(m_server, m_events);
        m_server.ListenToServerEvents(0x3ff);
    }

    // kill -9 while a job is on the line: after the restart it is sent again, and the
    // archives hold it exactly once.
    void killedInTransmissionIsSentOnceAfterRestart()
    {
        const QString id = document(QStringLiteral("5550100"), writeTextFile(QStringLiteral("a.txt"), QStringLiteral("a\n")))
                               .ConnectedSubmit(m_server).first();
        QTRY_VERIFY_WITH_TIMEOUT(m_events.contains(QStringLiteral("JobChanged %1 2").arg(id)), 5000);
        killService();
        QVERIFY(queueIds().contains(id));  // this call starts the service again
        QTRY_VERIFY_WITH_TIMEOUT(messageIds(m_server.Folders().OutgoingArchive()).contains(id), 10000);
        QTest::qWait(300);
        QCOMPARE(messageIds(m_server.Folders().OutgoingArchive()).count(id), 1);
        QCOMPARE(messageIds(m_server.Folders().IncomingArchive()).size(), 1);
        QVERIFY(queueIds().isEmpty());
        QVERIFY(readLog().contains(QStringLiteral("job %1 was interrupted in transmission").arg(id)));
    }

    void missingImageFailsOnlyItsJob()
    {
        const QString lost = submitLater(QStringLiteral("lost.txt"));
        const QString kept = submitLater(QStringLiteral("kept.txt"));
        const QString received = messageIds(m_server.Folders().IncomingArchive()).first();
        killService();
        QVERIFY(QFile::remove(spoolRoot() + QStringLiteral("/queue/%1.tiff").arg(lost)));
        const QString receivedImage = spoolRoot() + QStringLiteral("/received/%1.tiff").arg(received);
        QVERIFY(QFile::rename(receivedImage, receivedImage + QStringLiteral(".away")));
        const FaxOutgoingQueue queue = m_server.Folders().OutgoingQueue();
        QCOMPARE(queue.GetJob(lost).Status(), int(StatusFailed));
        QVERIFY(queue.GetJob(lost).ExtendedStatus().contains(QStringLiteral("missing")));
        QCOMPARE(queue.GetJob(kept).Status(), int(StatusPending));
        QVERIFY(readLog().contains(QStringLiteral("job %1: its fax image").arg(lost)));
        // An archived message without its image keeps its entry; the log names the lost file.
        QCOMPARE(m_server.Folders().IncomingArchive().GetMessage(received).Id(), received);
        QVERIFY(readLog().contains(QStringLiteral("received %1: its fax image %2 is lost").arg(received, receivedImage)));
        try {
            m_server.Folders().IncomingArchive().GetMessage(received).CopyTiff(QDir::tempPath() + QStringLiteral("/gone.tiff"));
            QFAIL("a lost image was copied");
        } catch (const AutomationError &e) {
            QCOMPARE(e.number(), 53);
        }
        QVERIFY(QFile::rename(receivedImage + QStringLiteral(".away"), receivedImage));
        try {
            queue.GetJob(lost).CopyTiff(QDir::tempPath() + QStringLiteral("/lost.tiff"));
            QFAIL("a missing image was copied");
        } catch (const AutomationError &e) {
            QCOMPARE(e.number(), 53);
        }
    }

    // A database that is no database any more: the service starts, says so in its log, and
    // takes the queue and the archives back from the files beside it.
    void corruptDatabaseIsRebuiltFromTheFiles()
    {
        const QStringList queued = queueIds();
        const QStringList sent = messageIds(m_server.Folders().OutgoingArchive());
        const QStringList received = messageIds(m_server.Folders().IncomingArchive());
        QVERIFY(queued.size() == 2 && sent.size() == 1 && received.size() == 1);
        killService();
        QFile db(spoolRoot() + QStringLiteral("/spool.db"));
        QVERIFY(db.open(QIODevice::WriteOnly | QIODevice::Truncate));
        db.write(QByteArray(8192, '\x5a'));
        db.close();
        QFile::remove(db.fileName() + QStringLiteral("-wal"));
        QFile::remove(db.fileName() + QStringLiteral("-shm"));

        QCOMPARE(queueIds(), queued);
        QCOMPARE(messageIds(m_server.Folders().OutgoingArchive()), sent);
        QCOMPARE(messageIds(m_server.Folders().IncomingArchive()), received);
        QCOMPARE(m_server.Folders().OutgoingQueue().GetJob(queued.at(1)).Status(), int(StatusPending));
        QVERIFY(readLog().contains(QStringLiteral("spool database was corrupt")));
        QCOMPARE(QDir(spoolRoot()).entryList({QStringLiteral("spool.db.corrupt-*")}, QDir::Files).size(), 1);
        const QString fresh = submitLater(QStringLiteral("fresh.txt"));
        for (const QString &old : queued + sent + received)
            QVERIFY2(fresh.toLongLong(nullptr, 16) > old.toLongLong(nullptr, 16), qPrintable(fresh + u' ' + old));
    }

    // Files that no committed step owns (a crash between writing and committing) go away.
    void leftoversOfAnUnfinishedStepAreRemoved()
    {
        const QString image = spoolRoot() + QStringLiteral("/received/%1.tiff").arg(messageIds(m_server.Folders().IncomingArchive()).first());
        killService();
        const QString orphan = spoolRoot() + QStringLiteral("/sent/ffff0");
        QVERIFY(QFile::copy(image, orphan + QStringLiteral(".tiff")));
        QVERIFY(QFileInfo::exists(orphan + QStringLiteral(".tiff")));
        const QString part = spoolRoot() + QStringLiteral("/queue/ffff1.tiff.part");
        QVERIFY(QFile::copy(orphan + QStringLiteral(".tiff"), part));
        QVERIFY(!messageIds(m_server.Folders().OutgoingArchive()).contains(QStringLiteral("ffff0")));
        QVERIFY(!QFileInfo::exists(orphan + QStringLiteral(".tiff")));
        QVERIFY(!QFileInfo::exists(part));
        QVERIFY(readLog().contains(QStringLiteral("sent ffff0: removed files of an unfinished step")));
    }
};

QTEST_MAIN(TestFaxRecovery)
#include "tst_faxrecovery.moc"
