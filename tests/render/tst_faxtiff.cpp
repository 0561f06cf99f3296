// TIFF Class F files as other tools see them: tags, compression and pixels read back with
// libtiff, the file appearing only once finished, and broken TIFFs rejected with a reason.
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

QImage colourPageWithBox(const QRect &box) {
    QImage page(FaxPageWidth, FaxPageHeight, QImage::Format_RGB32);
    page.fill(Qt::white);
    QPainter(&page).fillRect(box, Qt::black);
    return page;
}

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

// 1-bit pages that between them hold runs of every length, both colours, lines that match and
// lines that differ from the one above, and real text.
QList<QImage> codingPages() {
    QList<QImage> pages;
    quint32 seed = 12345;
    const auto next = [&] { return seed = seed * 1664525u + 1013904223u; };
    // On row y of the first a black run of y * 5 pixels from column y * 3 % 64; then noise of
    // three densities; then whole black rows, rows alike and rows that shift a little.
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
    void writesClassFTagsOnEveryPage() {
        QList<QImage> pages;
        for (int i = 0; i < 3; ++i) pages << colourPageWithBox({100, 100 + i * 500, 400, 300});
        const QString file = writtenTiff(path(u"tags.tif"_s), pages);
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
            QCOMPARE(tag<float>(tif, TIFFTAG_XRESOLUTION), 204.0f);
            QCOMPARE(tag<float>(tif, TIFFTAG_YRESOLUTION), 196.0f);
            QCOMPARE(TIFFNumberOfStrips(tif), tstrip_t(1));
            uint16_t number = 0, total = 0;
            TIFFGetField(tif, TIFFTAG_PAGENUMBER, &number, &total);
            QCOMPARE(std::pair(number, total), std::pair(page, uint16_t(3)));
            ++page;
        } while (TIFFReadDirectory(tif));
        TIFFClose(tif);
        QCOMPARE(page, 3);
        QCOMPARE(tiffPageCount(file), 3);
    }

    void keepsBlackWhereItWas() {
        const QRect box(300, 700, 500, 250);
        // The same picture as a 1-bit page whose colour table is the other way round.
        QImage inverted(FaxPageWidth, FaxPageHeight, QImage::Format_Mono);
        inverted.setColorTable({qRgb(0, 0, 0), qRgb(255, 255, 255)});
        inverted.fill(1);
        for (int y = box.top(); y <= box.bottom(); ++y)
            for (int x = box.left(); x <= box.right(); ++x) inverted.setPixel(x, y, 0);
        const QString file = writtenTiff(path(u"pixels.tif"_s), {colourPageWithBox(box), inverted});
        for (int page = 0; page < 2; ++page) {
            const QImage read = readTiffPage(file, page);
            QCOMPARE(read.format(), QImage::Format_Mono);
            QCOMPARE(read.size(), QSize(FaxPageWidth, FaxPageHeight));
            QCOMPARE(QPoint(qRound(read.dotsPerMeterX() * 0.0254), qRound(read.dotsPerMeterY() * 0.0254)), QPoint(204, 196));
            QCOMPARE(inkShare(read, box), 1.0);
            QCOMPARE(inkShare(read, {0, 0, FaxPageWidth, box.top()}), 0.0);
            QCOMPARE(inkShare(read, {box.right() + 1, box.top(), 200, box.height()}), 0.0);
        }
    }

    void refusesWhatItCannotWrite() {
        const QString missingDir = path(u"no/such/dir/fax.tif"_s);
        QVERIFY(renderErrorOf([&] { FaxTiffWriter writer(missingDir); }).contains(missingDir));
        QTemporaryDir dir;
        const QString file = dir.filePath(u"empty.tif"_s);
        {
            FaxTiffWriter writer(file);
            QVERIFY(renderErrorOf([&] { writer.close(); }).contains(file));
            QVERIFY(renderErrorOf([&] { writer.addPage(colourPageWithBox({})); }).contains(file));
        }
        QVERIFY(QDir(dir.path()).isEmpty());
        QVERIFY(renderErrorOf([&] { FaxTiffWriter(file).addPage(QImage()); }).contains(file));
        // A disk that fills up while the pages are coded: the failure reaches the caller at a
        // later page or at close(), and no part of the file is left.
        QImage noise(FaxPageWidth, FaxPageHeight, QImage::Format_Mono);
        for (int y = 0; y < noise.height(); ++y)
            for (qsizetype i = 0; i < noise.bytesPerLine(); ++i) noise.scanLine(y)[i] = uchar((y * 131 + i * 17) ^ (i * y));
        const QString error = renderErrorOf([&] {
            const sendmere::test::FileSizeLimit limit(200'000);
            writtenTiff(file, QList<QImage>(40, noise));
        });
        QVERIFY2(error.contains(file) && error.contains(u"page"_s), qPrintable(error));
        QVERIFY(QDir(dir.path()).isEmpty());
    }

    void rejectsBrokenTiffs() {
        const QString good = writtenTiff(path(u"good.tif"_s), {colourPageWithBox({0, 0, 1728, 2292})});
        const QByteArray content = readFile(good);
        const QString truncated = written(path(u"truncated.tif"_s), content.left(content.size() / 3));
        for (const QString &file : {written(path(u"random.tif"_s), QByteArray("II*\0", 4) + QByteArray(300, '\x7f')),
                                    written(path(u"text.tif"_s), "not a tiff at all"), path(u"missing.tif"_s)}) {
            QVERIFY2(renderErrorOf([&] { tiffPageCount(file); }).contains(file), qPrintable(file));
            QVERIFY2(renderErrorOf([&] { readTiffPage(file, 0); }).contains(file), qPrintable(file));
        }
        // The directory of a truncated file may survive; its pixels do not.
        QVERIFY(renderErrorOf([&] { tiffPageCount(truncated), readTiffPage(truncated, 0); }).contains(truncated));
        QVERIFY(renderErrorOf([&] { readTiffPage(good, 1); }).contains(u"no page 2"_s));
        QVERIFY(renderErrorOf([&] { readTiffPage(good, -1); }).contains(good));
        // 174 bytes that claim a page of 16400 x 10768 pixels (found by the fuzzer): refused
        // before anything that size is allocated.
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
            TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, uint32_t(page.width()));
            TIFFSetField(tif, TIFFTAG_IMAGELENGTH, uint32_t(page.height()));
            TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, uint16_t(1));
            TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
            TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
            TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, uint32_t(page.height()));
            QByteArray bits(reinterpret_cast<const char *>(page.constBits()), page.sizeInBytes());
            QVERIFY(TIFFWriteEncodedStrip(tif, 0, bits.data(), tmsize_t(bits.size())) >= 0);
            QVERIFY(TIFFWriteDirectory(tif));
        }
        TIFFClose(tif);
        const QList<QByteArray> ourStrips = sendmere::test::rawStrips(ours), theirStrips = sendmere::test::rawStrips(theirs);
        QCOMPARE(ourStrips.size(), pages.size());
        QCOMPARE(theirStrips.size(), pages.size());
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
