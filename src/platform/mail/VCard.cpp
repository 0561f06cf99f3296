// Reading vCard text (2.1, 3.0 and 4.0) into cards: content lines unfolded, parameters
// named, values decoded.
#include "platform/mail/Contacts.h"

#include <QStringDecoder>
#include <algorithm>

namespace sendmere::mail {
namespace {

// A content line split at its first ':' outside double quotes.
struct RawLine {
    QByteArray nameAndParameters;
    QByteArray value;
};

std::optional<RawLine> splitLine(const QByteArray &line) {
    bool quoted = false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        if (line[i] == '"') quoted = !quoted;
        if (line[i] == ':' && !quoted) return RawLine{line.left(i), line.mid(i + 1)};
    }
    return std::nullopt;
}

// Splits at sep outside double quotes.
QList<QByteArray> splitUnquoted(const QByteArray &text, char sep) {
    QList<QByteArray> parts;
    bool quoted = false;
    qsizetype start = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == '"') quoted = !quoted;
        if (text[i] == sep && !quoted) {
            parts << text.mid(start, i - start);
            start = i + 1;
        }
    }
    parts << text.mid(start);
    return parts;
}

bool isQuotedPrintable(const QByteArray &nameAndParameters) {
    return nameAndParameters.toUpper().contains("QUOTED-PRINTABLE");
}

// Where the value of the content line being joined starts: its first ':' outside double
// quotes, looked for only in the part not searched yet, so that joining stays linear in the
// length of the line however many pieces it has.
class ValueStart {
public:
    void reset() { *this = ValueStart{}; }
    // Whether the line so far (the part already seen, then more) names a quoted-printable value.
    bool quotedPrintable(const QByteArray &line) {
        for (; !m_found && m_scanned < line.size(); ++m_scanned) {
            if (line[m_scanned] == '"') m_quoted = !m_quoted;
            if (line[m_scanned] == ':' && !m_quoted) {
                m_found = true;
                m_isQuotedPrintable = isQuotedPrintable(line.left(m_scanned));
            }
        }
        return m_found && m_isQuotedPrintable;
    }

private:
    qsizetype m_scanned = 0;
    bool m_quoted = false, m_found = false, m_isQuotedPrintable = false;
};

// Physical lines joined into content lines: a line starting with a blank or tab continues
// the one before (folding); a quoted-printable value ending in '=' goes on in the next line.
QList<QByteArray> contentLines(const QByteArray &text) {
    QList<QByteArray> lines;
    ValueStart valueStart;
    bool softBreak = false;
    for (QByteArray line : text.split('\n')) {
        if (line.endsWith('\r')) line.chop(1);
        if (!lines.isEmpty() && softBreak) {
            lines.last().chop(1);  // the '=' of the soft break
            lines.last() += line;
        } else if (!lines.isEmpty() && (line.startsWith(' ') || line.startsWith('\t'))) {
            lines.last() += line.mid(1);
        } else {
            lines << line;
            valueStart.reset();
        }
        const QByteArray &last = lines.last();
        softBreak = last.endsWith('=') && valueStart.quotedPrintable(last);
    }
    return lines;
}

QByteArray unquote(QByteArray value) {
    if (value.size() >= 2 && value.startsWith('"') && value.endsWith('"')) return value.mid(1, value.size() - 2);
    return value;
}

QByteArray decodeQuotedPrintable(const QByteArray &in) {
    QByteArray out;
    out.reserve(in.size());
    for (qsizetype i = 0; i < in.size(); ++i) {
        if (in[i] == '=' && i + 2 < in.size()) {
            bool ok = false;
            const int byte = in.mid(i + 1, 2).toInt(&ok, 16);
            if (ok) {
                out += char(byte);
                i += 2;
                continue;
            }
        }
        out += in[i];
    }
    return out;
}

QString decodeCharset(const QByteArray &bytes, const QString &charset) {
    if (!charset.isEmpty()) {
        QStringDecoder decoder(charset.toLatin1().constData());
        if (decoder.isValid()) return decoder.decode(bytes);
    }
    return QString::fromUtf8(bytes);
}

void addParameter(VCardProperty &property, const QByteArray &parameter) {
    const qsizetype equals = parameter.indexOf('=');
    if (equals < 0) {
        // 2.1 lets a parameter stand without its name: "TEL;WORK;FAX", "NOTE;QUOTED-PRINTABLE".
        const QString bare = QString::fromUtf8(parameter).trimmed();
        const QString upper = bare.toUpper();
        if (upper == u"QUOTED-PRINTABLE" || upper == u"BASE64" || upper == u"8BIT" || upper == u"7BIT")
            property.parameters.append({QStringLiteral("ENCODING"), upper});
        else if (!bare.isEmpty())
            property.parameters.append({QStringLiteral("TYPE"), bare.toLower()});
        return;
    }
    const QString key = QString::fromUtf8(parameter.left(equals)).trimmed().toUpper();
    for (const QByteArray &item : splitUnquoted(parameter.mid(equals + 1), ',')) {
        const QString value = QString::fromUtf8(unquote(item.trimmed()));
        if (key != u"TYPE") {
            property.parameters.append({key, value});
            continue;
        }
        // 4.0 quotes a list of types as one value: TYPE="work,fax".
        for (const QString &type : value.split(QLatin1Char(','), Qt::SkipEmptyParts))
            property.parameters.append({key, type.trimmed().toLower()});
    }
}

std::optional<VCardProperty> parseProperty(const QByteArray &line, QString *problem) {
    const auto raw = splitLine(line);
    if (!raw) {
        *problem = QStringLiteral("a line without ':': \"%1\"").arg(QString::fromUtf8(line.left(60)));
        return std::nullopt;
    }
    const QList<QByteArray> head = splitUnquoted(raw->nameAndParameters, ';');
    VCardProperty property;
    QByteArray name = head.first().trimmed();
    if (const qsizetype dot = name.lastIndexOf('.'); dot >= 0) name = name.mid(dot + 1);  // the group
    property.name = QString::fromUtf8(name).toUpper();
    if (property.name.isEmpty()) {
        *problem = QStringLiteral("a line without a property name");
        return std::nullopt;
    }
    for (qsizetype i = 1; i < head.size(); ++i) addParameter(property, head[i]);
    const QString encoding = property.parameter(QStringLiteral("ENCODING")).toUpper();
    if (encoding == u"B" || encoding == u"BASE64") return property;  // pictures and keys: not needed
    const QByteArray bytes = encoding == u"QUOTED-PRINTABLE" ? decodeQuotedPrintable(raw->value) : raw->value;
    property.value = decodeCharset(bytes, property.parameter(QStringLiteral("CHARSET")));
    return property;
}

bool isLine(const QByteArray &line, const char *expected) {
    return QByteArrayView(line).trimmed().compare(QByteArrayView(expected), Qt::CaseInsensitive) == 0;
}

}  // namespace

QString VCardProperty::parameter(const QString &parameterName) const {
    for (const auto &[key, value] : parameters)
        if (key == parameterName) return value;
    return {};
}

bool VCardProperty::hasType(const QString &type) const {
    for (const auto &[key, value] : parameters)
        if (key == u"TYPE" && value == type) return true;
    return false;
}

QString VCardProperty::text() const {
    QString out;
    out.reserve(value.size());
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] == u'\\' && i + 1 < value.size()) {
            const QChar next = value[++i];
            out += (next == u'n' || next == u'N') ? QChar(u'\n') : next;
        } else {
            out += value[i];
        }
    }
    return out;
}

QStringList VCardProperty::components() const {
    QStringList parts;
    VCardProperty part;
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] == u'\\' && i + 1 < value.size()) {
            part.value += value[i];
            part.value += value[++i];
        } else if (value[i] == u';') {
            parts << part.text();
            part.value.clear();
        } else {
            part.value += value[i];
        }
    }
    parts << part.text();
    return parts;
}

QList<const VCardProperty *> VCard::all(const QString &name) const {
    QList<const VCardProperty *> found;
    for (const VCardProperty &property : properties)
        if (property.name == name) found << &property;
    return found;
}

std::vector<VCard> parseVCards(const QByteArray &input, QStringList *problems) {
    QByteArray text = input;
    if (text.startsWith("\xEF\xBB\xBF")) text.remove(0, 3);  // a byte order mark
    std::vector<VCard> cards;
    std::optional<VCard> card;
    QString problem;  // the first fault of the open card
    int nested = 0;   // cards inside the card (2.1 AGENT): read past, not kept
    auto report = [&](const QString &what) {
        if (problems) problems->append(what);
    };
    for (const QByteArray &line : contentLines(text)) {
        if (QByteArrayView(line).trimmed().isEmpty()) continue;
        if (isLine(line, "BEGIN:VCARD")) {
            if (card) ++nested;
            else card.emplace(), problem.clear();
            continue;
        }
        if (!card) {
            report(QStringLiteral("text outside a card"));
            return cards;  // not a card file: nothing of it is trusted
        }
        if (isLine(line, "END:VCARD")) {
            if (nested > 0) {
                --nested;
                continue;
            }
            if (problem.isEmpty()) cards.push_back(std::move(*card));
            else report(problem);
            card.reset();
            continue;
        }
        if (nested > 0 || !problem.isEmpty()) continue;
        auto property = parseProperty(line, &problem);
        if (!property) continue;
        if (property->name == u"VERSION") card->version = property->value.trimmed();
        card->properties << std::move(*property);
    }
    if (card) report(QStringLiteral("a card without END:VCARD"));
    return cards;
}

}  // namespace sendmere::mail
