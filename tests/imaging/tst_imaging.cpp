// The imaging component over the scanner library's "test" backend: the acquisition dialog and
// the transfer of whole images or of nothing. (Devices and broken-off scans: tst_desktop_scan.)
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
    std::unique_ptr<Device> device = script.Create(script.Devices().at(0));  // throws when there is none
};

QString imagePath(const QString &name) { return QDir::tempPath() + u'/' + name + QStringLiteral(".bmp"); }

// Any failure the transfer raises, as its text; empty when it succeeded.
QString transferFailure(Item &item, const QString &path) { return test::automationError([&] { item.Transfer(path); }).text(); }

}  // namespace

class TestImaging : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // The dialog starts at the device's defaults; Cancel changes nothing, Scan sets what was chosen.
    void theDialogOffersTheDevicesOwnSettings() {
        scantest::useTestScanners(1, {QStringLiteral("mode Color"), QStringLiteral("resolution 75")});
        const FirstDevice s;
        const auto settings = [&] {
            return s.device->scanner().option(QStringLiteral("mode"))->value.toString() + u' ' +
                   QString::number(s.device->scanner().option(QStringLiteral("resolution"))->value.toInt());
        };
        const auto choose = [](AcquisitionDialog &d) {
            auto *modes = d.findChild<QComboBox *>(QStringLiteral("mode"));
            modes->setCurrentIndex(modes->findText(QStringLiteral("Gray")));
            d.findChild<QDoubleSpinBox *>(QStringLiteral("resolution"))->setValue(120);  // kept as fixed point
        };
        {
            AcquisitionDialog dialog(s.device->scanner(), QStringLiteral("Noname frontend-tester"));
            auto *source = dialog.findChild<QComboBox *>(QStringLiteral("source"));
            auto *resolution = dialog.findChild<QDoubleSpinBox *>(QStringLiteral("resolution"));
            QVERIFY(source && resolution);
            QCOMPARE(std::tuple(source->currentText(), source->count(), dialog.findChild<QComboBox *>(QStringLiteral("mode"))->currentText()),
                     std::tuple(QStringLiteral("Flatbed"), 2, QStringLiteral("Color")));
            QCOMPARE(QList<double>({resolution->value(), resolution->minimum(), resolution->maximum()}), QList<double>({75, 1, 1200}));
            choose(dialog);
            QTest::mouseClick(dialog.cmdCancel, Qt::LeftButton);
            QCOMPARE(std::pair(dialog.result(), settings()), std::pair(int(QDialog::Rejected), QStringLiteral("Color 75")));
        }
        DialogDriver driver({[&](AcquisitionDialog &d) { choose(d), DialogDriver::scan(d); }});
        QCOMPARE(s.device->GetItemsFromUI(0, 0).size(), size_t(1));
        QCOMPARE(settings(), QStringLiteral("Gray 120"));
    }

    // Every sample format becomes the same picture, a BMP of 80 x 100 mm at 100 dpi and nothing beside it.
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

    // The folder goes away during the transfer: no file, no leftover, and the device scans again.
    void aFileThatCannotBeWrittenLeavesNothing() {
        scantest::useTestScanners(1, scantest::SlowScan);
        const FirstDevice s;
        const std::unique_ptr<Item> item = acquireOne(*s.device);
        QVERIFY(item);
        const QString folder = QDir::tempPath() + QStringLiteral("/gone");
        QVERIFY(QDir().mkpath(folder));
        const QObject scope;  // the timer goes with it, should a check below end the test early
        QTimer::singleShot(300, &scope, [&] { QVERIFY(QDir(folder).removeRecursively()); });
        QVERIFY(transferFailure(*item, folder + QStringLiteral("/scan.bmp")).startsWith(QStringLiteral("Path/File access error")));
        QVERIFY(!QDir(folder).exists());
        QCOMPARE(transferFailure(*item, imagePath(QStringLiteral("again"))), QString());
        QCOMPARE(QImage(imagePath(QStringLiteral("again"))).width(), 944);  // 80 mm at 300 dpi
    }

    // A scanner that answers nothing (StallBackend.cpp) is stopped at the time limit, deaf or not.
    void aSilentScannerIsStoppedByTheTimeLimit() {
        scantest::writeScanConfig("stall\n");
        qputenv("LD_LIBRARY_PATH", QByteArray(SANE_STALL_DIR) + ':' + qgetenv("LD_LIBRARY_PATH"));
        registry::RegistryStore store;
        const QString key = QStringLiteral("Software\\Sendmere");
        QVERIFY(store.createKey(registry::Root::CurrentUser, key));
        QVERIFY(store.setValue(registry::Root::CurrentUser, key, QStringLiteral("ScanTimeout"), registry::RegValue::number(1)));
        const QString readEnded = QDir::tempPath() + QStringLiteral("/stall-read-ended");
        qputenv("SANE_STALL_DONE", QFile::encodeName(readEnded));
        for (const QByteArray &deaf : {QByteArray(), QByteArray("8")}) {
            qputenv("SANE_STALL_DEAF", deaf);  // empty: hears the cancel
            const FirstDevice s;
            const std::unique_ptr<Item> item = acquireOne(*s.device);
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
