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

using sendmere::test::rawStrips;

namespace {

QImage colourPageWithBox(const QRect &box) {
    QImage page(FaxPageWidth, FaxPageHeight, QImage::Format_RGB32);
    page.fill(Qt::white);
    QPainter(&page).fillRect(box, Qt::black);
    return page;
}

// One tag of the current directory, read as the type libtiff gives it.
template <typename T>
T tag(TIFF *tif, ttag_t name) {
    T value{};
    TIFFGetField(tif, name, &value);
    return value;
}

// 1-bit fax pages that between them hold runs of every length, both colours, lines that
// match and lines that differ from the one above, and real text.
QList<QImage> codingPages() {
    const auto blank = [] {
        QImage page(FaxPageWidth, 400, QImage::Format_Mono);
        page.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
        page.fill(0);
        return page;
    };
    QList<QImage> pages;
    QImage runs = blank();  // on row y a black run of y * 5 pixels from column y * 3 % 64
    for (int y = 0; y < runs.height(); ++y)
        for (int x = (y * 3) % 64; x < std::min(FaxPageWidth, (y * 3) % 64 + y * 5); ++x) runs.setPixel(x, y, 1);
    pages << runs;
    quint32 seed = 12345;
    const auto next = [&] { return seed = seed * 1664525u + 1013904223u; };
    for (const quint32 blackPerMille : {500u, 30u, 970u}) {
        QImage noise = blank();
        for (int y = 0; y < noise.height(); ++y)
            for (int x = 0; x < FaxPageWidth; ++x) noise.setPixel(x, y, next() % 1000 < blackPerMille);
        pages << noise;
    }
    QImage bands = blank();  // whole black rows, rows alike and rows that shift a little
    for (int y = 0; y < bands.height(); ++y)
        for (int x = 0; x < FaxPageWidth; ++x) bands.setPixel(x, y, (y / 40) % 2 == 0 || (x + y / 3) % 97 < 2 + y % 5);
    pages << bands;
    QImage text(FaxPageWidth, 400, QImage::Format_RGB32);
    text.fill(Qt::white);
    {
        QPainter painter(&text);
        painter.setFont(QFont(u"DejaVu Sans"_s, 14));
        painter.drawText(text.rect(), Qt::TextWordWrap, u"Orders from the northern region rose again. "_s.repeated(40));
    }
    pages << text.convertToFormat(QImage::Format_Mono, {qRgb(255, 255, 255), qRgb(0, 0, 0)}, Qt::ThresholdDither);
    return pages;
}

}  // namespace

class TestFaxTiff : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    QString path(const QString &name) const { return m_dir.filePath(name); }

private Q_SLOTS:
    void writesClassFTagsOnEveryPage() {
        const QString file = path(u"tags.tif"_s);
        {
            FaxTiffWriter writer(file);
            for (int i = 0; i < 3; ++i) writer.addPage(colourPageWithBox({100, 100 + i * 500, 400, 300}));
            QCOMPARE(writer.pageCount(), 3);
            writer.close();
        }
        TIFF *tif = TIFFOpen(QFile::encodeName(file).constData(), "r");
        QVERIFY(tif);
        int pages = 0;
        do {
            QCOMPARE(tag<uint32_t>(tif, TIFFTAG_IMAGEWIDTH), uint32_t(1728));
            QCOMPARE(tag<uint32_t>(tif, TIFFTAG_IMAGELENGTH), uint32_t(2292));
            QCOMPARE(tag<uint16_t>(tif, TIFFTAG_BITSPERSAMPLE), uint16_t(1));
            QCOMPARE(tag<uint16_t>(tif, TIFFTAG_SAMPLESPERPIXEL), uint16_t(1));
            QCOMPARE(tag<uint16_t>(tif, TIFFTAG_COMPRESSION), uint16_t(COMPRESSION_CCITTFAX4));
            QCOMPARE(tag<uint16_t>(tif, TIFFTAG_PHOTOMETRIC), uint16_t(PHOTOMETRIC_MINISWHITE));
            QCOMPARE(tag<uint16_t>(tif, TIFFTAG_FILLORDER), uint16_t(FILLORDER_MSB2LSB));
            QCOMPARE(tag<float>(tif, TIFFTAG_XRESOLUTION), 204.0f);
            QCOMPARE(tag<float>(tif, TIFFTAG_YRESOLUTION), 196.0f);
            QCOMPARE(tag<uint16_t>(tif, TIFFTAG_RESOLUTIONUNIT), uint16_t(RESUNIT_INCH));
            QCOMPARE(tag<uint32_t>(tif, TIFFTAG_ROWSPERSTRIP), uint32_t(2292));
            QCOMPARE(TIFFNumberOfStrips(tif), tstrip_t(1));
            QCOMPARE(tag<uint32_t>(tif, TIFFTAG_SUBFILETYPE), uint32_t(FILETYPE_PAGE));
            uint16_t number = 0, total = 0;
            TIFFGetField(tif, TIFFTAG_PAGENUMBER, &number, &total);
            QCOMPARE(number, uint16_t(pages));
            QCOMPARE(total, uint16_t(3));
            ++pages;
        } while (TIFFReadDirectory(tif));
        TIFFClose(tif);
        QCOMPARE(pages, 3);
        QCOMPARE(tiffPageCount(file), 3);
    }

    void keepsBlackWhereItWas() {
        const QString file = path(u"pixels.tif"_s);
        const QRect box(300, 700, 500, 250);
        // The same picture as a 1-bit page whose colour table is the other way round.
        QImage invertedTable(FaxPageWidth, FaxPageHeight, QImage::Format_Mono);
        invertedTable.setColorTable({qRgb(0, 0, 0), qRgb(255, 255, 255)});
        invertedTable.fill(1);
        for (int y = box.top(); y <= box.bottom(); ++y)
            for (int x = box.left(); x <= box.right(); ++x) invertedTable.setPixel(x, y, 0);
        {
            FaxTiffWriter writer(file);
            writer.addPage(colourPageWithBox(box));
            writer.addPage(invertedTable);
            writer.close();
        }
        for (int page = 0; page < 2; ++page) {
            const QImage read = readTiffPage(file, page);
            QCOMPARE(read.format(), QImage::Format_Mono);
            QCOMPARE(read.size(), QSize(FaxPageWidth, FaxPageHeight));
            QCOMPARE(qRound(read.dotsPerMeterX() * 0.0254), 204);
            QCOMPARE(qRound(read.dotsPerMeterY() * 0.0254), 196);
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
        {
            FaxTiffWriter writer(file);
            QVERIFY(renderErrorOf([&] { writer.addPage(QImage()); }).contains(file));
        }
        // A disk that fills up while the pages are coded: the failure reaches the caller at a
        // later page or at close(), and no part of the file is left.
        QImage noise(FaxPageWidth, FaxPageHeight, QImage::Format_Mono);
        for (int y = 0; y < noise.height(); ++y)
            for (qsizetype i = 0; i < noise.bytesPerLine(); ++i) noise.scanLine(y)[i] = uchar((y * 131 + i * 17) ^ (i * y));
        const QString error = renderErrorOf([&] {
            const sendmere::test::FileSizeLimit limit(200'000);
            FaxTiffWriter writer(file);
            for (int i = 0; i < 40; ++i) writer.addPage(noise);
            writer.close();
        });
        QVERIFY2(error.contains(file) && error.contains(u"page"_s), qPrintable(error));
        QVERIFY(QDir(dir.path()).isEmpty());
    }

    void rejectsBrokenTiffs() {
        const QString good = path(u"good.tif"_s);
        {
            FaxTiffWriter writer(good);
            writer.addPage(colourPageWithBox({0, 0, 1728, 2292}));
            writer.close();
        }
        const QByteArray content = readFile(good);
        const QString truncated = written(path(u"truncated.tif"_s), content.left(content.size() / 3));
        const QString random = written(path(u"random.tif"_s), QByteArray("II*\0", 4) + QByteArray(300, '\x7f'));
        const QString text = written(path(u"text.tif"_s), "not a tiff at all");
        const QString missing = path(u"missing.tif"_s);

        for (const QString &file : {random, text, missing}) {
            QVERIFY2(renderErrorOf([&] { tiffPageCount(file); }).contains(file), qPrintable(file));
            QVERIFY2(renderErrorOf([&] { readTiffPage(file, 0); }).contains(file), qPrintable(file));
        }
        // The directory of a truncated file may survive; its pixels do not.
        QVERIFY(renderErrorOf([&] {
                    tiffPageCount(truncated);
                    readTiffPage(truncated, 0);
                }).contains(truncated));
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
        const QString ours = path(u"ours.tif"_s), theirs = path(u"libtiff.tif"_s);
        {
            FaxTiffWriter writer(ours);
            for (const QImage &page : pages) writer.addPage(page);
            writer.close();
        }
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
        const QList<QByteArray> ourStrips = rawStrips(ours), theirStrips = rawStrips(theirs);
        QCOMPARE(ourStrips.size(), pages.size());
        QCOMPARE(theirStrips.size(), pages.size());
        for (qsizetype i = 0; i < pages.size(); ++i) {
            QVERIFY2(ourStrips[i] == theirStrips[i],
                     qPrintable(u"page %1: %2 bytes against %3"_s.arg(i).arg(ourStrips[i].size()).arg(theirStrips[i].size())));
            const QImage read = readTiffPage(ours, int(i));
            for (int y = 0; y < read.height(); ++y)
                QVERIFY(std::memcmp(read.constScanLine(y), pages[i].constScanLine(y), size_t(FaxPageWidth / 8)) == 0);
        }
    }
};

QTEST_MAIN(TestFaxTiff)

#include "tst_faxtiff.moc"
