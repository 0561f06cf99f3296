// Document bodies made into fax pages: plain text, PDF, images, TIFF and office documents,
// with their marks where they belong, and every kind of bad input refused by name.
#include "FaxRender.h"
#include "RenderTestKit.h"

#include <QDir>
#include <QPainter>
#include <QPdfWriter>
#include <QTemporaryDir>
#include <QTest>

using namespace sendmere::render;
using namespace rendertest;
using namespace Qt::StringLiterals;

namespace {

// Where a point of an A4 portrait page (in mm) lands on the fax page: 1687 pixels wide,
// centred, 204x196 dpi.
QPoint faxPointOfA4(double xMm, double yMm) { return {20 + qRound(xMm * 204 / 25.4), qRound(yMm * 196 / 25.4)}; }
QRect faxRectOfA4(const QRectF &mm, int inset = 4) {
    return QRect(faxPointOfA4(mm.left(), mm.top()), faxPointOfA4(mm.right(), mm.bottom())).adjusted(inset, inset, -inset, -inset);
}

QList<QImage> rasterise(const QString &path) {
    QList<QImage> pages;
    rasteriseBody(path, [&](const QImage &page) { pages.append(page); });
    return pages;
}

// Boxes (in mm) of the given colours on A4 pages, one box per page unless onePage; then a
// landscape page with its left 30 mm black.
void writePdf(const QString &path, const QList<QRectF> &boxes, bool landscapeLast, const QList<QColor> &colours = {}, bool onePage = false) {
    QPdfWriter writer(path);
    writer.setResolution(300);
    writer.setPageSize(QPageSize(QPageSize::A4));
    writer.setPageMargins(QMarginsF());
    QPainter painter(&writer);
    const double dotsPerMm = 300 / 25.4;
    for (qsizetype i = 0; i < boxes.size(); ++i) {
        if (i > 0 && !onePage) writer.newPage();
        painter.fillRect(QRectF(boxes[i].topLeft() * dotsPerMm, boxes[i].size() * dotsPerMm), colours.value(i, Qt::black));
    }
    if (!landscapeLast) return;
    writer.setPageOrientation(QPageLayout::Landscape);
    writer.newPage();
    painter.fillRect(QRectF(0, 0, 30 * dotsPerMm, 210 * dotsPerMm), Qt::black);
}

QImage whiteImageWithBox(QSize size, const QRect &box) {
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter(&image).fillRect(box, Qt::black);
    return image;
}

}  // namespace

class TestFaxBodies : public QObject {
    Q_OBJECT
    QTemporaryDir m_dir;
    QString path(const QString &name) const { return m_dir.filePath(name); }

private Q_SLOTS:
    void textMakesTypewriterPages() {
        QByteArray text;
        for (int i = 1; i <= 150; ++i) text += "Line " + QByteArray::number(i) + " of the letter, in UTF-8: Grüße\n";
        const QString file = written(path(u"letter.txt"_s), text);
        const QList<QImage> pages = rasterise(file);
        QCOMPARE(std::pair(bodyPageCount(file), pages.size()), std::pair(3, qsizetype(3)));
        QCOMPARE(std::pair(pages[0].format(), pages[0].size()), std::pair(QImage::Format_Mono, QSize(FaxPageWidth, FaxPageHeight)));
        QCOMPARE(std::pair(inkBands(pages[0], pages[0].rect()), inkBands(pages[2], pages[2].rect())), std::pair(66, 18));
        // A long line wraps at 80 columns (at a blank where there is one); form feeds start a
        // page, and a final one makes no empty page.
        const QList<QImage> wrapped =
            rasterise(written(path(u"wrapped.txt"_s), QByteArray(200, 'x') + "\n" + QByteArray("word ").repeated(20) + "\f"));
        QCOMPARE(wrapped.size(), 1);
        QCOMPARE(inkBands(wrapped[0], wrapped[0].rect()), 5);  // 80 + 80 + 40, then 2 rows
        const QString formFeed = written(path(u"formfeed.txt"_s), "first page\n\fsecond page\n");
        QCOMPARE(std::pair(bodyPageCount(formFeed), rasterise(formFeed).size()), std::pair(2, qsizetype(2)));
        // A byte order mark chooses the encoding: UTF-16 gives the same page as UTF-8.
        const QString lines = u"Grüße\r\naus Köln\r\n"_s;
        const QByteArray utf16(reinterpret_cast<const char *>(lines.utf16()), lines.size() * 2);
        QCOMPARE(rasterise(written(path(u"utf16.txt"_s), "\xff\xfe" + utf16)), rasterise(written(path(u"utf8.txt"_s), lines.toUtf8())));
    }

    void pdfPagesKeepTheirMarks() {
        const QString file = path(u"boxes.pdf"_s);
        const QList<QRectF> boxes = {{20, 20, 40, 30}, {90, 130, 40, 30}, {150, 250, 40, 30}};
        writePdf(file, boxes, true);
        const QList<QImage> pages = rasterise(file);
        QCOMPARE(std::pair(bodyPageCount(file), pages.size()), std::pair(4, qsizetype(4)));
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(pages[i].size(), QSize(FaxPageWidth, FaxPageHeight));
            for (int box = 0; box < 3; ++box) {
                const double ink = inkShare(pages[i], faxRectOfA4(boxes[box]));
                QVERIFY2(box == i ? ink > 0.99 : ink == 0.0, qPrintable(u"page %1 box %2: %3"_s.arg(i).arg(box).arg(ink)));
            }
        }
        // The landscape page is turned to fill the portrait page: its left edge at the top.
        QVERIFY(inkShare(pages[3], {40, 10, 1640, 200}) > 0.99);
        QCOMPARE(inkShare(pages[3], {0, 400, FaxPageWidth, 1800}), 0.0);
        // A portrait page the document shows turned (/Rotate 90) is landscape; turned once more
        // to fill the fax page, its left strip (100 of 595 points) ends on the right.
        const QList<QImage> rotated = rasterise(written(
            path(u"rotated.pdf"_s), "%PDF-1.4\n1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n"
                                    "2 0 obj << /Type /Pages /Kids [3 0 R] /Count 1 >> endobj\n"
                                    "3 0 obj << /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Rotate 90 /Contents 4 0 R >> endobj\n"
                                    "4 0 obj << /Length 19 >> stream\n0 0 100 842 re f\nendstream endobj\n"
                                    "trailer << /Size 5 /Root 1 0 R >>\n%%EOF\n"));
        QCOMPARE(rotated.size(), 1);
        QVERIFY(inkShare(rotated[0], {1440, 100, 250, 2000}) > 0.99);
        QCOMPARE(inkShare(rotated[0], {0, 0, 1400, FaxPageHeight}), 0.0);
    }

    // Pages are drawn without paper and screened as on white paper: a grey and a half
    // transparent black both come out as about half ink, untouched paper as none, solid black
    // as all ink, whatever the boxes' position in a byte of the fax line.
    void pdfTonesShowOnWhitePaper() {
        const QString file = path(u"tones.pdf"_s);
        const QRectF grey(20, 20, 60, 40), seeThrough(100, 20, 60, 40), solid(20.3, 100, 60.7, 40);
        writePdf(file, {grey, seeThrough, solid}, false, {QColor(128, 128, 128), QColor(0, 0, 0, 128), Qt::black}, true);
        const QList<QImage> pages = rasterise(file);
        QCOMPARE(pages.size(), 1);
        const QImage &page = pages.first();
        for (const QRectF &box : {grey, seeThrough}) {
            const double ink = inkShare(page, faxRectOfA4(box));
            QVERIFY2(ink > 0.4 && ink < 0.6, qPrintable(QString::number(ink)));
        }
        QCOMPARE(inkShare(page, faxRectOfA4(solid)), 1.0);
        // The paper around the boxes, the top margin and the strips between them stay white.
        for (const QRectF &paper : {QRectF(0, 0, 210, 19), QRectF(81, 21, 18, 38), QRectF(0, 142, 209, 154)})
            QVERIFY2(inkShare(page, faxRectOfA4(paper, 0)) == 0.0, qPrintable(QString::number(paper.top())));
        // The solid box's edges sit where the page puts them, to a pixel.
        const QPoint topLeft = faxPointOfA4(solid.left(), solid.top()), bottomRight = faxPointOfA4(solid.right(), solid.bottom());
        const std::pair<int, double> edges[] = {{topLeft.x() - 3, 0.0}, {topLeft.x() + 2, 1.0}, {bottomRight.x() + 2, 0.0}, {bottomRight.x() - 3, 1.0}};
        for (const auto &[x, ink] : edges)
            QVERIFY2(inkShare(page, {x, topLeft.y() + 5, 2, 20}) == ink, qPrintable(QString::number(x)));
    }

    // An A4-shaped picture with its top left quarter black fills the page, in every format a
    // user or a scan (BMP) brings and as a large photograph decoded smaller; a photograph's mid
    // grey is dithered.
    void imagesFitThePage() {
        const QImage picture = whiteImageWithBox({840, 1188}, {0, 0, 420, 594});
        for (const char *format : {"png", "jpg", "tiff", "bmp", "large.jpg"}) {
            const QString file = path(u"picture."_s + QLatin1String(format));
            QVERIFY(format[0] == 'l' ? whiteImageWithBox({3600, 5091}, {0, 0, 1800, 2545}).save(file) : picture.save(file, format));
            const QList<QImage> pages = rasterise(file);
            QCOMPARE(std::pair(bodyPageCount(file), pages.size()), std::pair(1, qsizetype(1)));
            QCOMPARE(pages[0].size(), QSize(FaxPageWidth, FaxPageHeight));
            QVERIFY2(inkShare(pages[0], faxRectOfA4({0, 0, 105, 148.5}, 8)) > 0.99, format);
            QVERIFY2(inkShare(pages[0], faxRectOfA4({105, 0, 105, 297}, 8)) < 0.01, format);
            QVERIFY2(inkShare(pages[0], faxRectOfA4({0, 148.5, 210, 148.5}, 8)) < 0.01, format);
        }
        QImage grey(600, 800, QImage::Format_RGB32);
        grey.fill(QColor(128, 128, 128));
        QVERIFY(grey.save(path(u"grey.jpg"_s)));
        const double share = inkShare(rasterise(path(u"grey.jpg"_s)).at(0), {400, 600, 800, 800});
        QVERIFY2(share > 0.35 && share < 0.65, qPrintable(QString::number(share)));
    }

    void officeDocumentsGoThroughLibreOffice() {
        const QString document = written(path(u"minutes.rtf"_s), "{\\rtf1\\ansi Minutes of the meeting.\\par}");
        const QString converted = path(u"converted.pdf"_s);
        writePdf(converted, {{20, 20, 40, 30}, {20, 20, 40, 30}, {20, 20, 40, 30}}, false);
        const QByteArray originalPath = qgetenv("PATH");
        QTemporaryDir bin;
        qputenv("PATH", QFile::encodeName(bin.path()));
        const QString missing = renderErrorOf([&] { rasterise(document); });
        QVERIFY2(missing.contains(document) && missing.contains(u"LibreOffice is not installed"_s), qPrintable(missing));
        // A stand-in converter that behaves like soffice --convert-to pdf --outdir <dir> <file>.
        const QString soffice = bin.filePath(u"soffice"_s);
        writeFile(soffice, "#!/bin/sh\nwhile [ $# -gt 1 ]; do\n  if [ \"$1\" = --outdir ]; then out=\"$2\"; fi; shift\ndone\n"
                           "[ -f \"$1\" ] || exit 3\n/bin/mkdir -p \"$out\" && /bin/cp '" + QFile::encodeName(converted) +
                               "' \"$out/$(/usr/bin/basename \"$1\" .rtf).pdf\"\n");
        QVERIFY(QFile::setPermissions(soffice, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        const QList<QImage> pages = rasterise(document);
        QCOMPARE(std::pair(bodyPageCount(document), pages.size()), std::pair(3, qsizetype(3)));
        QVERIFY(inkShare(pages[2], faxRectOfA4({20, 20, 40, 30})) > 0.99);
        writeFile(soffice, "#!/bin/sh\necho 'source file could not be loaded'\nexit 1\n");
        const QString failed = renderErrorOf([&] { rasterise(document); });
        QVERIFY2(failed.contains(document) && failed.contains(u"could not be loaded"_s), qPrintable(failed));
        qputenv("PATH", originalPath);
    }

    void badBodiesNameTheFile() {
        const QString pdf = path(u"source.pdf"_s), png = path(u"source.png"_s);
        writePdf(pdf, {{10, 10, 10, 10}}, false);
        QVERIFY(whiteImageWithBox({400, 400}, {0, 0, 200, 200}).save(png));
        QByteArray random(4000, '\0');
        for (qsizetype i = 0; i < random.size(); ++i) random[i] = char((i * 7919 + 13) % 251);
        const QString truncatedPng = written(path(u"truncated.png"_s), readFile(png).left(readFile(png).size() / 2));
        const QString unknown = written(path(u"data.xyz"_s), random), empty = written(path(u"empty.txt"_s), "");
        const QString folder = path(u"folder.pdf"_s), missing = path(u"missing.pdf"_s);
        QVERIFY(QDir().mkpath(folder));
        for (const QString &file : {written(path(u"corrupt.pdf"_s), readFile(pdf).left(300)), truncatedPng,
                                    written(path(u"random.pdf"_s), random), unknown, empty, folder, missing}) {
            const QString error = renderErrorOf([&] { rasterise(file); });
            QVERIFY2(error.startsWith(file + u':'), qPrintable(file + u" -> "_s + error));
            if (file != truncatedPng)  // its header is sound; only decoding finds the damage
                QVERIFY2(renderErrorOf([&] { bodyPageCount(file); }).startsWith(file + u':'), qPrintable(file));
        }
        QVERIFY(renderErrorOf([&] { rasterise(missing); }).contains(u"not found"_s));
        QVERIFY(renderErrorOf([&] { rasterise(empty); }).contains(u"empty"_s));
        QVERIFY(renderErrorOf([&] { rasterise(unknown); }).contains(u"type"_s));
    }
};

QTEST_MAIN(TestFaxBodies)
#include "tst_faxbodies.moc"
