// TIFF Class F writing and general TIFF reading through libtiff.
#include "FaxRender.h"
#include "G4Coder.h"
#include "MonoPage.h"
#include "TiffFile.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>
#include <QtEndian>
#include <tiffio.h>

#include <condition_variable>
#include <cstring>
#include <cstdio>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace sendmere::render {

using detail::fail;
using detail::TiffFile;

namespace {

constexpr QRgb White = 0xffffffff;
constexpr QRgb Black = 0xff000000;
constexpr quint16 PageNumberTag = TIFFTAG_PAGENUMBER;
constexpr quint16 ShortType = 3;
// A 600 dpi A4 colour scan has 35 million pixels; a few bytes of TIFF header must not make
// the service allocate and decode gigabytes.
constexpr quint64 MaxPixels = 64'000'000;

QString temporaryNameBeside(const QString &path) {
    QTemporaryFile reserve(path + QStringLiteral(".XXXXXX.part"));
    reserve.setAutoRemove(false);
    if (!reserve.open())
        fail(path, QStringLiteral("cannot create the file (%1)").arg(reserve.errorString()));
    return reserve.fileName();
}

void openForReading(TiffFile &file, const QString &path) {
    if (!QFileInfo(path).isFile())
        fail(path, QStringLiteral("file not found"));
    if (!file.isOpen())
        fail(path, QStringLiteral("not a readable TIFF file (%1)")
                       .arg(file.lastError(QStringLiteral("cannot open it"))));
}

// Offsets of every image file directory, in page order.
std::vector<quint64> directoryOffsets(const QString &path) {
    TiffFile file(path, "r");
    openForReading(file, path);
    std::vector<quint64> offsets;
    do {
        offsets.push_back(TIFFCurrentDirOffset(file.get()));
    } while (TIFFReadDirectory(file.get()) == 1);
    return offsets;
}

class ByteOrder {
public:
    explicit ByteOrder(bool little) : m_little(little) {}
    quint16 read16(const uchar *p) const {
        return m_little ? qFromLittleEndian<quint16>(p) : qFromBigEndian<quint16>(p);
    }
    quint32 read32(const uchar *p) const {
        return m_little ? qFromLittleEndian<quint32>(p) : qFromBigEndian<quint32>(p);
    }
    void write16(quint16 value, uchar *p) const {
        m_little ? qToLittleEndian(value, p) : qToBigEndian(value, p);
    }

private:
    bool m_little;
};

// Sets the PageNumber tag of one directory in place; both numbers fit into the entry
// itself, so nothing else in the file moves.
bool patchPageNumber(QFile &file, const ByteOrder &order, quint64 offset, quint16 page,
                     quint16 total) {
    uchar count[2];
    if (!file.seek(qint64(offset)) || file.read(reinterpret_cast<char *>(count), 2) != 2)
        return false;
    for (quint16 i = 0; i < order.read16(count); ++i) {
        uchar entry[12];
        const qint64 entryOffset = qint64(offset) + 2 + 12 * i;
        if (!file.seek(entryOffset) || file.read(reinterpret_cast<char *>(entry), 12) != 12)
            return false;
        if (order.read16(entry) != PageNumberTag)
            continue;
        if (order.read16(entry + 2) != ShortType || order.read32(entry + 4) != 2)
            return false;
        order.write16(page, entry + 8);
        order.write16(total, entry + 10);
        return file.seek(entryOffset) && file.write(reinterpret_cast<char *>(entry), 12) == 12;
    }
    return false;
}

void writePageNumbers(const QString &path, const QString &reportedPath) {
    const std::vector<quint64> offsets = directoryOffsets(path);
    QFile file(path);
    uchar header[2];
    if (!file.open(QIODevice::ReadWrite) || file.read(reinterpret_cast<char *>(header), 2) != 2)
        fail(reportedPath, QStringLiteral("cannot finish the file (%1)").arg(file.errorString()));
    const ByteOrder order(header[0] == 'I');
    for (size_t i = 0; i < offsets.size(); ++i) {
        if (!patchPageNumber(file, order, offsets[i], quint16(i), quint16(offsets.size())))
            fail(reportedPath, QStringLiteral("cannot set the page numbers"));
    }
    if (!file.flush())
        fail(reportedPath, QStringLiteral("cannot finish the file (%1)").arg(file.errorString()));
}

void setClassFTags(TIFF *tif, int height, int pageIndex) {
    TIFFSetField(tif, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, uint32_t(FaxPageWidth));
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, uint32_t(height));
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, uint16_t(1));
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, uint16_t(1));
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
    TIFFSetField(tif, TIFFTAG_T6OPTIONS, uint32_t(0));
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(tif, TIFFTAG_FILLORDER, FILLORDER_MSB2LSB);
    TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_XRESOLUTION, float(FaxDpiX));
    TIFFSetField(tif, TIFFTAG_YRESOLUTION, float(FaxDpiY));
    TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, uint32_t(height));
    // The total is set when the file is closed and the page count is known.
    TIFFSetField(tif, TIFFTAG_PAGENUMBER, uint16_t(pageIndex), uint16_t(0));
    TIFFSetField(tif, TIFFTAG_SOFTWARE, "Sendmere");
}

int dotsPerMetre(TIFF *tif, ttag_t tag) {
    float resolution = 0;
    uint16_t unit = RESUNIT_INCH;
    if (TIFFGetField(tif, tag, &resolution) != 1 || resolution <= 0)
        return 0;
    TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &unit);
    return qRound(unit == RESUNIT_CENTIMETER ? resolution * 100.0 : resolution / 0.0254);
}

bool isBilevelStrips(TIFF *tif) {
    uint16_t bits = 0, samples = 0, photometric = 0;
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    if (TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric) != 1)
        return false;
    return bits == 1 && samples == 1 && !TIFFIsTiled(tif) &&
           (photometric == PHOTOMETRIC_MINISWHITE || photometric == PHOTOMETRIC_MINISBLACK);
}

QImage readBilevel(const TiffFile &file, const QString &path, QSize size) {
    TIFF *tif = file.get();
    uint16_t photometric = 0;
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
    QImage image(size, QImage::Format_Mono);
    if (image.isNull())
        fail(path, QStringLiteral("the page is too large"));
    image.setColorTable(photometric == PHOTOMETRIC_MINISWHITE ? QList<QRgb>{White, Black}
                                                               : QList<QRgb>{Black, White});
    if (TIFFScanlineSize(tif) > image.bytesPerLine())
        fail(path, QStringLiteral("unexpected TIFF scanline size"));
    for (int y = 0; y < size.height(); ++y) {
        if (TIFFReadScanline(tif, image.scanLine(y), uint32_t(y), 0) != 1)
            fail(path, QStringLiteral("damaged TIFF page (%1)")
                           .arg(file.lastError(QStringLiteral("cannot decode it"))));
    }
    return image;
}

QImage readAnyTiff(const TiffFile &file, const QString &path, QSize size) {
    // TIFFReadRGBAImage gives R, G, B, A bytes in memory order.
    QImage image(size, QImage::Format_RGBA8888);
    if (image.isNull() || image.bytesPerLine() != size.width() * 4)
        fail(path, QStringLiteral("the page is too large"));
    auto *raster = reinterpret_cast<uint32_t *>(image.bits());
    if (TIFFReadRGBAImageOriented(file.get(), uint32_t(size.width()), uint32_t(size.height()),
                                  raster, ORIENTATION_TOPLEFT, 0) != 1)
        fail(path, QStringLiteral("damaged or unsupported TIFF page (%1)")
                       .arg(file.lastError(QStringLiteral("cannot decode it"))));
    return image.convertToFormat(QImage::Format_RGB32);
}

}  // namespace

namespace detail {

QImage bodyPageTop(const CodedBodyPage &page) {
    const bool hasRowBelow = !page.rowBelowBanner.isEmpty();
    QImage top = blankFaxPage(hasRowBelow ? BannerHeight + 1 : page.height);
    if (hasRowBelow)
        std::memcpy(top.scanLine(BannerHeight), page.rowBelowBanner.constData(), FaxPageWidth / 8);
    return top;
}

// A page to code: the whole page, or the top of a body page whose rows below are coded already.
struct QueuedPage {
    QImage image;
    std::optional<G4Code> tail;
    int height = 0;
};

// Pages on their way from the caller to the coding thread: two at most, so that memory
// stays flat however long the document. The first failure stops the thread and is raised
// to the caller at its next push() or at finish().
class PageQueue {
public:
    using Write = std::function<void(const QueuedPage &page, int index)>;
    explicit PageQueue(Write write) : m_write(std::move(write)), m_thread([this] { run(); }) {}
    ~PageQueue() { stop(); }
    PageQueue(const PageQueue &) = delete;
    PageQueue &operator=(const PageQueue &) = delete;

    void push(QueuedPage page) {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [this] { return m_pages.size() < MaxWaiting || m_error; });
        if (m_error)
            std::rethrow_exception(m_error);
        m_pages.push_back(std::move(page));
        m_changed.notify_all();
    }

    // Returns once every page is written.
    void finish() {
        end(false);
        const std::lock_guard lock(m_mutex);
        if (m_error)
            std::rethrow_exception(m_error);
    }

    void stop() noexcept { end(true); }

private:
    static constexpr size_t MaxWaiting = 2;

    void end(bool dropWaiting) noexcept {
        {
            const std::lock_guard lock(m_mutex);
            m_ending = true;
            if (dropWaiting)
                m_pages.clear();
            m_changed.notify_all();
        }
        if (m_thread.joinable())
            m_thread.join();
    }

    void run() {
        for (int index = 0;; ++index) {
            QueuedPage page;
            {
                std::unique_lock lock(m_mutex);
                m_changed.wait(lock, [this] { return !m_pages.empty() || m_ending; });
                if (m_pages.empty())
                    return;
                page = std::move(m_pages.front());
                m_pages.pop_front();
                m_changed.notify_all();
            }
            try {
                m_write(page, index);
            } catch (...) {
                const std::lock_guard lock(m_mutex);
                m_error = std::current_exception();
                m_pages.clear();
                m_changed.notify_all();
                return;
            }
        }
    }

    Write m_write;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<QueuedPage> m_pages;
    std::exception_ptr m_error;
    bool m_ending = false;
    std::thread m_thread;  // last: starts once everything above exists
};

}  // namespace detail

FaxTiffWriter::FaxTiffWriter(const QString &path)
    : m_path(path), m_tempPath(temporaryNameBeside(path)) {
    m_file = std::make_unique<TiffFile>(m_tempPath, "w");
    if (!m_file->isOpen()) {
        const QString reason = m_file->lastError(QStringLiteral("cannot create the file"));
        discard();
        fail(path, reason);
    }
    m_queue = std::make_unique<detail::PageQueue>(
        [this](const detail::QueuedPage &page, int index) { writePage(page, index); });
}

FaxTiffWriter::~FaxTiffWriter() {
    if (!m_closed)
        discard();
}

void FaxTiffWriter::discard() noexcept {
    m_queue.reset();  // the coding thread ends before its file goes
    m_file.reset();
    QFile::remove(m_tempPath);
    m_closed = true;
}

void FaxTiffWriter::addPage(const QImage &page) {
    if (m_closed || !m_file)
        fail(m_path, QStringLiteral("the file is already closed"));
    if (page.isNull())
        fail(m_path, QStringLiteral("cannot add an empty page"));
    const QImage mono = detail::asFaxMono(page);
    m_queue->push({mono, std::nullopt, mono.height()});
    ++m_pages;
}

void FaxTiffWriter::addBodyPage(const CodedBodyPage &page, const QString &bannerText) {
    if (m_closed || !m_file)
        fail(m_path, QStringLiteral("the file is already closed"));
    QImage top = detail::bodyPageTop(page);
    drawBanner(top, bannerText);
    m_queue->push({std::move(top), detail::G4Code{page.tail, page.tailBits}, page.height});
    ++m_pages;
}

void FaxTiffWriter::writePage(const detail::QueuedPage &page, int index) {
    TIFF *tif = m_file->get();
    setClassFTags(tif, page.height, index);
    // The page is one strip, coded here: the same bits as libtiff's, in a fraction of its
    // time.
    QByteArray strip =
        page.tail ? detail::joinG4(detail::codeG4Rows(page.image, 0, page.image.height(), false), *page.tail)
                  : detail::codeG4(page.image);
    if (TIFFWriteRawStrip(tif, 0, strip.data(), tmsize_t(strip.size())) < 0 ||
        TIFFWriteDirectory(tif) != 1)
        fail(m_path, QStringLiteral("cannot write page %1 (%2)")
                         .arg(index + 1)
                         .arg(m_file->lastError(QStringLiteral("write error"))));
}

void FaxTiffWriter::close() {
    if (m_closed)
        return;
    try {
        if (m_pages == 0)
            fail(m_path, QStringLiteral("a fax needs at least one page"));
        m_queue->finish();
        if (!m_file->close())
            fail(m_path, QStringLiteral("cannot finish the file (%1)")
                             .arg(m_file->lastError(QStringLiteral("write error"))));
        writePageNumbers(m_tempPath, m_path);
        if (std::rename(QFile::encodeName(m_tempPath).constData(),
                        QFile::encodeName(m_path).constData()) != 0)
            fail(m_path, QStringLiteral("cannot move the finished file into place"));
    } catch (...) {
        discard();
        throw;
    }
    m_file.reset();
    m_closed = true;
}

int tiffPageCount(const QString &path) {
    TiffFile file(path, "r");
    openForReading(file, path);
    return int(TIFFNumberOfDirectories(file.get()));
}

QImage readTiffPage(const QString &path, int index) {
    TiffFile file(path, "r");
    openForReading(file, path);
    if (index < 0 || TIFFSetDirectory(file.get(), tdir_t(index)) != 1)
        fail(path, QStringLiteral("has no page %1").arg(index + 1));
    uint32_t width = 0, height = 0;
    TIFFGetField(file.get(), TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(file.get(), TIFFTAG_IMAGELENGTH, &height);
    if (width == 0 || height == 0 || width > 65535 || height > 65535 ||
        quint64(width) * height > MaxPixels)
        fail(path, QStringLiteral("page %1 has an unusable size %2x%3")
                       .arg(index + 1)
                       .arg(width)
                       .arg(height));
    const QSize size{int(width), int(height)};
    QImage image = isBilevelStrips(file.get()) ? readBilevel(file, path, size)
                                               : readAnyTiff(file, path, size);
    image.setDotsPerMeterX(dotsPerMetre(file.get(), TIFFTAG_XRESOLUTION));
    image.setDotsPerMeterY(dotsPerMetre(file.get(), TIFFTAG_YRESOLUTION));
    return image;
}

}  // namespace sendmere::render
