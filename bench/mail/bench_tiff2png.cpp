// tiff2png.exe on a 1-page and a 10-page G4 fax, started as the program starts it (in a
// folder holding Fax.tiff, with "*.*"), beside ImageMagick's convert on the same file: the
// first page only ("Fax.tiff[0]"), and its default of every page. Prints milliseconds per
// run, process start included. Usage: bench_tiff2png [runs]
#include "BenchFaxPages.h"

#include <QDir>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>

namespace {

double millisecondsPerRun(const QString &program, const QStringList &args, const QString &dir, int runs) {
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < runs; ++i) {
        for (const QString &png : QDir(dir).entryList({QStringLiteral("*.png")})) QFile::remove(dir + u'/' + png);
        QProcess process;
        process.setWorkingDirectory(dir);
        process.start(program, args);
        if (!process.waitForFinished(120000) || process.exitCode() != 0) return -1;
    }
    return double(timer.nsecsElapsed()) / 1e6 / runs;
}

}  // namespace

int main(int argc, char **argv) {
    QGuiApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 20;
    QTextStream out(stdout);
    const QString converter = QStringLiteral(SENDMERE_BIN_DIR "/tiff2png.exe");
    QString magick = QStandardPaths::findExecutable(QStringLiteral("convert-im6.q16"));
    if (magick.isEmpty()) magick = QStandardPaths::findExecutable(QStringLiteral("convert"));
    out << "runs per figure: " << runs << "\nImageMagick: " << (magick.isEmpty() ? QStringLiteral("not installed") : magick) << "\n";
    for (int pages : {1, 10}) {
        QTemporaryDir dir;
        bench::writeFax(dir.path(), QStringLiteral("Fax.tiff"), pages);
        const double ours = millisecondsPerRun(converter, {QStringLiteral("*.*")}, dir.path(), runs);
        out << QStringLiteral("%1-page G4 fax (%2 bytes): tiff2png.exe %3 ms")
                   .arg(pages).arg(QFileInfo(dir.filePath(QStringLiteral("Fax.tiff"))).size()).arg(ours, 0, 'f', 2);
        if (!magick.isEmpty()) {
            const double first = millisecondsPerRun(magick, {QStringLiteral("Fax.tiff[0]"), QStringLiteral("Fax.png")}, dir.path(), runs);
            const double all = millisecondsPerRun(magick, {QStringLiteral("Fax.tiff"), QStringLiteral("Fax.png")}, dir.path(), runs);
            out << QStringLiteral(", convert first page %1 ms (%2x), convert all pages %3 ms (%4x)")
                       .arg(first, 0, 'f', 2).arg(first / ours, 0, 'f', 1).arg(all, 0, 'f', 2).arg(all / ours, 0, 'f', 1);
        }
        out << "\n";
        out.flush();
    }
    return 0;
}
