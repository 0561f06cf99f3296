#include "platform/mail/MimeMessage.h"

#include "platform/mail/MailClient.h"

#include <QLocale>
#include <QMimeDatabase>
#include <QRegularExpression>
#include <QUrl>
#include <algorithm>
#include <memory>
#include <mutex>

#include <gmime/gmime.h>

namespace sendmere::mail {
namespace {

template <typename T>
struct GObjectUnref {
    void operator()(T *object) const {
        if (object) g_object_unref(object);
    }
};
template <typename T>
using GPtr = std::unique_ptr<T, GObjectUnref<T>>;

struct GFree {
    void operator()(char *text) const { g_free(text); }
};
using GString8 = std::unique_ptr<char, GFree>;

constexpr const char *ClassHeader = "X-Sendmere-Class";
constexpr const char *ToHeader = "X-Sendmere-To";
constexpr const char *UserPropertyHeader = "X-Sendmere-User-Property";
constexpr const char *PropertyHeader = "X-Sendmere-Property";
constexpr const char *PositionHeader = "X-Sendmere-Position";
constexpr const char *FileNameHeader = "X-Sendmere-File-Name";
constexpr const char *ReceivedByUs = "by sendmere";
// Fax numbers have no mail domain; the reserved one keeps them valid addresses that never route.
constexpr const char *FaxDomain = "fax.invalid";

QByteArray utf8(const QString &text) { return text.toUtf8(); }
QString fromUtf8(const char *text) { return text ? QString::fromUtf8(text) : QString(); }

// ---- addresses ----------------------------------------------------------------------------

QString faxAddress(const QString &number) {
    QString digits;
    for (const QChar c : number)
        if (c.isLetterOrNumber() || c == u'+' || c == u'-' || c == u'.') digits.append(c);
    return QStringLiteral("FAX=%1@%2").arg(digits, QLatin1String(FaxDomain));
}

// The address of a name, an address and its type; a fax number becomes a fax address.
QString mailAddress(const QString &email, const QString &addrType) {
    if (email.isEmpty()) return {};
    if (addrType.compare(QStringLiteral("SMTP"), Qt::CaseInsensitive) == 0 || email.contains(u'@')) return email;
    return faxAddress(email);
}

void addAddress(InternetAddressList *list, const QString &name, const QString &address) {
    if (address.isEmpty() && name.isEmpty()) return;
    GPtr<InternetAddress> entry(address.isEmpty()
                                    ? internet_address_group_new(utf8(name).constData())
                                    : internet_address_mailbox_new(utf8(name).constData(), utf8(address).constData()));
    internet_address_list_add(list, entry.get());
}

QString textProperty(const MessageData &m, quint32 t) { return m.properties.value(t).toString(); }

// One entry of the To text: "Name[Fax:number]" as a fax address, an entry with "@" as
// itself, the received-by name with its address, anything else as a name alone.
void addToEntry(InternetAddressList *list, const QString &entry, const MessageData &m) {
    static const QRegularExpression faxEntry(QStringLiteral(R"(^(.*)\[Fax:([^\]]*)\]$)"));
    const QRegularExpressionMatch match = faxEntry.match(entry);
    if (match.hasMatch()) {
        addAddress(list, match.captured(1).trimmed(), faxAddress(match.captured(2)));
    } else if (entry.contains(u'@')) {
        GPtr<InternetAddressList> parsed(internet_address_list_parse(nullptr, utf8(entry).constData()));
        if (parsed) internet_address_list_append(list, parsed.get());
    } else if (entry == textProperty(m, tag::PR_RECEIVED_BY_NAME)) {
        addAddress(list, entry, mailAddress(textProperty(m, tag::PR_RECEIVED_BY_EMAIL_ADDRESS),
                                            textProperty(m, tag::PR_RECEIVED_BY_ADDRTYPE)));
    } else {
        addAddress(list, entry, QString());
    }
}

QString displayNames(InternetAddressList *list) {
    QStringList names;
    const int n = list ? internet_address_list_length(list) : 0;
    for (int i = 0; i < n; ++i) {
        InternetAddress *address = internet_address_list_get_address(list, i);
        QString name = fromUtf8(internet_address_get_name(address));
        if (name.isEmpty() && INTERNET_ADDRESS_IS_MAILBOX(address))
            name = fromUtf8(internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(address)));
        names.append(name);
    }
    return names.join(QStringLiteral("; "));
}

// ---- properties ----------------------------------------------------------------------------

QByteArray propertyLine(quint32 t, const QVariant &value) {
    return QByteArray::number(t, 16).toUpper().rightJustified(8, '0') + '=' + formatProperty(t, value);
}

std::optional<QPair<quint32, QVariant>> parsePropertyLine(const QString &line) {
    const qsizetype eq = line.indexOf(u'=');
    if (eq != 8) return std::nullopt;
    bool ok = false;
    const quint32 t = line.left(8).toUInt(&ok, 16);
    if (!ok) return std::nullopt;
    return QPair<quint32, QVariant>(t, parseProperty(t, line.mid(9)));
}

// ---- parts -----------------------------------------------------------------------------------

GPtr<GMimeStream> memoryStream(const QByteArray &bytes) {
    return GPtr<GMimeStream>(g_mime_stream_mem_new_with_buffer(bytes.constData(), size_t(bytes.size())));
}

QByteArray streamBytes(GMimeStream *stream) {
    GByteArray *array = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(stream));
    return array ? QByteArray(reinterpret_cast<const char *>(array->data), qsizetype(array->len)) : QByteArray();
}

GPtr<GMimeObject> textPart(const char *subtype, const QString &text) {
    GPtr<GMimeTextPart> part(g_mime_text_part_new_with_subtype(subtype));
    // Every text ends with a line end of its own, which reading takes off again, so that
    // the text reads back exactly whether or not a boundary follows it.
    g_mime_text_part_set_text(part.get(), utf8(text + u'\n').constData());
    g_mime_part_set_content_encoding(GMIME_PART(part.get()),
                                     g_mime_part_get_best_content_encoding(GMIME_PART(part.get()), GMIME_ENCODING_CONSTRAINT_7BIT));
    return GPtr<GMimeObject>(GMIME_OBJECT(part.release()));
}

QString mimeTypeOf(const StoredAttachment &a) {
    const QString tagged = a.fields.value(tag::PR_ATTACH_MIME_TAG).toString();
    if (tagged.contains(u'/')) return tagged;
    static const QMimeDatabase database;
    return database.mimeTypeForFileNameAndData(a.fileName, a.data).name();
}

bool isInline(const StoredAttachment &a) { return a.fields.contains(tag::PR_ATTACH_CONTENT_ID); }

GPtr<GMimeObject> attachmentPart(const StoredAttachment &a, int position, const QString &html) {
    const QStringList type = mimeTypeOf(a).split(u'/');
    GPtr<GMimePart> part(g_mime_part_new_with_type(utf8(type.value(0)).constData(), utf8(type.value(1)).constData()));
    GPtr<GMimeStream> stream = memoryStream(a.data);
    GPtr<GMimeDataWrapper> wrapper(g_mime_data_wrapper_new_with_stream(stream.get(), GMIME_CONTENT_ENCODING_DEFAULT));
    g_mime_part_set_content(part.get(), wrapper.get());
    g_mime_part_set_content_encoding(part.get(), GMIME_CONTENT_ENCODING_BASE64);
    // Mail readers show the part's file name: the name the item shows for it.
    g_mime_part_set_filename(part.get(), utf8(a.displayName.isEmpty() ? a.fileName : a.displayName).constData());
    GMimeObject *object = GMIME_OBJECT(part.get());
    if (isInline(a)) {
        g_mime_object_set_disposition(object, GMIME_DISPOSITION_INLINE);
        // The HTML refers to an inline picture either by its file name or by its content id.
        const bool byFileName = html.contains(QStringLiteral("cid:") + a.fileName, Qt::CaseInsensitive);
        const QString contentId = byFileName ? a.fileName : a.fields.value(tag::PR_ATTACH_CONTENT_ID).toString();
        g_mime_part_set_content_id(part.get(), utf8(contentId).constData());
    }
    g_mime_object_append_header(object, FileNameHeader, utf8(a.fileName).constData(), "utf-8");
    g_mime_object_append_header(object, PositionHeader, QByteArray::number(position).constData(), nullptr);
    for (auto it = a.fields.cbegin(); it != a.fields.cend(); ++it)
        g_mime_object_append_header(object, PropertyHeader, propertyLine(it.key(), it.value()).constData(), "utf-8");
    return GPtr<GMimeObject>(GMIME_OBJECT(part.release()));
}

GPtr<GMimeObject> multipart(const char *subtype, std::vector<GPtr<GMimeObject>> children) {
    GPtr<GMimeMultipart> parent(g_mime_multipart_new_with_subtype(subtype));
    for (const GPtr<GMimeObject> &child : children) g_mime_multipart_add(parent.get(), child.get());
    return GPtr<GMimeObject>(GMIME_OBJECT(parent.release()));
}

// text/plain and text/html side by side, the inline pictures beside the HTML, the other
// attachments after them: the shape mail readers show as one body with attachments.
GPtr<GMimeObject> bodyTree(const MessageData &m) {
    std::vector<GPtr<GMimeObject>> inlines, attached;
    for (int i = 0; i < m.attachments.size(); ++i) {
        GPtr<GMimeObject> part = attachmentPart(m.attachments[i], i + 1, m.htmlBody);
        (isInline(m.attachments[i]) && !m.htmlBody.isEmpty() ? inlines : attached).push_back(std::move(part));
    }
    GPtr<GMimeObject> content;
    if (!m.htmlBody.isEmpty()) {
        GPtr<GMimeObject> html = textPart("html", m.htmlBody);
        if (!inlines.empty()) {
            std::vector<GPtr<GMimeObject>> related;
            related.push_back(std::move(html));
            for (GPtr<GMimeObject> &p : inlines) related.push_back(std::move(p));
            html = multipart("related", std::move(related));
            g_mime_object_set_content_type_parameter(html.get(), "type", "text/html");
        }
        if (m.body.isEmpty()) {
            content = std::move(html);
        } else {
            std::vector<GPtr<GMimeObject>> alternatives;
            alternatives.push_back(textPart("plain", m.body));
            alternatives.push_back(std::move(html));
            content = multipart("alternative", std::move(alternatives));
        }
    } else {
        content = textPart("plain", m.body);
    }
    if (attached.empty()) return content;
    std::vector<GPtr<GMimeObject>> mixed;
    mixed.push_back(std::move(content));
    for (GPtr<GMimeObject> &p : attached) mixed.push_back(std::move(p));
    return multipart("mixed", std::move(mixed));
}

void setDateHeader(GMimeMessage *message, const MessageData &m) {
    QDateTime when = m.properties.value(tag::PR_CLIENT_SUBMIT_TIME).toDateTime();
    if (!when.isValid()) when = m.properties.value(tag::PR_MESSAGE_DELIVERY_TIME).toDateTime();
    if (!when.isValid()) when = m.created.isValid() ? m.created : QDateTime::currentDateTime();
    GDateTime *date = g_date_time_new_from_unix_local(when.toSecsSinceEpoch());
    g_mime_message_set_date(message, date);
    g_date_time_unref(date);
    const QDateTime delivered = m.properties.value(tag::PR_MESSAGE_DELIVERY_TIME).toDateTime();
    if (delivered.isValid()) {
        const QDateTime local = delivered.toLocalTime();
        const int offset = local.offsetFromUtc() / 60;
        const QString zone = QStringLiteral("%1%2%3")
                                 .arg(offset < 0 ? u'-' : u'+')
                                 .arg(qAbs(offset) / 60, 2, 10, QLatin1Char('0'))
                                 .arg(qAbs(offset) % 60, 2, 10, QLatin1Char('0'));
        const QByteArray line = QByteArray(ReceivedByUs) + "; "
                                + QLocale::c().toString(local, QStringLiteral("ddd, dd MMM yyyy HH:mm:ss ")).toLatin1()
                                + zone.toLatin1();
        g_mime_object_prepend_header(GMIME_OBJECT(message), "Received", line.constData(), nullptr);
    }
}

void setAddressHeaders(GMimeMessage *message, const MessageData &m) {
    using namespace tag;
    const auto person = [&](quint32 name, quint32 email, quint32 type) {
        return QPair<QString, QString>(textProperty(m, name), mailAddress(textProperty(m, email), textProperty(m, type)));
    };
    auto from = person(PR_SENT_REPRESENTING_NAME, PR_SENT_REPRESENTING_EMAIL_ADDRESS, PR_SENT_REPRESENTING_ADDRTYPE);
    const auto sender = person(PR_SENDER_NAME, PR_SENDER_EMAIL_ADDRESS, PR_SENDER_ADDRTYPE);
    if (from.first.isEmpty() && from.second.isEmpty()) from = sender;
    addAddress(g_mime_message_get_addresses(message, GMIME_ADDRESS_TYPE_FROM), from.first, from.second);
    if (sender != from) addAddress(g_mime_message_get_addresses(message, GMIME_ADDRESS_TYPE_SENDER), sender.first, sender.second);

    InternetAddressList *to = g_mime_message_get_addresses(message, GMIME_ADDRESS_TYPE_TO);
    for (const QString &entry : m.to.split(u';', Qt::SkipEmptyParts)) addToEntry(to, entry.trimmed(), m);
    const QString deliveredTo = mailAddress(textProperty(m, PR_RECEIVED_BY_EMAIL_ADDRESS), textProperty(m, PR_RECEIVED_BY_ADDRTYPE));
    if (!deliveredTo.isEmpty())
        g_mime_object_append_header(GMIME_OBJECT(message), "Delivered-To", utf8(deliveredTo).constData(), nullptr);
}

void setImportanceHeaders(GMimeObject *object, int importance) {
    static const char *names[] = {"low", "normal", "high"};
    static const char *priorities[] = {"5 (Lowest)", "3 (Normal)", "1 (Highest)"};
    const int i = std::clamp(importance, 0, 2);
    g_mime_object_append_header(object, "Importance", names[i], nullptr);
    g_mime_object_append_header(object, "X-Priority", priorities[i], nullptr);
}

// ---- reading ---------------------------------------------------------------------------------

struct HeaderLine {
    QByteArray name;
    QString value;
};

QList<HeaderLine> headersOf(GMimeObject *object) {
    QList<HeaderLine> lines;
    GMimeHeaderList *list = g_mime_object_get_header_list(object);
    const int n = list ? g_mime_header_list_get_count(list) : 0;
    for (int i = 0; i < n; ++i) {
        GMimeHeader *header = g_mime_header_list_get_header_at(list, i);
        lines.append({QByteArray(g_mime_header_get_name(header)), fromUtf8(g_mime_header_get_value(header))});
    }
    return lines;
}

bool is(const QByteArray &name, const char *wanted) { return name.compare(wanted, Qt::CaseInsensitive) == 0; }

bool coveredHeader(const HeaderLine &h) {
    static const char *covered[] = {"From", "Sender", "To", "Delivered-To", "Date", "Subject", "Message-ID",
                                    "MIME-Version", "Importance", "X-Priority"};
    if (h.name.toLower().startsWith("content-") || h.name.toLower().startsWith("x-sendmere-")) return true;
    if (is(h.name, "Received") && h.value.startsWith(QLatin1String(ReceivedByUs))) return true;
    return std::any_of(std::begin(covered), std::end(covered), [&](const char *c) { return is(h.name, c); });
}

QByteArray partContent(GMimePart *part) {
    GMimeDataWrapper *content = g_mime_part_get_content(part);
    if (!content) return {};
    GPtr<GMimeStream> out(g_mime_stream_mem_new());
    g_mime_data_wrapper_write_to_stream(content, out.get());
    return streamBytes(out.get());
}

QString partText(GMimeObject *object) {
    GString8 text(g_mime_text_part_get_text(GMIME_TEXT_PART(object)));
    QString result = fromUtf8(text.get());
    if (result.endsWith(u'\n')) result.chop(result.endsWith(QLatin1String("\r\n")) ? 2 : 1);
    return result;
}

struct PartWalk {
    MessageData *message = nullptr;
    bool haveBody = false, haveHtml = false;
    QList<QPair<int, StoredAttachment>> attachments;  // with their stored position
};

StoredAttachment readAttachment(GMimeObject *object, int *position) {
    StoredAttachment a;
    if (GMIME_IS_PART(object)) {
        a.displayName = fromUtf8(g_mime_part_get_filename(GMIME_PART(object)));
        a.fileName = a.displayName;
        a.data = partContent(GMIME_PART(object));
        const QString contentId = fromUtf8(g_mime_part_get_content_id(GMIME_PART(object)));
        if (!contentId.isEmpty()) a.fields.insert(tag::PR_ATTACH_CONTENT_ID, contentId);
    } else {  // an attached message
        GPtr<GMimeStream> out(g_mime_stream_mem_new());
        if (GMimeMessage *inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object)))
            g_mime_object_write_to_stream(GMIME_OBJECT(inner), nullptr, out.get());
        a.data = streamBytes(out.get());
        a.fileName = a.displayName = QStringLiteral("message.eml");
    }
    GMimeContentType *type = g_mime_object_get_content_type(object);
    GString8 mime(g_mime_content_type_get_mime_type(type));
    a.fields.insert(tag::PR_ATTACH_MIME_TAG, fromUtf8(mime.get()));
    for (const HeaderLine &h : headersOf(object)) {
        if (is(h.name, FileNameHeader)) a.fileName = h.value;
        else if (is(h.name, PositionHeader)) *position = h.value.trimmed().toInt();
        else if (is(h.name, PropertyHeader))
            if (const auto p = parsePropertyLine(h.value)) a.fields.insert(p->first, p->second);
    }
    if (a.displayName.isEmpty()) a.displayName = a.fileName;
    if (a.fileName.isEmpty()) a.fileName = a.displayName;
    return a;
}

void visitPart(GMimeObject *, GMimeObject *part, gpointer data) {
    auto *walk = static_cast<PartWalk *>(data);
    if (GMIME_IS_MULTIPART(part)) return;  // its children are visited on their own
    GMimeContentDisposition *disposition = g_mime_object_get_content_disposition(part);
    const bool attachment = disposition && g_mime_content_disposition_is_attachment(disposition);
    if (GMIME_IS_TEXT_PART(part) && !attachment) {
        GMimeContentType *type = g_mime_object_get_content_type(part);
        if (!walk->haveBody && g_mime_content_type_is_type(type, "text", "plain")) {
            walk->message->body = partText(part);
            walk->haveBody = true;
            return;
        }
        if (!walk->haveHtml && g_mime_content_type_is_type(type, "text", "html")) {
            walk->message->htmlBody = partText(part);
            walk->haveHtml = true;
            return;
        }
    }
    int position = 1 << 30;  // parts without a stored position keep their order, after the others
    StoredAttachment a = readAttachment(part, &position);
    walk->attachments.append({position, std::move(a)});
}

int importanceFrom(const QList<HeaderLine> &headers) {
    for (const HeaderLine &h : headers) {
        if (is(h.name, "Importance")) {
            const QString v = h.value.trimmed().toLower();
            return v == QLatin1String("high") ? 2 : v == QLatin1String("low") ? 0 : 1;
        }
    }
    for (const HeaderLine &h : headers) {
        if (is(h.name, "X-Priority")) {
            const int p = h.value.trimmed().left(1).toInt();
            return p == 1 || p == 2 ? 2 : p == 4 || p == 5 ? 0 : 1;
        }
    }
    return 1;
}

// A message another program wrote has no stored properties; those a mail reader's headers
// answer are taken from them.
void deriveProperties(GMimeMessage *message, MessageData &m) {
    using namespace tag;
    InternetAddressList *from = g_mime_message_get_from(message);
    if (from && internet_address_list_length(from) > 0) {
        InternetAddress *a = internet_address_list_get_address(from, 0);
        const QString name = fromUtf8(internet_address_get_name(a));
        const QString addr = INTERNET_ADDRESS_IS_MAILBOX(a) ? fromUtf8(internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(a))) : QString();
        for (auto [t, v] : {QPair<quint32, QString>(PR_SENDER_NAME, name), {PR_SENDER_EMAIL_ADDRESS, addr},
                            {PR_SENT_REPRESENTING_NAME, name}, {PR_SENT_REPRESENTING_EMAIL_ADDRESS, addr}})
            if (!m.properties.contains(t)) m.properties.insert(t, v);
        for (quint32 t : {PR_SENDER_ADDRTYPE, PR_SENT_REPRESENTING_ADDRTYPE})
            if (!m.properties.contains(t)) m.properties.insert(t, QStringLiteral("SMTP"));
    }
    if (!m.properties.contains(PR_CLIENT_SUBMIT_TIME) && m.created.isValid()) m.properties.insert(PR_CLIENT_SUBMIT_TIME, m.created.toUTC());
    if (!m.properties.contains(PR_MESSAGE_DELIVERY_TIME) && m.created.isValid()) m.properties.insert(PR_MESSAGE_DELIVERY_TIME, m.created.toUTC());
    if (!m.properties.contains(PR_DISPLAY_TO) && !m.to.isEmpty()) m.properties.insert(PR_DISPLAY_TO, m.to);
}

GPtr<GMimeMessage> parse(const QByteArray &bytes) {
    GPtr<GMimeStream> stream = memoryStream(bytes);
    GPtr<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
    return GPtr<GMimeMessage>(g_mime_parser_construct_message(parser.get(), nullptr));
}

}  // namespace

void initMime() {
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

QByteArray formatProperty(quint32 t, const QVariant &value) {
    switch (tag::type(t)) {
    case tag::PT_SYSTIME:
        return value.toDateTime().toUTC().toString(Qt::ISODate).toLatin1();
    case tag::PT_SHORT:
    case tag::PT_LONG:
        return QByteArray::number(value.toLongLong());
    case tag::PT_BOOLEAN:
        return value.toBool() ? "1" : "0";
    default:
        // One header line: line ends would end the header.
        return value.toString().replace(u'\r', u' ').replace(u'\n', u' ').toUtf8();
    }
}

QVariant parseProperty(quint32 t, const QString &text) {
    switch (tag::type(t)) {
    case tag::PT_SYSTIME:
        return QDateTime::fromString(text.trimmed(), Qt::ISODate).toUTC();
    case tag::PT_SHORT:
        return QVariant::fromValue(qint16(text.trimmed().toInt()));
    case tag::PT_LONG:
        return text.trimmed().toInt();
    case tag::PT_BOOLEAN:
        return text.trimmed() == QLatin1String("1");
    default:
        return text;
    }
}

QByteArray writeMessage(const MessageData &m) {
    initMime();
    GPtr<GMimeMessage> message(g_mime_message_new(TRUE));
    GMimeObject *object = GMIME_OBJECT(message.get());
    g_mime_message_set_message_id(message.get(), utf8(m.messageId).constData());
    setAddressHeaders(message.get(), m);
    g_mime_message_set_subject(message.get(), utf8(m.subject).constData(), "utf-8");
    setDateHeader(message.get(), m);
    setImportanceHeaders(object, m.importance);
    g_mime_object_append_header(object, ClassHeader, utf8(m.messageClass).constData(), "utf-8");
    g_mime_object_append_header(object, ToHeader, utf8(m.to).constData(), "utf-8");
    for (const auto &[name, value] : m.userProperties) {
        const QByteArray line = QUrl::toPercentEncoding(name, " ") + '=' + formatProperty(tag::PT_STRING8, value);
        g_mime_object_append_header(object, UserPropertyHeader, line.constData(), "utf-8");
    }
    for (auto it = m.properties.cbegin(); it != m.properties.cend(); ++it)
        g_mime_object_append_header(object, PropertyHeader, propertyLine(it.key(), it.value()).constData(), "utf-8");
    for (const auto &[name, value] : m.otherHeaders)
        g_mime_object_append_header(object, name.constData(), value.constData(), "utf-8");
    GPtr<GMimeObject> body = bodyTree(m);
    g_mime_message_set_mime_part(message.get(), body.get());

    GPtr<GMimeStream> out(g_mime_stream_mem_new());
    g_mime_object_write_to_stream(object, nullptr, out.get());
    return streamBytes(out.get());
}

std::optional<MessageData> readMessage(const QByteArray &bytes) {
    initMime();
    if (bytes.trimmed().isEmpty()) return std::nullopt;
    GPtr<GMimeMessage> message = parse(bytes);
    if (!message) return std::nullopt;
    MessageData m;
    m.messageId = fromUtf8(g_mime_message_get_message_id(message.get()));
    m.subject = fromUtf8(g_mime_message_get_subject(message.get()));
    if (GDateTime *date = g_mime_message_get_date(message.get()))
        m.created = QDateTime::fromSecsSinceEpoch(g_date_time_to_unix(date));
    const QList<HeaderLine> headers = headersOf(GMIME_OBJECT(message.get()));
    m.importance = importanceFrom(headers);
    bool haveTo = false;
    for (const HeaderLine &h : headers) {
        if (is(h.name, ClassHeader)) {
            m.messageClass = h.value;
        } else if (is(h.name, ToHeader)) {
            m.to = h.value;
            haveTo = true;
        } else if (is(h.name, UserPropertyHeader)) {
            const qsizetype eq = h.value.indexOf(u'=');
            if (eq > 0) m.userProperties.append({QUrl::fromPercentEncoding(h.value.left(eq).toUtf8()), h.value.mid(eq + 1)});
        } else if (is(h.name, PropertyHeader)) {
            if (const auto p = parsePropertyLine(h.value)) m.properties.insert(p->first, p->second);
        } else if (!coveredHeader(h)) {
            m.otherHeaders.append({h.name, h.value.toUtf8()});
        }
    }
    if (!haveTo) m.to = displayNames(g_mime_message_get_to(message.get()));
    deriveProperties(message.get(), m);

    PartWalk walk;
    walk.message = &m;
    if (GMimeObject *root = g_mime_message_get_mime_part(message.get())) {
        if (GMIME_IS_MULTIPART(root) || GMIME_IS_PART(root) || GMIME_IS_MESSAGE_PART(root)) {
            if (GMIME_IS_MULTIPART(root)) g_mime_multipart_foreach(GMIME_MULTIPART(root), visitPart, &walk);
            else visitPart(nullptr, root, &walk);
        }
    }
    std::stable_sort(walk.attachments.begin(), walk.attachments.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    for (auto &[position, a] : walk.attachments) m.attachments.append(std::move(a));
    return m;
}

std::optional<MessageSummary> readSummary(const QByteArray &bytes) {
    const std::optional<MessageData> m = readMessage(bytes);
    if (!m) return std::nullopt;
    MessageSummary s{m->messageId, m->subject, {}};
    for (const auto &[name, value] : m->userProperties)
        if (name.compare(QStringLiteral("FaxID"), Qt::CaseInsensitive) == 0) {
            s.faxId = value;
            break;
        }
    return s;
}

AutomationError notFound(const QString &what) {
    return {err::MapiNotFound, QStringLiteral("The %1 could not be found. It may have been moved or deleted.").arg(what)};
}

}  // namespace sendmere::mail
