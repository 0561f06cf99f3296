// A submission is answered once it is accepted and rendered afterwards: large ones answer
// before their render, report their progress and are announced job by job once the images
// exist; a failed render reaches the waiting client; a service killed or stopped in the middle
// of a render loses nothing and queues nothing twice; a render stuck inside one page never
// holds the spool when the service ends.
#include "FaxTestSupport.h"

#include <QLockFile>
#include <QProcess>
#include <QtTest>

using namespace sendmere;
using namespace sendmere::fax;
using namespace sendmere::faxtest;

namespace {

const QString ErrorPrefix = QStringLiteral("org.sendmere.Fax1.Error.");

QVariantMap rawDocument(const QString &body, int recipients, const QString &subject)
{
    QVariantList list;
    for (int i = 0; i < recipients; ++i)
        list.append(QVariantMap{{QStringLiteral("FaxNumber"), QStringLiteral("555%1").arg(i)}, {QStringLiteral("Name"), QStringLiteral("R%1").arg(i)}});
    return {{QStringLiteral("Body"), body},
            {QStringLiteral("Recipients"), list},
            {QStringLiteral("Subject"), subject},
            {QStringLiteral("ScheduleType"), 1},
            {QStringLiteral("ScheduleTime"), QDateTime::currentMSecsSinceEpoch() + 3600000}};
}

QVariantMap submissionState(const QString &submissionId, const QDBusConnection &bus = QDBusConnection::sessionBus())
{
    return qdbus_cast<QVariantMap>(bus.call(busMessage(QStringLiteral("GetSubmission"), {submissionId})).arguments().value(0));
}

QString stateName(const QVariantMap &state) { return state.value(QStringLiteral("State")).toString(); }

// A session bus of the test's own, with a service of its own on it, that the test can end.
struct PrivateSession {
    QProcess bus, service;
    QString address;

    void start()
    {
        bus.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
        QVERIFY(bus.waitForReadyRead(10000));
        address = QString::fromUtf8(bus.readLine()).trimmed();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), address);
        service.setProcessEnvironment(env);
        service.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        service.start(qEnvironmentVariable("SENDMERE_TEST_BIN_DIR") + QStringLiteral("/sendmere-faxd"), {});
        QVERIFY(service.waitForStarted());
    }
    QDBusConnection connection() const { return QDBusConnection::connectToBus(address, QStringLiteral("private-") + address); }
    QDBusMessage call(const QString &method, const QVariantList &args) const
    {
        return connection().call(busMessage(method, args), QDBus::Block, 10000);
    }
    ~PrivateSession()
    {
        QDBusConnection::disconnectFromBus(QStringLiteral("private-") + address);
        for (QProcess *p : {&service, &bus})
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished();
            }
    }
};

// Whether the spool can be taken this moment, as a starting service takes it.
bool spoolIsFree()
{
    QLockFile lock(spoolRoot() + QStringLiteral("/spool.lock"));
    lock.setStaleLockTime(0);
    return lock.tryLock(0);
}

}  // namespace

class TestFaxSubmission : public QObject {
    Q_OBJECT

private:
    FaxServer m_server;
    QStringList m_events;
    QStringList m_announcedWithoutImage;

    QStringList progressOf(const QString &submissionId) const { return m_events.filter(QStringLiteral("progress %1 ").arg(submissionId)); }
    int jobsWithSubject(const QString &subject)
    {
        int count = 0;
        const FaxOutgoingJobs jobs = m_server.Folders().OutgoingQueue().GetJobs();
        for (int i = 1; i <= jobs.Count(); ++i)
            count += jobs.Item(i).Subject() == subject ? 1 : 0;
        return count;
    }

private Q_SLOTS:
    void jobAdded(const QString &id)
    {
        m_events << QStringLiteral("added ") + id;
        if (!QFileInfo::exists(spoolRoot() + QStringLiteral("/queue/%1.tiff").arg(id)))
            m_announcedWithoutImage << id;
    }
    void progress(const QString &submissionId, int done, int total)
    {
        m_events << QStringLiteral("progress %1 %2 %3").arg(submissionId).arg(done).arg(total);
    }
    void failed(const QString &submissionId, const QString &name, const QString &text)
    {
        m_events << QStringLiteral("failed %1 %2 %3").arg(submissionId, name, text);
    }

    void initTestCase()
    {
        writeConfig(QStringLiteral("[Transmission]\nSecondsPerPage=0\nDialDelaySeconds=0\n[Service]\nRenderSeconds=600\nLockWaitSeconds=3\n"));
        m_server.Connect(QString());
        QDBusConnection bus = QDBusConnection::sessionBus();
        const QString path = QStringLiteral("/org/sendmere/Fax"), iface = QStringLiteral("org.sendmere.Fax1");
        QVERIFY(bus.connect(QString(), path, iface, QStringLiteral("OutgoingJobAdded"), this, SLOT(jobAdded(QString))));
        QVERIFY(bus.connect(QString(), path, iface, QStringLiteral("SubmissionProgress"), this, SLOT(progress(QString,int,int))));
        QVERIFY(bus.connect(QString(), path, iface, QStringLiteral("SubmissionFailed"), this, SLOT(failed(QString,QString,QString))));
    }

    // 30 recipients of a 16-page body that is slow to draw: the reply comes while the render
    // has not begun or runs, the caller may delete its body at once, progress rises, and each
    // job is announced only once its image is in the spool.
    void largeSubmissionIsAnsweredBeforeItsRender()
    {
        const QString body = writeSlowPdf(QStringLiteral("large.pdf"), 1, 16);
        const QDBusMessage reply = busCall(QStringLiteral("Submit"), {rawDocument(body, 30, QStringLiteral("large"))});
        QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
        const QStringList ids = reply.arguments().value(0).toStringList();
        const QString submissionId = reply.arguments().value(1).toString();
        QVERIFY(QFile::remove(body));
        const QVariantMap early = submissionState(submissionId);
        QVERIFY2(QStringList({QStringLiteral("waiting"), QStringLiteral("rendering")}).contains(stateName(early)), qPrintable(stateName(early)));
        QCOMPARE(early.value(QStringLiteral("JobIds")).toStringList(), ids);
        QCOMPARE(ids.size(), 30);
        QVERIFY(!submissionId.isEmpty());  // the service named the submission itself
        for (const QString &id : ids) {
            QVERIFY(!QFileInfo::exists(spoolRoot() + QStringLiteral("/queue/%1.tiff").arg(id)));
            QVERIFY(!m_events.contains(QStringLiteral("added ") + id));
        }

        QCOMPARE(stateName(finalSubmissionState(submissionId)), QStringLiteral("queued"));
        QTRY_COMPARE_WITH_TIMEOUT(m_events.filter(QStringLiteral("added ")).size(), 30, 10000);
        QCOMPARE(m_announcedWithoutImage, QStringList());
        for (const QString &id : ids)
            QCOMPARE(m_events.count(QStringLiteral("added ") + id), 1);
        QCOMPARE(tiffPages(spoolRoot() + QStringLiteral("/queue/%1.tiff").arg(ids.last())), 16);
        QCOMPARE(submissionState(submissionId).value(QStringLiteral("JobIds")).toStringList(), ids);

        const QStringList progress = progressOf(submissionId);
        QVERIFY2(progress.size() >= 2, qPrintable(progress.join(u'|')));
        int lastDone = -1;
        for (const QString &event : progress) {
            const int done = event.section(u' ', 2, 2).toInt(), total = event.section(u' ', 3, 3).toInt();
            QVERIFY2(done >= lastDone && done <= 16 + 30 * 16 && (total == 0 || total == 16 + 30 * 16), qPrintable(event));
            lastDone = done;
        }
        QVERIFY2(lastDone > 0, qPrintable(progress.last()));
        QVERIFY(QDir(spoolRoot() + QStringLiteral("/submissions")).isEmpty());
    }

    // The client library waits for its jobs, showing progress, and raises a render failure
    // with the service's text, naming the user's file, never the spool's copy of it.
    void clientWaitsForItsJobsOrHearsTheFailure()
    {
        QList<std::pair<int, int>> seen;
        FaxDocument doc = document(QStringLiteral("5550100"), writePdf(QStringLiteral("waited.pdf"), 30));
        doc.ScheduleType = ScheduleSpecificTime;
        doc.ScheduleTime = QDateTime::currentDateTime().addSecs(3600);
        for (int i = 0; i < 5; ++i)
            doc.Recipients.Add(QStringLiteral("555020%1").arg(i));
        const QStringList ids = doc.ConnectedSubmit(m_server, [&](int done, int total) { seen.append({done, total}); });
        QCOMPARE(ids.size(), 6);
        for (const QString &id : ids)  // usable the moment the call returns, as the preview needs
            QCOMPARE(tiffPages(spoolRoot() + QStringLiteral("/queue/%1.tiff").arg(id)), 30);
        QVERIFY(!seen.isEmpty());
        for (int i = 1; i < seen.size(); ++i)
            QVERIFY(seen.at(i).first >= seen.at(i - 1).first);

        const QString broken = writeTextFile(QStringLiteral("broken.pdf"), QStringLiteral("%PDF-1.4 no pdf at all"));
        FaxDocument bad = document(QStringLiteral("5550100"), broken);
        bad.SubmissionId = QStringLiteral("broken-one");
        expectError([&] { bad.ConnectedSubmit(m_server); }, 5, broken + QStringLiteral(": not a readable PDF document"));
        const QVariantMap state = submissionState(QStringLiteral("broken-one"));
        QCOMPARE(stateName(state), QStringLiteral("failed"));
        QCOMPARE(state.value(QStringLiteral("ErrorName")).toString(), ErrorPrefix + QStringLiteral("RenderFailed"));
        QVERIFY(state.value(QStringLiteral("ErrorText")).toString().startsWith(broken));
        QTRY_VERIFY(!m_events.filter(QStringLiteral("failed broken-one %1RenderFailed %2").arg(ErrorPrefix, broken)).isEmpty());
        QCOMPARE(busCall(QStringLiteral("GetSubmission"), {QStringLiteral("nobody-asked")}).errorName(), ErrorPrefix + QStringLiteral("NotFound"));
    }

    // A withdrawn submission leaves no job: one that renders is failed with Cancelled, its
    // render stops and nothing of it is queued, then or later; one queued already has its jobs
    // taken from the queue. The client library withdraws when its caller cancels, during the
    // render or before anything was sent.
    void withdrawnSubmissionLeavesNoJob()
    {
        const QStringList before = queueIds(m_server);
        QVariantMap doc = rawDocument(writeSlowPdf(QStringLiteral("withdrawn.pdf"), 1, 40), 2, QStringLiteral("withdrawn"));
        doc.insert(QStringLiteral("SubmissionId"), QStringLiteral("withdraw-me"));
        const QStringList ids = busCall(QStringLiteral("Submit"), {doc}).arguments().value(0).toStringList();
        QCOMPARE(ids.size(), 2);
        QTRY_VERIFY_WITH_TIMEOUT(submissionState(QStringLiteral("withdraw-me")).value(QStringLiteral("PagesDone")).toInt() > 0, 30000);
        const QDBusMessage withdrawn = busCall(QStringLiteral("CancelSubmission"), {QStringLiteral("withdraw-me")});
        QCOMPARE(withdrawn.type(), QDBusMessage::ReplyMessage);
        QCOMPARE(withdrawn.arguments().value(0).toStringList(), ids);
        const QVariantMap state = submissionState(QStringLiteral("withdraw-me"));
        QCOMPARE(stateName(state), QStringLiteral("failed"));
        QCOMPARE(state.value(QStringLiteral("ErrorName")).toString(), ErrorPrefix + QStringLiteral("Cancelled"));
        QTRY_COMPARE(m_events.filter(QStringLiteral("failed withdraw-me %1Cancelled").arg(ErrorPrefix)).size(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(QDir(spoolRoot() + QStringLiteral("/submissions")).isEmpty(), 10000);
        QTest::qWait(1000);  // a render that went on would have queued its jobs by now
        QCOMPARE(queueIds(m_server), before);
        for (const QString &id : ids) {
            QVERIFY(!m_events.contains(QStringLiteral("added ") + id));
            QTRY_VERIFY(QDir(spoolRoot() + QStringLiteral("/queue")).entryList({id + QStringLiteral(".*")}).isEmpty());
        }
        // Withdrawn once more, or a submission nobody made.
        QCOMPARE(busCall(QStringLiteral("CancelSubmission"), {QStringLiteral("withdraw-me")}).arguments().value(0).toStringList(), ids);
        QCOMPARE(busCall(QStringLiteral("CancelSubmission"), {QStringLiteral("nobody-made")}).errorName(), ErrorPrefix + QStringLiteral("NotFound"));

        // Queued already: the jobs that wait leave the queue.
        FaxDocument queued = document(QStringLiteral("5550100"), writeTextFile(QStringLiteral("queued.txt"), QStringLiteral("queued\n")));
        queued.ScheduleType = ScheduleSpecificTime;
        queued.ScheduleTime = QDateTime::currentDateTime().addSecs(3600);
        queued.SubmissionId = QStringLiteral("queued-then-withdrawn");
        const QStringList queuedIds = queued.ConnectedSubmit(m_server);
        QVERIFY(queueIds(m_server).contains(queuedIds.first()));
        QCOMPARE(busCall(QStringLiteral("CancelSubmission"), {QStringLiteral("queued-then-withdrawn")}).arguments().value(0).toStringList(),
                 queuedIds);
        QCOMPARE(queueIds(m_server), before);

        // The client library, cancelled by its caller in the middle of the render.
        FaxDocument large = document(QStringLiteral("5550100"), writeSlowPdf(QStringLiteral("cancelled.pdf"), 1, 40));
        large.SubmissionId = QStringLiteral("cancelled-by-caller");
        SubmitCancel cancel;
        expectError([&] { large.ConnectedSubmit(m_server, [&](int done, int) { if (done > 0) cancel.request(); }, &cancel); },
                    err::OperationCancelled, QStringLiteral("cancelled"));
        QCOMPARE(stateName(submissionState(QStringLiteral("cancelled-by-caller"))), QStringLiteral("failed"));
        // Cancelled before it started: nothing reaches the service at all.
        large.SubmissionId = QStringLiteral("never-sent");
        expectError([&] { large.ConnectedSubmit(m_server, {}, &cancel); }, err::OperationCancelled, QStringLiteral("cancelled"));
        QCOMPARE(busCall(QStringLiteral("GetSubmission"), {QStringLiteral("never-sent")}).errorName(), ErrorPrefix + QStringLiteral("NotFound"));
        QTest::qWait(1000);
        QCOMPARE(queueIds(m_server), before);
    }

    // The console shows the render's progress on stderr, rising, and prints the job id
    // alone on stdout once the job is queued.
    void consoleShowsProgressAndThenTheJob()
    {
        QProcess console;
        console.start(qEnvironmentVariable("SENDMERE_TEST_BIN_DIR") + QStringLiteral("/sendmere-fax"),
                      {QStringLiteral("send"), QStringLiteral("--to"), QStringLiteral("5550100"), QStringLiteral("--at"),
                       QDateTime::currentDateTime().addDays(2).toString(QStringLiteral("yyyy-MM-ddThh:mm")),
                       writeSlowPdf(QStringLiteral("console.pdf"), 1, 12)});
        QVERIFY(console.waitForFinished(120000));
        const QString err = QString::fromUtf8(console.readAllStandardError());
        QCOMPARE(console.exitCode(), 0);
        const QStringList out = QString::fromUtf8(console.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(out.size(), 1);
        QCOMPARE(tiffPages(spoolRoot() + QStringLiteral("/queue/%1.tiff").arg(out.first())), 12);
        const QStringList lines = err.split(u'\n', Qt::SkipEmptyParts);
        QVERIFY2(!lines.isEmpty(), "no progress shown");
        const QRegularExpression line(QStringLiteral("^sendmere-fax: rendering the fax, (page (\\d+)|(\\d+)% done)$"));
        int lastPage = 0, lastPercent = -1;
        for (const QString &text : lines) {
            const QRegularExpressionMatch m = line.match(text);
            QVERIFY2(m.hasMatch(), qPrintable(text));
            if (!m.captured(2).isEmpty()) {
                QVERIFY2(lastPercent < 0 && m.captured(2).toInt() > lastPage && m.captured(2).toInt() <= 12, qPrintable(err));
                lastPage = m.captured(2).toInt();
            } else {
                QVERIFY2(m.captured(3).toInt() > lastPercent && m.captured(3).toInt() <= 100, qPrintable(err));
                lastPercent = m.captured(3).toInt();
            }
        }
    }

    // kill -9 after the reply, in the middle of the render: the restarted service renders
    // the accepted submission again under the same ids; a retry of the same submission gets
    // those ids; every job is queued once.
    void killedMidRenderLosesAndDoublesNothing()
    {
        const QString body = writeTextFile(QStringLiteral("killed.txt"), QStringLiteral("a line of the body\n").repeated(60 * 40));
        QVariantMap doc = rawDocument(body, 12, QStringLiteral("killed"));
        doc.insert(QStringLiteral("SubmissionId"), QStringLiteral("killed-1"));
        const QStringList ids = busCall(QStringLiteral("Submit"), {doc}).arguments().value(0).toStringList();
        QCOMPARE(ids.size(), 12);
        QTRY_VERIFY_WITH_TIMEOUT(submissionState(QStringLiteral("killed-1")).value(QStringLiteral("PagesDone")).toInt() > 0, 20000);
        QCOMPARE(stateName(submissionState(QStringLiteral("killed-1"))), QStringLiteral("rendering"));
        killService();
        QVERIFY(QFile::remove(body));  // the client was answered: the body is the spool's now

        queueIds(m_server);  // starts the service again
        QCOMPARE(busCall(QStringLiteral("Submit"), {doc}).arguments().value(0).toStringList(), ids);
        QCOMPARE(stateName(finalSubmissionState(QStringLiteral("killed-1"))), QStringLiteral("queued"));
        QCOMPARE(jobsWithSubject(QStringLiteral("killed")), 12);
        const QStringList queued = queueIds(m_server);
        const FaxOutgoingQueue queue = m_server.Folders().OutgoingQueue();
        for (const QString &id : ids) {
            QCOMPARE(queued.count(id), 1);
            QVERIFY(queue.GetJob(id).Pages() > 30);
            QCOMPARE(tiffPages(spoolRoot() + QStringLiteral("/queue/%1.tiff").arg(id)), queue.GetJob(id).Pages());
        }
        QVERIFY(readLog().contains(QStringLiteral("submission killed-1 (%1) was accepted before the service stopped; it is rendered again").arg(ids.join(u','))));
        QVERIFY(QDir(spoolRoot() + QStringLiteral("/submissions")).isEmpty());
        QCOMPARE(QDir(spoolRoot() + QStringLiteral("/queue")).entryList({QStringLiteral("*.part")}, QDir::Files), QStringList());
    }

    // At start, a submission folder without its record is the leftover of an accept that was
    // never answered and goes; one whose record cannot be read is kept in quarantine.
    void leftoverSubmissionFoldersAreSortedOutAtStart()
    {
        queueIds(m_server);
        killService();
        const QString pending = spoolRoot() + QStringLiteral("/submissions/");
        QVERIFY(QDir().mkpath(pending + QStringLiteral("ffff9")));
        writeFile(pending + QStringLiteral("ffff9/body.txt"), "half an accept\n");
        QVERIFY(QDir().mkpath(pending + QStringLiteral("ffffa")));
        writeFile(pending + QStringLiteral("ffffa/submission.json"), "{not json");
        const QStringList before = queueIds(m_server);  // starts the service again
        QVERIFY(QDir(pending).isEmpty());
        QVERIFY(QFileInfo::exists(spoolRoot() + QStringLiteral("/quarantine/submission-ffffa/submission.json")));
        QVERIFY(readLog().contains(QStringLiteral("submission ffff9: removed, it was never accepted")));
        QVERIFY(readLog().contains(QStringLiteral("submission ffffa: its record cannot be used; kept in quarantine as %1/quarantine/submission-ffffa").arg(spoolRoot())));
        QCOMPARE(queueIds(m_server), before);
    }

    // A submission whose render takes the service down every time is not rendered for ever:
    // after three interrupted renders the next start fails it with the reason.
    void renderThatKeepsEndingTheServiceIsGivenUp()
    {
        const QString body = writeSlowPdf(QStringLiteral("crashing.pdf"), 3);
        QVariantMap doc = rawDocument(body, 1, QStringLiteral("crashing"));
        doc.insert(QStringLiteral("SubmissionId"), QStringLiteral("crashing-1"));
        QCOMPARE(busCall(QStringLiteral("Submit"), {doc}).type(), QDBusMessage::ReplyMessage);
        for (int kill = 0; kill < 3; ++kill) {
            QTRY_COMPARE_WITH_TIMEOUT(stateName(submissionState(QStringLiteral("crashing-1"))), QStringLiteral("rendering"), 10000);
            killService();
            queueIds(m_server);
        }
        const QVariantMap state = submissionState(QStringLiteral("crashing-1"));
        QCOMPARE(stateName(state), QStringLiteral("failed"));
        QCOMPARE(state.value(QStringLiteral("ErrorText")).toString(),
                 QStringLiteral("The fax service stopped 3 times while it rendered %1; the fax was not queued.").arg(body));
        QCOMPARE(jobsWithSubject(QStringLiteral("crashing")), 0);
        QVERIFY(QDir(spoolRoot() + QStringLiteral("/submissions")).isEmpty());
    }

    // A render stuck inside one page (minutes for a single page) is not waited for when the
    // service ends, by the end of its session bus or by SIGTERM: the process is gone within
    // a few seconds and the next service takes the spool at once and renders the accepted
    // submission again.
    void stuckRenderNeverHoldsTheSpool()
    {
        if (serviceRunning())
            killService();
        const QString body = writeSlowPdf(QStringLiteral("stuck.pdf"), 4);
        QVariantMap doc = rawDocument(body, 1, QStringLiteral("stuck"));
        doc.insert(QStringLiteral("SubmissionId"), QStringLiteral("stuck-1"));
        for (const bool bySignal : {false, true}) {
            PrivateSession session;
            session.start();
            QTRY_VERIFY_WITH_TIMEOUT(session.call(QStringLiteral("ListJobs"), {}).type() == QDBusMessage::ReplyMessage, 10000);
            QCOMPARE(session.call(QStringLiteral("Submit"), {doc}).type(), QDBusMessage::ReplyMessage);
            QTRY_COMPARE_WITH_TIMEOUT(stateName(submissionState(QStringLiteral("stuck-1"), session.connection())), QStringLiteral("rendering"), 10000);
            QTest::qWait(500);  // well inside the page
            if (bySignal)
                session.service.terminate();
            else
                session.bus.terminate();
            QVERIFY2(session.service.waitForFinished(8000), bySignal ? "SIGTERM" : "end of the bus");
            QVERIFY(spoolIsFree());
        }
        QVERIFY(readLog().contains(QStringLiteral("asked to stop by a signal")));
        QCOMPARE(readLog().count(QStringLiteral("a render did not stop; the fax service ends without it")), 2);
        QVERIFY(readLog().contains(QStringLiteral("submission stuck-1 (")));
        QDir(spoolRoot() + QStringLiteral("/submissions")).removeRecursively();  // no later start renders it for minutes
    }
};

QTEST_MAIN(TestFaxSubmission)
#include "tst_faxsubmission.moc"
