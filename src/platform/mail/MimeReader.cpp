// Reading a MIME message into a mail item: this program's own X-Sendmere-* headers where it
// wrote them, what a mail reader's headers answer where another program did.
#include "platform/mail/MimeMessage.h"

#include "platform/mail/MailClient.h"
#include "platform/mail/MailCodec.h"
#include "platform/mail/MimeCommon.h"

#include <QStringList>
#include <QUrl>
#include <algorithm>

namespace sendmere::mail {
namespace {

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
        else if (is(h.name, DisplayNameHeader)) a.displayName = h.value;
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

std::optional<MessageData> codec::readMessage(const QByteArray &bytes) {
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
    // What this program wrote has every property it set; one derived from the headers and
    // saved again would change the item behind its back (a delivery time turns into a
    // Received line).
    const bool ours = std::any_of(headers.begin(), headers.end(), [](const HeaderLine &h) { return is(h.name, ClassHeader); });
    if (!ours) deriveProperties(message.get(), m);

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

std::optional<MessageSummary> codec::readSummary(const QByteArray &bytes) {
    const std::optional<MessageData> m = codec::readMessage(bytes);
    if (!m) return std::nullopt;
    MessageSummary s{m->messageId, m->subject, {}};
    for (const auto &[name, value] : m->userProperties)
        if (name.compare(QStringLiteral("FaxID"), Qt::CaseInsensitive) == 0) {
            s.faxId = value;
            break;
        }
    return s;
}

}  // namespace sendmere::mail
