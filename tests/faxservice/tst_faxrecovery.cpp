// The fax service after faults, each case restarting the real daemon: kills, a lost image, a broken database, leftovers.
#include "FaxTestSupport.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>
#include <optional>
#include <thread>

using namespace sendmere;
using namespace sendmere::fax;
using namespace sendmere::faxtest;

class TestFaxRecovery : public QObject {
    Q_OBJECT

    FaxServer m_server;

    QStringList queueIds() { return faxtest::queueIds(m_server); }
    QStringList sentIds() { return messageIds(m_server.Folders().OutgoingArchive()); }
    QStringList receivedIds() { return messageIds(m_server.Folders().IncomingArchive()); }
    int status(const QString &id) { return m_server.Folders().OutgoingQueue().GetJob(id).Status(); }
    // The ids whose image is not in the spool folder.
    static QStringList imageless(const QString &folder, const QStringList &ids) {
        QStringList missing;
        for (const QString &id : ids)
            if (!QFileInfo::exists(spoolImage(folder, id)))
                missing << id;
        return missing;
    }
    // Runs SQL on the spool database while the service is down; each statement changes one row.
    static void editDatabase(const QStringList &statements) {
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"edit"_s);
            db.setDatabaseName(spoolRoot() + u"/spool.db"_s);
            QVERIFY(db.open());
            for (const QString &sql : statements) {
                QSqlQuery q(db);
                QVERIFY2(q.exec(sql) && q.numRowsAffected() == 1, qPrintable(sql));
            }
        }
        QSqlDatabase::removeDatabase(u"edit"_s);
    }

private Q_SLOTS:
    void initTestCase() {
        writeConfig(u"[Transmission]\nSecondsPerPage=0\nDialDelaySeconds=1.5\n"_s);
        m_server.Connect(QString());
    }

    // kill -9 while a job is on the line: after the restart it is sent again, and the archives hold it once.
    void killedInTransmissionIsSentOnceAfterRestart() {
        const QString id = document(u"5550100"_s, writeTextFile(u"a.txt"_s, u"a\n"_s)).ConnectedSubmit(m_server).first();
        QTRY_COMPARE_WITH_TIMEOUT(status(id), int(StatusInProgress), 5000);
        killService();
        QVERIFY(queueIds().contains(id));  // this call starts the service again
        QTRY_VERIFY_WITH_TIMEOUT(sentIds().contains(id), 10000);
        QTest::qWait(300);  // a second transmission would be archived by now
        QCOMPARE(sentIds().count(id), 1);
        QCOMPARE(receivedIds().size(), 1);
        QVERIFY(queueIds().isEmpty());
        QVERIFY(readLog().contains(u"job %1 was interrupted in transmission"_s.arg(id)));
    }

    // A lost image fails only its job; an archived message without its image keeps its entry and the log names the file.
    void missingImageFailsOnlyItsJob() {
        const QString lost = submitLater(m_server, u"lost.txt"_s), kept = submitLater(m_server, u"kept.txt"_s);
        const QString received = receivedIds().first(), receivedImage = spoolImage(u"received"_s, received);
        killService();
        QVERIFY(QFile::remove(spoolImage(u"queue"_s, lost)) && QFile::rename(receivedImage, receivedImage + u".away"_s));
        QCOMPARE(status(lost), int(StatusFailed));
        QVERIFY(m_server.Folders().OutgoingQueue().GetJob(lost).ExtendedStatus().contains(u"missing"_s));
        QCOMPARE(status(kept), int(StatusPending));
        QVERIFY(readLog().contains(u"job %1: its fax image"_s.arg(lost)));
        QCOMPARE(m_server.Folders().IncomingArchive().GetMessage(received).Id(), received);
        QVERIFY(readLog().contains(u"received %1: its fax image %2 is lost"_s.arg(received, receivedImage)));
        expectError([&] { m_server.Folders().IncomingArchive().GetMessage(received).CopyTiff(QDir::tempPath() + u"/gone.tiff"_s); }, 53, QString());
        QVERIFY(QFile::rename(receivedImage + u".away"_s, receivedImage));
        expectError([&] { m_server.Folders().OutgoingQueue().GetJob(lost).CopyTiff(QDir::tempPath() + u"/lost.tiff"_s); }, 53, QString());
    }

    // A corrupt, missing or empty database is rebuilt from the files beside it, deleting no image; new ids follow the old.
    void databaseIsRebuiltFromTheFiles() {
        const QStringList queued = queueIds(), sent = sentIds(), received = receivedIds();
        QVERIFY(queued.size() == 2 && sent.size() == 1 && received.size() == 1);
        const QStringList lost = imageless(u"queue"_s, queued);
        QCOMPARE(lost.size(), 1);
        const QString db = spoolRoot() + u"/spool.db"_s;
        for (const std::optional<QByteArray> &bytes : {std::optional(QByteArray(8192, '\x5a')), std::optional(QByteArray()), std::optional<QByteArray>()}) {
            killService();
            QFile::remove(db + u"-wal"_s);
            QFile::remove(db + u"-shm"_s);
            QFile::remove(db);
            if (bytes)
                writeFile(db, *bytes);
            QCOMPARE(queueIds(), queued);
            QCOMPARE(sentIds(), sent);
            QCOMPARE(receivedIds(), received);
            QCOMPARE(imageless(u"queue"_s, queued), lost);
            QCOMPARE(imageless(u"sent"_s, sent) + imageless(u"received"_s, received), QStringList());
            QCOMPARE(status(queued.at(1)), int(StatusPending));
        }
        const QString log = readLog();
        QVERIFY(log.contains(u"spool database was corrupt"_s));
        QCOMPARE(spoolFiles(QString(), u"spool.db.corrupt-*"_s).size(), 1);
        QCOMPARE(log.count(u"is missing or empty: rebuilding"_s), 2);
        QVERIFY(!log.contains(u"removed the files"_s));
        const QString fresh = submitLater(m_server, u"fresh.txt"_s);
        for (const QString &old : queued + sent + received)
            QVERIFY2(fresh.toLongLong(nullptr, 16) > old.toLongLong(nullptr, 16), qPrintable(fresh + u' ' + old));
    }

    // What cannot be understood goes to quarantine, images and all, with a log line; a row that is no JSON comes from its sidecar.
    void whatCannotBeUnderstoodIsQuarantined() {
        const QString anonymous = submitLater(m_server, u"anonymous.txt"_s), received = receivedIds().first();
        const QStringList queued = queueIds();
        const QString quarantine = spoolRoot() + u"/quarantine/"_s;
        const qsizetype logBefore = readLog().size();
        killService();
        editDatabase({u"UPDATE jobs SET props='{broken' WHERE id=%1"_s.arg(queued.at(0).toLongLong(nullptr, 16)),
                      u"UPDATE messages SET props='not json' WHERE folder=2 AND id=%1"_s.arg(received.toLongLong(nullptr, 16))});
        writeFile(spoolRoot() + u"/received/%1.json"_s.arg(received), "garbage");
        QCOMPARE(queueIds(), queued);  // the job's row was taken back from its sidecar
        QCOMPARE(status(queued.at(0)), int(StatusFailed));
        QVERIFY(!receivedIds().contains(received));
        QVERIFY(QFileInfo::exists(quarantine + u"received-%1.json"_s.arg(received)) && QFileInfo::exists(quarantine + u"received-%1.row"_s.arg(received)));
        QCOMPARE(tiffPages(quarantine + u"received-%1.tiff"_s.arg(received)), 1);
        QVERIFY(readLog().contains(u"received %1: unreadable properties in the spool database and no usable sidecar; kept in quarantine as %2received-%1.tiff"_s
                                       .arg(received, quarantine)));

        killService();
        const auto sidecar = [](const QString &id, const QString &json) { writeFile(spoolRoot() + u"/queue/%1.json"_s.arg(id), json.arg(id).toUtf8()); };
        sidecar(queued.at(1), uR"({"Id":"%1","Status":"x","Pages":1000000000000})"_s);
        sidecar(queued.at(2), uR"({"Id":"%1","Status":1,"Pages":1000000000000,"Recipient":{"FaxNumber":"1"}})"_s);
        sidecar(anonymous, uR"({"Id":"%1","Status":1,"Pages":1,"Recipient":{"Name":"R"}})"_s);
        QVERIFY(QFile::remove(spoolRoot() + u"/spool.db"_s));
        QCOMPARE(queueIds(), QStringList{queued.at(0)});
        for (const QString &id : {queued.at(1), queued.at(2)})
            QVERIFY(tiffPages(quarantine + u"queue-%1.tiff"_s.arg(id)) == 1 && QFileInfo::exists(quarantine + u"queue-%1.json"_s.arg(id)));
        const QString log = readLog();
        QVERIFY(log.contains(u"queue %1: Status is not a number; kept in quarantine"_s.arg(queued.at(1))));
        QVERIFY(log.contains(u"queue %1: 1000000000000 pages is no fax; kept in quarantine"_s.arg(queued.at(2))));
        QVERIFY(log.contains(u"queue %1: the job has no recipient; kept in quarantine"_s.arg(anonymous)));
        QVERIFY(!log.mid(logBefore).contains(u"is lost"_s));
    }

    // The service ends mid-render: the client sends the submission again under its id and the fax is queued once.
    void submissionSurvivesTheServiceEndingMidRender() {
        FaxDocument doc = document(u"5550177"_s, writeTextFile(u"mid.txt"_s, u"line\n"_s.repeated(60 * 200)), 3600);
        doc.Subject = u"mid-render"_s;
        queueIds();  // the service runs
        const qsizetype leftoversBefore = readLog().count(u"a file of an unfinished step"_s);
        const uint pid = bus()->servicePid(u"org.sendmere.Fax"_s);
        std::thread killer([pid] {
            QThread::msleep(300);
            ::kill(pid_t(pid), SIGKILL);
        });
        const QStringList ids = doc.ConnectedSubmit(m_server);
        killer.join();
        QCOMPARE(ids.size(), 1);
        QVERIFY(bus()->servicePid(u"org.sendmere.Fax"_s) != pid);
        int withSubject = 0;
        for (const QString &id : queueIds())
            withSubject += m_server.Folders().OutgoingQueue().GetJob(id).Subject() == doc.Subject;
        QCOMPARE(withSubject, 1);
        QVERIFY(queueIds().contains(ids.first()));
        // The kill came while it rendered: the restarted service removed the render's files.
        QVERIFY(readLog().count(u"a file of an unfinished step"_s) > leftoversBefore);
    }

    // A .part file of an uncommitted step goes; an image nobody can account for is quarantined, not deleted.
    void leftoversOfAnUnfinishedStepAreRemoved() {
        const QString image = spoolImage(u"sent"_s, sentIds().first());
        killService();
        const QString orphan = spoolImage(u"sent"_s, u"ffff0"_s), part = spoolRoot() + u"/queue/ffff1.tiff.part"_s;
        QVERIFY(QFile::copy(image, orphan) && QFile::copy(image, part));
        QVERIFY(!sentIds().contains(u"ffff0"_s));
        QVERIFY(!QFileInfo::exists(orphan) && !QFileInfo::exists(part));
        QVERIFY(QFileInfo::exists(spoolRoot() + u"/quarantine/sent-ffff0.tiff"_s));
        QVERIFY(readLog().contains(u"queue: removed ffff1.tiff.part, a file of an unfinished step"_s));
        QVERIFY(readLog().contains(u"sent ffff0: no readable sidecar; kept in quarantine"_s));
    }
};

QTEST_MAIN(TestFaxRecovery)
#include "tst_faxrecovery.moc"
