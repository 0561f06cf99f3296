#include "MonoPage.h"

#include <QGuiApplication>
#include <QPainter>
#include <algorithm>
#include <array>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace sendmere::render::detail {

namespace {

constexpr QRgb White = 0xffffffff;
constexpr QRgb Black = 0xff000000;
constexpr int MidGrey = 128;

int dotsPerMetre(double dpi) { return qRound(dpi / 0.0254); }

// The grey of a premultiplied pixel as it shows on white paper. Written on plain integer
// operations so that the loops below vectorise.
inline int greyOnWhite(QRgb p) {
    const int red = int(p >> 16 & 0xff), green = int(p >> 8 & 0xff), blue = int(p & 0xff);
    const int transparency = 255 - int(p >> 24);
    return (red * 77 + green * 151 + blue * 28 + transparency * 256) >> 8;
}

// A grey pixel is its own lightness.
inline int greyOnWhite(uchar p) { return p; }

QImage asPremultipliedRgb(const QImage &src) {
    switch (src.format()) {
    case QImage::Format_Grayscale8:
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
    int width() const { return srcX1 - srcX0; }
};

Span clippedSpan(const QImage &src, const QImage &page, QPoint offset) {
    return {std::max(0, -offset.x()), std::min(src.width(), page.width() - offset.x()),
            std::max(0, -offset.y()), std::min(src.height(), page.height() - offset.y())};
}

// Packs one row of decisions (1 = black) into a Format_Mono scanline from bit x0 on.
void packRow(const uchar *black, int count, uchar *line, int x0, bool inkIsOne) {
    const uchar flip = inkIsOne ? 0x00 : 0xff;
    int i = 0;
    auto setBit = [&](int x, bool isBlack) {
        const uchar mask = uchar(0x80u >> (x & 7));
        if (isBlack == inkIsOne)
            line[x >> 3] |= mask;
        else
            line[x >> 3] &= uchar(~mask);
    };
    for (; i < count && ((x0 + i) & 7) != 0; ++i)
        setBit(x0 + i, black[i]);
    for (; i + 8 <= count; i += 8) {
        const uchar *b = black + i;
        const uchar byte = uchar(b[0] << 7 | b[1] << 6 | b[2] << 5 | b[3] << 4 | b[4] << 3 |
                                 b[5] << 2 | b[6] << 1 | b[7]);
        line[(x0 + i) >> 3] = byte ^ flip;
    }
    for (; i < count; ++i)
        setBit(x0 + i, black[i]);
}

// An 8x8 clustered-dot screen at 45 degrees, thresholds 2..254: pure white never turns
// black, pure black always does, so text on a screened page keeps clean edges. Clustered
// dots, unlike a dispersed pattern, leave long runs that G4 codes compactly.
constexpr std::array<std::array<uchar, 8>, 8> OrderedThresholds = [] {
    constexpr int screen[8][8] = {{24, 10, 12, 26, 35, 47, 49, 37}, {8, 0, 2, 14, 45, 59, 61, 51},
                                  {22, 6, 4, 16, 43, 57, 63, 53},   {30, 20, 18, 28, 33, 41, 55, 39},
                                  {34, 46, 48, 36, 25, 11, 13, 27}, {44, 58, 60, 50, 9, 1, 3, 15},
                                  {42, 56, 62, 52, 23, 7, 5, 17},   {32, 40, 54, 38, 31, 21, 19, 29}};
    std::array<std::array<uchar, 8>, 8> thresholds{};
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
            thresholds[size_t(y)][size_t(x)] = uchar(screen[y][x] * 4 + 2);
    return thresholds;
}();

struct ThresholdRow {
    template <typename Pixel>
    void operator()(const Pixel *in, int count, int, uchar *black) const {
        for (int i = 0; i < count; ++i)
            black[i] = greyOnWhite(in[i]) < MidGrey;
    }
};

// The screen's thresholds laid out along whole rows, so that the inner loop only compares.
class OrderedDither {
public:
    OrderedDither(int count, int x0) : m_rows(8, std::vector<uchar>(size_t(std::max(0, count)))) {
        for (size_t y = 0; y < 8; ++y)
            for (int i = 0; i < count; ++i)
                m_rows[y][size_t(i)] = OrderedThresholds[y][size_t((x0 + i) & 7)];
    }

    template <typename Pixel>
    void operator()(const Pixel *in, int count, int y, uchar *black) const {
        const uchar *threshold = m_rows[size_t(y & 7)].data();
        for (int i = 0; i < count; ++i)
            black[i] = greyOnWhite(in[i]) < threshold[i];
    }

private:
    std::vector<std::vector<uchar>> m_rows;
};

template <typename Pixel, typename RowFunction>
void convertRowsOf(const QImage &src, QImage &page, QPoint offset, const Span &span,
                   RowFunction &decide) {
    const bool inkIsOne = blackIsOne(page);
    std::vector<uchar> black(size_t(std::max(0, span.width())));
    for (int y = span.srcY0; y < span.srcY1 && span.width() > 0; ++y) {
        const auto *in = reinterpret_cast<const Pixel *>(src.constScanLine(y)) + span.srcX0;
        decide(in, span.width(), y + offset.y(), black.data());
        packRow(black.data(), span.width(), page.scanLine(y + offset.y()),
                span.srcX0 + offset.x(), inkIsOne);
    }
}

// src is Format_Grayscale8 or a 32-bit premultiplied RGB format.
template <typename RowFunction>
void convertRows(const QImage &src, QImage &page, QPoint offset, const Span &span,
                 RowFunction decide) {
    if (src.format() == QImage::Format_Grayscale8)
        convertRowsOf<uchar>(src, page, offset, span, decide);
    else
        convertRowsOf<QRgb>(src, page, offset, span, decide);
}

// Floyd-Steinberg error diffusion; errors travel from row to row in the object.
class ErrorDiffusion {
public:
    explicit ErrorDiffusion(int width)
        : m_current(size_t(width) + 2, 0), m_next(size_t(width) + 2, 0) {}

    template <typename Pixel>
    void operator()(const Pixel *in, int count, int, uchar *black) {
        std::fill(m_next.begin(), m_next.end(), 0);
        for (int i = 0; i < count; ++i) {
            const size_t at = size_t(i) + 1;
            const int value = greyOnWhite(in[i]) + m_current[at];
            black[i] = value < MidGrey;
            const int error = value - (black[i] ? 0 : 255);
            if (error == 0)
                continue;  // white paper and solid black carry nothing on
            m_current[at + 1] += error * 7 / 16;
            m_next[at - 1] += error * 3 / 16;
            m_next[at] += error * 5 / 16;
            m_next[at + 1] += error / 16;
        }
        std::swap(m_current, m_next);
    }

private:
    std::vector<int> m_current, m_next;
};

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
    switch (mode) {
    case MonoMode::Threshold:
        return convertRows(rgb, page, offset, span, ThresholdRow());
    case MonoMode::Ordered:
        return convertRows(rgb, page, offset, span,
                           OrderedDither(span.width(), span.srcX0 + offset.x()));
    case MonoMode::Dither:
        return convertRows(rgb, page, offset, span, ErrorDiffusion(std::max(0, span.width())));
    }
}

namespace {

// Bits in the order a fax line keeps them: the leftmost pixel in the high bit.
constexpr std::array<uchar, 256> ReversedBits = [] {
    std::array<uchar, 256> table{};
    for (int i = 0; i < 256; ++i) {
        int reversed = 0;
        for (int bit = 0; bit < 8; ++bit)
            reversed |= ((i >> bit) & 1) << (7 - bit);
        table[size_t(i)] = uchar(reversed);
    }
    return table;
}();

// The grey of a pixel with its coverage (alpha) as it shows on white paper:
// g * a / 255 + (255 - a), rounded.
inline uchar onWhite(unsigned grey, unsigned alpha) {
    const unsigned mixed = grey * alpha + 255u * (255u - alpha) + 128u;
    return uchar((mixed + (mixed >> 8)) >> 8);
}

// Screens count pixels into ink bits (1 = black), eight to a byte, leftmost pixel high;
// sixteen at a time where the processor has SSE2.
void screenRow(const uchar *grey, const uchar *alpha, const uchar *threshold, int count,
               uchar *ink) {
    int i = 0;
#ifdef __SSE2__
    const __m128i zero = _mm_setzero_si128(), white = _mm_set1_epi16(255),
                  half = _mm_set1_epi16(128);
    auto mix = [&](__m128i g, __m128i a) {  // onWhite() on eight 16-bit lanes
        const __m128i mixed = _mm_add_epi16(
            _mm_add_epi16(_mm_mullo_epi16(g, a), _mm_mullo_epi16(white, _mm_sub_epi16(white, a))),
            half);
        return _mm_srli_epi16(_mm_add_epi16(mixed, _mm_srli_epi16(mixed, 8)), 8);
    };
    for (; i + 16 <= count; i += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(alpha + i));
        // Bare paper, most of a page, is white whatever its grey: skip the arithmetic.
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(a, zero)) == 0xffff) {
            ink[i / 8] = ink[i / 8 + 1] = 0;
            continue;
        }
        const __m128i g = _mm_loadu_si128(reinterpret_cast<const __m128i *>(grey + i));
        const __m128i t = _mm_loadu_si128(reinterpret_cast<const __m128i *>(threshold + i));
        const __m128i shown = _mm_packus_epi16(mix(_mm_unpacklo_epi8(g, zero), _mm_unpacklo_epi8(a, zero)),
                                               mix(_mm_unpackhi_epi8(g, zero), _mm_unpackhi_epi8(a, zero)));
        // Black where the threshold exceeds the grey: t - grey, saturated, is not zero.
        const __m128i light = _mm_cmpeq_epi8(_mm_subs_epu8(t, shown), zero);
        const int black = ~_mm_movemask_epi8(light) & 0xffff;
        ink[i / 8] = ReversedBits[size_t(black & 0xff)];
        ink[i / 8 + 1] = ReversedBits[size_t(black >> 8)];
    }
#endif
    for (; i < count; i += 8) {
        uchar byte = 0;
        for (int k = 0; k < 8 && i + k < count; ++k)
            byte |= uchar((onWhite(grey[i + k], alpha[i + k]) < threshold[i + k]) << (7 - k));
        ink[i / 8] = byte;
    }
}

// ORs a row of ink bits (bit-aligned at 0) into a blank page line from pixel dx on.
void inkIntoLine(const uchar *ink, int count, uchar *line, int lineBytes, int dx, bool inkIsOne) {
    const int shift = dx & 7;
    uchar *out = line + (dx >> 3);
    const int room = lineBytes - (dx >> 3);
    const int bytes = (count + 7) / 8;
    for (int i = 0; i < bytes; ++i) {
        uchar bits = ink[i];
        if (i == bytes - 1 && (count & 7))
            bits &= uchar(0xff00 >> (count & 7));  // padding never shows
        if (!bits)
            continue;
        const uchar first = uchar(bits >> shift), second = uchar(shift ? bits << (8 - shift) : 0);
        if (inkIsOne) {
            out[i] |= first;
            if (second && i + 1 < room)
                out[i + 1] |= second;
        } else {
            out[i] &= uchar(~first);
            if (second && i + 1 < room)
                out[i + 1] &= uchar(~second);
        }
    }
}

}  // namespace

GreyScreen::GreyScreen(const GreyRaster &src, QPoint offset, int pageWidth, int pageHeight)
    : m_src(src), m_offset(offset) {
    m_x0 = std::max(0, -offset.x());
    m_count = std::max(0, std::min(src.width, pageWidth - offset.x()) - m_x0);
    m_y0 = std::max(0, -offset.y()) + offset.y();
    m_y1 = std::min(src.height, pageHeight - offset.y()) + offset.y();
    const int pageX = offset.x() + m_x0;
    // The screen is anchored to the page, so neighbouring areas of one tone match.
    for (size_t row = 0; row < 8; ++row) {
        m_thresholds[row].resize(size_t(m_count));
        for (int i = 0; i < m_count; ++i)
            m_thresholds[row][size_t(i)] = OrderedThresholds[row][size_t((pageX + i) & 7)];
    }
    m_ink.resize(size_t(m_count + 15) / 8 + 2);
}

void GreyScreen::inkRow(int pageY, uchar *line, int lineBytes, bool inkIsOne) const {
    if (m_count <= 0 || pageY < m_y0 || pageY >= m_y1)
        return;
    const size_t y = size_t(pageY - m_offset.y());
    screenRow(m_src.grey + y * size_t(m_src.greyRowBytes) + m_x0,
              m_src.alpha + y * size_t(m_src.alphaRowBytes) + m_x0,
              m_thresholds[size_t(pageY & 7)].data(), m_count, m_ink.data());
    inkIntoLine(m_ink.data(), m_count, line, lineBytes, m_offset.x() + m_x0, inkIsOne);
}

void screenIntoBlankMono(const GreyRaster &src, QImage &page, QPoint offset) {
    const GreyScreen screen(src, offset, page.width(), page.height());
    const bool inkIsOne = blackIsOne(page);
    for (int y = 0; y < page.height(); ++y)
        screen.inkRow(y, page.scanLine(y), int(page.bytesPerLine()), inkIsOne);
}

QImage toFaxMono(const QImage &src, MonoMode mode) {
    QImage page(src.size(), QImage::Format_Mono);
    page.setColorTable({White, Black});
    setFaxResolution(page);
    convertIntoMono(src, page, {0, 0}, mode);
    return page;
}

QImage asFaxMono(const QImage &page) {
    QImage mono = page.format() == QImage::Format_MonoLSB
                      ? page.convertToFormat(QImage::Format_Mono)
                      : page;
    if (mono.format() == QImage::Format_Mono && mono.width() == FaxPageWidth) {
        if (!blackIsOne(mono)) {
            mono = mono.copy();
            mono.invertPixels();
            mono.setColorTable({White, Black});
        }
        return mono;
    }
    if (mono.width() != FaxPageWidth)
        mono = mono.convertToFormat(QImage::Format_RGB32)
                   .scaledToWidth(FaxPageWidth, Qt::SmoothTransformation);
    return toFaxMono(mono, MonoMode::Threshold);
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
