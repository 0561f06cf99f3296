// The finish page's preview, end to end through the real fax service: the service renders
// the fax, the event handlers copy and cancel the job, the viewer is asked to open the copy,
// and the page's ways out delete it.
#include "BridgeTestKit.h"
#include "FaxRender.h"
#include "TestSeams.h"
#include "TestSupport.h"
#include "WizardTestKit.h"
#include "RegistryStore.h"
#include "bridge/CEvent.h"
#include "bridge/cFaxEvent.h"
#include "bridge/frmtest.h"
#include "platform/fax/FaxClient.h"
#include "session/mCommon.h"
#include "wizard/frmFinish.h"

#include <QPushButton>

using namespace sendmere;

namespace {

const QString Viewer = QStringLiteral("\"/usr/bin/test viewer\" \"%1\"");

// A cover page and a three-page report to Ann.
void previewJob() {
    const QString report = QDir::tempPath() + QStringLiteral("/docs/report.pdf");
    QDir().mkpath(QDir::tempPath() + QStringLiteral("/docs"));
    test::writePdf(report, 3);
    test::jobToAnn(test::coverBase() + QStringLiteral("/server/general.svg"), true, report).FaxSubject = QStringLiteral("Quarterly figures");
}

// Every outgoing event the service raises, as "Added id", "Changed id status", ...
struct ServiceWatch {
    fax::FaxServer server;
    QStringList events;
    ServiceWatch() {
        server.Connect(QString());
        server.ListenToServerEvents(fax::EventsOutgoingQueue | fax::EventsOutgoingArchive | fax::EventsIncomingArchive);
        using fax::FaxServer;
        QObject::connect(&server, &FaxServer::OnOutgoingJobAdded, [this](FaxServer *, const QString &id) { events << QStringLiteral("Added ") + id; });
        QObject::connect(&server, &FaxServer::OnOutgoingJobChanged, [this](FaxServer *, const QString &id, int status) {
            events << QStringLiteral("Changed %1 %2").arg(id).arg(status);
        });
        QObject::connect(&server, &FaxServer::OnOutgoingMessageAdded, [this](FaxServer *, const QString &id) { events << QStringLiteral("Sent ") + id; });
        QObject::connect(&server, &FaxServer::OnIncomingMessageAdded, [this](FaxServer *, const QString &id) { events << QStringLiteral("Received ") + id; });
    }
    QStringList added() const { return events.filter(QStringLiteral("Added ")); }
    QString firstAddedId() const { return added().value(0).mid(6); }
};

// The finish page for previewJob(), with Preview pressed once.
frmFinish &pressPreview() {
    previewJob();
    frmFinish &page = sendmere::page<frmFinish>();
    page.showPage();
    if (!QTest::qWaitFor([&] { return page.isActiveWindow(); })) qWarning("the finish page never became active");
    QTest::mouseClick(page.btnPreview, Qt::LeftButton);
    return page;
}

}  // namespace

class TestPreview : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() {
        // A job dials half a second after it is queued and is sent in no time after that.
        test::writeFaxdConfig(0.5);
        test::useCoverPageDirectories(test::coverBase());
        render::ensureShippedCoverPages(test::coverBase() + QStringLiteral("/server"));
    }
    void init() {
        test::clearErrorLog();
        test::registerTiffViewer(Viewer);
    }
    void cleanup() {
        test::releaseAllPages();
        faxJob().PreviewSink.reset();
        faxJob().PreviewFile.clear();
        faxJob().PreviewMode = VbFalse;
    }

    // The classes root names the viewer's class, whose open command tells whether a viewer
    // is registered.
    void theViewerCommandComesFromTheClassesRoot() {
        const std::pair<QString, QString> rows[] = {
            {Viewer, QStringLiteral("/usr/bin/test viewer")},
            {QStringLiteral("/opt/my viewer/view %1"), QStringLiteral("/opt/my viewer/view")},
            {QString(), QString()},
        };
        for (const auto &[command, expected] : rows) {
            test::registerTiffViewer(command);
            QCOMPARE(tiffViewerCommand(), expected);
        }
        // A class without an open command.
        CWinReg reg;
        QVERIFY(reg.OpenKey(CWinReg::HKEY_CLASSES_ROOT(), QStringLiteral(".tiff"), true));
        QVERIFY(reg.SetStringValue(QString(), QStringLiteral("Other.Class")));
        reg.CloseKey();
        QCOMPARE(tiffViewerCommand(), QString());
        // Looking only reads: the class named but not registered stays unregistered.
        const registry::RegistryStore store;
        QVERIFY(!store.keyExists(registry::Root::ClassesRoot, QStringLiteral("Other.Class")));
        QVERIFY(!store.keyExists(registry::Root::ClassesRoot, QStringLiteral("Other.Class\\shell\\open\\command")));
    }

    void previewRendersOpensAndLeavesNoTrace() {
        test::RecordingSeams seams;
        ServiceWatch watch;
        frmFinish &page = pressPreview();
        QTRY_COMPARE(seams.recorded().opened.size(), 1);

        const QString id = watch.firstAddedId();
        const QString file = mCommon::GetTempDir() + QStringLiteral("fax") + id + QStringLiteral(".tiff");
        QCOMPARE(seams.recorded().opened.first(), file);
        QCOMPARE(faxJob().PreviewFile, file);
        QCOMPARE(faxJob().PreviewMode, VbFalse);
        // The service's own rendering: the cover page and the three pages of the report.
        QCOMPARE(render::tiffPageCount(file), 4);
        QVERIFY(seams.recorded().messages.isEmpty());
        // The body copy made for the submission is gone again.
        QVERIFY(!QFile::exists(faxJob().TempBodyFile));

        // The job was dialling when the cancel came; it is gone, and nothing reaches the
        // archives after the time the transmission would have needed.
        QTRY_VERIFY(watch.events.contains(QStringLiteral("Changed %1 512").arg(id)));
        QVERIFY(watch.events.contains(QStringLiteral("Changed %1 2").arg(id)));
        QTest::qWait(1500);
        QVERIFY(test::queuedJobIds(watch.server).isEmpty());
        QVERIFY(test::archivedIds(watch.server.Folders().OutgoingArchive()).isEmpty());
        QVERIFY(test::archivedIds(watch.server.Folders().IncomingArchive()).isEmpty());
        QVERIFY2(watch.events.filter(QRegularExpression(QStringLiteral("^(Sent|Received) "))).isEmpty(), qPrintable(watch.events.join(u',')));

        // Again: the same file, no second job.
        QTest::mouseClick(page.btnPreview, Qt::LeftButton);
        QCOMPARE(seams.recorded().opened, (QStringList{file, file}));
        QTest::qWait(300);
        QCOMPARE(watch.added().size(), 1);

        // Back deletes it; the next Preview renders anew.
        QTest::mouseClick(page.btnBack, Qt::LeftButton);
        QVERIFY(!QFile::exists(file));
        QVERIFY(faxJob().PreviewFile.isEmpty());
        QVERIFY(test::errorLogLines().filter(QRegularExpression(QStringLiteral("Preview|ConnectOutlook|mEventer|cEvent"))).isEmpty());
    }

    void withoutAViewerTheFileStaysForLater() {
        test::RecordingSeams seams;
        test::registerTiffViewer(QString());
        ServiceWatch watch;
        frmFinish &page = pressPreview();
        QTRY_COMPARE(seams.recorded().messages.size(), 1);
        QCOMPARE(seams.recorded().messages.first().text, QStringLiteral("Please install tiff viewer."));
        QCOMPARE(seams.recorded().messages.first().title, mCommon::ProgramTitle);
        QVERIFY(seams.recorded().opened.isEmpty());
        const QString file = faxJob().PreviewFile;
        QVERIFY(QFile::exists(file));
        QCOMPARE(faxJob().PreviewMode, VbFalse);

        // The next press shows the same message without rendering again.
        QTest::mouseClick(page.btnPreview, Qt::LeftButton);
        QCOMPARE(seams.recorded().messages.size(), 2);
        QTest::qWait(300);
        QCOMPARE(watch.added().size(), 1);
        QVERIFY(QFile::exists(file));

        // Cancel deletes it and ends the program.
        QTest::mouseClick(page.CancelButton, Qt::LeftButton);
        QVERIFY(!QFile::exists(file));
        QCOMPARE(seams.recorded().exitCodes, QList<int>{0});
    }

    // Finish deletes the preview and sends the fax as the wizard built it.
    void finishDeletesThePreviewAndSendsTheFax() {
        test::RecordingSeams seams;
        ServiceWatch watch;
        frmFinish &page = pressPreview();
        QTRY_COMPARE(seams.recorded().opened.size(), 1);
        const QString file = seams.recorded().opened.first();
        QTest::mouseClick(page.OKButton, Qt::LeftButton);
        // The submission runs off the GUI thread; the program ends once the fax is queued.
        QTRY_COMPARE_WITH_TIMEOUT(seams.recorded().exitCodes, QList<int>{0}, 30000);
        QVERIFY(!QFile::exists(file));
        QTRY_COMPARE(watch.added().size(), 2);
        const QString sentId = watch.added().at(1).mid(6);
        QTRY_VERIFY(test::archivedIds(watch.server.Folders().OutgoingArchive()).contains(sentId));
        const QString image = QDir::tempPath() + QStringLiteral("/sent.tiff");
        watch.server.Folders().OutgoingArchive().GetMessage(sentId).CopyTiff(image);
        QCOMPARE(render::tiffPageCount(image), 4);
    }

    // An outgoing message archived while preview mode is set is the preview: copied, then
    // deleted from the archive.
    void anArchivedMessageInPreviewModeIsTakenAsThePreview() {
        test::RecordingSeams seams;
        ServiceWatch watch;
        fax::FaxDocument doc;
        doc.Recipients.Add(QStringLiteral("222"), QStringLiteral("Bob"));
        doc.Subject = QStringLiteral("Archived");
        doc.Body = QDir::tempPath() + QStringLiteral("/note.txt");
        test::writeFile(doc.Body, "One page of text\n");
        const QString id = doc.ConnectedSubmit(watch.server).first();
        QTRY_VERIFY(test::archivedIds(watch.server.Folders().OutgoingArchive()).contains(id));

        cFaxEvent sink;
        page<frmtest>().Tim->stop();  // the handler alone
        faxJob().PreviewMode = VbTrue;
        sink.oFaxEvents_OnOutgoingMessageAdded(sink.GetServer(), id);
        const QString file = mCommon::GetTempDir() + QStringLiteral("fax") + id + QStringLiteral(".tiff");
        QCOMPARE(seams.recorded().opened, QStringList{file});
        QCOMPARE(render::tiffPageCount(file), 1);
        QVERIFY(!test::archivedIds(watch.server.Folders().OutgoingArchive()).contains(id));
        QCOMPARE(faxJob().PreviewMode, VbFalse);

        // A message that has gone already: the handler logs under its own name.
        faxJob().PreviewMode = VbTrue;
        faxJob().PreviewFile.clear();
        sink.oFaxEvents_OnOutgoingMessageAdded(sink.GetServer(), id);
        QCOMPARE(seams.recorded().opened.size(), 1);
        QCOMPARE(test::errorLogLines().filter(QStringLiteral("\"ConnectOutlook.oFaxEvents_OnOutgoingMessageAdded\"")).size(), 1);
    }
};

QTEST_MAIN(TestPreview)
#include "tst_preview.moc"
