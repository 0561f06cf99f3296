#pragma once
// Fax page rendering: TIFF Class F images (1-bit, CCITT G4, 1728 px wide, 204x196 dpi),
// cover pages drawn from SVG templates, and document bodies rasterised to fax pages.
#include <QByteArray>
#include <QDateTime>
#include <QImage>
#include <QSize>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <stdexcept>

class QFile;

namespace sendmere::render {

namespace detail {
class TiffFile;
class PageQueue;
struct QueuedPage;
}

constexpr int FaxPageWidth = 1728;    // pixels, at 204 dpi
constexpr int FaxPageHeight = 2292;   // pixels, an A4 page at 196 dpi
constexpr double FaxDpiX = 204.0;
constexpr double FaxDpiY = 196.0;

// A failure that names the file and the reason, fit to show a user.
class RenderError : public std::runtime_error {
public:
    explicit RenderError(const QString &message) : std::runtime_error(message.toStdString()) {}
    QString message() const { return QString::fromStdString(what()); }
};

// The values a cover page template can show.
struct CoverPageFields {
    QString recipientName, recipientFaxNumber, recipientCompany, recipientStreetAddress,
        recipientCity, recipientState, recipientZip, recipientCountry, recipientTitle,
        recipientDepartment, recipientOfficeLocation, recipientHomePhone, recipientOfficePhone;
    QString senderName, senderFaxNumber, senderCompany, senderAddress, senderTitle,
        senderDepartment, senderOfficeLocation, senderHomePhone, senderOfficePhone,
        senderEmail, senderBillingCode;
    QString note, subject;
    QDateTime timeSent;
    int pageCount = 0;
};

// Draws a template with the given values, scaled to fit size, on white (for thumbnails).
QImage drawCoverPage(const QString &templatePath, const CoverPageFields &fields, QSize size);

// Renders a template as one fax page: QImage::Format_Mono, FaxPageWidth x FaxPageHeight,
// dots per metre set to the fax resolution.
QImage renderCoverPage(const QString &templatePath, const CoverPageFields &fields);

// Number of fax pages the body will give (a PDF's page count, a text's line count / lines
// per page, 1 for an image). Raises RenderError for a missing, unreadable or unknown file.
int bodyPageCount(const QString &path);

// Rasterises a body page by page into fax pages (Format_Mono, as above), handing each to
// sink in order: plain text, PDF, images (dithered), and office documents through
// LibreOffice when it is installed. Raises RenderError naming the file and the reason.
void rasteriseBody(const QString &path, const std::function<void(const QImage &page)> &sink);

// Draws the banner line (time, TSID, "Page x of y") across the top of a fax page, on white.
// Tabs split the text into parts drawn left, (centre,) right. It covers the top BannerHeight
// rows of the page, whatever they held.
constexpr int BannerHeight = 30;
void drawBanner(QImage &page, const QString &bannerText);

// A body page made ready for any number of faxes: coded once, so that each fax's page only
// codes its own banner line above it. The code of a row depends only on that row and the
// one above, so the rows below the first row under the banner are coded here for good.
struct CodedBodyPage {
    int height = 0;
    QByteArray rowBelowBanner;  // row BannerHeight as 1-bit pixels (1 = black); none on a shorter page
    QByteArray tail;            // CCITT G4 code of the rows below it, ending in EOFB
    qint64 tailBits = 0;        // the bits of tail that belong to the code
};

// The page (any format, as FaxTiffWriter::addPage takes it) made ready as above.
CodedBodyPage codeBodyPage(const QImage &page);

// Rasterises a body as rasteriseBody does, each page made ready as above; the pages of a long
// document are drawn and coded on the shared thread pool and handed to sink in order.
// pagesKnown, where given, hears the page count before the first page where it costs little
// to know (a PDF), so that a long render can show how far it is.
void rasteriseCodedBody(const QString &path, const std::function<void(CodedBodyPage &&page)> &sink,
                        const std::function<void(int pages)> &pagesKnown = {});

// Body pages kept in a file of their own between their render and the faxes made of them:
// written once in order, read in order once per fax.
class CodedBodyWriter {
public:
    explicit CodedBodyWriter(const QString &path);  // raises RenderError when it cannot create it
    ~CodedBodyWriter();                             // an unclosed file is removed
    CodedBodyWriter(const CodedBodyWriter &) = delete;
    CodedBodyWriter &operator=(const CodedBodyWriter &) = delete;

    void add(const CodedBodyPage &page);
    void close();  // raises RenderError on failure
    int pageCount() const { return m_pages; }

private:
    std::unique_ptr<QFile> m_file;
    int m_pages = 0;
    bool m_closed = false;
};

class CodedBodyReader {
public:
    explicit CodedBodyReader(const QString &path);  // raises RenderError when it cannot open it
    ~CodedBodyReader();
    CodedBodyReader(const CodedBodyReader &) = delete;
    CodedBodyReader &operator=(const CodedBodyReader &) = delete;

    CodedBodyPage next();  // raises RenderError when the file ends early or is damaged

private:
    std::unique_ptr<QFile> m_file;
    int m_read = 0;
};

// Writes fax pages into a TIFF Class F file, one IFD per page, G4 compressed. Pages are
// coded on a thread of the writer's own while the caller makes the next one; a failure to
// write shows at the next addPage() or at close().
class FaxTiffWriter {
public:
    // Raises RenderError when it cannot create the file.
    explicit FaxTiffWriter(const QString &path);
    ~FaxTiffWriter();                              // closes; an unclosed file is removed
    FaxTiffWriter(const FaxTiffWriter &) = delete;
    FaxTiffWriter &operator=(const FaxTiffWriter &) = delete;

    void addPage(const QImage &page);  // any format; converted to 1 bit at fax width
    // The body page with the banner drawn over its top, as drawBanner() on the page would.
    void addBodyPage(const CodedBodyPage &page, const QString &bannerText);
    void close();                      // finishes the file; raises RenderError on failure
    int pageCount() const { return m_pages; }

private:
    void writePage(const detail::QueuedPage &page, int index);
    void discard() noexcept;

    std::unique_ptr<detail::TiffFile> m_file;
    std::unique_ptr<detail::PageQueue> m_queue;  // pages on their way to the coding thread
    QString m_path;
    QString m_tempPath;  // written here, renamed to m_path by close()
    int m_pages = 0;
    bool m_closed = false;
};

// Pages of a TIFF file (any TIFF libtiff reads); RenderError when it is not one.
int tiffPageCount(const QString &path);
QImage readTiffPage(const QString &path, int index);  // index from 0; Format_Mono or RGB32

// Shipped templates (general, confidential, urgent, fyi), embedded in the library: copies
// the ones missing from dir into it, creating dir; never overwrites a file. Returns the
// names copied.
QStringList ensureShippedCoverPages(const QString &dir);

}  // namespace sendmere::render
