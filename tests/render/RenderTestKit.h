#pragma once
// Small helpers for the render tests: counting ink in a region of a page, writing files.
#include "FaxRender.h"
#include "TestSupport.h"

#include <QImage>
#include <QRect>
#include <QString>

namespace rendertest {

inline bool isInk(const QImage &image, int x, int y) { return qGray(image.pixel(x, y)) < 128; }

// Share of black pixels in the region (0..1).
inline double inkShare(const QImage &image, const QRect &region) {
    const QRect area = region.intersected(image.rect());
    if (area.isEmpty()) return 0;
    qint64 ink = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) ink += isInk(image, x, y);
    return double(ink) / (qint64(area.width()) * area.height());
}

// The rows that hold any ink, as a list of [first, last] bands.
inline QList<QPair<int, int>> inkBands(const QImage &image, const QRect &region) {
    QList<QPair<int, int>> bands;
    bool inBand = false;
    for (int y = region.top(); y <= region.bottom(); ++y) {
        bool ink = false;
        for (int x = region.left(); x <= region.right() && !ink; ++x) ink = isInk(image, x, y);
        if (ink && !inBand) bands.append({y, y});
        if (ink) bands.last().second = y;
        inBand = ink;
    }
    return bands;
}

using sendmere::test::readFile;
using sendmere::test::writeFile;

// Writes the file and gives back its path.
inline QString written(const QString &path, const QByteArray &content) {
    writeFile(path, content);
    return path;
}

// Runs f and returns the RenderError's text; empty when nothing was raised.
template <typename F>
QString renderErrorOf(F f) {
    try {
        f();
    } catch (const sendmere::render::RenderError &error) {
        return error.message();
    }
    return {};
}

}  // namespace rendertest
