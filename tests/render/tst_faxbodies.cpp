// Document bodies made into fax pages, their marks where they belong; bad input refused by name.
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

// Where a point of an A4 page (in mm) lands on the fax page: 1687 pixels wide, centred, 204x196 dpi.
QPoint faxPointOfA4(double xMm, double yMm) { return {20 + qRound(xMm * 204 / 25.4), qRound(yMm * 196 / 25.4)}; }
QRect faxRectOfA4(const QRectF &mm, int inset = 4) {
    return QRect(faxPointOfA4(mm.left(), mm.top()), faxPointOfA4(mm.right(), mm.bottom())).adjusted(inset, inset, -inset, -inset);
}

QList<QImage> rasterise(const QString &path) {
    QList<QImage> pages;
    rasteriseBody(path, [&](const QImage &page) { pages.append(page); });
    return pages;
}

// One box (in mm) per A4 page; then a landscape page with its left 30 mm black.
void writePdf(const QString &path, const QList<QRectF> &boxes, bool landscapeLast, const QList<QColor> &colours = {}) {
    QPdfWriter writer(path);
    writer.setResolution(300);
    writer.setPageSize(QPageSize(QPageSize::A4));
    writer.setPageMargins(QMarginsF());
    QPainter painter(&writer);
    const double dotsPerMm = 300 / 25.4;
    for (qsizetype i = 0; i < boxes.size(); ++i) {
        if (i > 0) writer.newPage();
        painter.fillRect(QRectF(boxes[i].topLeft() * dotsPerMm, boxes[i].size() * dotsPerMm), colours.value(i, Qt::black));
    }
    if (!landscapeLast) return;
    writer.setPageOrientation(QPageLayout::Landscape);
    writer.newPage();
    painter.fillRect(QRectF(0, 0, 30 * dotsPerMm, 210 * dotsPerMm), Qt::black);
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
        // Lines wrap at 80 columns, at a blank if any; a form feed starts a page, a final one none.
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

    // Each page keeps only its own mark: black as all ink, edges to a pixel; grey and half
    // transparent black screened on white as half ink.
    void pdfPagesKeepTheirMarks() {
        const QString file = path(u"boxes.pdf"_s);
        const QList<QRectF> boxes = {{20.3, 20, 60.7, 30}, {90, 130, 40, 30}, {150, 250, 40, 30}};
        writePdf(file, boxes, true, {Qt::black, QColor(128, 128, 128), QColor(0, 0, 0, 128)});
        const QList<QImage> pages = rasterise(file);
        QCOMPARE(std::pair(bodyPageCount(file), pages.size()), std::pair(4, qsizetype(4)));
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(pages[i].size(), QSize(FaxPageWidth, FaxPageHeight));
            for (int box = 0; box < 3; ++box) {
                const double ink = inkShare(pages[i], faxRectOfA4(boxes[box]));
                QVERIFY2(box != i ? ink == 0.0 : i == 0 ? ink == 1.0 : ink > 0.4 && ink < 0.6, qPrintable(u"page %1 box %2: %3"_s.arg(i).arg(box).arg(ink)));
            }
        }
        const QPoint topLeft = faxPointOfA4(boxes[0].left(), boxes[0].top()), bottomRight = faxPointOfA4(boxes[0].right(), boxes[0].bottom());
        const std::pair<int, double> edges[] = {{topLeft.x() - 3, 0.0}, {topLeft.x() + 2, 1.0}, {bottomRight.x() + 2, 0.0}, {bottomRight.x() - 3, 1.0}};
        for (const auto &[x, ink] : edges) QVERIFY2(inkShare(pages[0], {x, topLeft.y() + 5, 2, 20}) == ink, qPrintable(QString::number(x)));
        // The landscape page is turned to fill the portrait page: its left edge at the top.
        QVERIFY(inkShare(pages[3], {40, 10, 1640, 200}) > 0.99);
        QCOMPARE(inkShare(pages[3], {0, 400, FaxPageWidth, 1800}), 0.0);
        // A page shown turned (/Rotate 90) is landscape: its left strip ends on the right.
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

    // A picture fills the page in every format, also large; a photograph's mid grey is dithered.
    void imagesFitThePage() {
        const QImage picture = pageWithBox({840, 1188}, {0, 0, 420, 594});
        for (const char *format : {"png", "jpg", "tiff", "bmp", "large.jpg"}) {
            const QString file = path(u"picture."_s + QLatin1String(format));
            QVERIFY(format[0] == 'l' ? pageWithBox({3600, 5091}, {0, 0, 1800, 2545}).save(file) : picture.save(file, format));
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

    // Office documents through a stand-in soffice, and its failure. (Without it: tst_sessionmirror.)
    void officeDocumentsGoThroughLibreOffice() {
        const QString document = written(path(u"minutes.rtf"_s), "{\\rtf1\\ansi Minutes of the meeting.\\par}"), converted = path(u"converted.pdf"_s);
        writePdf(converted, {{20, 20, 40, 30}, {20, 20, 40, 30}, {20, 20, 40, 30}}, false);
        const QByteArray originalPath = qgetenv("PATH");
        QTemporaryDir bin;
        qputenv("PATH", QFile::encodeName(bin.path()));
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

    // Every kind of bad body: an error that starts with the file's name and says what is wrong.
    void badBodiesNameTheFile() {
        const QString pdf = path(u"source.pdf"_s), png = path(u"source.png"_s), folder = path(u"folder.pdf"_s), missing = path(u"missing.pdf"_s);
        writePdf(pdf, {{10, 10, 10, 10}}, false);
        QVERIFY(pageWithBox({400, 400}, {0, 0, 200, 200}).save(png) && QDir().mkpath(folder));
        QByteArray random(4000, '\0');
        for (qsizetype i = 0; i < random.size(); ++i) random[i] = char((i * 7919 + 13) % 251);
        const QString truncatedPng = written(path(u"truncated.png"_s), readFile(png).left(readFile(png).size() / 2));
        const QString unknown = written(path(u"data.xyz"_s), random), empty = written(path(u"empty.txt"_s), "");
        for (const QString &file : {written(path(u"corrupt.pdf"_s), readFile(pdf).left(300)), truncatedPng,
                                    written(path(u"random.pdf"_s), random), unknown, empty, folder, missing}) {
            const QString error = renderErrorOf([&] { rasterise(file); });
            QVERIFY2(error.startsWith(file + u':'), qPrintable(file + u" -> "_s + error));
            if (file != truncatedPng)  // its header is sound; only decoding finds the damage
                QVERIFY2(renderErrorOf([&] { bodyPageCount(file); }).startsWith(file + u':'), qPrintable(file));
            const QString reason = file == missing ? u"not found"_s : file == empty ? u"empty"_s : file == unknown ? u"type"_s : QString();
            QVERIFY2(error.contains(reason), qPrintable(error));
        }
    }
};

QTEST_MAIN(TestFaxBodies)
#include "tst_faxbodies.moc"
