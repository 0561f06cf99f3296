// The imaging component over the scanner library's "test" backend: whether it can be created,
// its device list, the acquisition dialog built from a device's settings, and the transfer of
// whole images, or of nothing at all.
#include "ScanTestKit.h"
#include "platform/imaging/Imaging.h"
#include "platform/imaging/Sane.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QElapsedTimer>

using namespace sendmere;
using namespace sendmere::imaging;
using scantest::DialogDriver;

namespace {

std::unique_ptr<Item> acquireOne(Device &device) {
    DialogDriver driver({DialogDriver::scan});
    std::vector<std::unique_ptr<Item>> items = device.GetItemsFromUI(0, 0);
    return items.size() == 1 ? std::move(items.front()) : nullptr;
}

// The first device of a fresh script, which lives as long as the device.
struct FirstDevice {
    ImagingScript script;
    std::unique_ptr<Device> device = script.Create(script.Devices().front());
};

QString imagePath(const QString &name) { return QDir::tempPath() + u'/' + name + QStringLiteral(".bmp"); }

// Any failure the transfer raises, as its text; empty when it succeeded.
QString transferFailure(Item &item, const QString &path) { return test::automationError([&] { item.Transfer(path); }).text(); }

}  // namespace

class TestImaging : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // There while its classes root key is (in any case of letters), as on a fresh machine;
    // devices are the library's, and one gone away cannot be created.
    void theComponentAndItsDevices() {
        scantest::useTestScanners(2);
        QVERIFY(IsScanAvailable());
        const QString classes = scantest::writeClassesRoot(QStringLiteral(".txt"));
        QVERIFY(!IsScanAvailable());
        QCOMPARE(test::automationError([] { const ImagingScript script; }).number(), err::CannotCreateObject);
        scantest::writeClassesRoot(QStringLiteral("wia.script"));
        QVERIFY(IsScanAvailable());
        QVERIFY(QFile::remove(classes));
        QVERIFY(IsScanAvailable());  // seeded again

        const ImagingScript script;
        const std::vector<DeviceInfo> devices = script.Devices();
        QCOMPARE(devices.size(), size_t(2));
        QCOMPARE(devices[0].DeviceID, QStringLiteral("test:0"));
        QCOMPARE(devices[1].DeviceID, QStringLiteral("test:1"));
        const AutomationError missing = test::automationError(
            [&] { script.Create({QStringLiteral("Noname frontend-tester"), QStringLiteral("virtual device"), QStringLiteral("test:7")}); });
        QCOMPARE(missing.number(), err::AutomationFailure);
        QVERIFY2(missing.text().contains(QStringLiteral("test:7")), qPrintable(missing.text()));
    }

    // The dialog starts at the device's configured defaults; Cancel changes nothing, Scan gives
    // the device what the user chose.
    void theDialogOffersTheDevicesOwnSettings() {
        scantest::useTestScanners(1, {QStringLiteral("mode Color"), QStringLiteral("resolution 75")});
        const FirstDevice s;
        const auto choose = [](AcquisitionDialog &d) {
            auto *mode = d.findChild<QComboBox *>(QStringLiteral("mode"));
            mode->setCurrentIndex(mode->findText(QStringLiteral("Gray")));
            d.findChild<QDoubleSpinBox *>(QStringLiteral("resolution"))->setValue(120);  // kept as fixed point
        };
        {
            AcquisitionDialog dialog(s.device->scanner(), QStringLiteral("Noname frontend-tester"));
            auto *source = dialog.findChild<QComboBox *>(QStringLiteral("source"));
            auto *resolution = dialog.findChild<QDoubleSpinBox *>(QStringLiteral("resolution"));
            QVERIFY(source && resolution);
            QCOMPARE(source->currentText(), QStringLiteral("Flatbed"));
            QCOMPARE(source->count(), 2);
            QCOMPARE(dialog.findChild<QComboBox *>(QStringLiteral("mode"))->currentText(), QStringLiteral("Color"));
            QCOMPARE(QList<double>({resolution->value(), resolution->minimum(), resolution->maximum()}), QList<double>({75, 1, 1200}));
            choose(dialog);
            QTest::mouseClick(dialog.cmdCancel, Qt::LeftButton);
            QCOMPARE(dialog.result(), int(QDialog::Rejected));
            QCOMPARE(s.device->scanner().option(QStringLiteral("mode"))->value.toString(), QStringLiteral("Color"));
        }
        DialogDriver driver({[&](AcquisitionDialog &d) { choose(d), DialogDriver::scan(d); }});
        QCOMPARE(s.device->GetItemsFromUI(0, 0).size(), size_t(1));
        QCOMPARE(s.device->scanner().option(QStringLiteral("mode"))->value.toString(), QStringLiteral("Gray"));
        QCOMPARE(s.device->scanner().option(QStringLiteral("resolution"))->value.toInt(), 120);
    }

    // Every sample format the library sends becomes the same picture, as a BMP of 80 x 100 mm
    // at 100 dpi and nothing beside it: grey at 1 and 16 bits, colour in one frame and in
    // three (red, green, blue).
    void transferWritesTheWholeImageInEveryFormat() {
        const struct {
            const char *mode;
            int depth;
            bool threePass;
            int bitsInFile;
        } formats[] = {{"Gray", 1, false, 1}, {"Gray", 16, false, 8}, {"Color", 8, false, 24}, {"Color", 8, true, 24}};
        scantest::useTestScanners(1, {QStringLiteral("test-picture Grid"), QStringLiteral("resolution 100")});
        for (const auto &format : formats) {
            const FirstDevice s;
            s.device->scanner().setOption(QStringLiteral("mode"), QString::fromLatin1(format.mode));
            s.device->scanner().setOption(QStringLiteral("depth"), format.depth);
            if (format.threePass) s.device->scanner().setOption(QStringLiteral("three-pass"), true);
            const std::unique_ptr<Item> item = acquireOne(*s.device);
            QVERIFY(item);
            const QString name = QStringLiteral("%1-%2-%3").arg(QLatin1String(format.mode)).arg(format.depth).arg(format.threePass);
            QCOMPARE(transferFailure(*item, imagePath(name)), QString());
            QCOMPARE(test::readFile(imagePath(name)).left(2), QByteArray("BM"));
            const QImage image(imagePath(name));
            QCOMPARE(image.depth() == 32 ? 24 : image.depth(), format.bitsInFile);
            QCOMPARE(image.size(), QSize(314, 393));
            QCOMPARE(qRound(image.dotsPerMeterX() * 0.0254), 100);
            QVERIFY2(scantest::looksLikeGrid(image, 100), qPrintable(name));
            QCOMPARE(QDir::temp().entryList({QStringLiteral("*.bmp*")}, QDir::Files).filter(name).size(), 1);
        }
    }

    // A scan that the device breaks off, that the user stops, or whose file cannot be written,
    // leaves no file at the path, and the device usable.
    void failuresLeaveNoFile() {
        scantest::useTestScanners(1, {QStringLiteral("read-status-code SANE_STATUS_IO_ERROR")});
        {
            const FirstDevice s;
            const std::unique_ptr<Item> item = acquireOne(*s.device);
            QVERIFY(item);
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("Error during device I/O")));
            const QString broken = transferFailure(*item, imagePath(QStringLiteral("broken")));
            QVERIFY2(broken.contains(QStringLiteral("Error during device I/O")), qPrintable(broken));
            QVERIFY(!QFile::exists(imagePath(QStringLiteral("broken"))));
            QVERIFY(!item->isTransferring());
        }
        scantest::useTestScanners(1, scantest::SlowScan);
        const FirstDevice s;
        std::unique_ptr<Item> item = acquireOne(*s.device);
        QVERIFY(item);
        const QObject scope;  // the timers go with it, should a check below end the test early
        QTimer::singleShot(300, &scope, [&] {
            QVERIFY(item->isTransferring());
            item->Cancel();
        });
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("cancelled")));
        QCOMPARE(transferFailure(*item, imagePath(QStringLiteral("stopped"))), QStringLiteral("The scan was cancelled"));
        QVERIFY(!QFile::exists(imagePath(QStringLiteral("stopped"))));
        // The folder goes away while the image is on its way: no file, and no leftover.
        const QString folder = QDir::tempPath() + QStringLiteral("/gone");
        QVERIFY(QDir().mkpath(folder));
        item = acquireOne(*s.device);
        QVERIFY(item);
        QTimer::singleShot(300, &scope, [&] { QVERIFY(QDir(folder).removeRecursively()); });
        QVERIFY(transferFailure(*item, folder + QStringLiteral("/scan.bmp")).startsWith(QStringLiteral("Path/File access error")));
        QVERIFY(!QDir(folder).exists());
        QCOMPARE(transferFailure(*item, imagePath(QStringLiteral("again"))), QString());
        QCOMPARE(QImage(imagePath(QStringLiteral("again"))).width(), 944);  // 80 mm at 300 dpi
    }

    // A scanner that starts and then answers nothing: the scan stops itself after the time
    // limit, also when the device does not even hear the cancel, and leaves no file.
    void aSilentScannerIsStoppedByTheTimeLimit() {
        scantest::useStallScanner();
        scantest::setScanTimeout(1);
        const QString readEnded = QDir::tempPath() + QStringLiteral("/stall-read-ended");
        QFile::remove(readEnded);
        qputenv("SANE_STALL_DONE", QFile::encodeName(readEnded));
        for (const QByteArray &deaf : {QByteArray(), QByteArray("8")}) {
            qputenv("SANE_STALL_DEAF", deaf);  // empty: hears the cancel
            const ImagingScript script;
            QCOMPARE(script.Devices().size(), size_t(1));
            const std::unique_ptr<Device> device = script.Create(script.Devices().front());
            const std::unique_ptr<Item> item = acquireOne(*device);
            QVERIFY(item);
            QElapsedTimer took;
            took.start();
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("sent nothing for 1 s")));
            QCOMPARE(transferFailure(*item, imagePath(QStringLiteral("silent"))),
                     QStringLiteral("The scanner stall:0 sent nothing for 1 s and was stopped"));
            QVERIFY2(took.elapsed() < 1000 + 5000 + 3000, qPrintable(QString::number(took.elapsed())));
            QVERIFY(!QFile::exists(imagePath(QStringLiteral("silent"))));
            QVERIFY(!item->isTransferring());
        }
        qunsetenv("SANE_STALL_DEAF");
        // The device left behind must end its read before the library goes.
        QVERIFY(QTest::qWaitFor([&] { return QFile::exists(readEnded); }, 10000));
    }
};

QTEST_MAIN(TestImaging)
#include "tst_imaging.moc"
