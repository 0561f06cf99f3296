#pragma once
// Drawn pages made into pictures of a given size for a picture box.
#include <QImage>
#include <QList>
#include <QPixmap>

namespace sendmere::mPicture {

// A bitmap and the palette it was drawn with (empty when it has none).
struct Picture {
    QImage bitmap;
    QList<QRgb> palette;

    bool isNull() const { return bitmap.isNull(); }
    QPixmap pixmap() const { return QPixmap::fromImage(bitmap); }
};

// The whole source page scaled, with smoothing, onto a bitmap of width x height. A source
// drawn with a 256-colour palette gives a bitmap in that palette; any other gives none.
Picture DCToPicture(const QImage &source, int width, int height);

// The picture that owns bitmap and palette.
Picture BitmapToPicture(QImage bitmap, QList<QRgb> palette);

}  // namespace sendmere::mPicture
