// Image bodies: anything Qt's image readers read, one page per image, and TIFF files page by
// page through libtiff. Photographs are dithered; black-and-white images stay sharp; a page
// that already is a fax page passes through unchanged.
#include "BodyKinds.h"
#include "MonoPage.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>
#include <QTransform>
#include <QXmlStreamReader>

#include <cmath>

namespace sendmere::render::detail {

namespace {

bool isBilevel(const QImage &image) {
    return image.format() == QImage::Format_Mono || image.format() == QImage::Format_MonoLSB ||
           (image.format() == QImage::Format_Indexed8 && image.colorCount() <= 2);
}

// Physical size from the image's resolution where it has one, else square pixels.
QSizeF physicalSize(const QImage &image) {
    if (image.dotsPerMeterX() > 0 && image.dotsPerMeterY() > 0)
        return {image.width() / double(image.dotsPerMeterX()),
                image.height() / double(image.dotsPerMeterY())};
    return QSizeF(image.size());
}

bool near(double a, double b) { return std::abs(a - b) < 2.0; }

// A 1-bit page 1728 pixels wide at 204x196 dpi (or without a resolution) is a fax page.
bool isFaxPage(const QImage &image) {
    const bool resolutionFits = image.dotsPerMeterY() <= 0 ||
                                (near(image.dotsPerMeterX() * 0.0254, FaxDpiX) &&
                                 near(image.dotsPerMeterY() * 0.0254, FaxDpiY));
    return image.format() == QImage::Format_Mono && image.width() == FaxPageWidth &&
           image.height() <= FaxPageHeight && resolutionFits;
}

QImage passThrough(const QImage &image) {
    QImage page = blankFaxPage();
    const bool inkIsOne = blackIsOne(image);
    for (int y = 0; y < image.height(); ++y) {
        const uchar *in = image.constScanLine(y);
        uchar *out = page.scanLine(y);
        for (int i = 0; i < FaxPageWidth / 8; ++i)
            out[i] = inkIsOne ? in[i] : uchar(~in[i]);
    }
    return page;
}

QImage imageToFaxPage(const QImage &image) {
    if (isFaxPage(image))
        return passThrough(image);
    const bool landscape = image.width() > image.height();
    const QImage upright = landscape ? image.transformed(QTransform().rotate(90)) : image;
    QSizeF size = physicalSize(image);
    if (landscape)
        size.transpose();
    const QRect target = fitOnFaxPage(size);
    const QImage scaled = upright.convertToFormat(upright.hasAlphaChannel()
                                                      ? QImage::Format_ARGB32_Premultiplied
                                                      : QImage::Format_RGB32)
                              .scaled(target.size(), Qt::IgnoreAspectRatio,
                                      Qt::SmoothTransformation);
    QImage page = blankFaxPage();
    convertIntoMono(scaled, page, target.topLeft(),
                    isBilevel(image) ? MonoMode::Threshold : MonoMode::Dither);
    return page;
}

void openImage(QImageReader &reader, const QString &path) {
    reader.setAutoTransform(true);
    if (!reader.canRead())
        fail(path, QStringLiteral("not a readable image (%1)").arg(reader.errorString()));
}

// A photograph of many megapixels is decoded at little more than the page needs (JPEG
// decodes straight at the smaller size); the shape stays, so the fit on the page is the same.
void limitDecodedSize(QImageReader &reader) {
    const QSize full = reader.size();
    const QSize enough(2 * FaxPageWidth, 2 * FaxPageWidth);
    if (full.isValid() && full.width() > enough.width() && full.height() > enough.height())
        reader.setScaledSize(full.scaled(enough, Qt::KeepAspectRatioByExpanding));
}

constexpr qint64 MaxSvgBytes = 32 * 1024 * 1024;

bool isSvg(const QString &path) {
    const QByteArray format = QImageReader(path).format();
    return format == "svg" || format == "svgz";
}

// A reference that stays inside the document: a fragment or inline pixel data (an inline
// SVG document could refer to files in turn).
bool isInternalReference(QStringView value) {
    const QStringView v = value.trimmed();
    return v.startsWith(u'#') || (v.startsWith(QLatin1String("data:image/"), Qt::CaseInsensitive) &&
                                  !v.startsWith(QLatin1String("data:image/svg"), Qt::CaseInsensitive));
}

// Every url(...) in a style names a fragment of the document itself.
bool stylesStayInside(QStringView text) {
    if (text.contains(QLatin1String("@import"), Qt::CaseInsensitive))
        return false;
    for (qsizetype at = text.indexOf(QLatin1String("url("), 0, Qt::CaseInsensitive); at >= 0;
         at = text.indexOf(QLatin1String("url("), at + 4, Qt::CaseInsensitive)) {
        QStringView rest = text.mid(at + 4).trimmed();
        if (rest.startsWith(u'\'') || rest.startsWith(u'"'))
            rest = rest.mid(1);
        if (!isInternalReference(rest))
            return false;
    }
    return true;
}

// An SVG body is drawn from its own bytes only: a reference to another file (an image, a
// stylesheet, an entity) could pull a file the user never meant to send into the fax, or
// block the render on a pipe. Returns the bytes that were checked, to draw exactly those.
QByteArray selfContainedSvg(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        fail(path, QStringLiteral("cannot read the file (%1)").arg(file.errorString()));
    if (file.size() > MaxSvgBytes)
        fail(path, QStringLiteral("an SVG body may hold at most %1 MB").arg(MaxSvgBytes >> 20));
    const QByteArray bytes = file.read(MaxSvgBytes);
    if (bytes.startsWith("\x1f\x8b"))
        fail(path, QStringLiteral("a compressed SVG body cannot be checked; save it as plain SVG"));
    QXmlStreamReader reader(bytes);
    auto refuse = [&](const QString &what) {
        fail(path, QStringLiteral("the SVG body refers to %1 (line %2); a fax body must not refer to other files")
                       .arg(what)
                       .arg(reader.lineNumber()));
    };
    bool inStyle = false;
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isDTD() && (!reader.entityDeclarations().isEmpty() || reader.text().contains(QLatin1String("ENTITY"))))
            refuse(QStringLiteral("entities of its own"));
        if (reader.isStartElement()) {
            inStyle = reader.name() == QLatin1String("style");
            for (const QXmlStreamAttribute &a : reader.attributes()) {
                if (a.name() == QLatin1String("href") && !isInternalReference(a.value()))
                    refuse(QStringLiteral("\"%1\"").arg(a.value().left(200)));
                if (!stylesStayInside(a.value()))
                    refuse(QStringLiteral("another file in its attribute %1").arg(a.qualifiedName()));
            }
        } else if (reader.isEndElement()) {
            inStyle = false;
        } else if (reader.isCharacters() && inStyle && !stylesStayInside(reader.text())) {
            refuse(QStringLiteral("another file in a style sheet"));
        } else if (reader.isProcessingInstruction() && reader.processingInstructionTarget() == QLatin1String("xml-stylesheet")) {
            refuse(QStringLiteral("a style sheet file"));
        }
    }
    if (reader.hasError())
        fail(path, QStringLiteral("not a readable SVG document (%1, line %2)").arg(reader.errorString()).arg(reader.lineNumber()));
    return bytes;
}

}  // namespace

int imagePageCount(const QString &path) {
    if (isSvg(path))
        selfContainedSvg(path);
    QImageReader reader(path);
    openImage(reader, path);
    return 1;
}

void rasteriseImage(const QString &path, const PageSink &sink) {
    QByteArray svg;
    QBuffer svgBuffer(&svg);
    QImageReader reader;
    if (isSvg(path)) {
        svg = selfContainedSvg(path);
        svgBuffer.open(QIODevice::ReadOnly);
        reader.setDevice(&svgBuffer);
        reader.setFormat("svg");
    } else {
        reader.setFileName(path);
    }
    openImage(reader, path);
    limitDecodedSize(reader);
    const QImage image = reader.read();
    if (image.isNull())
        fail(path, QStringLiteral("cannot read the image (%1)").arg(reader.errorString()));
    sink(imageToFaxPage(image));
}

int tiffBodyPageCount(const QString &path) { return tiffPageCount(path); }

void rasteriseTiff(const QString &path, const PageSink &sink) {
    const int pages = tiffPageCount(path);
    for (int i = 0; i < pages; ++i)
        sink(imageToFaxPage(readTiffPage(path, i)));
}

}  // namespace sendmere::render::detail
