// The finish page's preview, end to end through the real fax service, and the program's own mirror of the fax service's
// outgoing traffic into the mail folders that the first preview starts.
#include "BridgeTestKit.h"
#include "RegistryStore.h"
#include "bridge/CEvent.h"
#include "bridge/COwnFaxEventer.h"
#include "bridge/cFaxEvent.h"
#include "bridge/frmtest.h"
#include "wizard/frmFinish.h"

using namespace sendmere;
using namespace sendmere::test;
using mail::FolderOutbox, mail::FolderSentItems;

namespace {

const QString Viewer = u"\"/usr/bin/test viewer\" \"%1\""_s;

// Every outgoing event the service raises, as "Added id", "Changed id status", ...
struct ServiceWatch {
    fax::FaxServer server;
    QStringList events;
    ServiceWatch() {
        using fax::FaxServer;
        server.Connect(QString());
        server.ListenToServerEvents(fax::EventsOutgoingQueue | fax::EventsOutgoingArchive | fax::EventsIncomingArchive);
        QObject::connect(&server, &FaxServer::OnOutgoingJobAdded, [this](FaxServer *, const QString &id) { events << u"Added "_s + id; });
        QObject::connect(&server, &FaxServer::OnOutgoingJobChanged, [this](FaxServer *, const QString &id, int status) { events << u"Changed %1 %2"_s.arg(id).arg(status); });
        QObject::connect(&server, &FaxServer::OnOutgoingMessageAdded, [this](FaxServer *, const QString &id) { events << u"Sent "_s + id; });
        QObject::connect(&server, &FaxServer::OnIncomingMessageAdded, [this](FaxServer *, const QString &id) { events << u"Received "_s + id; });
    }
    QStringList added() const { return events.filter(u"Added "_s).replaceInStrings(u"Added "_s, QString()); }
};

// The finish page for a cover page and a three-page report to Ann, with Preview pressed once.
frmFinish &pressPreview() {
    const QString report = QDir::tempPath() + u"/docs/report.pdf"_s;  // not in the temporary folder the body copy goes to
    QDir().mkpath(QDir::tempPath() + u"/docs"_s);
    writePdf(report, 3);
    jobToAnn(coverBase() + u"/server/general.svg"_s, true, report).FaxSubject = u"Quarterly figures"_s;
    frmFinish &page = shownPage<frmFinish>();
    if (!QTest::qWaitFor([&] { return page.isActiveWindow(); })) qWarning("the finish page never became active");
    QTest::mouseClick(page.btnPreview, Qt::LeftButton);
    return page;
}

QString previewFile(const QString &id) { return mCommon::GetTempDir() + u"fax"_s + id + u".tiff"_s; }

// A fax due tomorrow, so that it stays in the queue.
QString queueForTomorrow(fax::FaxServer &server, const QString &subject) {
    fax::FaxDocument doc;
    doc.Recipients.Add(u"444"_s, u"Dan"_s);
    doc.Subject = subject;
    doc.ScheduleType = fax::ScheduleSpecificTime;
    doc.ScheduleTime = QDateTime::currentDateTime().addDays(1);
    writeFile(doc.Body = QDir::tempPath() + u"/body.txt"_s, "body\n");
    return doc.ConnectedSubmit(server).first();
}

int itemsWith(int folder, const QString &subject) { return int(faxIds(folder, subject).size()); }

}  // namespace

class TestPreview : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() {
        writeFaxdConfig(2.0);  // jobs due now dial after two seconds
        useCoverPageDirectories(coverBase());
        render::ensureShippedCoverPages(coverBase() + u"/server"_s);
        mCommon::Start(false);  // the temporary directory the fax images are copied to
    }
    void init() { clearErrorLog(), emptyMailStore(); }
    void cleanup() { releaseAllPages(), faxJob().PreviewSink.reset(), faxJob().PreviewMode = VbFalse; }

    // The classes root names the viewer's class, whose open command is the viewer; looking only reads.
    void theViewerCommandComesFromTheClassesRoot() {
        const std::pair<QString, QString> rows[] = {
            {Viewer, u"/usr/bin/test viewer"_s}, {u"/opt/my viewer/view %1"_s, u"/opt/my viewer/view"_s}, {QString(), QString()}};
        for (const auto &[command, expected] : rows) {
            registerTiffViewer(command);
            QCOMPARE(tiffViewerCommand(), expected);
        }
        setRegistryString(CWinReg::HKEY_CLASSES_ROOT(), u".tiff"_s, QString(), u"Other.Class"_s);  // a class without an open command
        QCOMPARE(tiffViewerCommand(), QString());
        QVERIFY(!registry::RegistryStore().keyExists(registry::Root::ClassesRoot, u"Other.Class"_s));
    }

    // Rendered by the service, kept without a viewer, the same file opened at every press; Back and Finish delete it.
    void previewRendersOpensAndLeavesNoTrace() {
        registerTiffViewer(QString());
        RecordingSeams seams;
        ServiceWatch watch;
        frmFinish &page = pressPreview();
        QTRY_COMPARE(seams.recorded().messages.size(), 1);
        QCOMPARE(seams.recorded().texts(), QStringList{u"Please install tiff viewer."_s});
        QCOMPARE(seams.recorded().messages.first().title, mCommon::ProgramTitle);
        const QString id = watch.added().value(0), file = previewFile(id);
        QVERIFY(faxJob().PreviewFile == file && faxJob().PreviewMode == VbFalse);
        QCOMPARE(render::tiffPageCount(file), 4);  // the cover page and the report's three
        QVERIFY(!QFile::exists(faxJob().TempBodyFile));  // the body copy made for the submission
        // The job was dialling when the cancel came; nothing reaches the archives later.
        QTRY_VERIFY(watch.events.contains(u"Changed %1 512"_s.arg(id)));
        QVERIFY(watch.events.contains(u"Changed %1 2"_s.arg(id)));
        QTest::qWait(1500);
        QVERIFY(queuedJobIds(watch.server).isEmpty() && archivedIds(watch.server.Folders().OutgoingArchive()).isEmpty() &&
                archivedIds(watch.server.Folders().IncomingArchive()).isEmpty());
        QVERIFY2(watch.events.filter(QRegularExpression(u"^(Sent|Received) "_s)).isEmpty(), qPrintable(watch.events.join(u',')));

        registerTiffViewer(Viewer);
        for (int press = 1; press <= 2; ++press) QTest::mouseClick(page.btnPreview, Qt::LeftButton);
        QCOMPARE(seams.recorded().opened, (QStringList{file, file}));
        QTest::qWait(300);
        QVERIFY(watch.added().size() == 1 && seams.recorded().messages.size() == 1);
        QTest::mouseClick(page.btnBack, Qt::LeftButton);
        QVERIFY(!QFile::exists(file) && faxJob().PreviewFile.isEmpty());
        QVERIFY2(errorLogLines().filter(QRegularExpression(u"Preview|ConnectOutlook|mEventer|cEvent"_s)).isEmpty(), qPrintable(errorLogLines().join(u'\n')));

        waitForPageGone(frmFinish::pageId);
        frmFinish &again = pressPreview();
        QTRY_COMPARE(seams.recorded().opened.size(), 3);
        QCOMPARE(seams.recorded().opened.last(), previewFile(watch.added().value(1)));
        QTest::mouseClick(again.OKButton, Qt::LeftButton);
        // The submission runs off the GUI thread; the program ends once the fax is queued.
        QTRY_COMPARE_WITH_TIMEOUT(seams.recorded().exitCodes, QList<int>{0}, 30000);
        QVERIFY(!QFile::exists(seams.recorded().opened.last()));
        QTRY_COMPARE(watch.added().size(), 3);
        const QString image = QDir::tempPath() + u"/sent.tiff"_s;
        QTRY_VERIFY(archivedIds(watch.server.Folders().OutgoingArchive()).contains(watch.added().at(2)));
        watch.server.Folders().OutgoingArchive().GetMessage(watch.added().at(2)).CopyTiff(image);
        QCOMPARE(render::tiffPageCount(image), 4);
    }

    // An archived message in preview mode is the preview: copied, then deleted; one gone already is logged.
    void anArchivedMessageInPreviewModeIsTakenAsThePreview() {
        registerTiffViewer(Viewer);
        RecordingSeams seams;
        ServiceWatch watch;
        fax::FaxDocument doc;
        doc.Recipients.Add(u"222"_s, u"Bob"_s);
        writeFile(doc.Body = QDir::tempPath() + u"/note.txt"_s, "One page of text\n");
        const QString id = doc.ConnectedSubmit(watch.server).first();
        QTRY_VERIFY(archivedIds(watch.server.Folders().OutgoingArchive()).contains(id));
        cFaxEvent sink;
        page<frmtest>().Tim->stop();  // the handler alone
        for (int round = 1; round <= 2; ++round) {
            faxJob().PreviewMode = VbTrue;
            faxJob().PreviewFile.clear();
            sink.oFaxEvents_OnOutgoingMessageAdded(sink.GetServer(), id);
            QCOMPARE(seams.recorded().opened, QStringList{previewFile(id)});
            QCOMPARE(errorLogLines().filter(u"\"ConnectOutlook.oFaxEvents_OnOutgoingMessageAdded\""_s).size(), round - 1);
            if (round == 2) break;
            QCOMPARE(render::tiffPageCount(previewFile(id)), 1);
            QVERIFY(!archivedIds(watch.server.Folders().OutgoingArchive()).contains(id) && faxJob().PreviewMode == VbFalse);
        }
    }

    // Outbox items come and go with the jobs (in preview mode they stay); a stopped service loses none.
    void thePollReportsJobsThatComeAndGo() {
        fax::FaxServer server;
        server.Connect(QString());
        const QString early = queueForTomorrow(server, u"Early"_s);
        COwnFaxEventer eventer;
        QVERIFY(eventer.knownJobs().ids().contains(early) && eventer.RaiseFaxEvent());
        QCOMPARE(itemsWith(FolderOutbox, u"Early"_s), 0);

        const QString c = queueForTomorrow(server, u"Third"_s), d = queueForTomorrow(server, u"Fourth"_s);
        QVERIFY(eventer.RaiseFaxEvent() && eventer.RaiseFaxEvent());
        QCOMPARE(faxIds(FolderOutbox, u"Third"_s) + faxIds(FolderOutbox, u"Fourth"_s), (QStringList{c, d}));
        QCOMPARE(itemCount(FolderOutbox), 2);
        // Two jobs, next to each other in the list, leave in the same second: the sweep keeps the order of the rest.
        for (const QString &id : {c, d}) server.Folders().OutgoingQueue().GetJob(id).Cancel();
        QVERIFY(eventer.RaiseFaxEvent());
        QVERIFY(itemCount(FolderOutbox) == 0 && eventer.knownJobs().ids() == QStringList{early});

        const QString kept = queueForTomorrow(server, u"Kept"_s), e = queueForTomorrow(server, u"Fifth"_s);
        QVERIFY(eventer.RaiseFaxEvent());
        faxJob().PreviewMode = VbTrue;
        server.Folders().OutgoingQueue().GetJob(e).Cancel();
        QVERIFY(eventer.RaiseFaxEvent() && !eventer.knownJobs().contains(e));
        QCOMPARE(itemsWith(FolderOutbox, u"Fifth"_s), 1);
        faxJob().PreviewMode = VbFalse;
        server.Folders().OutgoingQueue().GetJob(early).Cancel();
        QVERIFY2(errorLogLines().isEmpty(), qPrintable(errorLogLines().join(u'\n')));

        signalFaxService(SIGSTOP);
        QVERIFY(!eventer.RaiseFaxEvent());
        signalFaxService(SIGCONT);
        QCOMPARE(errorLogLines().size(), 1);
        QVERIFY(errorLogLines().first().startsWith(u"462,"_s) && errorLogLines().first().contains(u"\"mEventer.RaiseFaxEventer\""_s));
        QVERIFY(eventer.knownJobs().contains(kept) && eventer.RaiseFaxEvent());
        QCOMPARE(itemsWith(FolderOutbox, u"Kept"_s), 1);
        server.Folders().OutgoingQueue().GetJob(kept).Cancel();
    }

    // From the first preview on, other programs' faxes are mirrored, also after the service died.
    void afterAPreviewOtherProgramsFaxesAreMirrored() {
        registerTiffViewer(Viewer);
        RecordingSeams seams;
        writeFile(QDir::tempPath() + u"/preview.txt"_s, "preview\n");
        jobToAnn(coverBase() + u"/personal/none.svg"_s, false, QDir::tempPath() + u"/preview.txt"_s);
        frmFinish &finish = shownPage<frmFinish>();
        QTRY_VERIFY(finish.isActiveWindow());
        QTest::mouseClick(finish.btnPreview, Qt::LeftButton);
        QTRY_COMPARE(seams.recorded().opened.size(), 1);
        QVERIFY(existingPage<frmtest>() && existingPage<frmtest>()->Tim->isActive());

        for (int round = 1; round <= 2; ++round) {
            const QString subject = u"From the console %1"_s.arg(round);
            QVERIFY(console({u"send"_s, u"--to"_s, u"555"_s, u"--subject"_s, subject, QDir::tempPath() + u"/preview.txt"_s}));
            QTRY_COMPARE(itemsWith(FolderOutbox, subject), 1);
            QTRY_COMPARE_WITH_TIMEOUT(itemsWith(FolderSentItems, subject), 1, 15000);
            QTRY_COMPARE(itemsWith(FolderOutbox, subject), 0);
            fax::FaxServer server;
            server.Connect(QString());
            server.Folders().OutgoingArchive().GetMessage(faxIds(FolderSentItems, subject).first()).Delete();
            QTRY_COMPARE(itemsWith(FolderSentItems, subject), 0);
            if (round == 1) {
                signalFaxService(SIGKILL);
                QTest::qWait(2500);  // polls meet the dead service
                QVERIFY(existingPage<frmtest>()->Tim->isActive());
            }
        }
        faxJob().PreviewSink.reset();  // releasing the sink stops the poll
        QVERIFY(!existingPage<frmtest>());
    }

    // "recv" answers the ringing line, and the fax is received.
    void recvAnswersTheRingingLine() {
        const qsizetype before = receivedIds().size();
        writeFile(QDir::tempPath() + u"/incoming.txt"_s, "an incoming fax\n");
        fax::FaxServer server;
        server.Connect(QString());
        server.GetDevices().Item(1).SimulateIncomingCall(u"5550777"_s, QDir::tempPath() + u"/incoming.txt"_s);
        runEntry(u"recv"_s);
        QTRY_COMPARE_WITH_TIMEOUT(receivedIds().size(), before + 1, 15000);
        QCOMPARE(errorLogLines(), QStringList());
    }
};

QTEST_MAIN(TestPreview)
#include "tst_preview.moc"
