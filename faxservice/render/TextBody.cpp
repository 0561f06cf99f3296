// Plain text bodies: a typewriter page of 80 columns and 66 lines (6 per inch) in an 11 pt
// monospace font, long lines wrapped, a form feed starting a new page.
#include "BodyKinds.h"
#include "MonoPage.h"

#include <QFile>
#include <QFont>
#include <QFontMetricsF>
#include <QPainter>
#include <QStringDecoder>

#include <algorithm>

namespace sendmere::render::detail {

namespace {

constexpr int Columns = 80;
constexpr int LinesPerPage = 66;
constexpr int TabWidth = 8;
constexpr double LinePitch = FaxDpiY / 6.0;  // square units (196 dpi)
constexpr double TopMargin = (FaxPageHeight - LinesPerPage * LinePitch) / 2;
constexpr double FontPoints = 11;
constexpr QChar FormFeed = u'\f';

QString expandTabs(const QString &line) {
    QString out;
    out.reserve(line.size());
    for (const QChar c : line) {
        if (c == u'\t')
            out += QString(TabWidth - out.size() % TabWidth, u' ');
        else if (!c.isNonCharacter() && c.category() != QChar::Other_Control)
            out += c;
    }
    return out;
}

// Cuts one logical line into rows of at most Columns characters, at a blank where one is.
void appendWrapped(const QString &line, QStringList &rows) {
    QString rest = line;
    while (rest.size() > Columns) {
        qsizetype cut = rest.lastIndexOf(u' ', Columns);
        const bool atBlank = cut > 0;
        if (!atBlank)
            cut = Columns;
        rows << rest.left(cut);
        rest = rest.mid(atBlank ? cut + 1 : cut);
    }
    rows << rest;
}

// Reads a text file page by page, so that a long file never sits in memory whole.
class TextPager {
public:
    explicit TextPager(const QString &path) : m_file(path) {
        if (!m_file.open(QIODevice::ReadOnly))
            fail(path, QStringLiteral("cannot read the file (%1)").arg(m_file.errorString()));
        // UTF-8 unless a byte order mark says otherwise.
        const auto encoding = QStringConverter::encodingForData(m_file.peek(4));
        m_decoder = QStringDecoder(encoding.value_or(QStringConverter::Utf8));
    }

    // The next page's rows; false when the text has ended.
    bool nextPage(QStringList &page) {
        page.clear();
        while (page.size() < LinesPerPage) {
            if (m_pending.isEmpty() && !readLine())
                break;
            const QString row = m_pending.takeFirst();
            if (row == FormFeed) {
                if (!page.isEmpty())
                    break;
                continue;
            }
            page << row;
        }
        const bool blank = std::all_of(page.cbegin(), page.cend(),
                                       [](const QString &row) { return row.trimmed().isEmpty(); });
        const bool ended = m_pending.isEmpty() && m_file.atEnd();
        // Trailing blank lines or a final form feed make no page; an empty text makes one.
        if (blank && ended && m_pages > 0)
            return false;
        ++m_pages;
        return true;
    }

private:
    bool readLine() {
        if (m_file.atEnd())
            return false;
        QString line = m_decoder.decode(m_file.readLine());
        while (line.endsWith(u'\n') || line.endsWith(u'\r'))
            line.chop(1);
        const QStringList parts = line.split(FormFeed);
        for (qsizetype i = 0; i < parts.size(); ++i) {
            if (i > 0)
                m_pending << QString(FormFeed);
            appendWrapped(expandTabs(parts.at(i)), m_pending);
        }
        if (m_file.error() != QFile::NoError)
            fail(m_file.fileName(), QStringLiteral("cannot read the file (%1)")
                                        .arg(m_file.errorString()));
        return true;
    }

    QFile m_file;
    QStringDecoder m_decoder{QStringDecoder::Utf8};
    QStringList m_pending;
    int m_pages = 0;
};

QFont typewriterFont() {
    QFont font(QStringLiteral("DejaVu Sans Mono"));
    font.setStyleHint(QFont::Monospace);
    font.setFixedPitch(true);
    font.setPixelSize(qRound(FaxDpiY * FontPoints / 72));
    return font;
}

QImage drawTextPage(const QStringList &rows, const QFont &font) {
    QImage colour = blankColourPage();
    QPainter painter(&colour);
    useSquareUnits(painter);
    painter.setFont(font);
    painter.setPen(Qt::black);
    const QFontMetricsF metrics(font);
    const double leftMargin =
        std::max(0.0, (SquareUnitsWidth - Columns * metrics.horizontalAdvance(u'M')) / 2);
    for (qsizetype i = 0; i < rows.size(); ++i)
        painter.drawText(QPointF(leftMargin, TopMargin + metrics.ascent() + double(i) * LinePitch),
                         rows.at(i));
    painter.end();
    return toFaxMono(colour, MonoMode::Threshold);
}

}  // namespace

int textPageCount(const QString &path) {
    TextPager pager(path);
    QStringList page;
    int pages = 0;
    while (pager.nextPage(page))
        ++pages;
    return pages;
}

void rasteriseText(const QString &path, const PageSink &sink) {
    requireGuiApplication(path);
    TextPager pager(path);
    const QFont font = typewriterFont();
    QStringList page;
    while (pager.nextPage(page))
        sink(drawTextPage(page, font));
}

}  // namespace sendmere::render::detail
