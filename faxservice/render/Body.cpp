// Fax bodies: which kind of document a file is, and the dispatch to its rasteriser.
#include "BodyKinds.h"
#include "MonoPage.h"

#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QMimeDatabase>

namespace sendmere::render {

using detail::BodyKind;
using detail::fail;

namespace detail {

namespace {

const QStringList OfficeTypePrefixes = {
    QStringLiteral("application/msword"),
    QStringLiteral("application/vnd.ms-word"),
    QStringLiteral("application/vnd.ms-excel"),
    QStringLiteral("application/vnd.ms-powerpoint"),
    QStringLiteral("application/vnd.openxmlformats-officedocument."),
    QStringLiteral("application/vnd.oasis.opendocument."),
    QStringLiteral("application/vnd.sun.xml."),
    QStringLiteral("application/vnd.wordperfect"),
    QStringLiteral("application/rtf"),
    QStringLiteral("text/rtf"),
};

bool isOffice(const QMimeType &type) {
    const QStringList names = QStringList{type.name()} + type.aliases();
    for (const QString &name : names) {
        for (const QString &prefix : OfficeTypePrefixes) {
            if (name.startsWith(prefix))
                return true;
        }
    }
    return false;
}

bool isQtImage(const QMimeType &type) {
    const QList<QByteArray> supported = QImageReader::supportedMimeTypes();
    const QStringList names = QStringList{type.name()} + type.aliases();
    for (const QString &name : names) {
        if (supported.contains(name.toLatin1()))
            return true;
    }
    return false;
}

bool isTelling(const QMimeType &type) { return type.isValid() && !type.isDefault(); }

// The content decides; the name refines it (a .docx is a zip file by content) or stands in
// when the content says nothing (random bytes named .pdf fail as a PDF, naming the reason).
QMimeType bodyType(const QString &path, QFile &file) {
    const QMimeDatabase db;
    const QMimeType byContent = db.mimeTypeForData(&file);
    const QMimeType byName = db.mimeTypeForFile(path, QMimeDatabase::MatchExtension);
    if (!isTelling(byContent))
        return byName;
    if (isTelling(byName) && byName.inherits(byContent.name()))
        return byName;
    return byContent;
}

void openBody(QFile &file) {
    const QString path = file.fileName();
    const QFileInfo info(path);
    if (!info.exists())
        fail(path, QStringLiteral("file not found"));
    if (info.isDir())
        fail(path, QStringLiteral("is a folder, not a document"));
    if (!file.open(QIODevice::ReadOnly))
        fail(path, QStringLiteral("cannot read the file (%1)").arg(file.errorString()));
    if (file.size() == 0)
        fail(path, QStringLiteral("the file is empty"));
}

}  // namespace

BodyKind classifyBody(const QString &path) {
    QFile file(path);
    openBody(file);
    const QMimeType type = bodyType(path, file);
    if (type.inherits(QStringLiteral("application/pdf")))
        return BodyKind::Pdf;
    if (type.inherits(QStringLiteral("image/tiff")))
        return BodyKind::Tiff;
    if (isOffice(type))
        return BodyKind::Office;
    if (isQtImage(type))
        return BodyKind::Image;
    if (type.inherits(QStringLiteral("text/plain")))
        return BodyKind::Text;
    fail(path, QStringLiteral("cannot render a document of this type (%1)")
                   .arg(type.comment().isEmpty() ? type.name() : type.comment()));
}

}  // namespace detail

int bodyPageCount(const QString &path) {
    switch (detail::classifyBody(path)) {
    case BodyKind::Text:
        return detail::textPageCount(path);
    case BodyKind::Pdf:
        return detail::pdfPageCount(path, path);
    case BodyKind::Tiff:
        return detail::tiffBodyPageCount(path);
    case BodyKind::Image:
        return detail::imagePageCount(path);
    case BodyKind::Office: {
        const QTemporaryDir workDir;
        return detail::pdfPageCount(detail::convertOfficeToPdf(path, workDir), path);
    }
    }
    fail(path, QStringLiteral("unknown document kind"));
}

void rasteriseBody(const QString &path, const std::function<void(const QImage &page)> &sink) {
    switch (detail::classifyBody(path)) {
    case BodyKind::Text:
        return detail::rasteriseText(path, sink);
    case BodyKind::Pdf:
        return detail::rasterisePdf(path, path, sink);
    case BodyKind::Tiff:
        return detail::rasteriseTiff(path, sink);
    case BodyKind::Image:
        return detail::rasteriseImage(path, sink);
    case BodyKind::Office: {
        const QTemporaryDir workDir;
        return detail::rasterisePdf(detail::convertOfficeToPdf(path, workDir), path, sink);
    }
    }
}

}  // namespace sendmere::render
