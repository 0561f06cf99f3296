#include "MonoPage.h"

#include <QGuiApplication>
#include <QPainter>
#include <algorithm>
#include <vector>

namespace sendmere::render::detail {

namespace {

constexpr QRgb White = 0xffffffff;
constexpr QRgb Black = 0xff000000;
constexpr int MidGrey = 128;

int dotsPerMetre(double dpi) { return qRound(dpi / 0.0254); }

// The grey of a premultiplied pixel as it shows on white paper.
inline int greyOnWhite(QRgb p) {
    const int grey = (qRed(p) * 77 + qGreen(p) * 151 + qBlue(p) * 28) >> 8;
    return std::min(255, grey + 255 - qAlpha(p));
}

// Writes one black/white decision into a Format_Mono scanline.
class MonoLineWriter {
public:
    MonoLineWriter(uchar *line, bool inkIsOne) : m_line(line), m_inkIsOne(inkIsOne) {}
    void set(int x, bool black) {
        const uchar mask = uchar(0x80u >> (x & 7));
        if (black == m_inkIsOne)
            m_line[x >> 3] |= mask;
        else
            m_line[x >> 3] &= uchar(~mask);
    }

private:
    uchar *m_line;
    bool m_inkIsOne;
};

QImage asPremultipliedRgb(const QImage &src) {
    switch (src.format()) {
    case QImage::Format_RGB32:
    case QImage::Format_ARGB32_Premultiplied:
        return src;
    default:
        return src.convertToFormat(src.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied
                                                         : QImage::Format_RGB32);
    }
}

struct Span {
    int srcX0, srcX1, srcY0, srcY1;
};

Span clippedSpan(const QImage &src, const QImage &page, QPoint offset) {
    return {std::max(0, -offset.x()), std::min(src.width(), page.width() - offset.x()),
            std::max(0, -offset.y()), std::min(src.height(), page.height() - offset.y())};
}

void thresholdInto(const QImage &src, QImage &page, QPoint offset, const Span &span) {
    const bool inkIsOne = blackIsOne(page);
    for (int y = span.srcY0; y < span.srcY1; ++y) {
        const auto *in = reinterpret_cast<const QRgb *>(src.constScanLine(y));
        MonoLineWriter out(page.scanLine(y + offset.y()), inkIsOne);
        for (int x = span.srcX0; x < span.srcX1; ++x)
            out.set(x + offset.x(), greyOnWhite(in[x]) < MidGrey);
    }
}

// Floyd-Steinberg error diffusion over the visible part of src.
void ditherInto(const QImage &src, QImage &page, QPoint offset, const Span &span) {
    const bool inkIsOne = blackIsOne(page);
    const int width = span.srcX1 - span.srcX0;
    if (width <= 0)
        return;
    std::vector<int> current(size_t(width) + 2, 0), next(size_t(width) + 2, 0);
    for (int y = span.srcY0; y < span.srcY1; ++y) {
        const auto *in = reinterpret_cast<const QRgb *>(src.constScanLine(y)) + span.srcX0;
        MonoLineWriter out(page.scanLine(y + offset.y()), inkIsOne);
        std::fill(next.begin(), next.end(), 0);
        for (int i = 0; i < width; ++i) {
            const int value = greyOnWhite(in[i]) + current[size_t(i) + 1];
            const bool black = value < MidGrey;
            const int error = value - (black ? 0 : 255);
            current[size_t(i) + 2] += error * 7 / 16;
            next[size_t(i)] += error * 3 / 16;
            next[size_t(i) + 1] += error * 5 / 16;
            next[size_t(i) + 2] += error / 16;
            out.set(span.srcX0 + i + offset.x(), black);
        }
        std::swap(current, next);
    }
}

}  // namespace

void setFaxResolution(QImage &image) {
    image.setDotsPerMeterX(dotsPerMetre(FaxDpiX));
    image.setDotsPerMeterY(dotsPerMetre(FaxDpiY));
}

QImage blankFaxPage(int height) {
    QImage page(FaxPageWidth, height, QImage::Format_Mono);
    page.setColorTable({White, Black});
    page.fill(0);
    setFaxResolution(page);
    return page;
}

QImage blankColourPage() {
    QImage page(FaxPageWidth, FaxPageHeight, QImage::Format_RGB32);
    page.fill(Qt::white);
    setFaxResolution(page);
    return page;
}

bool blackIsOne(const QImage &mono) {
    if (mono.colorCount() < 2)
        return true;
    return qGray(mono.color(1)) < qGray(mono.color(0));
}

void convertIntoMono(const QImage &src, QImage &page, QPoint offset, MonoMode mode) {
    const QImage rgb = asPremultipliedRgb(src);
    const Span span = clippedSpan(rgb, page, offset);
    if (mode == MonoMode::Threshold)
        thresholdInto(rgb, page, offset, span);
    else
        ditherInto(rgb, page, offset, span);
}

QImage toFaxMono(const QImage &src, MonoMode mode) {
    QImage page(src.size(), QImage::Format_Mono);
    page.setColorTable({White, Black});
    setFaxResolution(page);
    convertIntoMono(src, page, {0, 0}, mode);
    return page;
}

QRect fitOnFaxPage(QSizeF physicalSize) {
    const QSizeF pageInches(FaxPageWidth / FaxDpiX, FaxPageHeight / FaxDpiY);
    if (physicalSize.isEmpty())
        return {0, 0, FaxPageWidth, FaxPageHeight};
    const QSizeF fitted = physicalSize.scaled(pageInches, Qt::KeepAspectRatio);
    const int width = std::clamp(qRound(fitted.width() * FaxDpiX), 1, FaxPageWidth);
    const int height = std::clamp(qRound(fitted.height() * FaxDpiY), 1, FaxPageHeight);
    return {(FaxPageWidth - width) / 2, (FaxPageHeight - height) / 2, width, height};
}

void useSquareUnits(QPainter &painter) { painter.scale(FaxDpiX / FaxDpiY, 1.0); }

void requireGuiApplication(const QString &path) {
    if (!qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
        fail(path, QStringLiteral("cannot draw text without a QGuiApplication"));
}

void fail(const QString &path, const QString &reason) {
    throw RenderError(QStringLiteral("%1: %2").arg(path, reason));
}

}  // namespace sendmere::render::detail
