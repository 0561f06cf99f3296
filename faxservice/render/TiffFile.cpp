#include "TiffFile.h"

#include <QFile>
#include <tiffio.h>

#include <cstdarg>
#include <cstdio>

namespace sendmere::render::detail {

namespace {

int keepError(TIFF *, void *userData, const char *module, const char *format, va_list args) {
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    auto *target = static_cast<QString *>(userData);
    *target = module && *module ? QStringLiteral("%1: %2").arg(QString::fromLocal8Bit(module),
                                                               QString::fromLocal8Bit(text))
                                : QString::fromLocal8Bit(text);
    return 1;
}

// Warnings (unknown tags, odd values) say nothing a caller could act on.
int dropWarning(TIFF *, void *, const char *, const char *, va_list) { return 1; }

}  // namespace

TiffFile::TiffFile(const QString &path, const char *mode) {
    TIFFOpenOptions *options = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetErrorHandlerExtR(options, keepError, &m_messages->lastError);
    TIFFOpenOptionsSetWarningHandlerExtR(options, dropWarning, nullptr);
    m_tiff = TIFFOpenExt(QFile::encodeName(path).constData(), mode, options);
    TIFFOpenOptionsFree(options);
}

TiffFile::~TiffFile() { close(); }

bool TiffFile::close() {
    if (!m_tiff)
        return true;
    const bool flushed = TIFFFlush(m_tiff) == 1;
    TIFFClose(m_tiff);
    m_tiff = nullptr;
    return flushed;
}

QString TiffFile::lastError(const QString &fallback) const {
    return m_messages->lastError.isEmpty() ? fallback : m_messages->lastError;
}

}  // namespace sendmere::render::detail
