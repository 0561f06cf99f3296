// Writing a mail item as a MIME message: the addresses and headers a mail reader looks at,
// the body with its attachments, and the X-Sendmere-* headers that keep every field exact.
#include "platform/mail/MimeMessage.h"

#include "platform/mail/MailClient.h"
#include "platform/mail/MailCodec.h"
#include "platform/mail/MimeCommon.h"

#include <QFileInfo>
#include <QLocale>
#include <QMimeDatabase>
#include <QSysInfo>
#include <QRegularExpression>
#include <QUrl>
#include <algorithm>
#include <vector>

#include <pwd.h>
#include <unistd.h>

namespace sendmere::mail {
namespace {

// Fax numbers have no mail domain; the reserved one keeps them valid addresses that never route.
constexpr const char *FaxDomain = "fax.invalid";

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
        // The whole "Name[Fax:number]" text is what the item shows for its recipient.
        addAddress(list, entry, faxAddress(match.captured(2)));
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

// ---- parts -----------------------------------------------------------------------------------

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

QString shownName(const StoredAttachment &a) { return a.displayName.isEmpty() ? a.fileName : a.displayName; }

// The name a saved copy of the part gets: the name the item shows, with the extension of
// its type when that name has none, so that the copy opens in a viewer. A fax image ends in
// ".tif", the form every viewer knows.
QString mimeFileName(const StoredAttachment &a) {
    const QString shown = shownName(a);
    if (!QFileInfo(shown).suffix().isEmpty()) return shown;
    const QString type = mimeTypeOf(a);
    QString suffix = QFileInfo(a.fileName).suffix();
    if (type == QLatin1String("image/tiff")) {
        suffix = QStringLiteral("tif");
    } else if (suffix.isEmpty()) {
        static const QMimeDatabase database;
        suffix = database.mimeTypeForName(type).preferredSuffix();
    }
    return suffix.isEmpty() ? shown : shown + u'.' + suffix;
}

GPtr<GMimeObject> attachmentPart(const StoredAttachment &a, int position, const QString &html) {
    const QStringList type = mimeTypeOf(a).split(u'/');
    GPtr<GMimePart> part(g_mime_part_new_with_type(utf8(type.value(0)).constData(), utf8(type.value(1)).constData()));
    GPtr<GMimeStream> stream = memoryStream(a.data);
    GPtr<GMimeDataWrapper> wrapper(g_mime_data_wrapper_new_with_stream(stream.get(), GMIME_CONTENT_ENCODING_DEFAULT));
    g_mime_part_set_content(part.get(), wrapper.get());
    g_mime_part_set_content_encoding(part.get(), GMIME_CONTENT_ENCODING_BASE64);
    // Mail readers show and save the part under its file name; the item's own name for it
    // is kept beside when the two differ.
    const QString fileName = mimeFileName(a);
    g_mime_part_set_filename(part.get(), utf8(fileName).constData());
    GMimeObject *object = GMIME_OBJECT(part.get());
    if (fileName != shownName(a)) g_mime_object_append_header(object, DisplayNameHeader, utf8(shownName(a)).constData(), "utf-8");
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

// A date as RFC 5322 writes it, in local time with the offset in force at that moment:
// "Sun, 06 Dec 2026 11:10:12 +0100".
QByteArray rfc5322Date(const QDateTime &t) {
    const QDateTime local = t.toLocalTime();
    const int offset = local.offsetFromUtc() / 60;
    const QByteArray zone = QByteArray(offset < 0 ? "-" : "+") + QByteArray::number(qAbs(offset) / 60).rightJustified(2, '0') +
                            QByteArray::number(qAbs(offset) % 60).rightJustified(2, '0');
    return QLocale::c().toString(local, QStringLiteral("ddd, dd MMM yyyy HH:mm:ss ")).toLatin1() + zone;
}

// The Date header is the item's own time, the true moment of what it stands for. Items
// written without one take a messaging time property, read as the universal time it is.
void setDateHeader(GMimeMessage *message, const MessageData &m) {
    QDateTime when = m.created;
    if (!when.isValid()) when = m.properties.value(tag::PR_CLIENT_SUBMIT_TIME).toDateTime();
    if (!when.isValid()) when = m.properties.value(tag::PR_MESSAGE_DELIVERY_TIME).toDateTime();
    if (!when.isValid()) when = QDateTime::currentDateTime();
    g_mime_object_set_header(GMIME_OBJECT(message), "Date", rfc5322Date(when).constData(), nullptr);
    // An item with a delivery time was received: at its own time, as its Date says.
    const QDateTime delivered = m.properties.value(tag::PR_MESSAGE_DELIVERY_TIME).toDateTime();
    if (delivered.isValid()) {
        const QByteArray line = QByteArray(ReceivedByUs) + "; " + rfc5322Date(m.created.isValid() ? m.created : delivered);
        g_mime_object_prepend_header(GMIME_OBJECT(message), "Received", line.constData(), nullptr);
    }
}

QPair<QString, QString> accountAuthor() {
    const passwd *account = ::getpwuid(::getuid());
    const QString login = account && account->pw_name ? QString::fromLocal8Bit(account->pw_name) : QStringLiteral("user");
    QString name = account && account->pw_gecos ? QString::fromLocal8Bit(account->pw_gecos).section(u',', 0, 0).trimmed() : QString();
    if (name.isEmpty()) name = login;
    QString host = QSysInfo::machineHostName();
    static const QRegularExpression hostName(QStringLiteral("^[A-Za-z0-9-]+(\\.[A-Za-z0-9-]+)*$"));
    if (!hostName.match(host).hasMatch()) host = QStringLiteral("localhost");
    return {name, login + u'@' + host};
}

QPair<QString, QString> fallbackAuthor(const MessageData &m) {
    if (m.properties.contains(tag::PR_RECEIVED_BY_ADDRTYPE) || m.properties.contains(tag::PR_MESSAGE_DELIVERY_TIME))
        return {QString(), faxAddress(QStringLiteral("unknown"))};
    return accountAuthor();
}

void setAddressHeaders(GMimeMessage *message, const MessageData &m) {
    using namespace tag;
    const auto person = [&](quint32 name, quint32 email, quint32 type) {
        return QPair<QString, QString>(textProperty(m, name), mailAddress(textProperty(m, email), textProperty(m, type)));
    };
    auto from = person(PR_SENT_REPRESENTING_NAME, PR_SENT_REPRESENTING_EMAIL_ADDRESS, PR_SENT_REPRESENTING_ADDRTYPE);
    const auto sender = person(PR_SENDER_NAME, PR_SENDER_EMAIL_ADDRESS, PR_SENDER_ADDRTYPE);
    if (from.first.isEmpty() && from.second.isEmpty()) from = sender;
    // Every message names its author. A received fax whose sender gave no station id comes
    // from an unknown fax; any other item from this user, by the user's account.
    const QPair<QString, QString> author = from.first.isEmpty() && from.second.isEmpty() ? fallbackAuthor(m) : from;
    addAddress(g_mime_message_get_addresses(message, GMIME_ADDRESS_TYPE_FROM), author.first, author.second);
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

}  // namespace

// The subject must read back exactly as it was written: the duplicate check finds a fax's
// item by its subject. GMime writes text that looks like an encoded word ("=?utf-8?q?
// ...?=") as it stands, so every reader decodes it; and it may split other text into
// adjacent encoded words padded in the middle, which its own reader, joining them before
// decoding, then cuts short; and a blank at either end is lost where the header is
// unfolded. Any subject that is not plain ASCII with nothing blank at its ends is therefore
// written as encoded words of our own.
void setSubject(GMimeMessage *message, const QString &subject) {
    const QByteArray text = utf8(subject);
    g_mime_message_set_subject(message, text.constData(), "utf-8");
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    const bool plain = !text.contains("=?") && std::all_of(text.cbegin(), text.cend(), [](char c) { return uchar(c) < 0x80; }) &&
                       (text.isEmpty() || (!blank(text.front()) && !blank(text.back())));
    if (plain) return;
    GMimeHeader *header = g_mime_header_list_get_header(g_mime_object_get_header_list(GMIME_OBJECT(message)), "Subject");
    if (!header) return;
    constexpr qsizetype MaxBytesPerWord = 45;  // 60 characters of base64: the word stays within a line
    const auto wordEnd = [&](qsizetype at) {
        // Whole characters, and a multiple of three bytes so that no word but the last is
        // padded: readers join adjacent words before decoding them.
        for (qsizetype end = std::min(at + MaxBytesPerWord, text.size()); end > at; --end)
            if (end == text.size() || ((end - at) % 3 == 0 && (uchar(text[end]) & 0xC0) != 0x80)) return end;
        return std::min(at + MaxBytesPerWord, text.size());
    };
    QByteArray raw;
    for (qsizetype at = 0; at < text.size();) {
        const qsizetype end = wordEnd(at);
        raw += (raw.isEmpty() ? " " : "\n ") + QByteArray("=?utf-8?b?") + text.mid(at, end - at).toBase64() + "?=";
        at = end;
    }
    g_mime_header_set_raw_value(header, (raw + '\n').constData());
}

QByteArray codec::writeMessage(const MessageData &m) {
    GPtr<GMimeMessage> message(g_mime_message_new(TRUE));
    GMimeObject *object = GMIME_OBJECT(message.get());
    g_mime_message_set_message_id(message.get(), utf8(m.messageId).constData());
    setAddressHeaders(message.get(), m);
    setSubject(message.get(), m.subject);
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

}  // namespace sendmere::mail
