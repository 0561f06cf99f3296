// The scan page and the "scan" action over the scanner library's "test" backend: the device
// list, the acquisition per device of the chosen name, what the fax job holds afterwards,
// the failures that must leave nothing behind, and the scanned page through the wizard into
// the fax service's queue.
#include "FaxRender.h"
#include "RegistryStore.h"
#include "ScanTestKit.h"
#include "TestSeams.h"
#include "TestSupport.h"
#include "WizardTestKit.h"
#include "app/Init.h"
#include "extras/frmWarning.h"
#include "platform/fax/FaxClient.h"
#include "send/CoverPageDirectories.h"
#include "session/mCommon.h"
#include "wizard/frmCover.h"
#include "wizard/frmFinish.h"
#include "wizard/frmNew.h"
#include "wizard/frmScan.h"
#include "wizard/frmScanning.h"
#include "wizard/frmSend.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>

using namespace sendmere;
using scantest::DialogDriver;

namespace {

using scantest::tempFiles;

// The "scan" action ended the program with nothing attached and no image left behind.
void expectNothingScanned(test::RecordingSeams &seams) {
    QCOMPARE(seams.recorded().exitCodes, QList<int>{0});
    QCOMPARE(faxJob().Attachments.upperBound(), 0);
    QVERIFY(tempFiles(QStringLiteral("*.bmp")).isEmpty());
    QVERIFY(!existingPage<frmNew>());
}

// What the program showed at the moment frmScanning appeared.
class ScanningWatch : public QObject {
public:
    ScanningWatch() { qApp->installEventFilter(this); }
    int shown = 0;
    bool scanPageVisible = false;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override {
        auto *scanning = qobject_cast<frmScanning *>(watched);
        if (scanning && event->type() == QEvent::Show) {
            ++shown;
            scanPageVisible = existingPage<frmScan>() && existingPage<frmScan>()->isVisible();
        }
        return false;
    }
};

}  // namespace

class TestScanPage : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() {
        shipCoverPagesWhenSeeded();  // as the program does at its start
        test::holdFaxJobsBack();
        // A device that hangs fails its test within seconds instead of holding the run.
        scantest::setScanTimeout(15);
    }
    void init() {
        scantest::removeScans();
        test::clearErrorLog();
        ResetFaxJob();
        faxJob().Attachments.redim(0);
    }
    void cleanup() { test::releaseAllPages(); }

    // Both devices of the backend have one name: choosing it acquires from each in turn, and
    // the job keeps the last image.
    void twoDevicesOfOneNameScanOneAfterTheOther() {
        scantest::useTestScanners(2, {QStringLiteral("test-picture Grid")});
        frmScan &scan = page<frmScan>();
        QCOMPARE(test::column(scan.lvScanDevices, 0), QStringList(2, QStringLiteral("Noname frontend-tester")));
        QCOMPARE(test::column(scan.lvScanDevices, 1), QStringList(2, QStringLiteral("virtual device")));
        scan.showPage();
        QTRY_VERIFY(scan.isActiveWindow());

        ScanningWatch seen;
        QStringList dialogsFor;
        const scantest::DialogAction scanNoting = [&](imaging::AcquisitionDialog &d) {
            dialogsFor << d.windowTitle();
            DialogDriver::scan(d);
        };
        DialogDriver driver({scanNoting, scanNoting});
        QTest::mouseClick(scan.OKButton, Qt::LeftButton);
        QCOMPARE(dialogsFor, QStringList(2, QStringLiteral("Noname frontend-tester")));
        QCOMPARE(seen.shown, 2);
        QVERIFY(!seen.scanPageVisible);
        QVERIFY(!existingPage<frmScanning>()->isVisible());
        QVERIFY(scan.isHidden());

        // One image per device, each beside the temporary file reserved for it.
        const QStringList images = tempFiles(QStringLiteral("Fax*.bmp"));
        QCOMPARE(images.size(), 2);
        for (const QString &image : images) {
            QVERIFY(QFile::exists(QDir::temp().filePath(QString(image).replace(QStringLiteral(".bmp"), QStringLiteral(".tmp")))));
            const QImage scanned(QDir::temp().filePath(image));
            QVERIFY2(!scanned.isNull(), qPrintable(image));
            QVERIFY2(scantest::looksLikeGrid(scanned, 50), qPrintable(QStringLiteral("%1x%2").arg(scanned.width()).arg(scanned.height())));
        }
        QCOMPARE(faxJob().Attachments.upperBound(), 1);
        // The image of the second device, written last.
        QCOMPARE(faxJob().Attachments(1), QDir::temp().filePath(tempFiles(QStringLiteral("Fax*.bmp"), QDir::Time).first()));
        QVERIFY(test::errorLogLines().isEmpty());
    }

    // Every ".tmp" of the reserved name becomes ".bmp", the folder's too; the reserved file stays.
    void theImagePathReplacesEveryTmp() {
        const QByteArray savedTemp = qgetenv("TMPDIR");
        const QString folder = QDir::tempPath() + QStringLiteral("/in.tmp");
        QVERIFY(QDir().mkpath(folder));
        qputenv("TMPDIR", QFile::encodeName(folder));
        const QString path = newScanImagePath();
        qputenv("TMPDIR", savedTemp);
        const QString name = QFileInfo(path).fileName();
        QCOMPARE(QFileInfo(path).path(), QString(folder).replace(QStringLiteral("in.tmp"), QStringLiteral("in.bmp")));
        QVERIFY(name.startsWith(QStringLiteral("Fax")) && name.endsWith(QStringLiteral(".bmp")));
        QVERIFY(QFile::exists(folder + u'/' + QString(name).replace(QStringLiteral(".bmp"), QStringLiteral(".tmp"))));
    }

    // A cancelled dialog leaves the job without an image, also after an image from the other
    // device of that name; with no row, OK does nothing.
    void aCancelledDialogLeavesNoImage() {
        scantest::useTestScanners(2);
        frmScan &scan = page<frmScan>();
        {
            DialogDriver driver({DialogDriver::cancel, DialogDriver::cancel});
            scan.ScanFromDevice(QStringLiteral("Noname frontend-tester"));
            QCOMPARE(driver.handled(), 2);
            QCOMPARE(faxJob().Attachments.upperBound(), 0);
            QVERIFY(tempFiles(QStringLiteral("*.bmp")).isEmpty());
        }
        {
            DialogDriver driver({DialogDriver::scan, DialogDriver::cancel});
            scan.ScanFromDevice(QStringLiteral("Noname frontend-tester"));
            QCOMPARE(driver.handled(), 2);
            QCOMPARE(faxJob().Attachments.upperBound(), 0);
            QCOMPARE(tempFiles(QStringLiteral("*.bmp")).size(), 1);
        }
        test::releaseAllPages();
        scantest::useTestScanners(0);
        frmScan &empty = page<frmScan>();
        QCOMPARE(empty.lvScanDevices->topLevelItemCount(), 0);
        DialogDriver driver({});
        QTest::mouseClick(empty.OKButton, Qt::LeftButton);
        QCOMPARE(driver.handled(), 0);
    }

    // A device gone between the list and the scan, or one that breaks off, attaches nothing
    // and the other device of the name still scans; the scanning window goes away each time.
    void failingDevicesAttachNothing() {
        scantest::useTestScanners(2);
        frmScan &scan = page<frmScan>();
        scan.Devices[0].DeviceID = QStringLiteral("test:9");  // unplugged after the list was read
        {
            DialogDriver driver({DialogDriver::scan});
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("test:9")));
            scan.ScanFromDevice(QStringLiteral("Noname frontend-tester"));
            QCOMPARE(driver.handled(), 1);
            QCOMPARE(faxJob().Attachments.upperBound(), 1);
            QVERIFY(QFile::exists(faxJob().Attachments(1)));
        }
        test::releaseAllPages();

        init();
        scantest::useTestScanners(1, {QStringLiteral("read-status-code SANE_STATUS_JAMMED")});
        test::RecordingSeams seams;
        DialogDriver jammed({DialogDriver::scan});
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("Document feeder jammed")));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("Document feeder jammed")));
        test::clearErrorLog();
        runEntry(QStringLiteral("scan"));
        QCOMPARE(jammed.handled(), 1);
        expectNothingScanned(seams);
        // The reason is in the program's error log, not only on its error output.
        const QStringList logged = test::errorLogLines().filter(QStringLiteral("frmScan.ScanFromDevice"));
        QCOMPARE(logged.size(), 1);
        QVERIFY2(logged.first().contains(QStringLiteral("Document feeder jammed")), qPrintable(logged.first()));
    }

    // Cancel on the scanning window stops the scan half way: no image, and the program ends.
    void cancelWhileScanningEndsWithoutImage() {
        scantest::useTestScanners(1, scantest::SlowScan);
        test::RecordingSeams seams;
        bool clicked = false;
        QTimer poll;
        connect(&poll, &QTimer::timeout, [&] {
            frmScanning *scanning = existingPage<frmScanning>();
            if (clicked || !scanning || !scanning->isVisible()) return;
            clicked = true;
            QTest::keyClick(scanning, Qt::Key_Escape);  // as good as its Cancel button
        });
        poll.start(100);
        DialogDriver driver({DialogDriver::scan});
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("cancelled")));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("cancelled")));
        runEntry(QStringLiteral("scan"));
        QVERIFY(clicked);
        expectNothingScanned(seams);
    }

    void theListsCancelEndsTheProgram() {
        scantest::useTestScanners(2);
        test::RecordingSeams seams;
        QObject timers;
        scantest::whenActive<frmScan>(timers, [](frmScan &scan) { QTest::mouseClick(scan.CancelButton, Qt::LeftButton); });
        DialogDriver driver({});
        runEntry(QStringLiteral("scan"));
        QCOMPARE(driver.handled(), 0);
        expectNothingScanned(seams);
    }

    // The list, the buttons and every setting of the acquisition dialog carry the name a
    // screen reader says.
    void everyControlHasAnAccessibleName() {
        scantest::useTestScanners(2);
        QStringList unnamed;
        const auto collect = [&unnamed](QWidget &window) { unnamed << test::unnamedControls(window); };
        collect(page<frmScan>());
        collect(page<frmScanning>());
        DialogDriver driver({[&](imaging::AcquisitionDialog &d) {
            collect(d);
            QCOMPARE(d.findChildren<QComboBox *>().size(), 2);  // source and mode
            DialogDriver::cancel(d);
        }});
        page<frmScan>().ScanFromDevice(QStringLiteral("Noname frontend-tester"));
        QCOMPARE(driver.handled(), 2);
        QVERIFY2(unnamed.isEmpty(), qPrintable(unnamed.join(u',')));
    }

    void withoutTheComponentTheWarningEndsTheProgram() {
        scantest::useTestScanners(1);
        // Taken away: the classes root holds other keys only.
        const QString classesRoot = registry::RegistryStore().filePath(registry::Root::ClassesRoot);
        scantest::writeRegFile(classesRoot, QStringLiteral("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CLASSES_ROOT\\Other.Thing]\r\n"));

        test::RecordingSeams seams;
        QString shownText;
        QObject timers;
        scantest::whenActive<frmWarning>(timers, [&](frmWarning &warning) {
            shownText = warning.lblText->text();
            QTest::mouseClick(warning.cmdOK, Qt::LeftButton);
        });
        DialogDriver driver({});
        runEntry(QStringLiteral("scan"));
        QCOMPARE(shownText, QStringLiteral("Warning:Can't find scan device. Please install scan or device camera."));
        QCOMPARE(seams.recorded().exitCodes, QList<int>{0});
        QCOMPARE(driver.handled(), 0);
        QVERIFY(!existingPage<frmScan>());
        QVERIFY(QFile::remove(classesRoot));  // the next test finds a fresh machine
    }

    // The library is there but finds no scanner: the same warning, not an empty list.
    void withoutAnyScannerTheWarningEndsTheProgram() {
        scantest::useTestScanners(0);
        test::clearErrorLog();
        test::RecordingSeams seams;
        QString shownText;
        QObject timers;
        scantest::whenActive<frmWarning>(timers, [&](frmWarning &warning) {
            shownText = warning.lblText->text();
            QTest::mouseClick(warning.cmdOK, Qt::LeftButton);
        });
        bool listShown = false;
        scantest::whenActive<frmScan>(timers, [&](frmScan &scan) {
            listShown = true;
            QTest::mouseClick(scan.CancelButton, Qt::LeftButton);
        });
        runEntry(QStringLiteral("scan"));
        QVERIFY(!listShown);
        QCOMPARE(shownText, QStringLiteral("Warning:Can't find scan device. Please install scan or device camera."));
        QCOMPARE(seams.recorded().exitCodes, QList<int>{0});
        QVERIFY(!existingPage<frmScan>());
        QVERIFY(test::errorLogLines().join(u'\n').contains(QStringLiteral("found no scanner")));
    }

    // One device: no list, its dialog at once; the scanned page becomes the fax's body,
    // travels through the wizard and is in the job the fax service queued.
    void theScannedPageIsFaxed() {
        scantest::useTestScanners(1, {QStringLiteral("test-picture Grid"), QStringLiteral("resolution 150")});
        test::RecordingSeams seams;
        bool listShown = true;
        DialogDriver driver({[&](imaging::AcquisitionDialog &d) {
            listShown = existingPage<frmScan>() && existingPage<frmScan>()->isVisible();
            DialogDriver::scan(d);
        }});
        QObject timers;
        scantest::whenActive<frmNew>(timers, [](frmNew &recipients) {
            QTest::keyClicks(recipients.txtTo, QStringLiteral("Ann Example"));
            QTest::keyClicks(recipients.txtFaxNumber, QStringLiteral("5550100"));
            QTest::mouseClick(recipients.btnNext, Qt::LeftButton);
        });
        runEntry(QStringLiteral("scan"));
        QCOMPARE(driver.handled(), 1);
        QVERIFY(!listShown);
        QCOMPARE(faxJob().Attachments.upperBound(), 1);
        const QString image = faxJob().Attachments(1);

        QTRY_VERIFY(existingPage<frmCover>() && existingPage<frmCover>()->isActiveWindow());
        QCOMPARE(existingPage<frmCover>()->txtAttachment->text(), image);
        QTest::keyClicks(existingPage<frmCover>()->txtSubject, QStringLiteral("Scanned page"));
        QTest::mouseClick(existingPage<frmCover>()->cmdNext, Qt::LeftButton);
        QTRY_VERIFY(existingPage<frmSend>() && existingPage<frmSend>()->isActiveWindow());
        QTest::mouseClick(existingPage<frmSend>()->btnNext, Qt::LeftButton);
        QTRY_VERIFY(existingPage<frmFinish>() && existingPage<frmFinish>()->isActiveWindow());
        QTest::mouseClick(existingPage<frmFinish>()->OKButton, Qt::LeftButton);
        // The submission runs off the GUI thread; the program ends once the fax is queued.
        QTRY_COMPARE_WITH_TIMEOUT(seams.recorded().exitCodes, QList<int>{0}, 30000);
        QVERIFY(seams.recorded().messages.isEmpty());

        fax::FaxServer server;
        server.Connect(QString());
        const fax::FaxOutgoingJobs jobs = server.Folders().OutgoingQueue().GetJobs();
        QCOMPARE(jobs.Count(), 1);
        const fax::FaxOutgoingJob &job = jobs.Item(1);
        QCOMPARE(job.Recipient().FaxNumber, QStringLiteral("5550100"));
        QCOMPARE(job.Pages(), 1);
        const QString tiff = QDir::tempPath() + QStringLiteral("/job.tiff");
        job.CopyTiff(tiff);
        QCOMPARE(render::tiffPageCount(tiff), 1);
        // The fax page is the scanned grid, enlarged to the page: 80 x 100 mm squares of
        // 10 mm, so eight squares across the page's drawn width, alternating.
        const QImage page = render::readTiffPage(tiff, 0);
        QCOMPARE(page.width(), 1728);
        const int y = page.height() / 2 + 10;
        int edges = 0;
        bool ink = qGray(page.pixel(200, y)) < 128;
        for (int x = 200; x < 1528; ++x) {
            const bool here = qGray(page.pixel(x, y)) < 128;
            edges += here != ink;
            ink = here;
        }
        QVERIFY2(edges >= 5 && edges <= 8, qPrintable(QString::number(edges)));
        server.Disconnect();
        // The scanned file already lies in the temporary directory, so it is sent as it is and
        // no copy is there to delete; that, and nothing else, is logged.
        const QStringList log = test::errorLogLines();
        QVERIFY2(log.size() <= 1, qPrintable(log.join(u'\n')));
        if (!log.isEmpty()) QVERIFY(log.first().startsWith(QStringLiteral("53,\"File not found\",\"msend.RemovePreviewFile\"")));
        QVERIFY(QFile::exists(image));
    }
};

QTEST_MAIN(TestScanPage)
#include "tst_scanpage.moc"
