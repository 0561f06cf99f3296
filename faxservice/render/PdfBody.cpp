// PDF bodies through Poppler: each page drawn straight at the fax resolution and size, in
// grey (a quarter of a colour page to fill and read), then screened to black and white in
// one pass: text and lines stay solid black, only real tones are screened.
// Long documents are drawn on the shared thread pool and handed on in page order.
#include "BodyKinds.h"
#include "G4Coder.h"
#include "MonoPage.h"

#include <poppler-qt6.h>

// Poppler's core, for its grey output device; the Qt binding only draws in colour.
#include <PDFDoc.h>
#include <SplashOutputDev.h>
#include <goo/GooString.h>
#include <splash/SplashBitmap.h>

#include <QFile>

#include <QThreadPool>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

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
    return document;
}

// One document opened on Poppler's core with a grey output device: hard edges, thin lines
// solid. It draws without paper: laying the paper under a finished page costs Poppler a
// third of the page's time, and doing it here while the page is screened costs little.
// The Qt binding's open document keeps the library's global settings alive meanwhile (see
// rasterisePdf).
class GreyPdf {
public:
    GreyPdf(const QString &path, const QString &reportedPath)
        : m_reportedPath(reportedPath),
          m_doc(std::make_unique<GooString>(QFile::encodeName(path).constData())),
          m_out(splashModeMono8, 4, false, nullptr, true, splashThinLineSolid) {
        if (!m_doc.isOk())
            fail(reportedPath, QStringLiteral("not a readable PDF document"));
        m_out.setFontAntialias(false);
        m_out.setVectorAntialias(false);
        m_out.startDoc(&m_doc);
    }

    int pageCount() { return m_doc.getNumPages(); }

    // Draws the first page at 1 dpi, for the library's one-time set-up.
    void touch() { m_doc.displayPage(&m_out, 1, 1, 1, 0, false, true, false); }

    // The page as a fax page.
    QImage render(int index) {
        const Drawn drawn = draw(index);
        QImage mono = blankFaxPage();
        screenIntoBlankMono(drawn.raster, mono, drawn.offset);
        return mono;
    }

    // The page made ready for its faxes (codeBodyPage), screened and coded a row at a time:
    // the page is never kept whole, and the rows a banner covers are not screened at all.
    CodedBodyPage renderCoded(int index) {
        constexpr int RowBytes = FaxPageWidth / 8;
        const Drawn drawn = draw(index);
        const GreyScreen screen(drawn.raster, drawn.offset, FaxPageWidth, FaxPageHeight);
        std::array<uchar, RowBytes> line{};
        screen.inkRow(BannerHeight, line.data(), RowBytes, true);
        CodedBodyPage page;
        page.height = FaxPageHeight;
        page.rowBelowBanner = QByteArray(reinterpret_cast<const char *>(line.data()), RowBytes);
        G4RowCoder coder(FaxPageWidth, line.data());
        for (int y = BannerHeight + 1; y < FaxPageHeight; ++y) {
            line.fill(0);
            screen.inkRow(y, line.data(), RowBytes, true);
            coder.code(line.data());
        }
        G4Code tail = coder.finish(true);
        page.tail = std::move(tail.bytes);
        page.tailBits = tail.bits;
        return page;
    }

private:
    struct Drawn {
        GreyRaster raster;  // valid until the next page is drawn
        QPoint offset;
    };

    // Landscape pages are turned a quarter so that they fill the portrait fax page.
    Drawn draw(int index) {
        const int number = index + 1;
        if (!m_doc.getPage(number))
            fail(m_reportedPath, QStringLiteral("cannot read page %1 of the PDF document").arg(number));
        QSizeF points(m_doc.getPageCropWidth(number), m_doc.getPageCropHeight(number));
        if (m_doc.getPageRotate(number) % 180 != 0)
            points.transpose();
        if (points.isEmpty())
            fail(m_reportedPath, QStringLiteral("page %1 of the PDF document has no size").arg(number));
        const bool landscape = points.width() > points.height();
        if (landscape)
            points.transpose();
        const QRect target = fitOnFaxPage(points);
        // Poppler applies the resolutions to the axes of the turned output image.
        m_doc.displayPage(&m_out, number, target.width() * PointsPerInch / points.width(),
                          target.height() * PointsPerInch / points.height(), landscape ? 90 : 0,
                          false, true, false);
        SplashBitmap *bitmap = m_out.getBitmap();
        if (!bitmap || bitmap->getWidth() <= 0 || bitmap->getHeight() <= 0 || !bitmap->getAlphaPtr())
            fail(m_reportedPath, QStringLiteral("cannot draw page %1 of the PDF document").arg(number));
        return {{bitmap->getDataPtr(), bitmap->getRowSize(), bitmap->getAlphaPtr(), bitmap->getWidth(),
                 bitmap->getWidth(), bitmap->getHeight()},
                target.topLeft()};
    }

    QString m_reportedPath;
    PDFDoc m_doc;
    SplashOutputDev m_out;
};

// Pages drawn by index on the shared thread pool, a few at a time ahead of the caller, who
// takes them in order. The pool has a thread per core for the whole process, so renders that
// run side by side share the cores instead of each taking them all; pages waiting their
// turn hold no memory. A Poppler document is not shared between threads: each page borrows
// an idle copy of the document, opened when none is free (at most one per page in flight).
// A task never waits for anything but the lock, so a busy pool cannot hold a render up
// for good.
template <typename Page>
class PooledPages {
public:
    using Finish = std::function<Page(GreyPdf &document, int index)>;

    PooledPages(const QString &path, const QString &reportedPath, int pages, int ahead,
                std::unique_ptr<GreyPdf> opened, Finish finish)
        : m_path(path), m_reportedPath(reportedPath), m_pages(pages), m_ahead(ahead),
          m_finish(std::move(finish)) {
        m_idle.push_back(std::move(opened));
        const std::lock_guard lock(m_mutex);
        for (int i = 0; i < std::min(ahead, pages); ++i)
            submit(i);
    }

    // Pages not started yet are dropped; pages being drawn are waited for (a page at most
    // per thread), also when the caller's sink failed half way.
    ~PooledPages() {
        std::unique_lock lock(m_mutex);
        m_cancelled = true;
        m_changed.wait(lock, [this] { return m_queued == 0; });
    }

    PooledPages(const PooledPages &) = delete;
    PooledPages &operator=(const PooledPages &) = delete;

    Page take(int index) {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] { return m_done.contains(index); });
        Done next = std::move(m_done[index]);
        m_done.erase(index);
        if (index + m_ahead < m_pages)
            submit(index + m_ahead);
        if (next.error)
            std::rethrow_exception(next.error);
        return std::move(next.page);
    }

private:
    struct Done {
        Page page;
        std::exception_ptr error;
    };

    void submit(int index) {  // with the lock held
        ++m_queued;
        QThreadPool::globalInstance()->start([this, index] { run(index); });
    }

    void run(int index) {
        std::unique_ptr<GreyPdf> document;
        {
            const std::lock_guard lock(m_mutex);
            if (m_cancelled)
                return finished(nullptr);
            if (!m_idle.empty()) {
                document = std::move(m_idle.back());
                m_idle.pop_back();
            }
        }
        Done done;
        try {
            if (!document)
                document = std::make_unique<GreyPdf>(m_path, m_reportedPath);
            done.page = m_finish(*document, index);
        } catch (...) {
            done.error = std::current_exception();
        }
        const std::lock_guard lock(m_mutex);
        m_done.emplace(index, std::move(done));
        finished(std::move(document));
    }

    void finished(std::unique_ptr<GreyPdf> document) {  // with the lock held
        if (document)
            m_idle.push_back(std::move(document));
        --m_queued;
        m_changed.notify_all();
    }

    const QString m_path, m_reportedPath;
    const int m_pages, m_ahead;
    const Finish m_finish;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::unique_ptr<GreyPdf>> m_idle;
    std::map<int, Done> m_done;
    int m_queued = 0;
    bool m_cancelled = false;
};

// Poppler sets up its process-wide colour management on the first page it draws, without
// a lock; drawing the first page here, before the pool starts, keeps the tasks from racing to
// do it.
void settleSharedPopplerState(GreyPdf &document) { document.touch(); }

int poolThreads() { return std::max(1, QThreadPool::globalInstance()->maxThreadCount()); }

template <typename Page>
void drawPdf(const QString &path, const QString &reportedPath,
             const std::function<Page(GreyPdf &, int)> &make, const std::function<void(Page &&)> &sink) {
    // Checks the document, and holds the library's global settings while the core draws.
    const auto document = openPdf(path, reportedPath);
    const int pages = document->numPages();
    auto first = std::make_unique<GreyPdf>(path, reportedPath);
    if (first->pageCount() != pages)
        fail(reportedPath, QStringLiteral("the PDF document changed while being read"));
    if (pages == 1 || poolThreads() == 1) {
        for (int i = 0; i < pages; ++i)
            sink(make(*first, i));
        return;
    }
    settleSharedPopplerState(*first);
    // Two pages ahead per thread keep every thread busy while the caller takes them.
    PooledPages<Page> pooled(path, reportedPath, pages, 2 * poolThreads(), std::move(first), make);
    for (int i = 0; i < pages; ++i)
        sink(pooled.take(i));
}

}  // namespace

int pdfPageCount(const QString &path, const QString &reportedPath) {
    return openPdf(path, reportedPath)->numPages();
}

void rasterisePdf(const QString &path, const QString &reportedPath, const PageSink &sink) {
    drawPdf<QImage>(path, reportedPath, [](GreyPdf &document, int index) { return document.render(index); },
                    [&](QImage &&page) { sink(page); });
}

void rasteriseCodedPdf(const QString &path, const QString &reportedPath,
                       const std::function<void(CodedBodyPage &&page)> &sink) {
    drawPdf<CodedBodyPage>(
        path, reportedPath, [](GreyPdf &document, int index) { return document.renderCoded(index); },
        sink);
}

}  // namespace sendmere::render::detail
