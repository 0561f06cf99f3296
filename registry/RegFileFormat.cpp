// The registry editor's export format, version 5.00.
#include "RegHive.h"

#include <QStringDecoder>
#include <QStringEncoder>

namespace sendmere::registry {

namespace {

const QString kHeader = QStringLiteral("Windows Registry Editor Version 5.00");
const QString kOldHeader = QStringLiteral("REGEDIT4");
constexpr qsizetype kMaxLineWidth = 80;
constexpr quint32 kBinaryType = 3;

// ---- reading --------------------------------------------------------------------------

QString decodeText(const QByteArray &bytes, bool *failed)
{
    auto decodeWith = [&](QStringConverter::Encoding encoding, qsizetype skip) {
        QStringDecoder decoder(encoding, QStringConverter::Flag::Stateless);
        QString text = decoder(QByteArrayView(bytes).sliced(skip));
        // The decoder lets a cut-off last character and lone surrogates pass unreported.
        const bool wide = encoding != QStringConverter::Utf8;
        *failed = decoder.hasError() || !text.isValidUtf16() || (wide && (bytes.size() - skip) % 2 != 0);
        return text;
    };
    if (bytes.startsWith("\xFF\xFE"))
        return decodeWith(QStringConverter::Utf16LE, 2);
    if (bytes.startsWith("\xFE\xFF"))
        return decodeWith(QStringConverter::Utf16BE, 2);
    if (bytes.startsWith("\xEF\xBB\xBF"))
        return decodeWith(QStringConverter::Utf8, 3);
    return decodeWith(QStringConverter::Utf8, 0);
}

// A quoted text starting at text[pos] == '"', with \\ and \" escapes. On success pos is
// past the closing quote.
std::optional<QString> readQuoted(QStringView text, qsizetype &pos)
{
    QString out;
    for (qsizetype i = pos + 1; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == u'"') {
            pos = i + 1;
            return out;
        }
        if (c == u'\\' && i + 1 < text.size() && (text[i + 1] == u'\\' || text[i + 1] == u'"'))
            ++i;
        out += text[i];
    }
    return std::nullopt;
}

void skipBlanks(QStringView text, qsizetype &pos)
{
    while (pos < text.size() && text[pos].isSpace())
        ++pos;
}

std::optional<QByteArray> parseHexBytes(QStringView list)
{
    QByteArray bytes;
    const QList<QStringView> tokens = list.split(u',');
    for (qsizetype i = 0; i < tokens.size(); ++i) {
        const QStringView token = tokens[i].trimmed();
        if (token.isEmpty() && i == tokens.size() - 1 && i > 0)
            break;  // a trailing comma
        if (token.isEmpty() && tokens.size() == 1)
            break;  // no bytes at all
        bool ok = false;
        const uint byte = token.toUInt(&ok, 16);
        if (!ok || token.size() > 2)
            return std::nullopt;
        bytes.append(char(byte));
    }
    return bytes;
}

QString utf16Text(const QByteArray &bytes)
{
    QString text(bytes.size() / 2, Qt::Uninitialized);
    for (qsizetype i = 0; i < text.size(); ++i)
        text[i] = QChar(quint8(bytes[2 * i]) | quint16(quint8(bytes[2 * i + 1]) << 8));
    if (text.endsWith(QChar(0)))
        text.chop(1);  // the terminating NUL
    return text;
}

class Parser {
public:
    Parser(const QByteArray &bytes, QString rootName) : m_rootName(std::move(rootName))
    {
        bool decodeFailed = false;
        m_lines = decodeText(bytes, &decodeFailed).split(u'\n');
        for (QString &line : m_lines) {
            if (line.endsWith(u'\r'))
                line.chop(1);
        }
        if (decodeFailed)
            problem(0, QStringLiteral("the file holds bytes that are not valid text"));
    }

    ParsedFile run()
    {
        // Without its header the file is still read; a first line that holds a key or a
        // value counts as such.
        const QString head = m_lines.value(0).trimmed();
        const bool headless = head.startsWith(u'[') || head.startsWith(u'"') || head.startsWith(u'@');
        const qsizetype first = headless ? 0 : 1;
        if (head != kHeader && head != kOldHeader)
            problem(1, QStringLiteral("the first line is not \"%1\"").arg(kHeader));
        for (m_index = first; m_index < m_lines.size(); ++m_index)
            parseLine(m_lines[m_index].trimmed());
        return std::move(m_result);
    }

private:
    int lineNumber() const { return int(m_index + 1); }

    void problem(int line, const QString &message) { m_result.problems.append({line, message}); }

    void parseLine(const QString &line)
    {
        if (line.isEmpty() || line.startsWith(u';'))
            return;
        if (line.startsWith(u'['))
            parseSection(line);
        else if (line.startsWith(u'"') || line.startsWith(u'@'))
            parseValueLine(line);
        else
            problem(lineNumber(), QStringLiteral("unrecognised line"));
    }

    void parseSection(const QString &line)
    {
        m_current = nullptr;
        m_inSkippedSection = true;
        const qsizetype close = line.lastIndexOf(u']');
        if (close < 0 || !line.mid(close + 1).trimmed().isEmpty()) {
            problem(lineNumber(), QStringLiteral("key line without closing \"]\""));
            return;
        }
        const QString path = line.mid(1, close - 1);
        if (path.startsWith(u'-')) {
            problem(lineNumber(), QStringLiteral("key deletions are not kept in this file"));
            return;
        }
        const auto key = keyBelowRoot(path);
        if (!key) {
            problem(lineNumber(), QStringLiteral("key \"%1\" is not a valid key of %2").arg(path, m_rootName));
            return;
        }
        m_current = &m_result.hive.ensureKey(*key);
        m_inSkippedSection = false;
    }

    std::optional<QString> keyBelowRoot(const QString &path) const
    {
        if (!path.startsWith(m_rootName, Qt::CaseInsensitive))
            return std::nullopt;
        const QString rest = path.mid(m_rootName.size());
        if (rest.isEmpty())
            return rest;
        if (!rest.startsWith(u'\\') || rest.size() == 1)
            return std::nullopt;
        return normalizeKeyPath(rest.mid(1));
    }

    void parseValueLine(const QString &line)
    {
        if (!m_current) {
            if (!m_inSkippedSection)
                problem(lineNumber(), QStringLiteral("value outside of any key"));
            return;
        }
        qsizetype pos = 0;
        QString name;
        if (line.startsWith(u'@')) {
            pos = 1;
        } else if (auto quoted = readQuoted(line, pos)) {
            name = *quoted;
        } else {
            problem(lineNumber(), QStringLiteral("value name without closing quote"));
            return;
        }
        skipBlanks(line, pos);
        if (pos >= line.size() || line[pos] != u'=') {
            problem(lineNumber(), QStringLiteral("value without \"=\""));
            return;
        }
        ++pos;
        skipBlanks(line, pos);
        if (auto data = parseData(QStringView(line).mid(pos)))
            m_current->set(name, *data);
    }

    std::optional<std::variant<RegValue, OpaqueValue>> parseData(QStringView data)
    {
        if (data.startsWith(u'"'))
            return parseString(data);
        if (data.startsWith(u"dword:", Qt::CaseInsensitive))
            return parseDWord(data.mid(6));
        if (data.startsWith(u"hex", Qt::CaseInsensitive))
            return parseHex(data);
        if (data == u"-")
            problem(lineNumber(), QStringLiteral("value deletions are not kept in this file"));
        else
            problem(lineNumber(), QStringLiteral("unrecognised value data"));
        return std::nullopt;
    }

    std::optional<std::variant<RegValue, OpaqueValue>> parseString(QStringView data)
    {
        qsizetype pos = 0;
        const auto text = readQuoted(data, pos);
        if (!text || !data.mid(pos).trimmed().isEmpty()) {
            problem(lineNumber(), QStringLiteral("text value without closing quote"));
            return std::nullopt;
        }
        return RegValue::string(*text);
    }

    std::optional<std::variant<RegValue, OpaqueValue>> parseDWord(QStringView digits)
    {
        bool ok = false;
        const quint32 number = digits.trimmed().toUInt(&ok, 16);
        if (!ok || digits.trimmed().size() > 8) {
            problem(lineNumber(), QStringLiteral("bad 32-bit number"));
            return std::nullopt;
        }
        return RegValue::number(number);
    }

    std::optional<std::variant<RegValue, OpaqueValue>> parseHex(QStringView data)
    {
        const qsizetype colon = data.indexOf(u':');
        const auto type = colon < 0 ? std::nullopt : hexType(data.left(colon));
        if (!type) {
            problem(lineNumber(), QStringLiteral("bad value type"));
            return std::nullopt;
        }
        const int valueLine = lineNumber();
        const auto list = joinContinuedLines(data.mid(colon + 1).toString());
        const auto bytes = list ? parseHexBytes(*list) : std::nullopt;
        if (!bytes) {
            problem(valueLine, QStringLiteral("bad or incomplete byte list"));
            return std::nullopt;
        }
        return typedValue(*type, *bytes, valueLine);
    }

    static std::optional<quint32> hexType(QStringView tag)
    {
        if (tag.compare(u"hex", Qt::CaseInsensitive) == 0)
            return kBinaryType;
        if (tag.size() < 6 || !tag.endsWith(u')') || tag.at(3) != u'(')
            return std::nullopt;
        bool ok = false;
        const quint32 type = tag.mid(4, tag.size() - 5).toUInt(&ok, 16);
        return ok ? std::optional(type) : std::nullopt;
    }

    // A byte list may go on over lines that end with "\"; a blank line or one that starts a
    // key or a value ends it, so a cut-off list never swallows what follows.
    std::optional<QString> joinContinuedLines(QString list)
    {
        list = list.trimmed();
        while (list.endsWith(u'\\')) {
            list.chop(1);
            const QString next = m_lines.value(m_index + 1).trimmed();
            if (m_index + 1 >= m_lines.size() || next.isEmpty() || next.startsWith(u'[')
                || next.startsWith(u'"') || next.startsWith(u'@'))
                return std::nullopt;
            ++m_index;
            list += next;
        }
        return list;
    }

    std::optional<std::variant<RegValue, OpaqueValue>> typedValue(quint32 type, const QByteArray &bytes,
                                                                   int line)
    {
        const bool text = type == quint32(ValueType::String) || type == quint32(ValueType::ExpandString);
        if (text && bytes.size() % 2 != 0) {
            problem(line, QStringLiteral("text value with an odd number of bytes"));
            return std::nullopt;
        }
        if (type == quint32(ValueType::String))
            return RegValue::string(utf16Text(bytes));
        if (type == quint32(ValueType::ExpandString))
            return RegValue::expandString(utf16Text(bytes));
        if (type == quint32(ValueType::DWord) && bytes.size() == 4)
            return RegValue::number(quint32(quint8(bytes[0])) | quint32(quint8(bytes[1])) << 8
                                    | quint32(quint8(bytes[2])) << 16 | quint32(quint8(bytes[3])) << 24);
        const QString tag = type == kBinaryType ? QStringLiteral("hex")
                                                : QStringLiteral("hex(%1)").arg(type, 0, 16);
        return OpaqueValue{tag, bytes};
    }

    QString m_rootName;
    QStringList m_lines;
    qsizetype m_index = 0;
    HiveKey *m_current = nullptr;
    bool m_inSkippedSection = false;
    ParsedFile m_result;
};

// ---- writing --------------------------------------------------------------------------

QString quoted(const QString &text)
{
    QString escaped = text;
    escaped.replace(u'\\', QStringLiteral("\\\\"));
    escaped.replace(u'"', QStringLiteral("\\\""));
    return u'"' + escaped + u'"';
}

QByteArray utf16Bytes(const QString &text)
{
    QByteArray bytes;
    bytes.reserve((text.size() + 1) * 2);
    for (QChar c : text) {
        bytes.append(char(c.unicode() & 0xFF));
        bytes.append(char(c.unicode() >> 8));
    }
    bytes.append(2, '\0');  // the terminating NUL belongs to the stored data
    return bytes;
}

// "name=hex(2):41,00,..." wrapped like the registry editor: lines of at most 80 columns
// continued with ",\" and indented by two blanks.
QString hexLine(const QString &prefix, const QByteArray &bytes)
{
    QString out;
    QString line = prefix;
    qsizetype tokensOnLine = 0;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        QString token = QStringLiteral("%1").arg(quint8(bytes[i]), 2, 16, QChar(u'0'));
        if (i + 1 < bytes.size())
            token += u',';
        if (tokensOnLine > 0 && line.size() + token.size() + 1 > kMaxLineWidth) {
            out += line + QStringLiteral("\\\r\n");
            line = QStringLiteral("  ");
            tokensOnLine = 0;
        }
        line += token;
        ++tokensOnLine;
    }
    return out + line + QStringLiteral("\r\n");
}

bool fitsInQuotes(const QString &text)
{
    return !text.contains(u'\r') && !text.contains(u'\n') && !text.contains(QChar(0));
}

QString valueLine(const StoredValue &value)
{
    const QString name = value.name.isEmpty() ? QStringLiteral("@") : quoted(value.name);
    if (const auto *opaque = std::get_if<OpaqueValue>(&value.data))
        return hexLine(name + u'=' + opaque->typeTag + u':', opaque->bytes);
    const RegValue &v = std::get<RegValue>(value.data);
    switch (v.type) {
    case ValueType::DWord:
        return name + QStringLiteral("=dword:%1\r\n").arg(v.dword, 8, 16, QChar(u'0'));
    case ValueType::ExpandString:
        return hexLine(name + QStringLiteral("=hex(2):"), utf16Bytes(v.text));
    case ValueType::String:
        break;
    }
    if (fitsInQuotes(v.text))
        return name + u'=' + quoted(v.text) + QStringLiteral("\r\n");
    return hexLine(name + QStringLiteral("=hex(1):"), utf16Bytes(v.text));
}

}  // namespace

ParsedFile parseRegFile(const QByteArray &bytes, const QString &rootName)
{
    return Parser(bytes, rootName).run();
}

QByteArray formatRegFile(const Hive &hive, const QString &rootName)
{
    QString text = kHeader + QStringLiteral("\r\n\r\n");
    for (const HiveKey *key : hive.keys()) {
        if (key->path.isEmpty() && key->values.isEmpty())
            continue;  // the root key exists anyway
        text += u'[' + rootName + (key->path.isEmpty() ? QString() : u'\\' + key->path) + QStringLiteral("]\r\n");
        for (const StoredValue &value : key->values)
            text += valueLine(value);
        text += QStringLiteral("\r\n");
    }
    QStringEncoder encoder(QStringConverter::Utf16LE, QStringConverter::Flag::WriteBom);
    return encoder(text);
}

}  // namespace sendmere::registry
