#pragma once
// The raw coded strip of each page of a TIFF file, as stored: for comparing coded bytes.
#include <QFile>
#include <QList>
#include <tiffio.h>

namespace sendmere::test {

inline QList<QByteArray> rawStrips(const QString &file) {
    QList<QByteArray> strips;
    TIFF *tif = TIFFOpen(QFile::encodeName(file).constData(), "r");
    for (bool more = tif != nullptr; more; more = TIFFReadDirectory(tif)) {
        QByteArray strip(qsizetype(TIFFRawStripSize(tif, 0)), 0);
        TIFFReadRawStrip(tif, 0, strip.data(), tmsize_t(strip.size()));
        strips << strip;
    }
    if (tif) TIFFClose(tif);
    return strips;
}

}  // namespace sendmere::test
