#pragma once
// One mail item as it is kept in a file of the store: a MIME message written and read with
// GMime. The item's fields go where a mail reader looks for them (Subject, To, Date, From,
// Importance ...); every field and messaging property is also kept in an X-Sendmere-*
// header so that it reads back exactly as it was set.
#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QMap>
#include <QPair>
#include <QString>
#include <QVariant>
#include <optional>

namespace sendmere::mail {

struct StoredAttachment {
    QString fileName;     // the file's own name, as the MIME part's file name
    QString displayName;  // what the item shows
    QByteArray data;
    QMap<quint32, QVariant> fields;  // attachment properties by tag
};

struct MessageData {
    QString messageId;  // without angle brackets; the item's entry id
    QString messageClass = QStringLiteral("IPM.Note");
    QString subject, to, body, htmlBody;
    int importance = 1;
    // The item's own time: its Date header. Invalid until the item is first saved, which
    // gives it the time of that save unless a time was set before.
    QDateTime created;
    QList<QPair<QString, QString>> userProperties;  // in the order they were added
    QMap<quint32, QVariant> properties;
    QList<StoredAttachment> attachments;
    // Headers of a message written by another program that the fields above do not cover,
    // kept so that saving it again loses nothing: raw name and raw (encoded) value.
    QList<QPair<QByteArray, QByteArray>> otherHeaders;
};

// What the store's index keeps of a message.
struct MessageSummary {
    QString messageId, subject, faxId;
};

// The time a store gives its copy of the item, so that mail readers sort and date it by the
// fax and not by the moment it was written: a Maildir file's modification time, an IMAP
// server's internal date (APPEND). The item's own time; the present when it has none.
QDateTime storedTime(const MessageData &message);

// Through the mail codec module, loaded on first use (AutomationError when it is missing).
QByteArray writeMessage(const MessageData &message);
// Reads any MIME message; nullopt when the bytes hold none.
std::optional<MessageData> readMessage(const QByteArray &bytes);
std::optional<MessageSummary> readSummary(const QByteArray &bytes);

// The text form of a property value in its header, and back, by the tag's type.
QByteArray formatProperty(quint32 tag, const QVariant &value);
QVariant parseProperty(quint32 tag, const QString &text);
QByteArray propertyLine(quint32 t, const QVariant &value);  // "TTTTTTTT=value"
std::optional<QPair<quint32, QVariant>> parsePropertyLine(const QString &line);

}  // namespace sendmere::mail
