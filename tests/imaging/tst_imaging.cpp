// The imaging component over the scanner library's "test" backend: whether it can be
// created, its device list, the acquisition dialog built from a device's settings, and the
// transfer of whole images, or of nothing at all.
#include "RegistryStore.h"
#include "ScanTestKit.h"
#include "platform/imaging/Imaging.h"
#include "platform/imaging/Sane.h"

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QStringDecoder>

using namespace sendmere;
using namespace sendmere::imaging;
using scantest::DialogDriver;
using scantest::writeRegFile;

namespace {

QString classesRootFile() { return registry::RegistryStore().filePath(registry::Root::ClassesRoot); }

std::unique_ptr<Item> acquireOne(Device &device) {
    DialogDriver driver({DialogDriver::scan});
    std::vector<std::unique_ptr<Item>> items = device.GetItemsFromUI(0, 0);
    if (items.size() != 1) return nullptr;
    return std::move(items.front());
}

QString imagePath(const QString &name) { return QDir::tempPath() + u'/' + name + QStringLiteral(".bmp"); }

// Any failure the transfer raises, as its text; empty when it succeeded.
QString transferFailure(Item &item, const QString &path) { return test::automationError([&] { item.Transfer(path); }).text(); }

}  // namespace

class TestImaging : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { scantest::useTestScanners(2); }

    void theComponentIsThereWhileItIsRegistered() {
        // A fresh machine has it, and its classes root file says so.
        QVERIFY(IsScanAvailable());
        const QString classes = QStringDecoder(QStringDecoder::Utf16LE).decode(test::readFile(classesRootFile()));
        QVERIFY(classes.contains(QStringLiteral("[HKEY_CLASSES_ROOT\\Wia.Script]")));

        writeRegFile(classesRootFile(), QStringLiteral("Windows Registry Editor Version 5.00\r\n\r\n"
                                                       "[HKEY_CLASSES_ROOT\\.txt]\r\n@=\"txtfile\"\r\n"));
        QVERIFY(!IsScanAvailable());
        QCOMPARE(test::automationError([] { const ImagingScript script; }).number(), err::CannotCreateObject);

        writeRegFile(classesRootFile(), QStringLiteral("Windows Registry Editor Version 5.00\r\n\r\n"
                                                       "[HKEY_CLASSES_ROOT\\wia.script]\r\n@=\"scanning\"\r\n"));
        QVERIFY(IsScanAvailable());
    }

    void devicesAreTheLibrarysDevices() {
        const ImagingScript script;
        const std::vector<DeviceInfo> devices = script.Devices();
        QCOMPARE(devices.size(), size_t(2));  // their names and types: the scan page's list
        QCOMPARE(devices[0].DeviceID, QStringLiteral("test:0"));
        QCOMPARE(devices[1].DeviceID, QStringLiteral("test:1"));

        // A device that has gone away cannot be created.
        const AutomationError missing = test::automationError(
            [&] { script.Create({QStringLiteral("Noname frontend-tester"), QStringLiteral("virtual device"), QStringLiteral("test:7")}); });
        QCOMPARE(missing.number(), err::AutomationFailure);
        QVERIFY2(missing.text().contains(QStringLiteral("test:7")), qPrintable(missing.text()));
    }

    // The dialog starts at what the device's configuration makes its defaults, and Scan
    // gives the device what the user chose; Cancel changes nothing.
    void theDialogOffersTheDevicesOwnSettings() {
        scantest::useTestScanners(1, {QStringLiteral("mode Color"), QStringLiteral("resolution 75")});
        const ImagingScript script;
        const std::unique_ptr<Device> device = script.Create(script.Devices().front());
        {
            AcquisitionDialog dialog(device->scanner(), QStringLiteral("Noname frontend-tester"));
            auto *source = dialog.findChild<QComboBox *>(QStringLiteral("source"));
            auto *mode = dialog.findChild<QComboBox *>(QStringLiteral("mode"));
            // The backend keeps its resolution as a fixed-point number.
            auto *resolution = dialog.findChild<QDoubleSpinBox *>(QStringLiteral("resolution"));
            QVERIFY(source && mode && resolution);
            QCOMPARE(source->currentText(), QStringLiteral("Flatbed"));
            QCOMPARE(source->count(), 2);
            QCOMPARE(mode->currentText(), QStringLiteral("Color"));
            QCOMPARE(resolution->value(), 75);
            QCOMPARE(resolution->minimum(), 1);
            QCOMPARE(resolution->maximum(), 1200);

            mode->setCurrentIndex(mode->findText(QStringLiteral("Gray")));
            resolution->setValue(120);
            QTest::mouseClick(dialog.cmdCancel, Qt::LeftButton);
            QCOMPARE(dialog.result(), int(QDialog::Rejected));
            QCOMPARE(device->scanner().option(QStringLiteral("mode"))->value.toString(), QStringLiteral("Color"));
        }
        {
            DialogDriver driver({[](AcquisitionDialog &d) {
                auto *mode = d.findChild<QComboBox *>(QStringLiteral("mode"));
                mode->setCurrentIndex(mode->findText(QStringLiteral("Gray")));
                d.findChild<QDoubleSpinBox *>(QStringLiteral("resolution"))->setValue(120);
                DialogDriver::scan(d);
            }});
            QCOMPARE(device->GetItemsFromUI(0, 0).size(), size_t(1));
        }
        QCOMPARE(device->scanner().option(QStringLiteral("mode"))->value.toString(), QStringLiteral("Gray"));
        QCOMPARE(device->scanner().option(QStringLiteral("resolution"))->value.toInt(), 120);
    }

    // Every sample format the library sends becomes the same picture: one frame of grey at
    // 1 and 16 bits, colour in one frame, and colour in three frames (red, green, blue).
    void transferWritesTheWholeImageInEveryFormat_data() {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<int>("depth");
        QTest::addColumn<bool>("threePass");
        QTest::addColumn<int>("bitsInFile");
        QTest::newRow("gray 1") << "Gray" << 1 << false << 1;
        QTest::newRow("gray 16") << "Gray" << 16 << false << 8;
        QTest::newRow("color 8") << "Color" << 8 << false << 24;
        QTest::newRow("color three-pass") << "Color" << 8 << true << 24;
    }
    void transferWritesTheWholeImageInEveryFormat() {
        QFETCH(QString, mode);
        QFETCH(int, depth);
        QFETCH(bool, threePass);
        QFETCH(int, bitsInFile);
        scantest::useTestScanners(1, {QStringLiteral("test-picture Grid"), QStringLiteral("resolution 100")});
        const ImagingScript script;
        const std::unique_ptr<Device> device = script.Create(script.Devices().front());
        sane::Device &scanner = device->scanner();
        scanner.setOption(QStringLiteral("mode"), mode);
        scanner.setOption(QStringLiteral("depth"), depth);
        if (threePass) scanner.setOption(QStringLiteral("three-pass"), true);
        const std::unique_ptr<Item> item = acquireOne(*device);
        QVERIFY(item);
        const QString path = imagePath(QTest::currentDataTag());
        QCOMPARE(transferFailure(*item, path), QString());

        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.read(2), QByteArray("BM"));
        const QImage image(path);
        QVERIFY(!image.isNull());
        QCOMPARE(image.depth() == 32 ? 24 : image.depth(), bitsInFile);
        // 80 x 100 mm at 100 dpi.
        QCOMPARE(image.width(), 314);
        QCOMPARE(image.height(), 393);
        QCOMPARE(qRound(image.dotsPerMeterX() * 0.0254), 100);
        QVERIFY(scantest::looksLikeGrid(image, 100));
        // Nothing else was left beside it.
        QCOMPARE(QDir::temp().entryList({QStringLiteral("*.bmp*")}, QDir::Files).filter(QTest::currentDataTag()).size(), 1);
    }

    // A scan that the device breaks off, or that the user stops, or whose file cannot be
    // written, leaves no file at the path.
    void failuresLeaveNoFile() {
        scantest::useTestScanners(1, {QStringLiteral("read-status-code SANE_STATUS_IO_ERROR")});
        {
            const ImagingScript script;
            const std::unique_ptr<Device> device = script.Create(script.Devices().front());
            const std::unique_ptr<Item> item = acquireOne(*device);
            QVERIFY(item);
            const QString path = imagePath(QStringLiteral("broken"));
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("Error during device I/O")));
            const QString broken = transferFailure(*item, path);
            QVERIFY2(broken.contains(QStringLiteral("Error during device I/O")), qPrintable(broken));
            QVERIFY(!QFile::exists(path));
            QVERIFY(!item->isTransferring());
        }

        scantest::useTestScanners(1, scantest::SlowScan);
        const ImagingScript script;
        const std::unique_ptr<Device> device = script.Create(script.Devices().front());
        std::unique_ptr<Item> item = acquireOne(*device);
        QVERIFY(item);
        const QString path = imagePath(QStringLiteral("stopped"));
        // The timers go with this scope, should a check below end the test early.
        const QObject scope;
        QTimer::singleShot(300, &scope, [&] {
            QVERIFY(item->isTransferring());
            item->Cancel();
        });
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("cancelled")));
        QCOMPARE(transferFailure(*item, path), QStringLiteral("The scan was cancelled"));
        QVERIFY(!QFile::exists(path));

        // The folder goes away while the image is on its way: no file, and no leftover.
        const QString folder = QDir::tempPath() + QStringLiteral("/gone");
        QVERIFY(QDir().mkpath(folder));
        item = acquireOne(*device);
        QVERIFY(item);
        QTimer::singleShot(300, &scope, [&] { QVERIFY(QDir(folder).removeRecursively()); });
        QVERIFY(transferFailure(*item, folder + QStringLiteral("/scan.bmp")).startsWith(QStringLiteral("Path/File access error")));
        QVERIFY(!QDir(folder).exists());

        // The same item scans again once the way is clear: the device was left usable.
        const QString again = imagePath(QStringLiteral("again"));
        QCOMPARE(transferFailure(*item, again), QString());
        QCOMPARE(QImage(again).width(), 944);  // 80 mm at 300 dpi
    }

    // A scanner that starts and then answers nothing: the scan stops itself after the time
    // limit, also when the device does not even hear the cancel, and leaves no file.
    void aSilentScannerIsStoppedByTheTimeLimit() {
        scantest::useStallScanner();
        scantest::setScanTimeout(1);
        for (const QByteArray &deaf : {QByteArray(), QByteArray("8")}) {
            if (deaf.isEmpty()) qunsetenv("SANE_STALL_DEAF");
            else qputenv("SANE_STALL_DEAF", deaf);
            const ImagingScript script;
            const std::vector<DeviceInfo> devices = script.Devices();
            QCOMPARE(devices.size(), size_t(1));
            const std::unique_ptr<Device> device = script.Create(devices.front());
            const std::unique_ptr<Item> item = acquireOne(*device);
            QVERIFY(item);
            const QString path = imagePath(QStringLiteral("silent"));
            QElapsedTimer took;
            took.start();
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("sent nothing for 1 s")));
            QCOMPARE(transferFailure(*item, path), QStringLiteral("The scanner stall:0 sent nothing for 1 s and was stopped"));
            QVERIFY2(took.elapsed() < 1000 + 5000 + 3000, qPrintable(QString::number(took.elapsed())));
            QVERIFY(!QFile::exists(path));
            QVERIFY(!item->isTransferring());
        }
        qunsetenv("SANE_STALL_DEAF");
        QTest::qWait(3000);  // the device left behind ends its read meanwhile, before the library goes
    }
};

QTEST_MAIN(TestImaging)
#include "tst_imaging.moc"
