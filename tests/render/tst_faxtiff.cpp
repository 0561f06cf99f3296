// TIFF Class F files as libtiff reads them, files not written, and broken TIFFs refused.
#include "RawStrips.h"
#include "FaxRender.h"
#include "FileLimits.h"
#include "RenderTestKit.h"

#include <QDir>
#include <QPainter>
#include <QTemporaryDir>
#include <QTest>
#include <tiffio.h>
#include <cstring>

using namespace sendmere::render;
using namespace rendertest;
using namespace Qt::StringLiterals;

namespace {

QImage colourPageWithBox(const QRect &box) { return pageWithBox({FaxPageWidth, FaxPageHeight}, box); }

template <typename T>
T tag(TIFF *tif, ttag_t name) {
    T value{};
    TIFFGetField(tif, name, &value);
    return value;
}

QString writtenTiff(const QString &file, const QList<QImage> &pages) {
    FaxTiffWriter writer(file);
    for (const QImage &page : pages) writer.addPage(page);
    writer.close();
    return file;
}

// 1-bit pages with runs of every length, both colours, rows like and unlike the one above, text.
QList<QImage> codingPages() {
    QList<QImage> pages;
    quint32 seed = 12345;
    const auto next = [&] { return seed = seed * 1664525u + 1013904223u; };
    // Runs of y * 5 pixels on row y; noise of three densities; black rows, rows alike and shifting.
    const std::function<bool(int, int)> patterns[] = {
        [](int x, int y) { return x >= (y * 3) % 64 && x < (y * 3) % 64 + y * 5; },
        [&](int, int) { return next() % 1000 < 500; }, [&](int, int) { return next() % 1000 < 30; },
        [&](int, int) { return next() % 1000 < 970; }, [](int x, int y) { return (y / 40) % 2 == 0 || (x + y / 3) % 97 < 2 + y % 5; }};
    for (const auto &black : patterns) {
        QImage page(FaxPageWidth, 400, QImage::Format_Mono);
        page.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
        for (int y = 0; y < page.height(); ++y)
            for (int x = 0; x < FaxPageWidth; ++x) page.setPixel(x, y, black(x, y));
        pages << page;
    }
    QImage text(FaxPageWidth, 400, QImage::Format_RGB32);
    text.fill(Qt::white);
    QPainter painter(&text);
    painter.setFont(QFont(u"DejaVu Sans"_s, 14));
    painter.drawText(text.rect(), Qt::TextWordWrap, u"Orders from the northern region rose again. "_s.repeated(40));
    painter.end();
    return pages << text.convertToFormat(QImage::Format_Mono, {qRgb(255, 255, 255), qRgb(0, 0, 0)}, Qt::ThresholdDither);
}

}  // namespace

class TestFaxTiff : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    QString path(const QString &name) const { return m_dir.filePath(name); }

private Q_SLOTS:
    // Class F tags and its own number on every page; black stays where it was, also when inverted.
    void writesClassFTagsOnEveryPage() {
        const QRect box(300, 700, 500, 250);
        const QList<QRect> boxes = {box.translated(0, -500), box, box.translated(0, 500), box};
        const QImage inverted = colourPageWithBox(box).convertToFormat(QImage::Format_Mono, {qRgb(0, 0, 0), qRgb(255, 255, 255)}, Qt::ThresholdDither);
        QCOMPARE(inverted.pixelIndex(box.left(), box.top()), 0);
        const QString file = writtenTiff(path(u"tags.tif"_s), {colourPageWithBox(boxes[0]), colourPageWithBox(boxes[1]), colourPageWithBox(boxes[2]), inverted});
        const std::pair<ttag_t, uint32_t> longs[] = {
            {TIFFTAG_IMAGEWIDTH, 1728}, {TIFFTAG_IMAGELENGTH, 2292}, {TIFFTAG_ROWSPERSTRIP, 2292}, {TIFFTAG_SUBFILETYPE, FILETYPE_PAGE}};
        const std::pair<ttag_t, uint16_t> shorts[] = {
            {TIFFTAG_BITSPERSAMPLE, 1},          {TIFFTAG_SAMPLESPERPIXEL, 1},        {TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4},
            {TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE}, {TIFFTAG_FILLORDER, FILLORDER_MSB2LSB}, {TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH}};
        TIFF *tif = TIFFOpen(QFile::encodeName(file).constData(), "r");
        QVERIFY(tif);
        uint16_t page = 0;
        do {
            for (const auto &[name, value] : longs) QVERIFY2(tag<uint32_t>(tif, name) == value, qPrintable(QString::number(name)));
            for (const auto &[name, value] : shorts) QVERIFY2(tag<uint16_t>(tif, name) == value, qPrintable(QString::number(name)));
            QCOMPARE(std::pair(tag<float>(tif, TIFFTAG_XRESOLUTION), tag<float>(tif, TIFFTAG_YRESOLUTION)), std::pair(204.0f, 196.0f));
            QCOMPARE(TIFFNumberOfStrips(tif), tstrip_t(1));
            uint16_t number = 0, total = 0;
            TIFFGetField(tif, TIFFTAG_PAGENUMBER, &number, &total);
            QCOMPARE(std::pair(number, total), std::pair(page, uint16_t(4)));
            ++page;
        } while (TIFFReadDirectory(tif));
        TIFFClose(tif);
        QCOMPARE(std::pair(int(page), tiffPageCount(file)), std::pair(4, 4));
        for (int i = 0; i < 4; ++i) {
            const QImage read = readTiffPage(file, i);
            QCOMPARE(std::pair(read.format(), read.size()), std::pair(QImage::Format_Mono, QSize(FaxPageWidth, FaxPageHeight)));
            QCOMPARE(QPoint(qRound(read.dotsPerMeterX() * 0.0254), qRound(read.dotsPerMeterY() * 0.0254)), QPoint(204, 196));
            QCOMPARE(inkShare(read, boxes[i]), 1.0);
            QCOMPARE(inkShare(read, {0, 0, FaxPageWidth, boxes[i].top()}), 0.0);
            QCOMPARE(inkShare(read, {boxes[i].right() + 1, boxes[i].top(), 200, boxes[i].height()}), 0.0);
        }
    }

    // A missing folder or a full disk: an error naming the file, no part left. Broken TIFFs named too.
    void unwritableAndBrokenTiffsNameTheFile() {
        const QString missingDir = path(u"no/such/dir/fax.tif"_s);
        QVERIFY(renderErrorOf([&] { FaxTiffWriter writer(missingDir); }).contains(missingDir));
        QTemporaryDir dir;
        const QString file = dir.filePath(u"full.tif"_s);
        const QString error = renderErrorOf([&] {
            const sendmere::test::FileSizeLimit limit(200'000);
            writtenTiff(file, QList<QImage>(40, codingPages()[1]));  // noise codes to more than 100 kB a page
        });
        QVERIFY2(error.contains(file) && error.contains(u"page"_s), qPrintable(error));
        QVERIFY(QDir(dir.path()).isEmpty());

        const QString good = writtenTiff(path(u"good.tif"_s), {colourPageWithBox({0, 0, 1728, 2292})});
        const QString truncated = written(path(u"truncated.tif"_s), readFile(good).left(readFile(good).size() / 3));
        for (const QString &file : {written(path(u"random.tif"_s), QByteArray("II*\0", 4) + QByteArray(300, '\x7f')),
                                    written(path(u"text.tif"_s), "not a tiff at all"), path(u"missing.tif"_s)}) {
            QVERIFY2(renderErrorOf([&] { tiffPageCount(file); }).contains(file), qPrintable(file));
            QVERIFY2(renderErrorOf([&] { readTiffPage(file, 0); }).contains(file), qPrintable(file));
        }
        // The directory of a truncated file may survive; its pixels do not.
        QVERIFY(renderErrorOf([&] { tiffPageCount(truncated), readTiffPage(truncated, 0); }).contains(truncated));
        QVERIFY(renderErrorOf([&] { readTiffPage(good, 1); }).contains(u"no page 2"_s));
        QVERIFY(renderErrorOf([&] { readTiffPage(good, -1); }).contains(good));
        // 174 bytes claiming 16400 x 10768 pixels (from the fuzzer): refused before allocating.
        const QString huge = written(
            path(u"huge.tif"_s),
            QByteArray::fromHex("49492a0028000000f00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00ff00f0b000001030001000000"
                                "104000000101030001000000102a494900000000000010e0cfbf010000000200000900010300000001000000010000000000"
                                "0000110104000100000008000000150103000100000001000000160103000100000010000000170104000100000020000000"
                                "000000000000000000001a01050000000000b20100001b01050001000000ba00000000000009cc0000f401000000c4ffffff"
                                "0f00000001000000"));
        QVERIFY(renderErrorOf([&] { readTiffPage(huge, 0); }).contains(u"unusable size 16400x10768"_s));
    }

    // The writer's own G4 coding against libtiff's coder on the same pages, bit for bit.
    void codesTheSameBitsAsLibtiff() {
        const QList<QImage> pages = codingPages();
        const QString ours = writtenTiff(path(u"ours.tif"_s), pages), theirs = path(u"libtiff.tif"_s);
        TIFF *tif = TIFFOpen(QFile::encodeName(theirs).constData(), "w");
        QVERIFY(tif);
        for (const QImage &page : pages) {
            TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, uint32_t(page.width())), TIFFSetField(tif, TIFFTAG_IMAGELENGTH, uint32_t(page.height()));
            TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, uint16_t(1)), TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
            TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE), TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, uint32_t(page.height()));
            QByteArray bits(reinterpret_cast<const char *>(page.constBits()), page.sizeInBytes());
            QVERIFY(TIFFWriteEncodedStrip(tif, 0, bits.data(), tmsize_t(bits.size())) >= 0);
            QVERIFY(TIFFWriteDirectory(tif));
        }
        TIFFClose(tif);
        const QList<QByteArray> ourStrips = sendmere::test::rawStrips(ours), theirStrips = sendmere::test::rawStrips(theirs);
        QCOMPARE(std::pair(ourStrips.size(), theirStrips.size()), std::pair(pages.size(), pages.size()));
        for (qsizetype i = 0; i < pages.size(); ++i) {
            QVERIFY2(ourStrips[i] == theirStrips[i], qPrintable(u"page %1: %2 bytes against %3"_s.arg(i).arg(ourStrips[i].size()).arg(theirStrips[i].size())));
            const QImage read = readTiffPage(ours, int(i));
            for (int y = 0; y < read.height(); ++y)
                QVERIFY(std::memcmp(read.constScanLine(y), pages[i].constScanLine(y), size_t(FaxPageWidth / 8)) == 0);
        }
    }
};

QTEST_MAIN(TestFaxTiff)
#include "tst_faxtiff.moc"
