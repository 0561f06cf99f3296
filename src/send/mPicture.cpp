#include "send/mPicture.h"

namespace sendmere::mPicture {
namespace {

constexpr int PaletteSize = 256;

bool drawnWithPalette(const QImage &source) {
    return source.format() == QImage::Format_Indexed8 && source.colorCount() == PaletteSize;
}

}  // namespace

Picture DCToPicture(const QImage &source, int width, int height) {
    const QList<QRgb> palette = drawnWithPalette(source) ? source.colorTable() : QList<QRgb>();
    const QImage scaled = source.convertToFormat(QImage::Format_RGB32)
                              .scaled(width, height, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    QImage bitmap = palette.isEmpty() ? scaled : scaled.convertToFormat(QImage::Format_Indexed8, palette);
    return BitmapToPicture(std::move(bitmap), palette);
}

Picture BitmapToPicture(QImage bitmap, QList<QRgb> palette) {
    return Picture{std::move(bitmap), std::move(palette)};
}

}  // namespace sendmere::mPicture
