// PDF bodies through Poppler: each page drawn straight at the fax resolution and size.
#include "BodyKinds.h"
#include "MonoPage.h"

#include <poppler-qt6.h>

#include <memory>

namespace sendmere::render::detail {

namespace {

constexpr double PointsPerInch = 72.0;

std::unique_ptr<Poppler::Document> openPdf(const QString &path, const QString &reportedPath) {
    std::unique_ptr<Poppler::Document> document = Poppler::Document::load(path);
    if (!document)
        fail(reportedPath, QStringLiteral("not a readable PDF document"));
    if (document->isLocked())
        fail(reportedPath, QStringLiteral("the PDF document is protected by a password"));
    if (document->numPages() <= 0)
        fail(reportedPath, QStringLiteral("the PDF document has no pages"));
    // Hard edges: text and lines stay solid black, only real tones are dithered.
    document->setRenderHint(Poppler::Document::Antialiasing, false);
    document->setRenderHint(Poppler::Document::TextAntialiasing, false);
    document->setRenderHint(Poppler::Document::ThinLineSolid, true);
    return document;
}

// Landscape pages are turned a quarter so that they fill the portrait fax page.
QImage renderPage(const Poppler::Page &page, const QString &reportedPath, int number) {
    QSizeF points = page.pageSizeF();
    const bool landscape = points.width() > points.height();
    if (landscape)
        points.transpose();
    const QRect target = fitOnFaxPage(points);
    const double xres = target.width() * PointsPerInch / points.width();
    const double yres = target.height() * PointsPerInch / points.height();
    // Poppler applies the resolutions to the axes of the turned output image.
    const QImage rendered = page.renderToImage(
        xres, yres, -1, -1, -1, -1, landscape ? Poppler::Page::Rotate90 : Poppler::Page::Rotate0);
    if (rendered.isNull())
        fail(reportedPath, QStringLiteral("cannot draw page %1 of the PDF document").arg(number));
    QImage mono = blankFaxPage();
    convertIntoMono(rendered, mono, target.topLeft(), MonoMode::Dither);
    return mono;
}

}  // namespace

int pdfPageCount(const QString &path, const QString &reportedPath) {
    return openPdf(path, reportedPath)->numPages();
}

void rasterisePdf(const QString &path, const QString &reportedPath, const PageSink &sink) {
    const auto document = openPdf(path, reportedPath);
    for (int i = 0; i < document->numPages(); ++i) {
        const std::unique_ptr<Poppler::Page> page = document->page(i);
        if (!page)
            fail(reportedPath, QStringLiteral("cannot read page %1 of the PDF document").arg(i + 1));
        sink(renderPage(*page, reportedPath, i + 1));
    }
}

}  // namespace sendmere::render::detail
