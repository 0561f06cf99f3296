// Body pages coded once for all the faxes they go into, and the file that keeps them between
// the body's render and the faxes.
#include "BodyKinds.h"
#include "G4Coder.h"
#include "MonoPage.h"

#include <QDataStream>
#include <QFile>


namespace sendmere::render {

using detail::fail;

namespace {

constexpr int RowBytes = FaxPageWidth / 8;
constexpr quint32 FileMagic = 0x534d4231;  // "SMB1"

}  // namespace

CodedBodyPage codeBodyPage(const QImage &page) {
    const QImage mono = detail::asFaxMono(page);
    CodedBodyPage coded;
    coded.height = mono.height();
    const int below = BannerHeight;
    if (coded.height > below)
        coded.rowBelowBanner = QByteArray(reinterpret_cast<const char *>(mono.constScanLine(below)), RowBytes);
    detail::G4Code tail = detail::codeG4Rows(mono, std::min(coded.height, below + 1), coded.height, true);
    coded.tail = std::move(tail.bytes);
    coded.tailBits = tail.bits;
    return coded;
}

void rasteriseCodedBody(const QString &path, const std::function<void(CodedBodyPage &&page)> &sink,
                        const std::function<void(int pages)> &pagesKnown) {
    if (detail::classifyBody(path) == detail::BodyKind::Pdf) {
        if (pagesKnown)
            pagesKnown(detail::pdfPageCount(path, path));
        return detail::rasteriseCodedPdf(path, path, sink);
    }
    rasteriseBody(path, [&](const QImage &page) { sink(codeBodyPage(page)); });
}

CodedBodyWriter::CodedBodyWriter(const QString &path) : m_file(std::make_unique<QFile>(path)) {
    if (!m_file->open(QIODevice::WriteOnly | QIODevice::Truncate))
        fail(path, QStringLiteral("cannot create the file (%1)").arg(m_file->errorString()));
    QDataStream(m_file.get()) << FileMagic;
}

CodedBodyWriter::~CodedBodyWriter() {
    if (!m_closed)
        m_file->remove();
}

void CodedBodyWriter::add(const CodedBodyPage &page) {
    QDataStream out(m_file.get());
    out << qint32(page.height) << page.rowBelowBanner << page.tailBits << page.tail;
    if (out.status() != QDataStream::Ok)
        fail(m_file->fileName(), QStringLiteral("cannot write page %1 (%2)").arg(m_pages + 1).arg(m_file->errorString()));
    ++m_pages;
}

void CodedBodyWriter::close() {
    if (m_closed)
        return;
    if (!m_file->flush())
        fail(m_file->fileName(), QStringLiteral("cannot finish the file (%1)").arg(m_file->errorString()));
    m_file->close();
    m_closed = true;
}

CodedBodyReader::CodedBodyReader(const QString &path) : m_file(std::make_unique<QFile>(path)) {
    if (!m_file->open(QIODevice::ReadOnly))
        fail(path, QStringLiteral("cannot read the rendered body (%1)").arg(m_file->errorString()));
    quint32 magic = 0;
    QDataStream(m_file.get()) >> magic;
    if (magic != FileMagic)
        fail(path, QStringLiteral("not a rendered body"));
}

CodedBodyReader::~CodedBodyReader() = default;

// Each page is checked before it is used: a damaged file must fail the fax, not send
// another picture.
CodedBodyPage CodedBodyReader::next() {
    QDataStream in(m_file.get());
    qint32 height = 0;
    CodedBodyPage page;
    in >> height >> page.rowBelowBanner >> page.tailBits >> page.tail;
    page.height = height;
    const bool fits = in.status() == QDataStream::Ok && height > 0 &&
                      page.rowBelowBanner.size() == (height > BannerHeight ? RowBytes : 0) &&
                      page.tailBits > 0 && page.tailBits <= qint64(page.tail.size()) * 8 &&
                      page.tail.size() == (page.tailBits + 7) / 8;
    ++m_read;
    if (!fits)
        fail(m_file->fileName(), QStringLiteral("the rendered body is damaged at page %1").arg(m_read));
    return page;
}

}  // namespace sendmere::render
