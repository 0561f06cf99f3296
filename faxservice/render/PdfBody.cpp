// PDF bodies through Poppler: each page drawn straight at the fax resolution and size.
// Long documents are drawn by a few worker threads, each with its own copy of the document
// (a Poppler document is not shared between threads), and handed on in page order. Calls
// themselves are meant to come from one thread at a time (the fax service's).
#include "BodyKinds.h"
#include "MonoPage.h"

#include <poppler-qt6.h>

#include <QThread>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
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
    // Hard edges: text and lines stay solid black, only real tones are dithered.
    document->setRenderHint(Poppler::Document::Antialiasing, false);
    document->setRenderHint(Poppler::Document::TextAntialiasing, false);
    document->setRenderHint(Poppler::Document::ThinLineSolid, true);
    return document;
}

// Landscape pages are turned a quarter so that they fill the portrait fax page.
QImage renderPage(const Poppler::Page &page, const QString &reportedPath, int number) {
    QSizeF points = page.pageSizeF();
    if (points.isEmpty())
        fail(reportedPath, QStringLiteral("page %1 of the PDF document has no size").arg(number));
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
    convertIntoMono(rendered, mono, target.topLeft(), MonoMode::Ordered);
    return mono;
}

constexpr int MaxWorkers = 4;
constexpr size_t PagesAheadPerWorker = 2;  // bounds the memory held by finished pages

struct RenderedPage {
    QImage page;
    std::exception_ptr error;
};

// Draws every step-th page from first on into a short queue that the caller empties.
class PageWorker {
public:
    PageWorker(const QString &path, const QString &reportedPath, int first, int step)
        : m_path(path), m_reportedPath(reportedPath), m_first(first), m_step(step) {}

    void run(const std::atomic<bool> &cancelled) {
        try {
            const auto document = openPdf(m_path, m_reportedPath);
            for (int i = m_first; i < document->numPages() && !cancelled; i += m_step) {
                const std::unique_ptr<Poppler::Page> page = document->page(i);
                if (!page)
                    fail(m_reportedPath,
                         QStringLiteral("cannot read page %1 of the PDF document").arg(i + 1));
                if (!push({renderPage(*page, m_reportedPath, i + 1), nullptr}, cancelled))
                    return;
            }
            // Only read when the file changed under us and has fewer pages than counted;
            // otherwise it waits unread until the renderer stops.
            fail(m_reportedPath, QStringLiteral("the PDF document changed while being read"));
        } catch (...) {
            push({QImage(), std::current_exception()}, cancelled);
        }
    }

    QImage take() {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return !m_ready.empty(); });
        RenderedPage next = std::move(m_ready.front());
        m_ready.pop_front();
        m_changed.notify_all();
        if (next.error)
            std::rethrow_exception(next.error);
        return next.page;
    }

    void wake() {
        const std::lock_guard lock(m_mutex);
        m_changed.notify_all();
    }

private:
    bool push(RenderedPage page, const std::atomic<bool> &cancelled) {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] { return cancelled || m_ready.size() < PagesAheadPerWorker; });
        if (cancelled)
            return false;
        m_ready.push_back(std::move(page));
        m_changed.notify_all();
        return true;
    }

    QString m_path, m_reportedPath;
    int m_first, m_step;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<RenderedPage> m_ready;
};

class ParallelPdfRenderer {
public:
    ParallelPdfRenderer(const QString &path, const QString &reportedPath, int workers) {
        for (int i = 0; i < workers; ++i)
            m_workers.push_back(std::make_unique<PageWorker>(path, reportedPath, i, workers));
        for (auto &worker : m_workers)
            m_threads.emplace_back([&worker, this] { worker->run(m_cancelled); });
    }

    // Stops the workers, also when the caller's sink failed half way.
    ~ParallelPdfRenderer() {
        m_cancelled = true;
        for (auto &worker : m_workers)
            worker->wake();
        for (auto &thread : m_threads)
            thread.join();
    }

    ParallelPdfRenderer(const ParallelPdfRenderer &) = delete;
    ParallelPdfRenderer &operator=(const ParallelPdfRenderer &) = delete;

    QImage take(int index) { return m_workers[size_t(index) % m_workers.size()]->take(); }

private:
    std::atomic<bool> m_cancelled = false;
    std::vector<std::unique_ptr<PageWorker>> m_workers;
    std::vector<std::thread> m_threads;
};

// Poppler sets up its process-wide colour management on the first page it draws, without
// a lock; drawing a page at 1 dpi here, before the workers start, keeps them from racing
// to do it.
void settleSharedPopplerState(const Poppler::Document &document) {
    if (const std::unique_ptr<Poppler::Page> page = document.page(0))
        page->renderToImage(1, 1);
}

int workerCount(int pages) {
    return std::clamp(std::min(QThread::idealThreadCount(), pages), 1, MaxWorkers);
}

}  // namespace

int pdfPageCount(const QString &path, const QString &reportedPath) {
    return openPdf(path, reportedPath)->numPages();
}

void rasterisePdf(const QString &path, const QString &reportedPath, const PageSink &sink) {
    auto document = openPdf(path, reportedPath);
    const int pages = document->numPages();
    if (workerCount(pages) > 1) {
        settleSharedPopplerState(*document);
        document.reset();
        ParallelPdfRenderer renderer(path, reportedPath, workerCount(pages));
        for (int i = 0; i < pages; ++i)
            sink(renderer.take(i));
        return;
    }
    for (int i = 0; i < document->numPages(); ++i) {
        const std::unique_ptr<Poppler::Page> page = document->page(i);
        if (!page)
            fail(reportedPath, QStringLiteral("cannot read page %1 of the PDF document").arg(i + 1));
        sink(renderPage(*page, reportedPath, i + 1));
    }
}

}  // namespace sendmere::render::detail
