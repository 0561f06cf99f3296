#pragma once
// Building blocks shared by the renderers: blank fax pages, fitting content onto a page with
// its non-square pixels, and fast conversions of colour scanlines to 1-bit fax pixels.
#include "FaxRender.h"

#include <QImage>
#include <QPoint>
#include <QRect>
#include <QSizeF>

#include <array>
#include <vector>

class QPainter;

namespace sendmere::render::detail {

// How colour pixels become black or white: a hard threshold keeps text and line art crisp;
// an ordered clustered-dot screen (fast and compact, for document pages) and error
// diffusion (finest, for photographs) give tones; both leave pure black and white alone.
enum class MonoMode { Threshold, Ordered, Dither };

// A white Format_Mono page (index 0 white, index 1 black) with the fax resolution set.
QImage blankFaxPage(int height = FaxPageHeight);
void setFaxResolution(QImage &image);

// A white colour page of fax size to paint on before the conversion to 1 bit.
QImage blankColourPage();

// Converts src (any format) to black and white and stores it into the Format_Mono page at
// the given offset; what falls outside the page is cut off.
void convertIntoMono(const QImage &src, QImage &page, QPoint offset, MonoMode mode);
QImage toFaxMono(const QImage &src, MonoMode mode);  // same size, Format_Mono, fax resolution

// Grey pixels with their coverage (alpha, 255 = opaque; as a drawing without paper leaves
// them), screened as on white paper with the ordered screen into a blank Format_Mono fax page
// at the given offset; what falls outside the page is cut off.
struct GreyRaster {
    const uchar *grey;
    int greyRowBytes;
    const uchar *alpha;
    int alphaRowBytes;
    int width, height;
};
void screenIntoBlankMono(const GreyRaster &src, QImage &page, QPoint offset);

// The same a row at a time, for callers that take the page row by row and never keep it whole.
class GreyScreen {
public:
    GreyScreen(const GreyRaster &src, QPoint offset, int pageWidth, int pageHeight);
    // Adds the ink of page row pageY to a Format_Mono line that is blank there (ink bits are
    // 1 when inkIsOne, else 0); a row the raster does not reach is left as it is.
    void inkRow(int pageY, uchar *line, int lineBytes, bool inkIsOne) const;

private:
    GreyRaster m_src;
    QPoint m_offset;
    int m_x0 = 0, m_count = 0, m_y0 = 0, m_y1 = 0;
    std::array<std::vector<uchar>, 8> m_thresholds;  // the screen along the row, by page row
    mutable std::vector<uchar> m_ink;
};

// The page as fax pixels: Format_Mono, FaxPageWidth wide, bit 1 = black. Colour pages and
// pages of another width are scaled to the fax width and thresholded.
QImage asFaxMono(const QImage &page);

// True when index 1 of a Format_Mono image is the darker colour (the fax convention).
bool blackIsOne(const QImage &mono);

// Pixel rectangle on a fax page that shows content of the given physical size (any unit,
// only the aspect ratio counts) as large as fits, centred.
QRect fitOnFaxPage(QSizeF physicalSize);

// Sets a painter up so that one unit is one pixel of a square 196 dpi grid spread over the
// page's 204 dpi columns: text and shapes keep their proportions.
void useSquareUnits(QPainter &painter);
constexpr double SquareUnitsWidth = FaxPageWidth * FaxDpiY / FaxDpiX;

// Text, line art and fonts need a QGuiApplication; raises RenderError naming path otherwise.
void requireGuiApplication(const QString &path);

[[noreturn]] void fail(const QString &path, const QString &reason);

}  // namespace sendmere::render::detail
