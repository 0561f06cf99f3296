// The banner line across the top of each sent page.
#include "FaxRender.h"
#include "MonoPage.h"

#include <QFont>
#include <QFontMetricsF>
#include <QPainter>

namespace sendmere::render {

namespace {

constexpr int BannerHeight = 30;           // pixels at 196 dpi: 9 pt text and a little air
constexpr double BannerMargin = 40;        // square units from the left and right edges
constexpr int BannerFontPixels = 25;       // about 9 pt at 196 dpi

// Columns per row of the page's physical grid, so that text keeps its shape on 204x196.
double pixelAspect(const QImage &page) {
    if (page.dotsPerMeterX() <= 0 || page.dotsPerMeterY() <= 0)
        return 1.0;
    return double(page.dotsPerMeterX()) / page.dotsPerMeterY();
}

// Tabs split the text: one part is drawn left, two left and right, three or more left,
// centre and right.
void drawParts(QPainter &painter, const QStringList &parts, double width) {
    const QRectF line(BannerMargin, 0, width - 2 * BannerMargin, BannerHeight);
    const int vertical = Qt::AlignVCenter;
    painter.drawText(line, Qt::AlignLeft | vertical, parts.value(0));
    if (parts.size() == 2)
        painter.drawText(line, Qt::AlignRight | vertical, parts.at(1));
    if (parts.size() >= 3) {
        painter.drawText(line, Qt::AlignHCenter | vertical, parts.at(1));
        painter.drawText(line, Qt::AlignRight | vertical,
                         parts.mid(2).join(QLatin1Char(' ')));
    }
}

QImage bannerStrip(const QImage &page, const QString &text) {
    QImage strip(page.width(), BannerHeight, QImage::Format_RGB32);
    strip.fill(Qt::white);
    QPainter painter(&strip);
    const double aspect = pixelAspect(page);
    painter.scale(aspect, 1.0);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(BannerFontPixels);
    painter.setFont(font);
    painter.setPen(Qt::black);
    drawParts(painter, text.split(QLatin1Char('\t')), page.width() / aspect);
    return strip;
}

}  // namespace

void drawBanner(QImage &page, const QString &bannerText) {
    if (page.isNull())
        return;
    detail::requireGuiApplication(QStringLiteral("banner"));
    const QImage strip = bannerStrip(page, bannerText);
    if (page.format() == QImage::Format_MonoLSB)
        page = page.convertToFormat(QImage::Format_Mono);
    if (page.format() == QImage::Format_Mono) {
        detail::convertIntoMono(strip, page, {0, 0}, detail::MonoMode::Threshold);
        return;
    }
    QPainter painter(&page);
    painter.drawImage(0, 0, strip);
}

}  // namespace sendmere::render
