// Office documents: LibreOffice, when installed, converts them to PDF in a private folder.
#include "BodyKinds.h"
#include "MonoPage.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

namespace sendmere::render::detail {

namespace {

constexpr int ConversionTimeoutMs = 180'000;

QString findLibreOffice() {
    for (const QString &name : {QStringLiteral("soffice"), QStringLiteral("libreoffice")}) {
        const QString program = QStandardPaths::findExecutable(name);
        if (!program.isEmpty())
            return program;
    }
    return {};
}

QStringList conversionArguments(const QString &path, const QTemporaryDir &workDir) {
    // A profile of its own: a running LibreOffice of the user neither blocks nor takes
    // over the conversion.
    const QString profile = QUrl::fromLocalFile(workDir.filePath(QStringLiteral("profile")))
                                .toString(QUrl::FullyEncoded);
    return {QStringLiteral("--headless"),
            QStringLiteral("--norestore"),
            QStringLiteral("-env:UserInstallation=") + profile,
            QStringLiteral("--convert-to"),
            QStringLiteral("pdf"),
            QStringLiteral("--outdir"),
            workDir.filePath(QStringLiteral("out")),
            QFileInfo(path).absoluteFilePath()};
}

void runConversion(const QString &program, const QString &path, const QTemporaryDir &workDir) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, conversionArguments(path, workDir));
    if (!process.waitForStarted())
        fail(path, QStringLiteral("cannot start LibreOffice (%1)").arg(process.errorString()));
    if (!process.waitForFinished(ConversionTimeoutMs)) {
        process.kill();
        process.waitForFinished();
        fail(path, QStringLiteral("LibreOffice did not finish converting the document"));
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        fail(path, QStringLiteral("LibreOffice could not convert the document (%1)")
                       .arg(QString::fromLocal8Bit(process.readAll()).trimmed()));
}

}  // namespace

QString convertOfficeToPdf(const QString &path, const QTemporaryDir &workDir) {
    const QString program = findLibreOffice();
    if (program.isEmpty())
        fail(path, QStringLiteral("cannot render this document: LibreOffice is not installed"));
    if (!workDir.isValid())
        fail(path, QStringLiteral("cannot create a temporary folder for the conversion"));
    runConversion(program, path, workDir);
    const QFileInfoList outputs =
        QDir(workDir.filePath(QStringLiteral("out")))
            .entryInfoList({QStringLiteral("*.pdf")}, QDir::Files, QDir::Name);
    if (outputs.isEmpty())
        fail(path, QStringLiteral("LibreOffice could not convert the document to PDF"));
    return outputs.first().absoluteFilePath();
}

}  // namespace sendmere::render::detail
