// The local fax service through the client objects the program uses: the real daemon on the
// test's private bus, real TIFFs, real events.
#include "FaxTestSupport.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

using namespace sendmere;
using namespace sendmere::fax;
using namespace sendmere::faxtest;

class TestFaxService : public QObject {
    Q_OBJECT

private:
    FaxServer m_server;
    QStringList m_events;
    QTime m_discountStart;

    int queueCount() { return m_server.Folders().OutgoingQueue().GetJobs().Count(); }
    bool waitForEvent(const QString &event, int timeoutMs = 10000)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (!m_events.contains(event) && !deadline.hasExpired())
            QTest::qWait(20);
        return m_events.contains(event);
    }
    QStringList eventsAbout(const QString &id) const
    {
        QStringList about;
        for (const QString &e : m_events)
            if (e.section(u' ', 1, 1) == id)
                about << e;
        return about;
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_discountStart = QTime::currentTime().addSecs(3 * 3600);
        writeConfig(QStringLiteral("[Transmission]\nSecondsPerPage=0\nDialDelaySeconds=0.5\n"
                                   "[Schedule]\nRetries=2\nRetryIntervalSeconds=0.2\nDiscountStart=%1\nDiscountEnd=%2\n"
                                   "[Device1]\nName=Sendmere Virtual Modem\nCSID=Loop CSID\nTSID=Loop TSID\nBusyNumbers=5550199\n")
                        .arg(m_discountStart.toString(QStringLiteral("HH:mm")),
                             m_discountStart.addSecs(3600).toString(QStringLiteral("HH:mm"))));
        QVERIFY(!serviceRunning());
        m_server.Connect(QString());  // starts the daemon: nothing owns the name yet
        QVERIFY(serviceRunning());
        recordEvents(m_server, m_events);
        m_server.ListenToServerEvents(0x3ff);
        QCOMPARE(m_server.GetDevices().Count(), 1);
        QCOMPARE(m_server.GetDevices().Item(1).DeviceName(), QStringLiteral("Sendmere Virtual Modem"));
    }

    // One fax from submission to both archives; the events come in the order things happened.
    void submissionGoesThroughQueueToBothArchives()
    {
        QTemporaryDir dir;
        FaxDocument doc = document(QStringLiteral("5550100"), writePdf(QStringLiteral("two.pdf"), 2));
        doc.CoverPageType = CoverPageServer;
        doc.CoverPage = QStringLiteral("general.svg");
        doc.Note = QStringLiteral("Please read");
        const QStringList ids = doc.ConnectedSubmit(m_server);
        QCOMPARE(ids.size(), 1);
        QFile::remove(doc.Body);  // the program deletes its body copy right after the submission
        const QString id = ids.first();
        QVERIFY(waitForEvent(QStringLiteral("SentAdded ") + id));
        QCOMPARE(eventsAbout(id), (QStringList{QStringLiteral("JobAdded ") + id, QStringLiteral("JobChanged %1 2").arg(id),
                                               QStringLiteral("JobChanged %1 256").arg(id), QStringLiteral("JobRemoved ") + id,
                                               QStringLiteral("SentAdded ") + id}));
        const int sentAt = m_events.indexOf(QStringLiteral("SentAdded ") + id);
        // The loopback's reception is told right after, but may arrive a moment later.
        QTRY_VERIFY(m_events.size() > sentAt + 1);
        QVERIFY(m_events.value(sentAt + 1).startsWith(QStringLiteral("ReceivedAdded ")));
        const QString receivedId = m_events.value(sentAt + 1).section(u' ', 1);

        expectError([&] { m_server.Folders().OutgoingQueue().GetJob(id); }, 5, id);
        const FaxMessage sent = m_server.Folders().OutgoingArchive().GetMessage(id);
        QCOMPARE(sent.Subject(), QStringLiteral("Test fax"));
        QCOMPARE(sent.Recipient().FaxNumber, QStringLiteral("5550100"));
        QCOMPARE(sent.Recipient().Name, QStringLiteral("Ann Example"));
        QCOMPARE(sent.Sender().Name, QStringLiteral("Bob Sender"));
        QCOMPARE(sent.Pages(), 3);
        QCOMPARE(sent.CSID(), QStringLiteral("Loop CSID"));
        QCOMPARE(sent.TSID(), QStringLiteral("5550111"));
        QVERIFY(sent.TransmissionStart().isValid());
        QVERIFY(sent.TransmissionEnd() >= sent.TransmissionStart());
        QVERIFY(sent.OriginalScheduledTime().isValid());
        const QString sentCopy = dir.filePath(QStringLiteral("sent.tiff"));
        sent.CopyTiff(sentCopy);
        QCOMPARE(tiffPages(sentCopy), 3);

        const FaxMessage received = m_server.Folders().IncomingArchive().GetMessage(receivedId);
        QCOMPARE(received.CallerId(), QStringLiteral("5550111"));
        QCOMPARE(received.TSID(), QStringLiteral("5550111"));
        QCOMPARE(received.CSID(), QStringLiteral("Loop CSID"));
        QCOMPARE(received.DeviceName(), QStringLiteral("Sendmere Virtual Modem"));
        QCOMPARE(received.Pages(), 3);
        QCOMPARE(queueCount(), 0);
    }

    // The preview: copy the image as the job is announced (whole, every page already there),
    // then cancel it while it is sent.
    void previewCopiesTheImageThenCancels()
    {
        QTemporaryDir dir;
        QString copied;
        auto onAdd = connect(&m_server, &FaxServer::OnOutgoingJobAdded, this, [&](FaxServer *server, const QString &id) {
            copied = dir.filePath(QStringLiteral("fax%1.tiff").arg(id));
            server->Folders().OutgoingQueue().GetJob(id).CopyTiff(copied);
            server->Folders().OutgoingQueue().GetJob(id).Cancel();
        });
        FaxDocument doc = document(QStringLiteral("5550100"), writePdf(QStringLiteral("preview.pdf"), 2));
        doc.CoverPageType = CoverPageServer;
        doc.CoverPage = QStringLiteral("general.svg");
        const QString id = doc.ConnectedSubmit(m_server).first();
        QVERIFY(waitForEvent(QStringLiteral("JobRemoved ") + id));
        disconnect(onAdd);
        QCOMPARE(tiffPages(copied), 3);
        QVERIFY(m_events.contains(QStringLiteral("JobChanged %1 512").arg(id)));
        QTest::qWait(800);  // longer than a transmission: nothing may reach the archive
        QVERIFY(!m_events.contains(QStringLiteral("SentAdded ") + id));
        expectError([&] { m_server.Folders().OutgoingArchive().GetMessage(id); }, 5, id);
        QVERIFY(!QFileInfo::exists(spoolRoot() + QStringLiteral("/queue/%1.tiff").arg(id)));
    }

    void badRequestsGetErrorsAndTheServiceStaysUp()
    {
        const FaxFolders folders = m_server.Folders();
        expectError([&] { folders.OutgoingQueue().GetJob(QStringLiteral("not-an-id")); }, 5, QStringLiteral("not-an-id"));
        expectError([&] { folders.IncomingArchive().GetMessage(QString()); }, 5, QStringLiteral("incoming"));
        expectError([&] { folders.OutgoingArchive().GetMessage(QStringLiteral("1")); }, 5, QStringLiteral("\"1\""));
        const QString anySent = messageIds(folders.OutgoingArchive()).value(0);
        QVERIFY(!anySent.isEmpty());
        expectError([&] { folders.OutgoingArchive().GetMessage(anySent).CopyTiff(QStringLiteral("/no/such/dir/x.tiff")); }, 75,
                    QStringLiteral("/no/such/dir/x.tiff"));
        expectError([&] { folders.OutgoingArchive().GetMessage(anySent).CopyTiff(QDir::tempPath()); }, 75, QDir::tempPath());
        expectError([&] { FaxDevice device = m_server.GetDevices().Item(1); device.AnswerCall(); }, 440, QStringLiteral("No call is ringing"));
        expectError([&] { m_server.GetDevices().Item(2); }, 9, QStringLiteral("Subscript"));
        expectError([&] { folders.OutgoingQueue().GetJobs().Item(0); }, 9, QStringLiteral("Subscript"));
        expectError([&] { folders.IncomingArchive().GetMessages(0); }, 5, QStringLiteral("prefetch"));
        // Another client may leave properties out or send them of other types.
        const QVariantMap sparse{{QStringLiteral("Recipients"), QVariantList{QVariantMap{{QStringLiteral("FaxNumber"), 123}}}},
                                 {QStringLiteral("Body"), writeTextFile(QStringLiteral("raw.txt"), QStringLiteral("raw\n"))},
                                 {QStringLiteral("Sender"), QStringLiteral("not a map")},
                                 {QStringLiteral("ScheduleTime"), QStringLiteral("soon")}};
        const QDBusMessage reply = busCall(QStringLiteral("Submit"), {sparse});
        QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
        const QString rawId = reply.arguments().value(0).toStringList().value(0);
        QVERIFY(waitForEvent(QStringLiteral("SentAdded ") + rawId));
        const FaxMessage rawSent = folders.OutgoingArchive().GetMessage(rawId);
        QCOMPARE(rawSent.Recipient().FaxNumber, QStringLiteral("123"));
        QCOMPARE(rawSent.Subject(), QString());
        FaxServer unconnected;
        expectError([&] { unconnected.Folders(); }, 91, QStringLiteral("Object variable"));
        expectError([&] { unconnected.Connect(QStringLiteral("faxhost.example")); }, 462, QStringLiteral("faxhost.example"));
        QVERIFY(serviceRunning());
        QCOMPARE(m_server.GetDevices().Count(), 1);
    }

    // A body that cannot become a fax fails the submission with the file's name and reason,
    // and nothing of it stays in the queue or the spool.
    void unrenderableSubmissionsQueueNothing()
    {
        const int before = queueCount();
        const QString missing = QDir::tempPath() + QStringLiteral("/no-such-body.pdf");
        expectError([&] { document(QStringLiteral("5550100"), missing).ConnectedSubmit(m_server); }, 53, missing);
        const QString junk = QDir::tempPath() + QStringLiteral("/junk.xyz");
        writeFile(junk, QByteArray::fromHex("000102fffe0062696e617279"));
        const QString badPdf = writeTextFile(QStringLiteral("broken.pdf"), QStringLiteral("%PDF-1.4 this is no pdf"));
        for (const QString &bad : {junk, badPdf}) {
            try {
                document(QStringLiteral("5550100"), bad).ConnectedSubmit(m_server);
                QFAIL(qPrintable(bad + QStringLiteral(" was accepted")));
            } catch (const AutomationError &e) {
                QVERIFY2(e.text().contains(QFileInfo(bad).fileName()), qPrintable(e.text()));
            }
        }
        expectError([&] { document(QStringLiteral("5550100"), QDir::tempPath()).ConnectedSubmit(m_server); }, 75, QDir::tempPath());
        FaxDocument noCover = document(QStringLiteral("5550100"));
        noCover.CoverPageType = CoverPageServer;
        noCover.CoverPage = QStringLiteral("no-such-template.svg");
        expectError([&] { noCover.ConnectedSubmit(m_server); }, 53, QStringLiteral("no-such-template.svg"));
        expectError([&] { document(QStringLiteral("5550100")).ConnectedSubmit(m_server); }, 5, QStringLiteral("neither a cover page nor a body"));
        FaxDocument nobody = document(QStringLiteral("5550100"), badPdf);
        nobody.Recipients = FaxRecipients();
        expectError([&] { nobody.ConnectedSubmit(m_server); }, 5, QStringLiteral("no recipient"));

        QCOMPARE(queueCount(), before);
        QCOMPARE(QDir(spoolRoot() + QStringLiteral("/queue")).entryList(QDir::Files).size(), before * 2);  // image + sidecar
        QVERIFY(serviceRunning());
    }

    void schedulingHoldsJobsAndSendsByPriority()
    {
        FaxDocument later = document(QStringLiteral("5550100"), writeTextFile(QStringLiteral("later.txt"), QStringLiteral("later\n")));
        later.ScheduleType = ScheduleSpecificTime;
        later.ScheduleTime = QDateTime::currentDateTime().addSecs(3600);
        const QString laterId = later.ConnectedSubmit(m_server).first();
        FaxDocument discount = later;
        discount.ScheduleType = ScheduleDiscountPeriod;
        const QString discountId = discount.ConnectedSubmit(m_server).first();

        // Two more of normal priority fall due while the first job is on the line: of the jobs of
        // one priority, the one due first goes first, whatever the order they were submitted in.
        const QDateTime soon = QDateTime::currentDateTime().addMSecs(3000);
        QStringList normalsByTime;
        for (int ms : {300, 100}) {
            FaxDocument doc = later;
            doc.ScheduleType = ScheduleSpecificTime;
            doc.ScheduleTime = soon.addMSecs(ms);
            doc.Priority = PriorityNormal;
            normalsByTime.prepend(doc.ConnectedSubmit(m_server).first());
        }
        QList<QString> byPriority;
        for (int priority : {PriorityLow, PriorityNormal, PriorityHigh}) {
            FaxDocument doc = later;
            doc.ScheduleType = ScheduleSpecificTime;
            doc.ScheduleTime = soon;
            doc.Priority = priority;
            byPriority.append(doc.ConnectedSubmit(m_server).first());
        }
        for (const QString &id : byPriority + normalsByTime)
            QVERIFY(waitForEvent(QStringLiteral("SentAdded ") + id, 15000));
        auto sentAt = [&](const QString &id) { return m_events.indexOf(QStringLiteral("SentAdded ") + id); };
        QVERIFY(sentAt(byPriority[2]) < sentAt(byPriority[1]));
        QVERIFY(sentAt(byPriority[1]) < sentAt(normalsByTime[0]));
        QVERIFY(sentAt(normalsByTime[0]) < sentAt(normalsByTime[1]));
        QVERIFY(sentAt(normalsByTime[1]) < sentAt(byPriority[0]));

        const FaxOutgoingJob held = m_server.Folders().OutgoingQueue().GetJob(laterId);
        QCOMPARE(held.Status(), int(StatusPending));
        QVERIFY(qAbs(held.ScheduledTime().secsTo(later.ScheduleTime)) <= 1);
        const FaxOutgoingJob discounted = m_server.Folders().OutgoingQueue().GetJob(discountId);
        QCOMPARE(discounted.Status(), int(StatusPending));
        QCOMPARE(discounted.ScheduledTime().time().toString(QStringLiteral("HH:mm")), m_discountStart.toString(QStringLiteral("HH:mm")));
        QVERIFY(discounted.ScheduledTime() > QDateTime::currentDateTime());

        // A collection reads its jobs' properties when one is first asked for, all at once:
        // a job that left the queue in between keeps its id, the others read as they are.
        const FaxOutgoingJobs queued = m_server.Folders().OutgoingQueue().GetJobs();
        m_server.Folders().OutgoingQueue().GetJob(laterId).Cancel();
        QVERIFY(waitForEvent(QStringLiteral("JobRemoved ") + laterId));
        QStringList ids;
        for (int i = 1; i <= queued.Count(); ++i) {
            const FaxOutgoingJob &job = queued.Item(i);
            ids << job.Id();
            if (job.Id() == discountId)
                QCOMPARE(job.ScheduledTime(), discounted.ScheduledTime());
            if (job.Id() == laterId)
                QCOMPARE(job.Status(), 0);
        }
        QVERIFY(ids.contains(laterId) && ids.contains(discountId));
        m_server.Folders().OutgoingQueue().GetJob(discountId).Cancel();
    }

    void busyNumberIsRetriedThenGivenUp()
    {
        const QString id = document(QStringLiteral("5550199"), writeTextFile(QStringLiteral("busy.txt"), QStringLiteral("busy\n")))
                               .ConnectedSubmit(m_server).first();
        QVERIFY(waitForEvent(QStringLiteral("JobChanged %1 128").arg(id), 15000));
        QCOMPARE(eventsAbout(id).filter(QStringLiteral(" 64")).size(), 2);
        FaxOutgoingJob job = m_server.Folders().OutgoingQueue().GetJob(id);
        QCOMPARE(job.Status(), int(StatusRetriesExceeded));
        QCOMPARE(job.Retries(), 3);
        QCOMPARE(job.ExtendedStatus(), QStringLiteral("Line busy"));
        job.Cancel();
        QVERIFY(waitForEvent(QStringLiteral("JobRemoved ") + id));
    }

    void ringingCallIsAnsweredIntoTheIncomingArchive()
    {
        FaxDevice device = m_server.GetDevices().Item(1);
        device.SimulateIncomingCall(QStringLiteral("5550123"), writeTextFile(QStringLiteral("call.txt"), QStringLiteral("incoming\n")));
        QVERIFY(waitForEvent(QStringLiteral("Call 1 5550123")));
        expectError([&] { device.SimulateIncomingCall(QStringLiteral("5550124"), QDir::tempPath() + QStringLiteral("/call.txt")); }, 440,
                    QStringLiteral("busy"));
        device.AnswerCall();
        QTRY_VERIFY_WITH_TIMEOUT(m_events.last().startsWith(QStringLiteral("ReceivedAdded ")), 10000);
        const QString id = m_events.last().section(u' ', 1);
        QCOMPARE(m_events.mid(m_events.size() - 3),
                 (QStringList{QStringLiteral("InJobAdded ") + id, QStringLiteral("InJobRemoved ") + id, QStringLiteral("ReceivedAdded ") + id}));
        const FaxMessage message = m_server.Folders().IncomingArchive().GetMessage(id);
        QCOMPARE(message.CallerId(), QStringLiteral("5550123"));
        QCOMPARE(message.Pages(), 1);
        expectError([&] { device.AnswerCall(); }, 440, QStringLiteral("No call is ringing"));
    }

    // Walking an archive in pages smaller than it gives every message once, in id order,
    // whatever the page size; a deleted message leaves the archive and the spool.
    void iteratorWalksEveryPageAndDeleteRemoves()
    {
        const FaxArchive incoming = m_server.Folders().IncomingArchive();
        const QStringList all = messageIds(incoming, 100);
        QVERIFY(all.size() >= 4);
        QCOMPARE(messageIds(incoming, 1), all);
        for (int i = 1; i < all.size(); ++i)
            QVERIFY(all.at(i - 1).toLongLong(nullptr, 16) < all.at(i).toLongLong(nullptr, 16));
        QCOMPARE(messageIds(incoming, 3), all);
        auto it = incoming.GetMessages(2);
        while (!it.AtEOF())
            it.MoveNext();
        expectError([&] { it.Message(); }, 5, QStringLiteral("past the last"));

        const QString victim = all.first();
        incoming.GetMessage(victim).Delete();
        QVERIFY(waitForEvent(QStringLiteral("ReceivedRemoved ") + victim));
        QVERIFY(!messageIds(incoming).contains(victim));
        QVERIFY(!QFileInfo::exists(spoolRoot() + QStringLiteral("/received/%1.tiff").arg(victim)));
        expectError([&] { incoming.GetMessage(victim).Delete(); }, 5, victim);
    }

    void spoolIsPrivateToTheUser()
    {
        QDirIterator it(spoolRoot(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
        int files = 0;
        const auto perms = [](const QFileInfo &info) { return int(info.permissions() & 0x0777); };
        QCOMPARE(perms(QFileInfo(spoolRoot())), 0x0700);
        while (it.hasNext()) {
            const QFileInfo info(it.next());
            QCOMPARE(perms(info), info.isDir() ? 0x0700 : 0x0600);
            files += info.isFile();
        }
        QVERIFY(files > 5);
    }

    // A dead service raises 462 within seconds; the next call that can start it again does.
    void deadServiceRaisesThenRestarts()
    {
        killService();
        const QByteArray binDir = qgetenv("SENDMERE_TEST_BIN_DIR");
        QTemporaryDir empty;
        qputenv("SENDMERE_TEST_BIN_DIR", empty.path().toUtf8());
        QElapsedTimer timer;
        timer.start();
        expectError([&] { m_server.GetDevices(); }, 462, QStringLiteral("The remote server machine does not exist or is unavailable"));
        QVERIFY(timer.elapsed() < 20000);  // a guard against a hang, not a speed goal
        qputenv("SENDMERE_TEST_BIN_DIR", binDir);
        QCOMPARE(m_server.GetDevices().Count(), 1);
        const QString id = document(QStringLiteral("5550100"), writeTextFile(QStringLiteral("after.txt"), QStringLiteral("after\n")))
                               .ConnectedSubmit(m_server).first();
        QVERIFY(waitForEvent(QStringLiteral("SentAdded ") + id));  // events follow the new instance
    }
};

QTEST_MAIN(TestFaxService)
#include "tst_faxservice.moc"
