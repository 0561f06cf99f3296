// Image bodies: anything Qt's image readers read, one page per image, and TIFF files page by
// page through libtiff. Photographs are dithered; black-and-white images stay sharp; a page
// that already is a fax page passes through unchanged.
#include "BodyKinds.h"
#include "MonoPage.h"

#include <QImageReader>
#include <QTransform>

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

}  // namespace

int imagePageCount(const QString &path) {
    QImageReader reader(path);
    openImage(reader, path);
    return 1;
}

void rasteriseImage(const QString &path, const PageSink &sink) {
    QImageReader reader(path);
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
