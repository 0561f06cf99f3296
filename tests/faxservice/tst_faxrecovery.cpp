// The fax service after faults: killed in the middle of a transmission, a lost fax image, a
// corrupt spool database, leftovers of an unfinished step. Each case restarts the real daemon.
#include "FaxTestSupport.h"

#include <QDirIterator>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>
#include <optional>
#include <thread>

using namespace sendmere;
using namespace sendmere::fax;
using namespace sendmere::faxtest;

namespace {
qint64 idNumber(const QString &id) { return id.toLongLong(nullptr, 16); }
}  // namespace

class TestFaxRecovery : public QObject {
    Q_OBJECT

private:
    FaxServer m_server;
    QStringList m_events;

    QStringList queueIds() { return faxtest::queueIds(m_server); }
    QStringList imagesOf(const QString &folder, const QStringList &ids)
    {
        QStringList missing;
        for (const QString &id : ids)
            if (!QFileInfo::exists(spoolRoot() + QStringLiteral("/%1/%2.tiff").arg(folder, id)))
                missing << id;
        return missing;
    }
    // Runs SQL on the spool database while the service is down.
    static void editDatabase(const QStringList &statements)
    {
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("edit"));
            db.setDatabaseName(spoolRoot() + QStringLiteral("/spool.db"));
            QVERIFY(db.open());
            for (const QString &sql : statements) {
                QSqlQuery q(db);
                QVERIFY2(q.exec(sql), qPrintable(sql));
                QCOMPARE(q.numRowsAffected(), 1);
            }
            db.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("edit"));
    }
    // Replaces the spool database (and its journal) with the given bytes, or deletes it.
    static void replaceDatabase(const std::optional<QByteArray> &bytes)
    {
        const QString db = spoolRoot() + QStringLiteral("/spool.db");
        QFile::remove(db + QStringLiteral("-wal"));
        QFile::remove(db + QStringLiteral("-shm"));
        if (bytes)
            writeFile(db, *bytes);
        else
            QVERIFY(QFile::remove(db));
    }
    QString submitLater(const QString &name) { return faxtest::submitLater(m_server, name); }

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
        expectError([&] { m_server.Folders().IncomingArchive().GetMessage(received).CopyTiff(QDir::tempPath() + QStringLiteral("/gone.tiff")); },
                    53, QString());
        QVERIFY(QFile::rename(receivedImage + QStringLiteral(".away"), receivedImage));
        expectError([&] { queue.GetJob(lost).CopyTiff(QDir::tempPath() + QStringLiteral("/lost.tiff")); }, 53, QString());
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
        replaceDatabase(QByteArray(8192, '\x5a'));

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

    // A deleted or an emptied database knows nothing, the files do: the queue and both
    // archives are taken back from the sidecars and no image is deleted.
    void missingOrEmptyDatabaseIsRebuiltFromTheFiles()
    {
        const QStringList queued = queueIds();
        const QStringList sent = messageIds(m_server.Folders().OutgoingArchive());
        const QStringList received = messageIds(m_server.Folders().IncomingArchive());
        QVERIFY(queued.size() == 3 && sent.size() == 1 && received.size() == 1);
        const QStringList imageless = imagesOf(QStringLiteral("queue"), queued);  // the job whose image was lost before
        QCOMPARE(imageless.size(), 1);
        for (const bool emptied : {false, true}) {
            killService();
            replaceDatabase(emptied ? std::optional<QByteArray>(QByteArray()) : std::nullopt);
            QCOMPARE(queueIds(), queued);
            QCOMPARE(messageIds(m_server.Folders().OutgoingArchive()), sent);
            QCOMPARE(messageIds(m_server.Folders().IncomingArchive()), received);
            QCOMPARE(imagesOf(QStringLiteral("queue"), queued), imageless);
            QCOMPARE(imagesOf(QStringLiteral("sent"), sent), QStringList());
            QCOMPARE(imagesOf(QStringLiteral("received"), received), QStringList());
            QCOMPARE(m_server.Folders().OutgoingQueue().GetJob(queued.last()).Status(), int(StatusPending));
        }
        QCOMPARE(readLog().count(QStringLiteral("is missing or empty: rebuilding")), 2);
        QVERIFY(!readLog().contains(QStringLiteral("removed the files")));
    }

    // What the service cannot understand is kept in quarantine with a log line naming it: a
    // row that is no JSON is taken back from its sidecar; a row and a sidecar both broken,
    // a sidecar of the wrong types and an unreadable sidecar in a rebuild go to quarantine,
    // images and all. No job comes back with a status or page count that never moves.
    void whatCannotBeUnderstoodIsQuarantined()
    {
        const QString anonymous = submitLater(QStringLiteral("anonymous.txt"));
        const QStringList queued = queueIds();
        const QString received = messageIds(m_server.Folders().IncomingArchive()).first();
        const QString quarantine = spoolRoot() + QStringLiteral("/quarantine/");
        const qsizetype logBefore = readLog().size();
        killService();
        editDatabase({QStringLiteral("UPDATE jobs SET props='{broken' WHERE id=%1").arg(idNumber(queued.at(0))),
                      QStringLiteral("UPDATE messages SET props='not json' WHERE folder=2 AND id=%1").arg(idNumber(received))});
        writeFile(spoolRoot() + QStringLiteral("/received/%1.json").arg(received), "garbage");
        QCOMPARE(queueIds(), queued);  // the job's row was taken back from its sidecar
        QCOMPARE(m_server.Folders().OutgoingQueue().GetJob(queued.at(0)).Status(), int(StatusFailed));
        QVERIFY(!messageIds(m_server.Folders().IncomingArchive()).contains(received));
        for (const char *suffix : {".tiff", ".json", ".row"})
            QVERIFY2(QFileInfo::exists(quarantine + QStringLiteral("received-") + received + QLatin1String(suffix)), suffix);
        QCOMPARE(tiffPages(quarantine + QStringLiteral("received-%1.tiff").arg(received)), 1);
        QVERIFY(readLog().contains(QStringLiteral("received %1: unreadable properties in the spool database and no usable sidecar; "
                                                  "kept in quarantine as %2received-%1.tiff").arg(received, quarantine)));

        // A rebuild meets a sidecar of the wrong types and one that is no JSON at all.
        killService();
        writeFile(spoolRoot() + QStringLiteral("/queue/%1.json").arg(queued.at(1)),
                  QStringLiteral(R"({"Id":"%1","Status":"x","Pages":1000000000000})").arg(queued.at(1)).toUtf8());
        writeFile(spoolRoot() + QStringLiteral("/queue/%1.json").arg(queued.at(2)),
                  QStringLiteral(R"({"Id":"%1","Status":1,"Pages":1000000000000,"Recipient":{"FaxNumber":"1"}})").arg(queued.at(2)).toUtf8());
        writeFile(spoolRoot() + QStringLiteral("/queue/%1.json").arg(anonymous),
                  QStringLiteral(R"({"Id":"%1","Status":1,"Pages":1,"Recipient":{"Name":"R"}})").arg(anonymous).toUtf8());
        QVERIFY(QFile::remove(spoolRoot() + QStringLiteral("/spool.db")));
        QCOMPARE(queueIds(), QStringList{queued.at(0)});
        for (const QString &id : {queued.at(1), queued.at(2)}) {
            QCOMPARE(tiffPages(quarantine + QStringLiteral("queue-%1.tiff").arg(id)), 1);
            QVERIFY(QFileInfo::exists(quarantine + QStringLiteral("queue-%1.json").arg(id)));
        }
        QVERIFY(readLog().contains(QStringLiteral("queue %1: Status is not a number; kept in quarantine").arg(queued.at(1))));
        QVERIFY(readLog().contains(QStringLiteral("queue %1: 1000000000000 pages is no fax; kept in quarantine").arg(queued.at(2))));
        QVERIFY(readLog().contains(QStringLiteral("queue %1: the job has no recipient; kept in quarantine").arg(anonymous)));
        QVERIFY(!readLog().mid(logBefore).contains(QStringLiteral("is lost")));
    }

    // The service ends while it renders a submission: the client sends it once more under
    // the same submission id and the fax is queued once, not lost and not twice.
    void submissionSurvivesTheServiceEndingMidRender()
    {
        FaxDocument doc = document(QStringLiteral("5550177"), writeTextFile(QStringLiteral("mid.txt"), QStringLiteral("line\n").repeated(60 * 200)));
        doc.Subject = QStringLiteral("mid-render");
        doc.ScheduleType = ScheduleSpecificTime;
        doc.ScheduleTime = QDateTime::currentDateTime().addSecs(3600);
        queueIds();  // the service runs
        const qsizetype leftoversBefore = readLog().count(QStringLiteral("a file of an unfinished step"));
        const uint pid = bus()->servicePid(QStringLiteral("org.sendmere.Fax"));
        std::thread killer([pid] {
            QThread::msleep(300);
            ::kill(pid_t(pid), SIGKILL);
        });
        const QStringList ids = doc.ConnectedSubmit(m_server);
        killer.join();
        QCOMPARE(ids.size(), 1);
        QVERIFY(bus()->servicePid(QStringLiteral("org.sendmere.Fax")) != pid);
        int withSubject = 0;
        for (const QString &id : queueIds())
            withSubject += m_server.Folders().OutgoingQueue().GetJob(id).Subject() == doc.Subject ? 1 : 0;
        QCOMPARE(withSubject, 1);
        QVERIFY(queueIds().contains(ids.first()));
        // The kill came while it rendered: the restarted service removed the render's files.
        QVERIFY(readLog().count(QStringLiteral("a file of an unfinished step")) > leftoversBefore);
    }

    // Files that no committed step owns: a .part file is the leftover of a step the database
    // never committed and goes; an image nobody can account for is quarantined, not deleted.
    void leftoversOfAnUnfinishedStepAreRemoved()
    {
        const QString image = spoolRoot() + QStringLiteral("/sent/%1.tiff").arg(messageIds(m_server.Folders().OutgoingArchive()).first());
        killService();
        const QString orphan = spoolRoot() + QStringLiteral("/sent/ffff0");
        QVERIFY(QFile::copy(image, orphan + QStringLiteral(".tiff")));
        const QString part = spoolRoot() + QStringLiteral("/queue/ffff1.tiff.part");
        QVERIFY(QFile::copy(orphan + QStringLiteral(".tiff"), part));
        QVERIFY(!messageIds(m_server.Folders().OutgoingArchive()).contains(QStringLiteral("ffff0")));
        QVERIFY(!QFileInfo::exists(orphan + QStringLiteral(".tiff")));
        QVERIFY(QFileInfo::exists(spoolRoot() + QStringLiteral("/quarantine/sent-ffff0.tiff")));
        QVERIFY(!QFileInfo::exists(part));
        QVERIFY(readLog().contains(QStringLiteral("queue: removed ffff1.tiff.part, a file of an unfinished step")));
        QVERIFY(readLog().contains(QStringLiteral("sent ffff0: no readable sidecar; kept in quarantine")));
    }
};

QTEST_MAIN(TestFaxRecovery)
#include "tst_faxrecovery.moc"
