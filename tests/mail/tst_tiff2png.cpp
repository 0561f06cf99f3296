// The picture converter as the program starts it: in a folder holding Fax.tiff, with the
// argument "*.*", on real fax TIFFs and on broken ones.
#include "FaxRender.h"
#include "MailTestKit.h"

#include <QImage>
#include <QPainter>
#include <QProcess>
#include <QTemporaryDir>

#include <sys/prctl.h>
#include <sys/stat.h>
#include <tiffio.h>

using namespace sendmere;
using namespace sendmere::mailtest;

namespace {

// A fine fax page: white, a black bar near the top left, a word in the middle.
QImage page(const QString &text) {
    QImage image(1728, 2200, QImage::Format_Mono);
    image.fill(1);
    QPainter painter(&image);
    painter.fillRect(100, 100, 800, 40, Qt::black);
    painter.setFont(QFont(u"DejaVu Sans"_s, 60));
    painter.drawText(QRect(0, 1000, 1728, 200), Qt::AlignCenter, text);
    return image;
}

QString writeFax(const QString &path, const QStringList &texts) {
    render::FaxTiffWriter writer(path);
    for (const QString &text : texts) writer.addPage(page(text));
    writer.close();
    return path;
}

// A standard-resolution page as a fax modem writes it: 204 x 98 dpi, G3, min-is-white, every other row of the fine page.
void writeStandardResolution(const QString &path, const QImage &fine) {
    TIFF *tiff = TIFFOpen(QFile::encodeName(path).constData(), "w");
    QVERIFY(tiff);
    const int rows = fine.height() / 2;
    const std::pair<ttag_t, int> fields[] = {{TIFFTAG_IMAGEWIDTH, fine.width()}, {TIFFTAG_IMAGELENGTH, rows}, {TIFFTAG_BITSPERSAMPLE, 1},
                                             {TIFFTAG_SAMPLESPERPIXEL, 1}, {TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX3},
                                             {TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE}, {TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH},
                                             {TIFFTAG_ROWSPERSTRIP, rows}};
    for (const auto &[field, value] : fields) TIFFSetField(tiff, field, value);
    TIFFSetField(tiff, TIFFTAG_XRESOLUTION, 204.0f);
    TIFFSetField(tiff, TIFFTAG_YRESOLUTION, 98.0f);
    std::vector<uchar> row(size_t(fine.bytesPerLine()));
    for (int y = 0; y < rows; ++y) {
        for (size_t i = 0; i < row.size(); ++i) row[i] = uchar(~fine.constScanLine(2 * y)[i]);  // Mono's 1 is white, min-is-white's black
        QVERIFY(TIFFWriteScanline(tiff, row.data(), uint32_t(y), 0) >= 0);
    }
    TIFFClose(tiff);
}

// The converter's exit code; obeyPermissions: without the capabilities that let root write anywhere.
int runConverter(const QString &dir, bool obeyPermissions = false) {
    QProcess process;
    if (obeyPermissions)
        process.setChildProcessModifier([] {
            for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}) ::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0);
        });
    process.setWorkingDirectory(dir);
    process.start(test::binDir() + u"/tiff2png.exe"_s, {u"*.*"_s});
    if (!process.waitForFinished(30000)) return -1;
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
}

bool isBlack(const QImage &image, int x, int y) { return qGray(image.pixel(x, y)) < 128; }

}  // namespace

class Tiff2PngTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // A fine multi-page fax gives one picture of its first page, pixel for pixel; a standard- resolution page has half the rows, and the
    // picture repeats each, so that the page keeps its shape and the bar stays where it was.
    void faxesGiveTheirFirstPage() {
        QTemporaryDir dir, standard;
        const QString tiff = writeFax(dir.filePath(u"Fax.tiff"_s), {u"one"_s, u"two"_s});
        QCOMPARE(runConverter(dir.path()), 0);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), (QStringList{u"Fax.png"_s, u"Fax.tiff"_s}));
        const QImage png(dir.filePath(u"Fax.png"_s)), first = render::readTiffPage(tiff, 0);
        QCOMPARE(png.size(), first.size());
        QCOMPARE(png.convertToFormat(QImage::Format_Mono), first.convertToFormat(QImage::Format_Mono));
        QVERIFY(isBlack(png, 150, 110) && !isBlack(png, 1500, 110));

        writeStandardResolution(standard.filePath(u"Fax.tiff"_s), page(u"standard"_s));
        QCOMPARE(runConverter(standard.path()), 0);
        const QImage stretched(standard.filePath(u"Fax.png"_s));
        QCOMPARE(stretched.size(), QSize(1728, 2200));
        QVERIFY(isBlack(stretched, 150, 102) && isBlack(stretched, 150, 136));
        QVERIFY(!isBlack(stretched, 150, 96) && !isBlack(stretched, 150, 144));
    }

    // Broken input ends with an exit code and no picture, and never takes the place of one; a
    // picture that cannot be written leaves the folder as it was.
    void brokenInputGivesAnExitCode() {
        QTemporaryDir dir;
        QCOMPARE(runConverter(dir.path()), 1);  // nothing to convert
        writeFile(dir.filePath(u"notes.txt"_s), "text");
        QCOMPARE(runConverter(dir.path()), 1);
        const QByteArray whole = readFile(writeFax(dir.filePath(u"whole.tiff"_s), {u"whole"_s}));  // hostile fields: the converter's fuzzer
        const std::pair<QString, QByteArray> inputs[] = {{u"empty"_s, QByteArray()}, {u"header"_s, whole.left(8)}, {u"truncated"_s, whole.left(whole.size() / 3)}};
        for (const auto &[name, bytes] : inputs) {
            QTemporaryDir one;
            writeFile(one.filePath(name + u".tiff"_s), bytes);
            const int code = runConverter(one.path());
            QVERIFY2(code == 0 || code == 2, qPrintable(u"%1: %2"_s.arg(name).arg(code)));
            QStringList expected{name + u".tiff"_s};
            if (code == 0) expected.prepend(name + u".png"_s);
            QCOMPARE(QDir(one.path()).entryList(QDir::Files | QDir::Hidden), expected);  // no partial picture
        }
        QTemporaryDir ro;
        writeFile(ro.filePath(u"Fax.tiff"_s), whole);
        QVERIFY(QFile::setPermissions(ro.path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        QCOMPARE(runConverter(ro.path(), true), 3);
        QFile::setPermissions(ro.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        QCOMPARE(QDir(ro.path()).entryList(QDir::Files), QStringList{u"Fax.tiff"_s});
    }

    // Only regular files are read, and the picture is written as a new file: a FIFO named like a TIFF is refused at once, and links planted
    // under the picture's names (another user's, in a shared folder) are replaced, never written through.
    void specialFilesAreNeverFollowed() {
        QTemporaryDir dir, elsewhere;
        writeFax(dir.filePath(u"Fax.tiff"_s), {u"fax"_s});
        QCOMPARE(::mkfifo(QFile::encodeName(dir.filePath(u"waiting.tif"_s)).constData(), 0600), 0);
        const QString thesis = elsewhere.filePath(u"thesis.txt"_s), notes = elsewhere.filePath(u"notes.txt"_s);
        writeFile(thesis, "my thesis");
        writeFile(notes, "my notes");
        QVERIFY(QFile::link(thesis, dir.filePath(u"Fax.png.part"_s)) && QFile::link(notes, dir.filePath(u"Fax.png"_s)));
        QCOMPARE(runConverter(dir.path()), 2);  // the FIFO is no readable TIFF; Fax.tiff converts
        QCOMPARE(readFile(thesis) + readFile(notes), QByteArray("my thesismy notes"));
        const QFileInfo picture(dir.filePath(u"Fax.png"_s));
        QVERIFY(!picture.isSymLink());
        QCOMPARE(QImage(picture.filePath()).size(), QSize(1728, 2200));
    }
};

QTEST_MAIN(Tiff2PngTest)
#include "tst_tiff2png.moc"
