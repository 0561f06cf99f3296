#pragma once
// The document kinds a fax body can be, each with its page count and its rasteriser.
// Every function raises RenderError naming path when the file cannot be rendered.
#include "FaxRender.h"

#include <QTemporaryDir>

namespace sendmere::render::detail {

using PageSink = std::function<void(const QImage &page)>;

enum class BodyKind { Text, Pdf, Tiff, Image, Office };

// Decides by the file's content, and by its name where the content alone is not telling.
BodyKind classifyBody(const QString &path);

int textPageCount(const QString &path);
void rasteriseText(const QString &path, const PageSink &sink);

// reportedPath names the document in errors (a converted file is not the user's file).
int pdfPageCount(const QString &path, const QString &reportedPath);
void rasterisePdf(const QString &path, const QString &reportedPath, const PageSink &sink);
// The same, each page made ready for its faxes (codeBodyPage) on the thread that drew it.
void rasteriseCodedPdf(const QString &path, const QString &reportedPath,
                       const std::function<void(CodedBodyPage &&page)> &sink);

int imagePageCount(const QString &path);
void rasteriseImage(const QString &path, const PageSink &sink);
int tiffBodyPageCount(const QString &path);
void rasteriseTiff(const QString &path, const PageSink &sink);

// Converts an office document to PDF with LibreOffice into workDir; returns the PDF's path.
QString convertOfficeToPdf(const QString &path, const QTemporaryDir &workDir);

}  // namespace sendmere::render::detail
