// Submissions answered before their render: progress, jobs announced once their images exist, failures, withdrawals, and renders cut short.
#include "FaxTestSupport.h"

#include <QLockFile>
#include <QtTest>

using namespace sendmere;
using namespace sendmere::fax;
using namespace sendmere::faxtest;

namespace {

// A raw document whose jobs wait an hour in the queue once rendered.
QVariantMap heldDocument(const QString &body, int recipients, const QString &subject, const QString &submissionId = {}) {
    return rawDocument(body, recipients, {{u"Subject"_s, subject}, {u"SubmissionId"_s, submissionId}, {u"ScheduleType"_s, 1},
                                          {u"ScheduleTime"_s, QDateTime::currentMSecsSinceEpoch() + 3600000}});
}
QStringList submitIds(const QVariantMap &doc) { return busCall(u"Submit"_s, {doc}).arguments().value(0).toStringList(); }
QStringList cancelSubmission(const QString &id) { return busCall(u"CancelSubmission"_s, {id}).arguments().value(0).toStringList(); }
int pagesDone(const QString &id) { return submissionState(id).value(u"PagesDone"_s).toInt(); }

}  // namespace

class TestFaxSubmission : public QObject {
    Q_OBJECT

    FaxServer m_server;
    QStringList m_events, m_announcedWithoutImage;

    int jobsWithSubject(const QString &subject) {
        const FaxOutgoingJobs jobs = m_server.Folders().OutgoingQueue().GetJobs();
        int count = 0;
        for (int i = 1; i <= jobs.Count(); ++i)
            count += jobs.Item(i).Subject() == subject;
        return count;
    }

private Q_SLOTS:
    void jobAdded(const QString &id) {
        m_events << u"added "_s + id;
        if (!QFileInfo::exists(spoolImage(u"queue"_s, id)))
            m_announcedWithoutImage << id;
    }
    void progress(const QString &submission, int done, int total) { m_events << u"progress %1 %2 %3"_s.arg(submission).arg(done).arg(total); }
    void failed(const QString &submission, const QString &name, const QString &text) { m_events << u"failed %1 %2 %3"_s.arg(submission, name, text); }

    void initTestCase() {
        writeConfig(u"[Transmission]\nSecondsPerPage=0\nDialDelaySeconds=0\n[Service]\nRenderSeconds=600\nLockWaitSeconds=3\n"_s);
        m_server.Connect(QString());
        QDBusConnection bus = QDBusConnection::sessionBus();
        const QString path = u"/org/sendmere/Fax"_s, iface = u"org.sendmere.Fax1"_s;
        QVERIFY(bus.connect(QString(), path, iface, u"OutgoingJobAdded"_s, this, SLOT(jobAdded(QString))));
        QVERIFY(bus.connect(QString(), path, iface, u"SubmissionProgress"_s, this, SLOT(progress(QString,int,int))));
        QVERIFY(bus.connect(QString(), path, iface, u"SubmissionFailed"_s, this, SLOT(failed(QString,QString,QString))));
    }

    // 30 recipients of 16 slow pages: answered before the render, progress rises, each job announced once, only with its image.
    void largeSubmissionIsAnsweredBeforeItsRender() {
        const QString body = writeSlowPdf(u"large.pdf"_s, 1, 16);
        const QDBusMessage reply = busCall(u"Submit"_s, {heldDocument(body, 30, u"large"_s)});
        const QStringList ids = reply.arguments().value(0).toStringList();
        const QString submission = reply.arguments().value(1).toString();  // named by the service
        QCOMPARE(ids.size(), 30);
        QVERIFY(QFile::remove(body));
        const QVariantMap early = submissionState(submission);
        QVERIFY2(stateName(early) == u"waiting"_s || stateName(early) == u"rendering"_s, qPrintable(stateName(early)));
        QCOMPARE(early.value(u"JobIds"_s).toStringList(), ids);
        for (const QString &id : ids)
            QVERIFY(!QFileInfo::exists(spoolImage(u"queue"_s, id)) && !m_events.contains(u"added "_s + id));

        QCOMPARE(stateName(finalSubmissionState(submission)), u"queued"_s);
        QTRY_COMPARE_WITH_TIMEOUT(m_events.filter(u"added "_s).size(), 30, 10000);
        QCOMPARE(m_announcedWithoutImage, QStringList());
        for (const QString &id : ids)
            QCOMPARE(m_events.count(u"added "_s + id), 1);
        QCOMPARE(tiffPages(spoolImage(u"queue"_s, ids.last())), 16);
        QCOMPARE(spoolFiles(u"submissions"_s), QStringList());
        const QStringList progress = m_events.filter(u"progress %1 "_s.arg(submission));
        QVERIFY2(progress.size() >= 2, qPrintable(progress.join(u'|')));
        int lastDone = -1;
        for (const QString &event : progress) {
            const int done = event.section(u' ', 2, 2).toInt(), total = event.section(u' ', 3, 3).toInt();
            QVERIFY2(done >= lastDone && done <= 16 + 30 * 16 && (total == 0 || total == 16 + 30 * 16), qPrintable(event));
            lastDone = done;
        }
        QVERIFY2(lastDone > 0, qPrintable(progress.last()));
    }

    // The client library waits for its jobs with progress, and raises a render failure naming the user's file, not the spool's copy.
    void clientWaitsForItsJobsOrHearsTheFailure() {
        QList<int> seen;
        FaxDocument doc = document(u"5550100"_s, writePdf(u"waited.pdf"_s, 30), 3600);
        for (int i = 0; i < 5; ++i)
            doc.Recipients.Add(u"555020%1"_s.arg(i));
        const QStringList ids = doc.ConnectedSubmit(m_server, [&](int done, int) { seen.append(done); });
        QCOMPARE(ids.size(), 6);
        for (const QString &id : ids)  // usable the moment the call returns, as the preview needs
            QCOMPARE(tiffPages(spoolImage(u"queue"_s, id)), 30);
        QVERIFY(!seen.isEmpty() && std::is_sorted(seen.begin(), seen.end()));

        const QString broken = writeTextFile(u"broken.pdf"_s, u"%PDF-1.4 no pdf at all"_s);
        FaxDocument bad = document(u"5550100"_s, broken);
        bad.SubmissionId = u"broken-one"_s;
        expectError([&] { bad.ConnectedSubmit(m_server); }, 5, broken + u": not a readable PDF document"_s);
        const QVariantMap state = submissionState(u"broken-one"_s);
        QCOMPARE(stateName(state) + u' ' + state.value(u"ErrorName"_s).toString(), u"failed "_s + ErrorPrefix + u"RenderFailed"_s);
        QTRY_VERIFY(!m_events.filter(u"failed broken-one %1RenderFailed %2"_s.arg(ErrorPrefix, broken)).isEmpty());
        QCOMPARE(busCall(u"GetSubmission"_s, {u"nobody-asked"_s}).errorName(), ErrorPrefix + u"NotFound"_s);
    }

    // Withdrawn while rendering or once queued, by a client or by the library's caller: no job stays, then or later.
    void withdrawnSubmissionLeavesNoJob() {
        const QStringList before = queueIds(m_server);
        const QStringList ids = submitIds(heldDocument(writeSlowPdf(u"withdrawn.pdf"_s, 1, 40), 2, u"withdrawn"_s, u"withdraw-me"_s));
        QCOMPARE(ids.size(), 2);
        QTRY_VERIFY_WITH_TIMEOUT(pagesDone(u"withdraw-me"_s) > 0, 30000);
        QCOMPARE(cancelSubmission(u"withdraw-me"_s), ids);
        const QVariantMap state = submissionState(u"withdraw-me"_s);
        QCOMPARE(stateName(state) + u' ' + state.value(u"ErrorName"_s).toString(), u"failed "_s + ErrorPrefix + u"Cancelled"_s);
        QTRY_COMPARE(m_events.filter(u"failed withdraw-me %1Cancelled"_s.arg(ErrorPrefix)).size(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(spoolFiles(u"submissions"_s), QStringList(), 10000);
        QTest::qWait(1000);  // a render that went on would have queued its jobs by now
        QCOMPARE(queueIds(m_server), before);
        for (const QString &id : ids) {
            QVERIFY(!m_events.contains(u"added "_s + id));
            QTRY_COMPARE(spoolFiles(u"queue"_s, id + u".*"_s), QStringList());
        }
        QCOMPARE(cancelSubmission(u"withdraw-me"_s), ids);  // once more
        QCOMPARE(busCall(u"CancelSubmission"_s, {u"nobody-made"_s}).errorName(), ErrorPrefix + u"NotFound"_s);

        FaxDocument queued = document(u"5550100"_s, writeTextFile(u"queued.txt"_s, u"queued\n"_s), 3600);
        queued.SubmissionId = u"queued-then-withdrawn"_s;
        const QStringList queuedIds = queued.ConnectedSubmit(m_server);
        QVERIFY(queueIds(m_server).contains(queuedIds.first()));
        QCOMPARE(cancelSubmission(queued.SubmissionId), queuedIds);
        QCOMPARE(queueIds(m_server), before);

        FaxDocument large = document(u"5550100"_s, writeSlowPdf(u"cancelled.pdf"_s, 1, 40));
        large.SubmissionId = u"cancelled-by-caller"_s;
        SubmitCancel cancel;
        const auto cancelOnProgress = [&](int done, int) {
            if (done > 0)
                cancel.request();
        };
        expectError([&] { large.ConnectedSubmit(m_server, cancelOnProgress, &cancel); }, err::OperationCancelled, u"cancelled"_s);
        QCOMPARE(stateName(submissionState(large.SubmissionId)), u"failed"_s);
        large.SubmissionId = u"never-sent"_s;
        expectError([&] { large.ConnectedSubmit(m_server, {}, &cancel); }, err::OperationCancelled, u"cancelled"_s);
        QCOMPARE(busCall(u"GetSubmission"_s, {u"never-sent"_s}).errorName(), ErrorPrefix + u"NotFound"_s);
        QTest::qWait(1000);
        QCOMPARE(queueIds(m_server), before);
    }

    // The console shows the render's progress on stderr, rising, then the job id alone on stdout.
    void consoleShowsProgressAndThenTheJob() {
        const QString at = QDateTime::currentDateTime().addDays(2).toString(u"yyyy-MM-ddThh:mm"_s);
        const ConsoleRun run = runConsole({u"send"_s, u"--to"_s, u"5550100"_s, u"--at"_s, at, writeSlowPdf(u"console.pdf"_s, 1, 12)}, consolePath(), 120000);
        QCOMPARE(run.code, 0);
        const QStringList out = run.out.split(u'\n', Qt::SkipEmptyParts), lines = run.err.split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(out.size(), 1);
        QCOMPARE(tiffPages(spoolImage(u"queue"_s, out.first())), 12);
        QVERIFY2(!lines.isEmpty(), "no progress shown");
        const QRegularExpression line(u"^sendmere-fax: rendering the fax, (page (\\d+)|(\\d+)% done)$"_s);
        int lastPage = 0, lastPercent = -1;
        for (const QString &text : lines) {
            const QRegularExpressionMatch m = line.match(text);
            QVERIFY2(m.hasMatch(), qPrintable(text));
            const int page = m.captured(2).toInt(), percent = m.captured(3).toInt();
            if (page > 0) {
                QVERIFY2(lastPercent < 0 && page > lastPage && page <= 12, qPrintable(run.err));
                lastPage = page;
            } else {
                QVERIFY2(percent > lastPercent && percent <= 100, qPrintable(run.err));
                lastPercent = percent;
            }
        }
    }

    // kill -9 mid-render: the same ids are rendered again, a retry gets them, every job is queued once; leftover folders are sorted out.
    void killedMidRenderLosesAndDoublesNothing() {
        const QString body = writeTextFile(u"killed.txt"_s, u"a line of the body\n"_s.repeated(60 * 40));
        const QVariantMap doc = heldDocument(body, 12, u"killed"_s, u"killed-1"_s);
        const QStringList ids = submitIds(doc);
        QCOMPARE(ids.size(), 12);
        QTRY_VERIFY_WITH_TIMEOUT(pagesDone(u"killed-1"_s) > 0, 20000);
        QCOMPARE(stateName(submissionState(u"killed-1"_s)), u"rendering"_s);
        killService();
        QVERIFY(QFile::remove(body));  // the client was answered: the body is the spool's now
        const QString pending = spoolRoot() + u"/submissions/"_s;
        writeFile(pending + u"ffff9/body.txt"_s, "half an accept\n");
        writeFile(pending + u"ffffa/submission.json"_s, "{not json");

        queueIds(m_server);  // starts the service again
        QVERIFY(QFileInfo::exists(spoolRoot() + u"/quarantine/submission-ffffa/submission.json"_s));
        QVERIFY(readLog().contains(u"submission ffff9: removed, it was never accepted"_s));
        QVERIFY(readLog().contains(u"submission ffffa: its record cannot be used; kept in quarantine as %1/quarantine/submission-ffffa"_s.arg(spoolRoot())));
        QCOMPARE(submitIds(doc), ids);
        QCOMPARE(stateName(finalSubmissionState(u"killed-1"_s)), u"queued"_s);
        QCOMPARE(submitIds(doc), ids);  // sent once more after it was queued: the same jobs, none added
        QCOMPARE(jobsWithSubject(u"killed"_s), 12);
        const QStringList queued = queueIds(m_server);
        for (const QString &id : ids) {
            const int pages = m_server.Folders().OutgoingQueue().GetJob(id).Pages();
            QVERIFY(queued.count(id) == 1 && pages > 30);
            QCOMPARE(tiffPages(spoolImage(u"queue"_s, id)), pages);
        }
        QVERIFY(readLog().contains(u"submission killed-1 (%1) was accepted before the service stopped; it is rendered again"_s.arg(ids.join(u','))));
        QCOMPARE(spoolFiles(u"submissions"_s) + spoolFiles(u"queue"_s, u"*.part"_s), QStringList());
    }

    // A render that takes the service down every time is given up after three, with the reason.
    void renderThatKeepsEndingTheServiceIsGivenUp() {
        const QString body = writeSlowPdf(u"crashing.pdf"_s, 3);
        QCOMPARE(submitIds(heldDocument(body, 1, u"crashing"_s, u"crashing-1"_s)).size(), 1);
        for (int kill = 0; kill < 3; ++kill) {
            QTRY_COMPARE_WITH_TIMEOUT(stateName(submissionState(u"crashing-1"_s)), u"rendering"_s, 10000);
            killService();
            queueIds(m_server);
        }
        const QVariantMap state = submissionState(u"crashing-1"_s);
        QCOMPARE(stateName(state), u"failed"_s);
        QCOMPARE(state.value(u"ErrorText"_s).toString(), u"The fax service stopped 3 times while it rendered %1; the fax was not queued."_s.arg(body));
        QCOMPARE(jobsWithSubject(u"crashing"_s), 0);
        QCOMPARE(spoolFiles(u"submissions"_s), QStringList());
    }

    // A render stuck inside one page never holds the service or the spool when its bus ends or SIGTERM comes.
    void stuckRenderNeverHoldsTheSpool() {
        if (serviceRunning())
            killService();
        const QVariantMap doc = heldDocument(writeSlowPdf(u"stuck.pdf"_s, 4), 1, u"stuck"_s, u"stuck-1"_s);
        for (const bool bySignal : {false, true}) {
            QProcess daemon, service;  // a bus and a service of their own, that the test can end
            service.setProcessEnvironment(startPrivateBus(daemon));
            service.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            service.start(qEnvironmentVariable("SENDMERE_TEST_BIN_DIR") + u"/sendmere-faxd"_s, {});
            const QString address = service.processEnvironment().value(u"DBUS_SESSION_BUS_ADDRESS"_s);
            const QDBusConnection connection = QDBusConnection::connectToBus(address, address);
            QTRY_VERIFY_WITH_TIMEOUT(connection.call(busMessage(u"ListJobs"_s, {})).type() == QDBusMessage::ReplyMessage, 10000);
            QCOMPARE(connection.call(busMessage(u"Submit"_s, {doc})).type(), QDBusMessage::ReplyMessage);
            QTRY_COMPARE_WITH_TIMEOUT(stateName(submissionState(u"stuck-1"_s, connection)), u"rendering"_s, 10000);
            QTest::qWait(500);  // well inside the page
            bySignal ? service.terminate() : daemon.terminate();
            QVERIFY2(service.waitForFinished(8000), bySignal ? "SIGTERM" : "end of the bus");
            QLockFile lock(spoolRoot() + u"/spool.lock"_s);  // as a starting service takes it
            lock.setStaleLockTime(0);
            QVERIFY(lock.tryLock(0));
            QDBusConnection::disconnectFromBus(address);
        }
        QVERIFY(readLog().contains(u"asked to stop by a signal"_s));
        QCOMPARE(readLog().count(u"a render did not stop; the fax service ends without it"_s), 2);
        QVERIFY(readLog().contains(u"submission stuck-1 ("_s));
        QDir(spoolRoot() + u"/submissions"_s).removeRecursively();  // no later start renders it for minutes
    }
};

QTEST_MAIN(TestFaxSubmission)
#include "tst_faxsubmission.moc"
