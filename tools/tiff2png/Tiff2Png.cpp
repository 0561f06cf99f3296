#include "Tiff2Png.h"

#include <png.h>
#include <tiffio.h>

#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdint>
#include <memory>
#include <vector>

#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tiff2png {
namespace {

// Pictures larger than this are refused rather than ground through: a fax page is 1728 x
// about 2300 pixels.
constexpr uint32_t MaxSide = 65535;
constexpr uint64_t MaxColourPixels = 64ull * 1024 * 1024;

struct TiffCloser {
    void operator()(TIFF *tiff) const { TIFFClose(tiff); }
};
struct FileCloser {
    void operator()(FILE *file) const { std::fclose(file); }
};

struct Page {
    uint32_t width = 0, height = 0;
    uint16_t bitsPerSample = 1, samplesPerPixel = 1, photometric = PHOTOMETRIC_MINISWHITE;
    int rowRepeat = 1;  // how often each row is written
};

// Vertical stretch for pages scanned coarser in their rows than in their columns.
int rowRepeatOf(TIFF *tiff) {
    float x = 0, y = 0;
    if (!TIFFGetField(tiff, TIFFTAG_XRESOLUTION, &x) || !TIFFGetField(tiff, TIFFTAG_YRESOLUTION, &y)) return 1;
    if (!(x > 0 && y > 0) || !std::isfinite(x / y)) return 1;
    const long ratio = std::lround(x / y);
    return ratio < 1 ? 1 : ratio > 4 ? 4 : int(ratio);
}

bool readPage(TIFF *tiff, Page &page) {
    if (!TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &page.width) || !TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &page.height)) return false;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &page.bitsPerSample);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &page.samplesPerPixel);
    if (!TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &page.photometric)) page.photometric = PHOTOMETRIC_MINISWHITE;
    page.rowRepeat = rowRepeatOf(tiff);
    return page.width > 0 && page.height > 0 && page.width <= MaxSide && page.height <= MaxSide;
}

// libpng reports its failures by longjmp; nothing with a destructor lives between the
// setjmp and the calls that may jump.
struct PngWriter {
    png_structp png = nullptr;
    png_infop info = nullptr;
    ~PngWriter() { png_destroy_write_struct(&png, &info); }
};

void pngError(png_structp png, png_const_charp) { std::longjmp(png_jmpbuf(png), 1); }
void pngWarning(png_structp, png_const_charp) {}

using RowSource = bool (*)(void *context, uint32_t row, png_bytep out);

bool writePng(FILE *file, const Page &page, bool bilevel, RowSource source, void *context, std::vector<png_byte> &row) {
    PngWriter w;
    w.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, pngError, pngWarning);
    if (!w.png) return false;
    w.info = png_create_info_struct(w.png);
    if (!w.info) return false;
    if (setjmp(png_jmpbuf(w.png))) return false;
    png_init_io(w.png, file);
    png_set_compression_level(w.png, 1);  // fast: a fax page compresses well at any level
    png_set_filter(w.png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
    const png_uint_32 outHeight = png_uint_32(page.height) * png_uint_32(page.rowRepeat);
    png_set_IHDR(w.png, w.info, page.width, outHeight, bilevel ? 1 : 8, bilevel ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGBA,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
    png_write_info(w.png, w.info);
    for (uint32_t y = 0; y < page.height; ++y) {
        if (!source(context, y, row.data())) return false;
        for (int r = 0; r < page.rowRepeat; ++r) png_write_row(w.png, row.data());
    }
    png_write_end(w.png, w.info);
    return true;
}

struct BilevelContext {
    TIFF *tiff;
    bool invert;  // PNG grey: 0 is black; a fax's "min is white" has 1 for black
    size_t bytes;
};

bool bilevelRow(void *context, uint32_t row, png_bytep out) {
    auto *c = static_cast<BilevelContext *>(context);
    if (TIFFReadScanline(c->tiff, out, row, 0) < 0) return false;
    if (c->invert)
        for (size_t i = 0; i < c->bytes; ++i) out[i] = png_byte(~out[i]);
    return true;
}

struct ColourContext {
    const std::vector<uint32_t> *raster;
    uint32_t width;
};

bool colourRow(void *context, uint32_t row, png_bytep out) {
    auto *c = static_cast<ColourContext *>(context);
    const uint32_t *pixels = c->raster->data() + size_t(row) * c->width;
    for (uint32_t x = 0; x < c->width; ++x) {
        out[4 * x] = png_byte(TIFFGetR(pixels[x]));
        out[4 * x + 1] = png_byte(TIFFGetG(pixels[x]));
        out[4 * x + 2] = png_byte(TIFFGetB(pixels[x]));
        out[4 * x + 3] = png_byte(TIFFGetA(pixels[x]));
    }
    return true;
}

bool writePage(TIFF *tiff, const Page &page, FILE *file, std::string &message) {
    const bool bilevel = page.bitsPerSample == 1 && page.samplesPerPixel == 1 &&
                         (page.photometric == PHOTOMETRIC_MINISWHITE || page.photometric == PHOTOMETRIC_MINISBLACK);
    if (bilevel) {
        const tmsize_t scanline = TIFFScanlineSize(tiff);
        const size_t rowBytes = (size_t(page.width) + 7) / 8;
        if (scanline <= 0 || size_t(scanline) < rowBytes) {
            message = "unsupported scanline layout";
            return false;
        }
        std::vector<png_byte> row(static_cast<size_t>(scanline));
        BilevelContext context{tiff, page.photometric == PHOTOMETRIC_MINISWHITE, rowBytes};
        if (!writePng(file, page, true, bilevelRow, &context, row)) {
            message = "the image data cannot be decoded";
            return false;
        }
        return true;
    }
    if (uint64_t(page.width) * page.height > MaxColourPixels) {
        message = "the picture is too large";
        return false;
    }
    std::vector<uint32_t> raster(size_t(page.width) * page.height);
    if (!TIFFReadRGBAImageOriented(tiff, page.width, page.height, raster.data(), ORIENTATION_TOPLEFT, 0)) {
        message = "the image data cannot be decoded";
        return false;
    }
    std::vector<png_byte> row(size_t(page.width) * 4);
    ColourContext context{&raster, page.width};
    Page colourPage = page;
    if (!writePng(file, colourPage, false, colourRow, &context, row)) {
        message = "the picture cannot be written";
        return false;
    }
    return true;
}

// The file at path opened for reading when it is a regular file; -1 otherwise. Opening does
// not wait: a FIFO named like a picture is refused at once instead of blocking for ever.
int openRegularFile(const std::string &path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

}  // namespace

Result convert(const std::string &inputPath, const std::string &outputPath, std::string &message) {
    TIFFSetWarningHandler(nullptr);
    TIFFSetErrorHandler(nullptr);
    const int input = openRegularFile(inputPath);
    if (input < 0) {
        message = inputPath + ": not a regular file";
        return UnreadableTiff;
    }
    std::unique_ptr<TIFF, TiffCloser> tiff(TIFFFdOpen(input, inputPath.c_str(), "r"));
    if (!tiff) ::close(input);
    Page page;
    if (!tiff || !readPage(tiff.get(), page)) {
        message = inputPath + ": not a readable TIFF image";
        return UnreadableTiff;
    }
    // A new file of its own, never an existing name: a link planted under the picture's
    // name or a fixed temporary name is never written through.
    std::string temporary = outputPath + ".XXXXXX";
    const int output = ::mkstemp(temporary.data());
    std::unique_ptr<FILE, FileCloser> file(output >= 0 ? ::fdopen(output, "wb") : nullptr);
    if (!file) {
        if (output >= 0) {
            ::close(output);
            ::unlink(temporary.c_str());
        }
        message = outputPath + ": cannot be created";
        return UnwritablePng;
    }
    std::string why;
    const bool written = writePage(tiff.get(), page, file.get(), why);
    const bool flushed = std::fflush(file.get()) == 0 && std::ferror(file.get()) == 0;
    file.reset();
    if (!written || !flushed || std::rename(temporary.c_str(), outputPath.c_str()) != 0) {
        ::unlink(temporary.c_str());
        message = inputPath + ": " + (written ? std::string("the picture cannot be written") : why);
        return written ? UnwritablePng : UnreadableTiff;
    }
    return Converted;
}

}  // namespace tiff2png
