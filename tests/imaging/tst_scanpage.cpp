// The scan page and the "scan" action over the scanner library's "test" backend: the device
// list, the acquisition per device of the chosen name, what the fax job holds afterwards, and
// the failures that must leave nothing behind.
#include "ScanTestKit.h"
#include "TestSeams.h"
#include "WizardTestKit.h"
#include "app/Init.h"
#include "extras/frmWarning.h"
#include "wizard/frmNew.h"
#include "wizard/frmScan.h"
#include "wizard/frmScanning.h"

#include <QComboBox>
#include <QLabel>

using namespace sendmere;
using scantest::DialogDriver;
using scantest::tempFiles;

namespace {

const QString Device = QStringLiteral("Noname frontend-tester");

// Runs the "scan" action; it must end the program with nothing attached and no image left.
void scanNothing(const QList<scantest::DialogAction> &actions, int dialogs) {
    test::RecordingSeams seams;
    DialogDriver driver(actions);
    runEntry(QStringLiteral("scan"));
    QCOMPARE(driver.handled(), dialogs);
    QCOMPARE(seams.recorded().exitCodes, QList<int>{0});
    QCOMPARE(faxJob().Attachments.upperBound(), 0);
    QVERIFY(tempFiles(QStringLiteral("*.bmp")).isEmpty());
    QVERIFY(!existingPage<frmNew>());
}

// How often frmScanning appeared, and whether the scan page was visible any of those times.
struct ScanningWatch : QObject {
    ScanningWatch() { qApp->installEventFilter(this); }
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (!qobject_cast<frmScanning *>(watched) || event->type() != QEvent::Show) return false;
        scanPageVisible = scanPageVisible || (existingPage<frmScan>() && existingPage<frmScan>()->isVisible());
        ++shown;
        return false;
    }
    int shown = 0;
    bool scanPageVisible = false;
};

}  // namespace

class TestScanPage : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { scantest::setScanTimeout(15); }  // a device that hangs fails its test within seconds
    void init() {
        scantest::removeScans();
        test::clearErrorLog();
        ResetFaxJob();
        faxJob().Attachments.redim(0);
    }
    void cleanup() { test::releaseAllPages(); }

    // Both devices of the backend have one name: choosing it acquires from each in turn, the
    // scanning window in place of the list; one image per device beside the temporary file
    // reserved for it, and the job keeps the last.
    void twoDevicesOfOneNameScanOneAfterTheOther() {
        scantest::useTestScanners(2, {QStringLiteral("test-picture Grid")});
        frmScan &scan = page<frmScan>();
        QCOMPARE(test::column(scan.lvScanDevices, 0), QStringList(2, Device));
        QCOMPARE(test::column(scan.lvScanDevices, 1), QStringList(2, QStringLiteral("virtual device")));
        scan.showPage();
        QTRY_VERIFY(scan.isActiveWindow());
        ScanningWatch seen;
        QStringList dialogsFor;
        const scantest::DialogAction scanNoting = [&](imaging::AcquisitionDialog &d) { dialogsFor << d.windowTitle(), DialogDriver::scan(d); };
        DialogDriver driver({scanNoting, scanNoting});
        QTest::mouseClick(scan.OKButton, Qt::LeftButton);
        QCOMPARE(dialogsFor, QStringList(2, Device));
        QCOMPARE(std::pair(seen.shown, seen.scanPageVisible), std::pair(2, false));
        QVERIFY(!existingPage<frmScanning>()->isVisible() && scan.isHidden());
        const QStringList images = tempFiles(QStringLiteral("Fax*.bmp"));
        QCOMPARE(images.size(), 2);
        for (const QString &image : images) {
            QVERIFY(QFile::exists(QDir::temp().filePath(QString(image).replace(QStringLiteral(".bmp"), QStringLiteral(".tmp")))));
            QVERIFY2(scantest::looksLikeGrid(QImage(QDir::temp().filePath(image)), 50), qPrintable(image));
        }
        QCOMPARE(faxJob().Attachments.upperBound(), 1);
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
        QCOMPARE(QFileInfo(path).path(), QDir::tempPath() + QStringLiteral("/in.bmp"));
        QVERIFY(name.startsWith(QStringLiteral("Fax")) && name.endsWith(QStringLiteral(".bmp")));
        QVERIFY(QFile::exists(folder + u'/' + QString(name).replace(QStringLiteral(".bmp"), QStringLiteral(".tmp"))));
    }

    // Of the two devices of the name: a cancelled dialog leaves the job without an image, also
    // after an image from the other; a device gone between the list and the scan attaches
    // nothing and the other still scans. With no row, OK does nothing.
    void cancelledOrMissingDevicesAttachNothing() {
        const struct {
            bool unplugged;
            QList<scantest::DialogAction> actions;
            int dialogs, attached, images;
        } cases[] = {{false, {DialogDriver::cancel, DialogDriver::cancel}, 2, 0, 0},
                     {false, {DialogDriver::scan, DialogDriver::cancel}, 2, 0, 1},
                     {true, {DialogDriver::scan}, 1, 1, 1}};
        scantest::useTestScanners(2);
        for (const auto &c : cases) {
            init();
            frmScan &scan = page<frmScan>();
            if (c.unplugged) scan.Devices[0].DeviceID = QStringLiteral("test:9");
            if (c.unplugged) QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("test:9")));
            DialogDriver driver(c.actions);
            scan.ScanFromDevice(Device);
            QCOMPARE(driver.handled(), c.dialogs);
            QCOMPARE(faxJob().Attachments.upperBound(), c.attached);
            QCOMPARE(tempFiles(QStringLiteral("*.bmp")).size(), c.images);
            if (c.attached) QVERIFY(QFile::exists(faxJob().Attachments(1)));
            test::releaseAllPages();
        }
        scantest::useTestScanners(0);
        frmScan &empty = page<frmScan>();
        QCOMPARE(empty.lvScanDevices->topLevelItemCount(), 0);
        DialogDriver driver({});
        QTest::mouseClick(empty.OKButton, Qt::LeftButton);
        QCOMPARE(driver.handled(), 0);
    }

    // A jammed feeder, Cancel (Escape) on the scanning window half way, or the list's Cancel:
    // the program ends with no image; the jam's reason is in the program's error log too.
    void interruptedScansEndWithoutImage() {
        scantest::useTestScanners(1, {QStringLiteral("read-status-code SANE_STATUS_JAMMED")});
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("Document feeder jammed")));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("Document feeder jammed")));
        scanNothing({DialogDriver::scan}, 1);
        const QStringList logged = test::errorLogLines().filter(QStringLiteral("frmScan.ScanFromDevice"));
        QCOMPARE(logged.size(), 1);
        QVERIFY2(logged.first().contains(QStringLiteral("Document feeder jammed")), qPrintable(logged.first()));

        cleanup();
        init();
        scantest::useTestScanners(1, scantest::SlowScan);
        bool pressed = false;
        QTimer poll;
        connect(&poll, &QTimer::timeout, [&] {
            frmScanning *scanning = existingPage<frmScanning>();
            if (pressed || !scanning || !scanning->isVisible()) return;
            pressed = true;
            QTest::keyClick(scanning, Qt::Key_Escape);
        });
        poll.start(100);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("cancelled")));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("cancelled")));
        scanNothing({DialogDriver::scan}, 1);
        QVERIFY(pressed);

        cleanup();
        init();
        scantest::useTestScanners(2);
        QObject timers;
        scantest::whenActive<frmScan>(timers, [](frmScan &scan) { QTest::mouseClick(scan.CancelButton, Qt::LeftButton); });
        scanNothing({}, 0);
    }

    // The list, the buttons and every setting of the acquisition dialog carry the name a screen
    // reader says.
    void everyControlHasAnAccessibleName() {
        scantest::useTestScanners(2);
        QStringList unnamed = test::unnamedControls(page<frmScan>()) + test::unnamedControls(page<frmScanning>());
        DialogDriver driver({[&](imaging::AcquisitionDialog &d) {
            unnamed << test::unnamedControls(d);
            QCOMPARE(d.findChildren<QComboBox *>().size(), 2);  // source and mode
            DialogDriver::cancel(d);
        }});
        page<frmScan>().ScanFromDevice(Device);
        QCOMPARE(driver.handled(), 2);
        QVERIFY2(unnamed.isEmpty(), qPrintable(unnamed.join(u',')));
    }

    // Without the component (its registration taken away) or without any scanner: the warning,
    // then the end; neither list nor dialog.
    void withoutScannerTheWarningEndsTheProgram() {
        for (const bool registered : {false, true}) {
            scantest::useTestScanners(registered ? 0 : 1);
            const QString classesRoot = registered ? QString() : scantest::writeClassesRoot(QStringLiteral("Other.Thing"));
            test::clearErrorLog();
            QString shownText;
            bool listShown = false;
            QObject timers;
            scantest::whenActive<frmWarning>(timers, [&](frmWarning &warning) {
                shownText = warning.lblText->text();
                QTest::mouseClick(warning.cmdOK, Qt::LeftButton);
            });
            scantest::whenActive<frmScan>(timers, [&](frmScan &scan) {
                listShown = true;
                QTest::mouseClick(scan.CancelButton, Qt::LeftButton);
            });
            scanNothing({}, 0);
            QCOMPARE(shownText, QStringLiteral("Warning:Can't find scan device. Please install scan or device camera."));
            QVERIFY(!listShown && !existingPage<frmScan>());
            if (registered) QVERIFY(test::errorLogLines().join(u'\n').contains(QStringLiteral("found no scanner")));
            else QVERIFY(QFile::remove(classesRoot));  // the next test finds a fresh machine
        }
    }

    // One device: no list, its dialog at once; the scanned page is the fax's body and the
    // wizard goes on with the recipients. (The way on to the queue: tst_desktop_faxprinter.)
    void oneDeviceScansAtOnceAndGoesOn() {
        scantest::useTestScanners(1);
        test::RecordingSeams seams;
        bool listShown = true;
        DialogDriver driver({[&](imaging::AcquisitionDialog &d) {
            listShown = existingPage<frmScan>() && existingPage<frmScan>()->isVisible();
            DialogDriver::scan(d);
        }});
        QString attached;
        QObject timers;
        scantest::whenActive<frmNew>(timers, [&](frmNew &recipients) {
            attached = faxJob().Attachments(1);
            QTest::mouseClick(recipients.btnCancel, Qt::LeftButton);
        });
        runEntry(QStringLiteral("scan"));
        QCOMPARE(driver.handled(), 1);
        QVERIFY(!listShown);
        QCOMPARE(QStringList(attached), QStringList(QDir::temp().filePath(tempFiles(QStringLiteral("Fax*.bmp")).value(0))));
        QCOMPARE(seams.recorded().exitCodes, QList<int>{0});
    }
};

QTEST_MAIN(TestScanPage)
#include "tst_scanpage.moc"
