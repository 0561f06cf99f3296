// Renders a 20-page PDF (made here, or given as the first argument) to a TIFF Class F file
// with banners, as the fax service does, N times and prints pages per second, then does the same with Ghostscript's tiffg4 device
// at 204x196 dpi. Usage: bench_render [file.pdf] [iterations]; a file.pdf that does not
// exist yet receives the sample document. bench_render --make-sample file.pdf only writes
// the sample (run-send-bench.sh uses it).
#include "FaxComposer.h"
#include "FaxRender.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLinearGradient>
#include <QPainter>
#include <QPdfWriter>
#include <QProcess>
#include <QRadialGradient>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>

#include <sys/resource.h>

#include <algorithm>
#include <cstdlib>

namespace {

constexpr int SamplePages = 20;

QImage samplePhoto(int seed) {
    QImage photo(600, 400, QImage::Format_RGB32);
    QPainter painter(&photo);
    QLinearGradient sky(0, 0, 0, 400);
    sky.setColorAt(0, QColor(40, 90, 200));
    sky.setColorAt(1, QColor(250, 220, 160));
    painter.fillRect(photo.rect(), sky);
    QRadialGradient sun(150 + seed * 20, 120, 80);
    sun.setColorAt(0, Qt::yellow);
    sun.setColorAt(1, Qt::transparent);
    painter.fillRect(photo.rect(), sun);
    painter.setBrush(QColor(30, 110, 40));
    painter.drawEllipse(QPoint(300, 520), 420, 220);
    return photo;
}

void drawSamplePage(QPainter &painter, const QRect &page, int number) {
    QFont heading(QStringLiteral("DejaVu Serif"), 18, QFont::Bold);
    QFont body(QStringLiteral("DejaVu Sans"), 10);
    painter.setFont(heading);
    painter.drawText(QRect(page.left(), page.top(), page.width(), page.height() / 12),
                     Qt::AlignLeft | Qt::AlignVCenter,
                     QStringLiteral("Quarterly report, section %1").arg(number + 1));
    painter.setFont(body);
    const QString paragraph = QStringLiteral(
        "Orders from the northern region rose again this quarter, while deliveries to the "
        "coast were delayed by the weather. The table below lists the figures by month; the "
        "photograph shows the new warehouse. All amounts are in thousands. ");
    const QRect textArea(page.left(), page.top() + page.height() / 12, page.width(),
                         page.height() / 3);
    painter.drawText(textArea, Qt::TextWordWrap, paragraph.repeated(6));
    const QRect photoArea(page.left(), textArea.bottom() + 40, page.width() / 2,
                          page.width() / 3);
    painter.drawImage(photoArea, samplePhoto(number % 8));
    const int tableTop = photoArea.bottom() + 60;
    const int rowHeight = page.height() / 40;
    for (int row = 0; row < 8; ++row) {
        const QRect cell(page.left(), tableTop + row * rowHeight, page.width(), rowHeight);
        painter.drawRect(cell);
        painter.drawText(cell.adjusted(20, 0, 0, 0), Qt::AlignVCenter,
                         QStringLiteral("Month %1     %2     %3")
                             .arg(row + 1)
                             .arg((row * 37 + number * 11) % 500)
                             .arg((row * 53 + number * 7) % 900));
    }
}

QString makeSamplePdf(const QString &path) {
    QPdfWriter writer(path);
    writer.setPageSize(QPageSize(QPageSize::A4));
    writer.setResolution(300);
    QPainter painter(&writer);
    for (int i = 0; i < SamplePages; ++i) {
        if (i > 0)
            writer.newPage();
        const QRect page = painter.viewport().adjusted(150, 150, -150, -150);
        drawSamplePage(painter, page, i);
    }
    return path;
}

// Wall-clock and processor time: on a busy machine the processor time is the fairer figure.
struct Rates {
    double wall = 0, cpu = 0;
};

double cpuSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    const auto seconds = [](const timeval &t) { return double(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

template <typename Run>
Rates measure(int who, double pages, Run run) {
    QElapsedTimer timer;
    timer.start();
    const double cpuBefore = cpuSeconds(who);
    if (!run())
        return {-1, -1};
    const double cpu = cpuSeconds(who) - cpuBefore;
    return {pages / (timer.nsecsElapsed() / 1e9), pages / std::max(cpu, 1e-9)};
}

// As the fax service does it: the body rendered once, then the fax with its banners.
Rates ourRates(const QString &pdf, const QString &dir, int iterations, int pages) {
    return measure(RUSAGE_SELF, pages * iterations, [&] {
        for (int i = 0; i < iterations; ++i) {
            const sendmere::faxd::RenderedBody body(pdf, dir + QStringLiteral("/body.part"));
            sendmere::faxd::JobImage job;
            job.body = &body;
            job.tsid = QStringLiteral("5550100");
            job.time = QDateTime::currentDateTime();
            sendmere::faxd::composeJobImage(job, dir + QStringLiteral("/ours.tif"));
        }
        return true;
    });
}

Rates ghostscriptRates(const QString &gs, const QString &pdf, const QString &dir,
                       int iterations, int pages) {
    return measure(RUSAGE_CHILDREN, pages * iterations, [&] {
        for (int i = 0; i < iterations; ++i) {
            QProcess process;
            process.start(gs, {QStringLiteral("-q"), QStringLiteral("-dSAFER"),
                               QStringLiteral("-dBATCH"), QStringLiteral("-dNOPAUSE"),
                               QStringLiteral("-sDEVICE=tiffg4"), QStringLiteral("-r204x196"),
                               QStringLiteral("-o"), dir + QStringLiteral("/gs.tif"), pdf});
            if (!process.waitForFinished(600'000) || process.exitCode() != 0)
                return false;
        }
        return true;
    });
}

QString describe(const Rates &rates) {
    return QStringLiteral("%1 pages/s (%2 pages per processor second)")
        .arg(rates.wall, 0, 'f', 1)
        .arg(rates.cpu, 0, 'f', 1);
}

}  // namespace

int main(int argc, char **argv) {
    QGuiApplication app(argc, argv);
    QTextStream out(stdout);
    if (argc == 3 && QByteArray(argv[1]) == "--make-sample") {
        makeSamplePdf(QString::fromLocal8Bit(argv[2]));
        return 0;
    }
    const QTemporaryDir dir;
    const QString given = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    const QString pdf = !given.isEmpty() && QFileInfo::exists(given)
                            ? QFileInfo(given).absoluteFilePath()
                            : makeSamplePdf(given.isEmpty() ? dir.filePath(QStringLiteral("sample.pdf"))
                                                            : given);
    const int iterations = argc > 2 ? std::max(1, atoi(argv[2])) : 5;
    int pages = 0;
    try {
        pages = sendmere::render::bodyPageCount(pdf);
        out << QStringLiteral("%1: %2 pages, %3 runs\n").arg(pdf).arg(pages).arg(iterations);
        out.flush();
        out << QStringLiteral("sendmere render + G4 TIFF:   %1\n")
                   .arg(describe(ourRates(pdf, dir.path(), iterations, pages)));
        out.flush();
    } catch (const sendmere::render::RenderError &error) {
        out << QStringLiteral("render failed: %1\n").arg(error.message());
        return 1;
    }
    const QString gs = QStandardPaths::findExecutable(QStringLiteral("gs"));
    if (gs.isEmpty()) {
        out << QStringLiteral("ghostscript tiffg4 204x196:  gs not installed\n");
        return 0;
    }
    const Rates theirs = ghostscriptRates(gs, pdf, dir.path(), iterations, pages);
    if (theirs.wall < 0)
        out << QStringLiteral("ghostscript tiffg4 204x196:  failed\n");
    else
        out << QStringLiteral("ghostscript tiffg4 204x196:  %1\n").arg(describe(theirs));
    return 0;
}
