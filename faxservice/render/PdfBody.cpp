// PDF bodies through Poppler: each page drawn straight at the fax resolution and size, in
// grey (a quarter of a colour page to fill and read), then screened to black and white in
// one pass: text and lines stay solid black, only real tones are screened.
// Long documents are drawn by a few worker threads, each with its own copy of the document
// (a Poppler document is not shared between threads), and handed on in page order. Calls
// themselves are meant to come from one thread at a time (the fax service's).
#include "BodyKinds.h"
#include "MonoPage.h"

#include <poppler-qt6.h>

// Poppler's core, for its grey output device; the Qt binding only draws in colour.
#include <PDFDoc.h>
#include <SplashOutputDev.h>
#include <goo/GooString.h>
#include <splash/SplashBitmap.h>

#include <QFile>

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

    // Landscape pages are turned a quarter so that they fill the portrait fax page.
    QImage render(int index) {
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
        QImage mono = blankFaxPage();
        screenIntoBlankMono({bitmap->getDataPtr(), bitmap->getRowSize(), bitmap->getAlphaPtr(),
                             bitmap->getWidth(), bitmap->getWidth(), bitmap->getHeight()},
                            mono, target.topLeft());
        return mono;
    }

private:
    QString m_reportedPath;
    PDFDoc m_doc;
    SplashOutputDev m_out;
};

constexpr int MaxWorkers = 4;
constexpr size_t PagesAheadPerWorker = 2;  // bounds the memory held by finished pages

struct RenderedPage {
    QImage page;
    std::exception_ptr error;
};

// Draws every step-th page from first on into a short queue that the caller empties.
class PageWorker {
public:
    // document: already open for this worker, or null to open it on the worker's thread.
    PageWorker(const QString &path, const QString &reportedPath, int first, int step,
               std::unique_ptr<GreyPdf> document)
        : m_path(path), m_reportedPath(reportedPath), m_first(first), m_step(step),
          m_document(std::move(document)) {}

    void run(const std::atomic<bool> &cancelled) {
        try {
            if (!m_document)
                m_document = std::make_unique<GreyPdf>(m_path, m_reportedPath);
            for (int i = m_first; i < m_document->pageCount() && !cancelled; i += m_step) {
                if (!push({m_document->render(i), nullptr}, cancelled))
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
    std::unique_ptr<GreyPdf> m_document;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<RenderedPage> m_ready;
};

class ParallelPdfRenderer {
public:
    // The first worker draws on the caller's open document.
    ParallelPdfRenderer(const QString &path, const QString &reportedPath, int workers,
                        std::unique_ptr<GreyPdf> opened) {
        for (int i = 0; i < workers; ++i)
            m_workers.push_back(std::make_unique<PageWorker>(
                path, reportedPath, i, workers, i == 0 ? std::move(opened) : nullptr));
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
// a lock; drawing the first page here, before the workers start, keeps them from racing to
// do it.
void settleSharedPopplerState(GreyPdf &document) { document.touch(); }

int workerCount(int pages) {
    return std::clamp(std::min(QThread::idealThreadCount(), pages), 1, MaxWorkers);
}

}  // namespace

int pdfPageCount(const QString &path, const QString &reportedPath) {
    return openPdf(path, reportedPath)->numPages();
}

void rasterisePdf(const QString &path, const QString &reportedPath, const PageSink &sink) {
    // Checks the document, and holds the library's global settings while the core draws.
    const auto document = openPdf(path, reportedPath);
    const int pages = document->numPages();
    auto first = std::make_unique<GreyPdf>(path, reportedPath);
    if (first->pageCount() != pages)
        fail(reportedPath, QStringLiteral("the PDF document changed while being read"));
    if (workerCount(pages) > 1) {
        settleSharedPopplerState(*first);
        ParallelPdfRenderer renderer(path, reportedPath, workerCount(pages), std::move(first));
        for (int i = 0; i < pages; ++i)
            sink(renderer.take(i));
        return;
    }
    for (int i = 0; i < pages; ++i)
        sink(first->render(i));
}

}  // namespace sendmere::render::detail
