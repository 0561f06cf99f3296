// The scan page on a real X server, operated as a keyboard or assistive-technology user does:
// the device list by arrow keys, buttons through their accessibility actions, the acquisition
// dialog's settings by keys; and the real program driven through the accessibility bus.
#include "DesktopKit.h"
#include "ScanTestKit.h"
#include "app/Init.h"
#include "job/FaxJob.h"
#include "wizard/frmNew.h"
#include "wizard/frmScan.h"

#include <QAccessible>
#include <QComboBox>
#include <QTreeWidget>

using namespace sendmere;
using scantest::DialogDriver;
using test::doAccessibleAction;

static QStringList scannedImages() { return scantest::tempFiles(QStringLiteral("Fax*.bmp"), QDir::Time | QDir::Reversed); }

class TestDesktopScan : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() {
        test::clearErrorLog();
        ResetFaxJob();
        scantest::removeScans();
    }
    void cleanup() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

    void theScanPageAnswersKeysAndAccessibleActions() {
        scantest::useTestScanners(2, {QStringLiteral("test-picture \"Color pattern\"")});
        test::RealDialogsSeams seams;
        QObject timers;
        int rowChosen = -1;
        scantest::whenActive<frmScan>(timers, [&](frmScan &scan) {
            scan.lvScanDevices->setFocus();
            QTest::keyClick(scan.lvScanDevices, Qt::Key_Down);
            rowChosen = scan.lvScanDevices->indexOfTopLevelItem(scan.lvScanDevices->currentItem());
            doAccessibleAction(scan.OKButton, QAccessibleActionInterface::pressAction());
        });
        DialogDriver driver({[](imaging::AcquisitionDialog &d) {
                                 // Colour for the first device, by keys; Scan by its accessible action.
                                 d.findChild<QComboBox *>(QStringLiteral("mode"))->setFocus();
                                 QTest::keyClick(d.findChild<QComboBox *>(QStringLiteral("mode")), Qt::Key_Down);
                                 doAccessibleAction(d.cmdScan, QAccessibleActionInterface::pressAction());
                             },
                             [](imaging::AcquisitionDialog &d) {
                                 // The second device keeps its grey; Scan by the space bar.
                                 d.cmdScan->setFocus();
                                 QTest::keyClick(d.cmdScan, Qt::Key_Space);
                             }});
        scantest::whenActive<frmNew>(timers, [](frmNew &recipients) {
            doAccessibleAction(recipients.btnCancel, QAccessibleActionInterface::pressAction());
        });
        runEntry(QStringLiteral("scan"));

        QCOMPARE(rowChosen, 1);
        QCOMPARE(driver.handled(), 2);
        QCOMPARE(seams.exitCodes, QList<int>{0});
        const QStringList images = scannedImages();
        QCOMPARE(images.size(), 2);
        QVERIFY(!QImage(QDir::temp().filePath(images.first())).isGrayscale());
        QVERIFY(QImage(QDir::temp().filePath(images.last())).isGrayscale());
        QCOMPARE(faxJob().Attachments(1), QDir::temp().filePath(images.last()));
    }

    // The real program: "sendmere scan" with one scanner opens its acquisition dialog at once;
    // Scan, pressed through the accessibility bus, writes the image and opens the recipients
    // page, whose Cancel ends the process.
    void theProgramScansAndGoesOnToTheRecipients() {
        scantest::useTestScanners(1, {QStringLiteral("test-picture Grid")});
        test::AtSpi atspi;
        QVERIFY2(atspi.isConnected(), "no accessibility bus");
        test::RunningProgram program;
        test::startProgram(program, atspi, QStringLiteral("scan"));
        const test::AtSpi::Node app = program.app;
        QVERIFY(atspi.doAction(atspi.find(app, QStringLiteral("Scan"), test::AtSpi::PushButton, 10000), QStringLiteral("Press")));
        QVERIFY(atspi.find(app, QStringLiteral("Fax Number"), test::AtSpi::Text, 10000).isValid());
        QCOMPARE(scannedImages().size(), 1);
        QVERIFY(scantest::looksLikeGrid(QImage(QDir::temp().filePath(scannedImages().first())), 50));
        // The hidden scan page has a Cancel of its own: the one pressed is the recipients page's.
        const test::AtSpi::Node recipients = atspi.find(app, QStringLiteral("New Fax"), test::AtSpi::Dialog);
        QVERIFY(atspi.doAction(atspi.find(recipients, QStringLiteral("Cancel"), test::AtSpi::PushButton), QStringLiteral("Press")));
        test::expectProgramEnd(program, 5000);
    }
};

QTEST_MAIN(TestDesktopScan)
#include "tst_desktop_scan.moc"
