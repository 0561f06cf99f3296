// The finish page's preview, end to end through the real fax service.
#include "BridgeTestKit.h"
#include "RegistryStore.h"
#include "bridge/CEvent.h"
#include "bridge/cFaxEvent.h"
#include "bridge/frmtest.h"
#include "wizard/frmFinish.h"

using namespace sendmere;
using namespace sendmere::test;

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

}  // namespace

class TestPreview : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() {
        writeFaxdConfig(0.5);
        useCoverPageDirectories(coverBase());
        render::ensureShippedCoverPages(coverBase() + u"/server"_s);
    }
    void cleanup() { releaseAllPages(), faxJob().PreviewSink.reset(); }

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
        clearErrorLog();
        registerTiffViewer(QString());
        RecordingSeams seams;
        ServiceWatch watch;
        frmFinish &page = pressPreview();
        QTRY_COMPARE(seams.recorded().messages.size(), 1);
        QCOMPARE(seams.recorded().messages.first().text, u"Please install tiff viewer."_s);
        QCOMPARE(seams.recorded().messages.first().title, mCommon::ProgramTitle);
        const QString id = watch.added().value(0), file = previewFile(id);
        QCOMPARE(faxJob().PreviewFile, file);
        QCOMPARE(faxJob().PreviewMode, VbFalse);
        QCOMPARE(render::tiffPageCount(file), 4);  // the cover page and the report's three
        QVERIFY(!QFile::exists(faxJob().TempBodyFile));  // the body copy made for the submission
        // The job was dialling when the cancel came; nothing reaches the archives later.
        QTRY_VERIFY(watch.events.contains(u"Changed %1 512"_s.arg(id)));
        QVERIFY(watch.events.contains(u"Changed %1 2"_s.arg(id)));
        QTest::qWait(1500);
        QVERIFY(queuedJobIds(watch.server).isEmpty() && archivedIds(watch.server.Folders().OutgoingArchive()).isEmpty());
        QVERIFY(archivedIds(watch.server.Folders().IncomingArchive()).isEmpty());
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
        const QString sentId = watch.added().at(2), image = QDir::tempPath() + u"/sent.tiff"_s;
        QTRY_VERIFY(archivedIds(watch.server.Folders().OutgoingArchive()).contains(sentId));
        watch.server.Folders().OutgoingArchive().GetMessage(sentId).CopyTiff(image);
        QCOMPARE(render::tiffPageCount(image), 4);
    }

    // An archived message in preview mode is the preview: copied, then deleted; one gone already is logged.
    void anArchivedMessageInPreviewModeIsTakenAsThePreview() {
        clearErrorLog();
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
};

QTEST_MAIN(TestPreview)
#include "tst_preview.moc"
