#pragma once
// Small helpers for the render tests: counting ink in a region of a page, writing files.
#include "FaxRender.h"
#include "TestSupport.h"

#include <QImage>
#include <QPainter>
#include <QRect>

namespace rendertest {

// A white RGB picture with a black box.
inline QImage pageWithBox(QSize size, const QRect &box) {
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter(&image).fillRect(box, Qt::black);
    return image;
}

inline bool isInk(const QImage &image, int x, int y) { return qGray(image.pixel(x, y)) < 128; }

// Share of black pixels in the region (0..1).
inline double inkShare(const QImage &image, const QRect &region) {
    const QRect area = region.intersected(image.rect());
    qint64 ink = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) ink += isInk(image, x, y);
    return area.isEmpty() ? 0 : double(ink) / (qint64(area.width()) * area.height());
}

// How many bands of rows hold ink: the lines of text in the region.
inline int inkBands(const QImage &image, const QRect &region) {
    int bands = 0;
    bool inBand = false;
    for (int y = region.top(); y <= region.bottom(); ++y) {
        bool ink = false;
        for (int x = region.left(); x <= region.right() && !ink; ++x) ink = isInk(image, x, y);
        bands += ink && !inBand;
        inBand = ink;
    }
    return bands;
}

using sendmere::test::readFile;
using sendmere::test::writeFile;
inline QString written(const QString &path, const QByteArray &content) { return writeFile(path, content), path; }

// The RenderError's text that f raised; empty when it raised none.
QString renderErrorOf(auto f) {
    try {
        f();
    } catch (const sendmere::render::RenderError &error) {
        return error.message();
    }
    return {};
}

}  // namespace rendertest
