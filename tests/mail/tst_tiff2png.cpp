// The picture converter as the program starts it: in a folder holding Fax.tiff, with the
// argument "*.*", on real fax TIFFs and on broken ones.
#include "FaxRender.h"
#include "MailTestKit.h"
#include "TestSupport.h"

#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/prctl.h>
#include <sys/stat.h>
#include <tiffio.h>

using namespace sendmere;
using namespace sendmere::mailtest;
using namespace Qt::StringLiterals;

namespace {

QImage page(const QString &text) {
    QImage image(1728, 2200, QImage::Format_Mono);
    image.fill(1);  // white
    QPainter painter(&image);
    painter.fillRect(100, 100, 800, 40, Qt::black);  // a bar near the top left
    painter.setFont(QFont(u"DejaVu Sans"_s, 60));
    painter.drawText(QRect(0, 1000, 1728, 200), Qt::AlignCenter, text);
    return image;
}

// A standard-resolution fax page as a fax modem writes it: 204 x 98 dpi, G3, min-is-white.
void writeStandardResolution(const QString &path, const QImage &fine) {
    TIFF *tiff = TIFFOpen(QFile::encodeName(path).constData(), "w");
    QVERIFY(tiff);
    const int rows = fine.height() / 2;
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, fine.width());
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, rows);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX3);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(tiff, TIFFTAG_XRESOLUTION, 204.0f);
    TIFFSetField(tiff, TIFFTAG_YRESOLUTION, 98.0f);
    TIFFSetField(tiff, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, rows);
    std::vector<uchar> row(size_t(fine.bytesPerLine()));
    for (int y = 0; y < rows; ++y) {
        const uchar *source = fine.constScanLine(2 * y);
        // Format_Mono with colour 1 = white; min-is-white wants 1 = black.
        for (size_t i = 0; i < row.size(); ++i) row[i] = uchar(~source[i]);
        QVERIFY(TIFFWriteScanline(tiff, row.data(), uint32_t(y), 0) >= 0);
    }
    TIFFClose(tiff);
}

// obeyPermissions: the converter runs without the capabilities that let root write anywhere.
int runConverter(const QString &dir, bool obeyPermissions = false) {
    QProcess process;
    if (obeyPermissions) {
        process.setChildProcessModifier([] {
            for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}) ::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0);
        });
    }
    const QStringList args = {u"*.*"_s};
    process.setWorkingDirectory(dir);
    process.start(test::binDir() + u"/tiff2png.exe"_s, args);
    if (!process.waitForFinished(30000)) return -1;
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
}

bool isBlack(const QImage &image, int x, int y) { return qGray(image.pixel(x, y)) < 128; }

}  // namespace

class Tiff2PngTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // A fine multi-page fax gives one picture of its first page, pixel for pixel.
    void fineFaxGivesItsFirstPage() {
        QTemporaryDir dir;
        {
            render::FaxTiffWriter writer(dir.filePath(u"Fax.tiff"_s));
            writer.addPage(page(u"one"_s));
            writer.addPage(page(u"two"_s));
            writer.close();
        }
        QCOMPARE(runConverter(dir.path()), 0);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), (QStringList{u"Fax.png"_s, u"Fax.tiff"_s}));
        const QImage png(dir.filePath(u"Fax.png"_s));
        const QImage first = render::readTiffPage(dir.filePath(u"Fax.tiff"_s), 0);
        QCOMPARE(png.size(), first.size());
        QCOMPARE(png.convertToFormat(QImage::Format_Mono), first.convertToFormat(QImage::Format_Mono));
        QVERIFY(isBlack(png, 150, 110));
        QVERIFY(!isBlack(png, 1500, 110));
    }

    // A standard-resolution page has half the rows; the picture repeats each, so the page
    // keeps its shape and the bar stays where it was.
    void standardResolutionKeepsItsAspectRatio() {
        QTemporaryDir dir;
        const QImage fine = page(u"standard"_s);
        writeStandardResolution(dir.filePath(u"Fax.tiff"_s), fine);
        QCOMPARE(runConverter(dir.path()), 0);
        const QImage png(dir.filePath(u"Fax.png"_s));
        QCOMPARE(png.size(), QSize(1728, 2200));
        QVERIFY(isBlack(png, 150, 102) && isBlack(png, 150, 136));
        QVERIFY(!isBlack(png, 150, 96) && !isBlack(png, 150, 144));
    }

    // Broken input ends with an exit code and no picture, and never takes the place of one.
    void brokenInputGivesAnExitCode() {
        QTemporaryDir dir;
        QCOMPARE(runConverter(dir.path()), 1);  // nothing to convert
        writeFile(dir.filePath(u"notes.txt"_s), "text");
        QCOMPARE(runConverter(dir.path()), 1);

        {
            render::FaxTiffWriter writer(dir.filePath(u"whole.tiff"_s));
            writer.addPage(page(u"whole"_s));
            writer.close();
        }
        const QByteArray whole = readFile(dir.filePath(u"whole.tiff"_s));
        QVERIFY(QFile::remove(dir.filePath(u"whole.tiff"_s)));
        // The width entry claims 65535 pixels: the strip no longer holds what the rows need.
        QByteArray hostile = whole;
        qsizetype widthEntry = hostile.indexOf(QByteArray("\x00\x01\x03\x00", 4));
        if (widthEntry < 0) widthEntry = hostile.indexOf(QByteArray("\x00\x01\x04\x00", 4));
        QVERIFY(widthEntry > 0);
        hostile.replace(widthEntry + 8, 2, QByteArray("\xff\xff", 2));
        const QList<QPair<QString, QByteArray>> inputs = {
            {u"empty.tiff"_s, QByteArray()},
            {u"header.tiff"_s, whole.left(8)},
            {u"truncated.tiff"_s, whole.left(whole.size() / 3)},
            {u"hostile.tiff"_s, hostile},
        };
        for (const auto &[name, bytes] : inputs) {
            QTemporaryDir one;
            writeFile(one.filePath(name), bytes);
            const int code = runConverter(one.path());
            QVERIFY2(code == 0 || code == 2, qPrintable(u"%1: %2"_s.arg(name).arg(code)));
            const bool pictureThere = QFileInfo::exists(one.filePath(name.section(u'.', 0, 0) + u".png"_s));
            QCOMPARE(pictureThere, code == 0);
            QStringList expected{name};
            if (code == 0) expected << name.section(u'.', 0, 0) + u".png"_s;
            expected.sort();
            QCOMPARE(QDir(one.path()).entryList(QDir::Files | QDir::Hidden), expected);  // no partial picture
        }
        // A picture that cannot be written leaves the folder as it was.
        QTemporaryDir ro;
        writeFile(ro.filePath(u"Fax.tiff"_s), whole);
        QVERIFY(QFile::setPermissions(ro.path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        QCOMPARE(runConverter(ro.path(), true), 3);
        QFile::setPermissions(ro.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        QCOMPARE(QDir(ro.path()).entryList(QDir::Files), QStringList{u"Fax.tiff"_s});
    }

    // Only regular files are read, and the picture is written as a new file: a FIFO named
    // like a TIFF is refused at once, and links planted under the picture's names (another
    // user's, in a shared folder) are replaced, never written through.
    void specialFilesAreNeverFollowed() {
        QTemporaryDir dir, elsewhere;
        {
            render::FaxTiffWriter writer(dir.filePath(u"Fax.tiff"_s));
            writer.addPage(page(u"fax"_s));
            writer.close();
        }
        QCOMPARE(::mkfifo(QFile::encodeName(dir.filePath(u"waiting.tif"_s)).constData(), 0600), 0);
        const QString thesis = elsewhere.filePath(u"thesis.txt"_s), notes = elsewhere.filePath(u"notes.txt"_s);
        writeFile(thesis, "my thesis");
        writeFile(notes, "my notes");
        QVERIFY(QFile::link(thesis, dir.filePath(u"Fax.png.part"_s)));
        QVERIFY(QFile::link(notes, dir.filePath(u"Fax.png"_s)));
        QCOMPARE(runConverter(dir.path()), 2);  // the FIFO is no readable TIFF; Fax.tiff converts
        QCOMPARE(readFile(thesis), QByteArray("my thesis"));
        QCOMPARE(readFile(notes), QByteArray("my notes"));
        const QFileInfo picture(dir.filePath(u"Fax.png"_s));
        QVERIFY(!picture.isSymLink());
        QCOMPARE(QImage(picture.filePath()).size(), QSize(1728, 2200));
    }
};

QTEST_MAIN(Tiff2PngTest)
#include "tst_tiff2png.moc"
