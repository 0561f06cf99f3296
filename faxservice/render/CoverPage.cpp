// Cover pages: SVG templates whose text holds {Field} placeholders, filled and drawn with
// Qt Svg, for fax pages and for thumbnails alike.
#include "FaxRender.h"
#include "MonoPage.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFontMetricsF>
#include <QHash>
#include <QLocale>
#include <QPainter>
#include <QRegularExpression>
#include <QSvgRenderer>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

#include <memory>
#include <vector>

static void initShippedCoverPageResources() { Q_INIT_RESOURCE(coverpages); }

namespace sendmere::render {

using detail::fail;

namespace {

const QStringList ShippedCoverPages = {
    QStringLiteral("general.svg"), QStringLiteral("confidential.svg"),
    QStringLiteral("urgent.svg"), QStringLiteral("fyi.svg")};

constexpr double DefaultFontSize = 4.0;  // user units, when no element sets one
constexpr double LineHeightFactor = 1.25;

QHash<QString, QString> placeholderValues(const CoverPageFields &f) {
    const QString time = f.timeSent.isValid()
                             ? QLocale::c().toString(f.timeSent.toLocalTime(),
                                                     QStringLiteral("yyyy-MM-dd HH:mm"))
                             : QString();
    return {
        {QStringLiteral("RecipientName"), f.recipientName},
        {QStringLiteral("RecipientFaxNumber"), f.recipientFaxNumber},
        {QStringLiteral("RecipientCompany"), f.recipientCompany},
        {QStringLiteral("RecipientStreetAddress"), f.recipientStreetAddress},
        {QStringLiteral("RecipientCity"), f.recipientCity},
        {QStringLiteral("RecipientState"), f.recipientState},
        {QStringLiteral("RecipientZip"), f.recipientZip},
        {QStringLiteral("RecipientCountry"), f.recipientCountry},
        {QStringLiteral("RecipientTitle"), f.recipientTitle},
        {QStringLiteral("RecipientDepartment"), f.recipientDepartment},
        {QStringLiteral("RecipientOfficeLocation"), f.recipientOfficeLocation},
        {QStringLiteral("RecipientHomePhone"), f.recipientHomePhone},
        {QStringLiteral("RecipientOfficePhone"), f.recipientOfficePhone},
        {QStringLiteral("SenderName"), f.senderName},
        {QStringLiteral("SenderFaxNumber"), f.senderFaxNumber},
        {QStringLiteral("SenderCompany"), f.senderCompany},
        {QStringLiteral("SenderAddress"), f.senderAddress},
        {QStringLiteral("SenderTitle"), f.senderTitle},
        {QStringLiteral("SenderDepartment"), f.senderDepartment},
        {QStringLiteral("SenderOfficeLocation"), f.senderOfficeLocation},
        {QStringLiteral("SenderHomePhone"), f.senderHomePhone},
        {QStringLiteral("SenderOfficePhone"), f.senderOfficePhone},
        {QStringLiteral("SenderEmail"), f.senderEmail},
        {QStringLiteral("SenderBillingCode"), f.senderBillingCode},
        {QStringLiteral("Note"), f.note},
        {QStringLiteral("Subject"), f.subject},
        {QStringLiteral("TimeSent"), time},
        {QStringLiteral("PageCount"), f.pageCount > 0 ? QString::number(f.pageCount) : QString()},
    };
}

// The font a text element inherits, enough to measure where a long line must wrap.
struct TextStyle {
    QString family;
    double size = DefaultFontSize;
    bool bold = false;

    TextStyle inheritedBy(const QXmlStreamAttributes &attributes) const {
        TextStyle style = *this;
        if (attributes.hasAttribute(QStringLiteral("font-family")))
            style.family = attributes.value(QStringLiteral("font-family"))
                               .toString()
                               .section(QLatin1Char(','), 0, 0)
                               .remove(QLatin1Char('\''))
                               .remove(QLatin1Char('"'))
                               .trimmed();
        bool ok = false;
        const double size = attributes.value(QStringLiteral("font-size")).toDouble(&ok);
        if (ok && size > 0)
            style.size = size;
        const auto weight = attributes.value(QStringLiteral("font-weight"));
        if (!weight.isEmpty())
            style.bold = weight == QLatin1String("bold") || weight.toInt() >= 600;
        return style;
    }

    QFont font() const {
        QFont f(family);
        f.setPixelSize(MeasureSize);
        f.setBold(bold);
        return f;
    }
    static constexpr int MeasureSize = 1000;  // measured large, scaled down: no hinting error
};

// Widths in the style's user units; the font is set up once per wrapped text.
class TextMeasure {
public:
    explicit TextMeasure(const TextStyle &style)
        : m_metrics(style.font()), m_scale(style.size / TextStyle::MeasureSize) {}
    double operator()(const QString &text) const { return m_metrics.horizontalAdvance(text) * m_scale; }
    double operator()(QChar c) const { return m_metrics.horizontalAdvance(c) * m_scale; }

private:
    QFontMetricsF m_metrics;
    double m_scale;
};

// Breaks text into lines no wider than maxWidth (when > 0), at blanks where possible; a word
// wider than the area is cut by characters. A line is measured whole only while it grows up to
// the width, and a long word is cut piece by piece, so the cost grows with the text's length
// (one word of thousands of characters took minutes when every cut measured it again).
QStringList wrapLines(const QString &text, const TextStyle &style, double maxWidth) {
    const TextMeasure measure(style);
    QStringList lines;
    // Pieces of word that fit the width; the last piece begins the next line.
    auto cutWord = [&](const QString &word) {
        qsizetype start = 0;
        while (true) {
            double width = 0;
            qsizetype end = start;
            while (end < word.size()) {
                const qsizetype n = word.at(end).isHighSurrogate() && end + 1 < word.size() ? 2 : 1;
                const double advance = n == 1 ? measure(word.at(end)) : measure(word.mid(end, n));
                if (end > start && width + advance > maxWidth)
                    break;
                width += advance;
                end += n;
            }
            // Shaping can make the piece a little wider than its characters' sum.
            while (end - start > 1 && measure(word.mid(start, end - start)) > maxWidth)
                end -= word.at(end - 1).isLowSurrogate() && end - start > 2 ? 2 : 1;
            if (end >= word.size())
                return word.mid(start);
            lines << word.mid(start, end - start);
            start = end;
        }
    };
    for (const QString &paragraph : text.split(QLatin1Char('\n'))) {
        QString line;
        bool first = true;
        for (const QString &word : paragraph.split(QLatin1Char(' '))) {
            if (maxWidth <= 0) {
                line = first ? word : line + QLatin1Char(' ') + word;
            } else if (first) {
                line = cutWord(word);
            } else if (const QString candidate = line + QLatin1Char(' ') + word; measure(candidate) <= maxWidth) {
                line = candidate;
            } else {
                lines << line;
                line = cutWord(word);
            }
            first = false;
        }
        lines << line;
    }
    return lines;
}

double numberAttribute(const QXmlStreamAttributes &attributes, const QString &name,
                       double fallback) {
    bool ok = false;
    const double value = attributes.value(name).toDouble(&ok);
    return ok ? value : fallback;
}

// Copies an SVG document token by token, putting field values in place of placeholders.
// A <text> element of plain text whose value runs over several lines (a note, an address)
// becomes one <text> element per line: Qt Svg places tspans on one line only.
class TemplateFiller {
public:
    TemplateFiller(const QString &path, const CoverPageFields &fields)
        : m_path(path), m_values(placeholderValues(fields)) {}

    QByteArray fill(const QByteArray &svg) {
        QByteArray out;
        QXmlStreamReader reader(svg);
        // Prefixes and xmlns attributes then pass through exactly as written.
        reader.setNamespaceProcessing(false);
        QXmlStreamWriter writer(&out);
        std::vector<TextStyle> styles{TextStyle{}};
        while (reader.readNext() != QXmlStreamReader::Invalid && !reader.atEnd()) {
            if (reader.isStartElement()) {
                styles.push_back(styles.back().inheritedBy(reader.attributes()));
                if (reader.name() == QLatin1String("text")) {
                    copyTextElement(reader, writer, styles.back());
                    styles.pop_back();
                    continue;
                }
            } else if (reader.isEndElement()) {
                styles.pop_back();
            }
            copyToken(reader, writer);
        }
        if (reader.hasError())
            fail(m_path, QStringLiteral("not a valid cover page template (%1, line %2)")
                             .arg(reader.errorString())
                             .arg(reader.lineNumber()));
        return out;
    }

private:
    QString substitute(const QString &text) const {
        static const QRegularExpression placeholder(QStringLiteral("\\{(\\w+)\\}"));
        QString result;
        qsizetype last = 0;
        for (const auto &match : placeholder.globalMatch(text)) {
            const auto found = m_values.constFind(match.captured(1));
            result += text.mid(last, match.capturedStart() - last);
            result += found == m_values.constEnd() ? match.captured(0) : *found;
            last = match.capturedEnd();
        }
        return result + text.mid(last);
    }

    void copyToken(QXmlStreamReader &reader, QXmlStreamWriter &writer) const {
        if (reader.isCharacters() && !reader.isWhitespace())
            writer.writeCharacters(substitute(reader.text().toString()));
        else
            writer.writeCurrentToken(reader);
    }

    // reader stands on a <text> start tag; consumes the element up to its end tag.
    void copyTextElement(QXmlStreamReader &reader, QXmlStreamWriter &writer,
                         const TextStyle &style) const {
        const QXmlStreamAttributes attributes = reader.attributes();
        writer.writeCurrentToken(reader);
        const QString plain = readPlainText(reader, writer);
        if (reader.isEndElement() && !reader.hasError()) {
            if (!plain.isNull())
                writeLines(plain, attributes, style, writer);
            writer.writeCurrentToken(reader);
        }
    }

    // Returns the element's text when it holds nothing else; otherwise copies its content
    // (tspans and all, fields filled) and returns a null string. Stops on the end tag.
    QString readPlainText(QXmlStreamReader &reader, QXmlStreamWriter &writer) const {
        QString text;
        while (reader.readNext() == QXmlStreamReader::Characters)
            text += reader.text();
        if (reader.isEndElement())
            return text.isNull() ? QStringLiteral("") : text;
        writer.writeCharacters(substitute(text));
        for (int depth = 1; !reader.atEnd() && !reader.hasError(); reader.readNext()) {
            depth += reader.isStartElement() ? 1 : reader.isEndElement() ? -1 : 0;
            if (depth == 0)
                break;
            copyToken(reader, writer);
        }
        return {};
    }

    // The first line goes into the element already open; the others into siblings below it.
    void writeLines(const QString &text, const QXmlStreamAttributes &attributes,
                    const TextStyle &style, QXmlStreamWriter &writer) const {
        const QString filled = substitute(text.trimmed());
        QStringList lines = wrapLines(
            filled, style, numberAttribute(attributes, QStringLiteral("data-wrap-width"), 0));
        const int maxLines = int(numberAttribute(attributes, QStringLiteral("data-max-lines"), 0));
        if (maxLines > 0 && lines.size() > maxLines) {
            lines = lines.mid(0, maxLines);
            lines.last() += QStringLiteral(" …");
        }
        writer.writeCharacters(lines.value(0));
        const double y = numberAttribute(attributes, QStringLiteral("y"), 0);
        const double lineHeight = numberAttribute(
            attributes, QStringLiteral("data-line-height"), style.size * LineHeightFactor);
        for (int i = 1; i < lines.size(); ++i) {
            writer.writeEndElement();
            writer.writeStartElement(QStringLiteral("text"));
            for (const auto &attribute : attributes) {
                if (attribute.qualifiedName() != QLatin1String("y"))
                    writer.writeAttribute(attribute);
            }
            writer.writeAttribute(QStringLiteral("y"), QString::number(y + i * lineHeight));
            writer.writeCharacters(lines.at(i));
        }
    }

    QString m_path;
    QHash<QString, QString> m_values;
};

std::unique_ptr<QSvgRenderer> loadTemplate(const QString &path, const CoverPageFields &fields) {
    detail::requireGuiApplication(path);
    if (!QFileInfo(path).isFile())
        fail(path, QStringLiteral("cover page template not found"));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        fail(path, QStringLiteral("cannot read the cover page template (%1)")
                       .arg(file.errorString()));
    const QByteArray filled = TemplateFiller(path, fields).fill(file.readAll());
    auto renderer = std::make_unique<QSvgRenderer>(filled);
    if (!renderer->isValid())
        fail(path, QStringLiteral("not a valid SVG cover page template"));
    return renderer;
}

QSizeF pageSizeOf(const QSvgRenderer &renderer) {
    const QSizeF viewBox = renderer.viewBoxF().size();
    return viewBox.isEmpty() ? QSizeF(renderer.defaultSize()) : viewBox;
}

// The target rectangle carries the page's pixel aspect: on a fax page the drawing is
// stretched to 204x196 dpi, glyphs included, and keeps its physical proportions.
void drawTemplate(QSvgRenderer &renderer, QImage &image, const QRectF &target) {
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    renderer.render(&painter, target);
}

}  // namespace

QImage drawCoverPage(const QString &templatePath, const CoverPageFields &fields, QSize size) {
    const auto renderer = loadTemplate(templatePath, fields);
    QImage image(size, QImage::Format_ARGB32);
    if (image.isNull())
        return image;
    image.fill(Qt::white);
    const QSizeF fitted = pageSizeOf(*renderer).scaled(QSizeF(size), Qt::KeepAspectRatio);
    const QRectF target(QPointF((size.width() - fitted.width()) / 2,
                                (size.height() - fitted.height()) / 2),
                        fitted);
    drawTemplate(*renderer, image, target);
    return image;
}

QImage renderCoverPage(const QString &templatePath, const CoverPageFields &fields) {
    const auto renderer = loadTemplate(templatePath, fields);
    QImage colour = detail::blankColourPage();
    const QSizeF page = pageSizeOf(*renderer);
    drawTemplate(*renderer, colour, QRectF(detail::fitOnFaxPage(page)));
    return detail::toFaxMono(colour, detail::MonoMode::Threshold);
}

QStringList ensureShippedCoverPages(const QString &dir) {
    initShippedCoverPageResources();
    if (!QDir().mkpath(dir))
        fail(dir, QStringLiteral("cannot create the cover page directory"));
    QStringList copied;
    for (const QString &name : ShippedCoverPages) {
        const QString target = QDir(dir).filePath(name);
        const QFileInfo existing(target);
        if (existing.exists() || existing.isSymLink())
            continue;
        if (!QFile::copy(QStringLiteral(":/sendmere/coverpages/") + name, target))
            fail(target, QStringLiteral("cannot copy the shipped cover page"));
        // Copies out of the resource are read-only; the user may edit their own.
        QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup |
                                          QFile::ReadOther);
        copied << name;
    }
    return copied;
}

}  // namespace sendmere::render
