// The local fax service through the client objects the program uses: the real daemon on the test's bus, real TIFFs, real events.
#include "FaxTestSupport.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace sendmere;
using namespace sendmere::fax;
using namespace sendmere::faxtest;

class TestFaxService : public QObject {
    Q_OBJECT

    FaxServer m_server;
    QStringList m_events;  // "Name id [status]", in the order they arrive
    QTime m_discountStart;

    int queueCount() { return m_server.Folders().OutgoingQueue().GetJobs().Count(); }
    bool waitForEvent(const QString &event, int timeoutMs = 10000) { return QTest::qWaitFor([&] { return m_events.contains(event); }, timeoutMs); }
    QStringList eventsAbout(const QString &id) const { return m_events.filter(QRegularExpression(u"^\\w+ %1( |$)"_s.arg(id))); }
    void recordEvents() {
        const auto as = [this](const QString &name) { return [this, name](FaxServer *, const QString &id) { m_events << name + u' ' + id; }; };
        connect(&m_server, &FaxServer::OnOutgoingJobAdded, this, as(u"JobAdded"_s));
        connect(&m_server, &FaxServer::OnOutgoingJobChanged, this,
                [this](FaxServer *, const QString &id, int status) { m_events << u"JobChanged %1 %2"_s.arg(id).arg(status); });
        connect(&m_server, &FaxServer::OnOutgoingJobRemoved, this, as(u"JobRemoved"_s));
        connect(&m_server, &FaxServer::OnOutgoingMessageAdded, this, as(u"SentAdded"_s));
        connect(&m_server, &FaxServer::OnIncomingJobAdded, this, as(u"InJobAdded"_s));
        connect(&m_server, &FaxServer::OnIncomingJobRemoved, this, as(u"InJobRemoved"_s));
        connect(&m_server, &FaxServer::OnIncomingMessageAdded, this, as(u"ReceivedAdded"_s));
        connect(&m_server, &FaxServer::OnIncomingMessageRemoved, this, as(u"ReceivedRemoved"_s));
        connect(&m_server, &FaxServer::OnIncomingCall, this,
                [this](FaxServer *, int device, const QString &caller) { m_events << u"Call %1 %2"_s.arg(device).arg(caller); });
    }

private Q_SLOTS:
    void initTestCase() {
        m_discountStart = QTime::currentTime().addSecs(3 * 3600);
        writeConfig(u"[Transmission]\nSecondsPerPage=0\nDialDelaySeconds=0.5\n[Schedule]\nRetries=2\nRetryIntervalSeconds=0.2\nDiscountStart=%1\n"
                    "DiscountEnd=%2\n[Device1]\nName=Sendmere Virtual Modem\nCSID=Loop CSID\nTSID=Loop TSID\nBusyNumbers=5550199\n"_s
                        .arg(m_discountStart.toString(u"HH:mm"_s), m_discountStart.addSecs(3600).toString(u"HH:mm"_s)));
        QVERIFY(!serviceRunning());
        m_server.Connect(QString());  // starts the daemon: nothing owns the name yet
        QVERIFY(serviceRunning());
        recordEvents();
        m_server.ListenToServerEvents(0x3ff);
        QCOMPARE(m_server.GetDevices().Count(), 1);
    }

    // One fax from submission to both archives; the events come in the order things happened.
    void submissionGoesThroughQueueToBothArchives() {
        FaxDocument doc = document(u"5550100"_s, writePdf(u"two.pdf"_s, 2));
        doc.CoverPageType = CoverPageServer;
        doc.CoverPage = u"general.svg"_s;
        doc.Note = u"Please read"_s;
        const QStringList ids = doc.ConnectedSubmit(m_server);
        QCOMPARE(ids.size(), 1);
        QFile::remove(doc.Body);  // the program deletes its body copy right after the submission
        const QString id = ids.first();
        QVERIFY(waitForEvent(u"SentAdded "_s + id));
        const QStringList expected{u"JobAdded "_s + id, u"JobChanged %1 2"_s.arg(id), u"JobChanged %1 256"_s.arg(id), u"JobRemoved "_s + id,
                                   u"SentAdded "_s + id};
        QVERIFY2(eventsAbout(id) == expected, qPrintable(m_events.join(u", "_s)));  // all of them: a lost event and a late one differ
        const int sentAt = m_events.indexOf(u"SentAdded "_s + id);
        QTRY_VERIFY(m_events.size() > sentAt + 1);  // the loopback's reception is told right after, maybe a moment later
        QVERIFY(m_events.value(sentAt + 1).startsWith(u"ReceivedAdded "_s));

        const FaxMessage sent = m_server.Folders().OutgoingArchive().GetMessage(id);
        const FaxMessage received = m_server.Folders().IncomingArchive().GetMessage(m_events.value(sentAt + 1).section(u' ', 1));
        QCOMPARE((QStringList{sent.Subject(), sent.Recipient().FaxNumber, sent.Recipient().Name, sent.Sender().Name, sent.CSID(), sent.TSID()}),
                 (QStringList{u"Test fax"_s, u"5550100"_s, u"Ann Example"_s, u"Bob Sender"_s, u"Loop CSID"_s, u"5550111"_s}));
        QCOMPARE((QStringList{received.CallerId(), received.TSID(), received.CSID(), received.DeviceName()}),
                 (QStringList{u"5550111"_s, u"5550111"_s, u"Loop CSID"_s, u"Sendmere Virtual Modem"_s}));
        QCOMPARE(sent.Pages(), 3);
        QCOMPARE(received.Pages(), 3);
        QVERIFY(sent.TransmissionStart().isValid() && sent.TransmissionEnd() >= sent.TransmissionStart() && sent.OriginalScheduledTime().isValid());
        QTemporaryDir dir;
        sent.CopyTiff(dir.filePath(u"sent.tiff"_s));
        QCOMPARE(tiffPages(dir.filePath(u"sent.tiff"_s)), 3);
    }

    // Bad requests get their error and the service stays up; another client may leave properties out or send other types.
    void badRequestsGetErrorsAndTheServiceStaysUp() {
        const FaxFolders folders = m_server.Folders();
        expectError([&] { folders.OutgoingQueue().GetJob(u"not-an-id"_s); }, 5, u"not-an-id"_s);
        expectError([&] { folders.IncomingArchive().GetMessage(QString()); }, 5, u"incoming"_s);
        expectError([&] { folders.OutgoingArchive().GetMessage(u"1"_s); }, 5, u"\"1\""_s);
        const QString anySent = messageIds(folders.OutgoingArchive()).value(0);
        for (const QString &target : {u"/no/such/dir/x.tiff"_s, QDir::tempPath()})
            expectError([&] { folders.OutgoingArchive().GetMessage(anySent).CopyTiff(target); }, 75, target);
        expectError([&] { m_server.GetDevices().Item(2); }, 9, u"Subscript"_s);
        expectError([&] { folders.OutgoingQueue().GetJobs().Item(0); }, 9, u"Subscript"_s);
        expectError([&] { folders.IncomingArchive().GetMessages(0); }, 5, u"prefetch"_s);
        const QVariantMap sparse{{u"Recipients"_s, QVariantList{QVariantMap{{u"FaxNumber"_s, 123}}}}, {u"Body"_s, writeTextFile(u"raw.txt"_s, u"raw\n"_s)},
                                 {u"Sender"_s, u"not a map"_s}, {u"ScheduleTime"_s, u"soon"_s}};
        const QString rawId = busCall(u"Submit"_s, {sparse}).arguments().value(0).toStringList().value(0);
        QVERIFY(waitForEvent(u"SentAdded "_s + rawId));
        const FaxMessage rawSent = folders.OutgoingArchive().GetMessage(rawId);
        QCOMPARE(rawSent.Recipient().FaxNumber + u'|' + rawSent.Subject(), u"123|"_s);
        FaxServer unconnected;
        expectError([&] { unconnected.Folders(); }, 91, u"Object variable"_s);
        expectError([&] { unconnected.Connect(u"faxhost.example"_s); }, 462, u"faxhost.example"_s);
        QVERIFY(serviceRunning());
    }

    // A body that cannot become a fax fails with the file's name and reason, and nothing of it stays in the spool.
    void unrenderableSubmissionsQueueNothing() {
        const int before = queueCount();
        const QString missing = QDir::tempPath() + u"/no-such-body.pdf"_s, junk = QDir::tempPath() + u"/junk.xyz"_s;
        writeFile(junk, QByteArray::fromHex("000102fffe0062696e617279"));
        FaxDocument noCover = document(u"5550100"_s), nobody = document(u"5550100"_s, junk);
        noCover.CoverPageType = CoverPageServer;
        noCover.CoverPage = u"no-such-template.svg"_s;
        nobody.Recipients = FaxRecipients();
        const QList<std::tuple<FaxDocument, int, QString>> refused{
            {document(u"5550100"_s, missing), 53, missing},
            {document(u"5550100"_s, junk), 5, u"junk.xyz"_s},
            {document(u"5550100"_s, writeTextFile(u"broken.pdf"_s, u"%PDF-1.4 this is no pdf"_s)), 5, u"broken.pdf"_s},
            {document(u"5550100"_s, QDir::tempPath()), 75, QDir::tempPath()},
            {noCover, 53, u"no-such-template.svg"_s},
            {document(u"5550100"_s), 5, u"neither a cover page nor a body"_s},
            {nobody, 5, u"no recipient"_s}};
        for (const auto &[doc, number, text] : refused)
            expectError([&] { doc.ConnectedSubmit(m_server); }, number, text);
        QCOMPARE(queueCount(), before);
        QCOMPARE(spoolFiles(u"queue"_s).size(), before * 2);  // image + sidecar
        QVERIFY(serviceRunning());
    }

    // Jobs wait for their time or the discount period; of those due, higher priority first, then the one due first.
    void schedulingHoldsJobsAndSendsByPriority() {
        FaxDocument later = document(u"5550100"_s, writeTextFile(u"later.txt"_s, u"later\n"_s), 3600), discount = later;
        const QString laterId = later.ConnectedSubmit(m_server).first();
        discount.ScheduleType = ScheduleDiscountPeriod;
        const QString discountId = discount.ConnectedSubmit(m_server).first();
        const QDateTime soon = QDateTime::currentDateTime().addMSecs(3000);  // while the first of them is on the line
        const auto submitAt = [&](int ms, int priority) {
            FaxDocument doc = later;
            doc.ScheduleTime = soon.addMSecs(ms);
            doc.Priority = priority;
            return doc.ConnectedSubmit(m_server).first();
        };
        const QString normalLate = submitAt(300, PriorityNormal), normalEarly = submitAt(100, PriorityNormal);
        const QString low = submitAt(0, PriorityLow), normal = submitAt(0, PriorityNormal), high = submitAt(0, PriorityHigh);
        const QStringList order{high, normal, normalEarly, normalLate, low};
        for (const QString &id : order)
            QVERIFY(waitForEvent(u"SentAdded "_s + id, 15000));
        for (int i = 1; i < order.size(); ++i)
            QVERIFY2(m_events.indexOf(u"SentAdded "_s + order[i - 1]) < m_events.indexOf(u"SentAdded "_s + order[i]), qPrintable(m_events.join(u'|')));

        const FaxOutgoingJob held = m_server.Folders().OutgoingQueue().GetJob(laterId), discounted = m_server.Folders().OutgoingQueue().GetJob(discountId);
        QCOMPARE(held.Status(), int(StatusPending));
        QVERIFY(qAbs(held.ScheduledTime().secsTo(later.ScheduleTime)) <= 1);
        QCOMPARE(discounted.Status(), int(StatusPending));
        QCOMPARE(discounted.ScheduledTime().time().toString(u"HH:mm"_s), m_discountStart.toString(u"HH:mm"_s));
        QVERIFY(discounted.ScheduledTime() > QDateTime::currentDateTime());

        // A collection reads all its jobs' properties when one is first asked for: a job that left in between keeps its id.
        const FaxOutgoingJobs queued = m_server.Folders().OutgoingQueue().GetJobs();
        m_server.Folders().OutgoingQueue().GetJob(laterId).Cancel();
        QVERIFY(waitForEvent(u"JobRemoved "_s + laterId));
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

    void busyNumberIsRetriedThenGivenUp() {
        const QString id = document(u"5550199"_s, writeTextFile(u"busy.txt"_s, u"busy\n"_s)).ConnectedSubmit(m_server).first();
        QVERIFY(waitForEvent(u"JobChanged %1 128"_s.arg(id), 15000));
        QCOMPARE(eventsAbout(id).filter(u" 64"_s).size(), 2);
        FaxOutgoingJob job = m_server.Folders().OutgoingQueue().GetJob(id);
        QCOMPARE(u"%1 %2 %3"_s.arg(job.Status()).arg(job.Retries()).arg(job.ExtendedStatus()), u"%1 3 Line busy"_s.arg(int(StatusRetriesExceeded)));
        job.Cancel();
        QVERIFY(waitForEvent(u"JobRemoved "_s + id));
    }

    void ringingCallIsAnsweredIntoTheIncomingArchive() {
        FaxDevice device = m_server.GetDevices().Item(1);
        device.SimulateIncomingCall(u"5550123"_s, writeTextFile(u"call.txt"_s, u"incoming\n"_s));
        QVERIFY(waitForEvent(u"Call 1 5550123"_s));
        expectError([&] { device.SimulateIncomingCall(u"5550124"_s, QDir::tempPath() + u"/call.txt"_s); }, 440, u"busy"_s);
        device.AnswerCall();
        QTRY_VERIFY_WITH_TIMEOUT(m_events.last().startsWith(u"ReceivedAdded "_s), 10000);
        const QString id = m_events.last().section(u' ', 1);
        QCOMPARE(m_events.mid(m_events.size() - 3), (QStringList{u"InJobAdded "_s + id, u"InJobRemoved "_s + id, u"ReceivedAdded "_s + id}));
        const FaxMessage message = m_server.Folders().IncomingArchive().GetMessage(id);
        QCOMPARE(message.CallerId(), u"5550123"_s);
        QCOMPARE(message.Pages(), 1);
        expectError([&] { device.AnswerCall(); }, 440, u"No call is ringing"_s);
    }

    // Walking an archive in pages of any size gives every message once, in id order; a deleted message leaves the spool.
    void iteratorWalksEveryPageAndDeleteRemoves() {
        const FaxArchive incoming = m_server.Folders().IncomingArchive();
        const QStringList all = messageIds(incoming, 100);
        QVERIFY(all.size() >= 4);
        QCOMPARE(messageIds(incoming, 1), all);
        QCOMPARE(messageIds(incoming, 3), all);
        for (int i = 1; i < all.size(); ++i)
            QVERIFY(all.at(i - 1).toLongLong(nullptr, 16) < all.at(i).toLongLong(nullptr, 16));
        auto it = incoming.GetMessages(2);
        while (!it.AtEOF())
            it.MoveNext();
        expectError([&] { it.Message(); }, 5, u"past the last"_s);

        const QString victim = all.first();
        incoming.GetMessage(victim).Delete();
        QVERIFY(waitForEvent(u"ReceivedRemoved "_s + victim));
        QVERIFY(!messageIds(incoming).contains(victim) && !QFileInfo::exists(spoolImage(u"received"_s, victim)));
        expectError([&] { incoming.GetMessage(victim).Delete(); }, 5, victim);
    }

    void spoolIsPrivateToTheUser() {
        const auto perms = [](const QFileInfo &info) { return int(info.permissions() & 0x0777); };
        QCOMPARE(perms(QFileInfo(spoolRoot())), 0x0700);
        int files = 0;
        for (QDirIterator it(spoolRoot(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();) {
            const QFileInfo info(it.next());
            QCOMPARE(perms(info), info.isDir() ? 0x0700 : 0x0600);
            files += info.isFile();
        }
        QVERIFY(files > 5);
    }

    // A dead service raises 462 within seconds; the next call that can start it again does.
    void deadServiceRaisesThenRestarts() {
        killService();
        const QByteArray binDir = qgetenv("SENDMERE_TEST_BIN_DIR");
        QTemporaryDir empty;
        qputenv("SENDMERE_TEST_BIN_DIR", empty.path().toUtf8());
        QElapsedTimer timer;
        timer.start();
        expectError([&] { m_server.GetDevices(); }, 462, u"The remote server machine does not exist or is unavailable"_s);
        QVERIFY(timer.elapsed() < 20000);  // a guard against a hang, not a speed goal
        qputenv("SENDMERE_TEST_BIN_DIR", binDir);
        QCOMPARE(m_server.GetDevices().Count(), 1);
        const QString id = document(u"5550100"_s, writeTextFile(u"after.txt"_s, u"after\n"_s)).ConnectedSubmit(m_server).first();
        QVERIFY(waitForEvent(u"SentAdded "_s + id));  // events follow the new instance
    }
};

QTEST_MAIN(TestFaxService)
#include "tst_faxservice.moc"
