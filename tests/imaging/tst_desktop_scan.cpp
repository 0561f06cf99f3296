// The scan page on a real X server, operated as a keyboard or assistive-technology user does:
// the device list by arrow keys, buttons through their accessibility actions, the acquisition
// dialog's settings by keys; and the scanning window's Cancel stops a scan half way.
#include "DesktopKit.h"
#include "ScanTestKit.h"
#include "TestSupport.h"
#include "app/Init.h"
#include "job/FaxJob.h"
#include "wizard/frmNew.h"
#include "wizard/frmScan.h"
#include "wizard/frmScanning.h"

#include <QAccessible>
#include <QComboBox>
#include <QLabel>
#include <QTreeWidget>

using namespace sendmere;
using scantest::DialogDriver;
using test::doAccessibleAction;

namespace {

QStringList scannedImages() {
    return QDir::temp().entryList({QStringLiteral("Fax*.bmp")}, QDir::Files, QDir::Time | QDir::Reversed);
}

}  // namespace

class TestDesktopScan : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() {
        test::clearErrorLog();
        ResetFaxJob();
        for (const QString &name : QDir::temp().entryList({QStringLiteral("Fax*")}, QDir::Files))
            QFile::remove(QDir::temp().filePath(name));
    }
    void cleanup() {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

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
                                 auto *mode = d.findChild<QComboBox *>(QStringLiteral("mode"));
                                 mode->setFocus();
                                 QTest::keyClick(mode, Qt::Key_Down);
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
        QCOMPARE(faxJob().Attachments.upperBound(), 1);
        QCOMPARE(faxJob().Attachments(1), QDir::temp().filePath(images.last()));
    }

    // The scanning window's Cancel, pressed through its accessible action, stops a slow scan:
    // no image, no page left on screen, and the program ends.
    void cancellingTheScanningWindowLeavesNothing() {
        scantest::useTestScanners(1, scantest::SlowScan);
        test::RealDialogsSeams seams;
        QObject timers;
        QString shownText;
        scantest::whenActive<frmScanning>(timers, [&](frmScanning &scanning) {
            shownText = scanning.Label1->text();
            doAccessibleAction(scanning.cmdCancel, QAccessibleActionInterface::pressAction());
        });
        DialogDriver driver({DialogDriver::scan});
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("cancelled")));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("cancelled")));
        runEntry(QStringLiteral("scan"));
        QCOMPARE(shownText, QStringLiteral("Scanning..."));
        QCOMPARE(seams.exitCodes, QList<int>{0});
        QVERIFY(scannedImages().isEmpty());
        QCOMPARE(faxJob().Attachments.upperBound(), 0);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        for (QWidget *window : QApplication::topLevelWidgets())
            QVERIFY2(!window->isVisible() || !qobject_cast<FormPage *>(window), qPrintable(window->objectName()));
    }
};

QTEST_MAIN(TestDesktopScan)
#include "tst_desktop_scan.moc"
