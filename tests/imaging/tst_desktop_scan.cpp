// The scan page on a real X server over the scanner library's "test" backend, driven by keys,
// accessibility actions and, for the real program, the accessibility bus.
#include "DesktopKit.h"
#include "ScanTestKit.h"
#include "WizardTestKit.h"
#include "app/Init.h"
#include "extras/frmWarning.h"
#include "wizard/frmNew.h"
#include "wizard/frmScan.h"
#include "wizard/frmScanning.h"

#include <QAccessible>
#include <QComboBox>
#include <QLabel>

using namespace sendmere;
using scantest::DialogDriver;
using scantest::tempFiles;

namespace {

const QString Device = QStringLiteral("Noname frontend-tester");
QStringList scannedImages() { return tempFiles(QStringLiteral("Fax*.bmp"), QDir::Time | QDir::Reversed); }
void press(QWidget *control) { QVERIFY(test::doAccessibleAction(control, QAccessibleActionInterface::pressAction())); }

// Each time the scanning window shows: whether the list was visible then, its unnamed controls.
struct ScanningWatch : QObject {
    ScanningWatch() { qApp->installEventFilter(this); }
    bool eventFilter(QObject *watched, QEvent *event) override {
        auto *scanning = qobject_cast<frmScanning *>(watched);
        if (!scanning || event->type() != QEvent::Show) return false;
        listVisible = listVisible || existingPage<frmScan>()->isVisible();
        unnamed << test::unnamedControls(*scanning);
        ++shown;
        return false;
    }
    int shown = 0;
    bool listVisible = false;
    QStringList unnamed;
};

}  // namespace

class TestDesktopScan : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() {
        test::clearErrorLog();
        ResetFaxJob();
        scantest::removeScans();
    }
    void cleanup() { test::releaseAllPages(); }

    // Two devices of one name scan in turn, the scanning window in place of the list; the job keeps the last.
    void theScanPageAnswersKeysAndAccessibleActions() {
        scantest::useTestScanners(2, {QStringLiteral("test-picture \"Color pattern\"")});
        test::RealDialogsSeams seams;
        ScanningWatch seen;
        QObject timers;
        int rowChosen = -1;
        QStringList rows, unnamed;
        scantest::whenActive<frmScan>(timers, [&](frmScan &scan) {
            rows = test::column(scan.lvScanDevices, 0) + test::column(scan.lvScanDevices, 1);
            unnamed << test::unnamedControls(scan);
            scan.lvScanDevices->setFocus();
            QTest::keyClick(scan.lvScanDevices, Qt::Key_Down);
            rowChosen = scan.lvScanDevices->indexOfTopLevelItem(scan.lvScanDevices->currentItem());
            press(scan.OKButton);
        });
        DialogDriver driver({[&](imaging::AcquisitionDialog &d) {
                                 // Colour for the first device, by keys; Scan by its accessible action.
                                 unnamed << test::unnamedControls(d);
                                 QCOMPARE(d.findChildren<QComboBox *>().size(), 2);  // source and mode
                                 d.findChild<QComboBox *>(QStringLiteral("mode"))->setFocus();
                                 QTest::keyClick(d.findChild<QComboBox *>(QStringLiteral("mode")), Qt::Key_Down);
                                 press(d.cmdScan);
                             },
                             [](imaging::AcquisitionDialog &d) {
                                 // The second device keeps its grey; Scan by the space bar.
                                 d.cmdScan->setFocus();
                                 QTest::keyClick(d.cmdScan, Qt::Key_Space);
                             }});
        scantest::whenActive<frmNew>(timers, [](frmNew &recipients) { press(recipients.btnCancel); });
        runEntry(QStringLiteral("scan"));

        QCOMPARE(rows, QStringList(2, Device) + QStringList(2, QStringLiteral("virtual device")));
        QCOMPARE(rowChosen, 1);
        QCOMPARE(driver.handled(), 2);
        QCOMPARE(std::tuple(seen.shown, seen.listVisible), std::tuple(2, false));
        QVERIFY2(unnamed.isEmpty() && seen.unnamed.isEmpty(), qPrintable((unnamed + seen.unnamed).join(u',')));
        QCOMPARE(seams.exitCodes, QList<int>{0});
        const QStringList images = scannedImages();
        QCOMPARE(images.size(), 2);
        for (const QString &image : images)
            QVERIFY(QFile::exists(QDir::temp().filePath(QString(image).replace(QStringLiteral(".bmp"), QStringLiteral(".tmp")))));
        QVERIFY(!QImage(QDir::temp().filePath(images.first())).isGrayscale());
        QVERIFY(QImage(QDir::temp().filePath(images.last())).isGrayscale());
        QCOMPARE(faxJob().Attachments(1), QDir::temp().filePath(images.last()));
        QVERIFY(test::errorLogLines().isEmpty());
    }

    // Cancelled, jammed, stopped or missing scanners end the program with nothing attached, the
    // log saying why; a device gone since the list is passed over and the other one scans.
    void scansThatEndWithNothing() {
        using D = DialogDriver;
        const struct {
            int devices;  // -1: a scanner, but the component's registration taken away
            QStringList settings;
            QList<scantest::DialogAction> dialogs;
            QString step;  // on the list, or on the scanning window (Escape)
            int handled, images, attached;
            QString logged;
        } cases[] = {{2, {}, {D::scan, D::cancel}, QStringLiteral("OK"), 2, 1, 0, {}},
                     {2, {}, {}, QStringLiteral("Cancel"), 0, 0, 0, {}},
                     {2, {}, {D::scan}, QStringLiteral("unplug"), 1, 1, 1, QStringLiteral("test:9")},
                     {1, {QStringLiteral("read-status-code SANE_STATUS_JAMMED")}, {D::scan}, {}, 1, 0, 0, QStringLiteral("Document feeder jammed")},
                     {1, scantest::SlowScan, {D::scan}, QStringLiteral("Escape"), 1, 0, 0, QStringLiteral("The scan was cancelled")},
                     {0, {}, {}, {}, 0, 0, 0, QStringLiteral("found no scanner")},
                     {-1, {}, {}, {}, 0, 0, 0, {}}};
        for (const auto &c : cases) {
            init();
            scantest::useTestScanners(qAbs(c.devices), c.settings);
            const QString classesRoot = c.devices < 0 ? scantest::writeClassesRoot(QStringLiteral("Other.Thing")) : QString();
            test::RealDialogsSeams seams;
            QString warned;
            QObject timers;
            scantest::whenActive<frmWarning>(timers, [&](frmWarning &warning) { warned = warning.lblText->text(), press(warning.cmdOK); });
            scantest::whenActive<frmScan>(timers, [&](frmScan &scan) {
                if (c.step == QStringLiteral("unplug")) scan.Devices[0].DeviceID = QStringLiteral("test:9");
                press(c.step == QStringLiteral("Cancel") ? scan.CancelButton : scan.OKButton);
            });
            scantest::whenActive<frmNew>(timers, [](frmNew &recipients) { press(recipients.btnCancel); });
            QTimer escape;
            connect(&escape, &QTimer::timeout, [&] {
                if (frmScanning *scanning = existingPage<frmScanning>(); scanning && scanning->isVisible())
                    escape.stop(), QTest::keyClick(scanning, Qt::Key_Escape);
            });
            if (c.step == QStringLiteral("Escape")) escape.start(100);
            DialogDriver driver(c.dialogs);
            runEntry(QStringLiteral("scan"));
            const QString log = test::errorLogLines().join(u'\n'), row = c.step + u' ' + c.settings.value(0) + u' ' + log;
            QVERIFY2(driver.handled() == c.handled && seams.exitCodes == QList<int>{0}, qPrintable(row));
            QVERIFY2(tempFiles(QStringLiteral("*.bmp")).size() == c.images && faxJob().Attachments.upperBound() == c.attached, qPrintable(row));
            QVERIFY2(c.logged.isEmpty() ? log.isEmpty() : log.contains(c.logged), qPrintable(row));
            QCOMPARE(warned, c.devices > 0 ? QString() : QStringLiteral("Warning:Can't find scan device. Please install scan or device camera."));
            if (c.devices < 0) QVERIFY(QFile::remove(classesRoot));  // the next case finds a fresh machine
            cleanup();
        }
    }

    // "sendmere scan" with one scanner: its dialog at once, then the recipients page, whose Cancel ends it.
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
