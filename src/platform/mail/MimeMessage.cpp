#include "platform/mail/MimeMessage.h"

#include "platform/mail/MailClient.h"
#include "platform/mail/MailCodec.h"

namespace sendmere::mail {

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

QByteArray formatProperty(quint32 t, const QVariant &value) {
    switch (tag::type(t)) {
    case tag::PT_SYSTIME:
        return value.toDateTime().toUTC().toString(Qt::ISODateWithMs).toLatin1();
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

QDateTime storedTime(const MessageData &message) {
    return message.created.isValid() ? message.created : QDateTime::currentDateTime();
}

// The messages themselves are read and written by the mail codec module.
QByteArray writeMessage(const MessageData &message) { return mailCodec().writeMessage(message); }
std::optional<MessageData> readMessage(const QByteArray &bytes) { return mailCodec().readMessage(bytes); }
std::optional<MessageSummary> readSummary(const QByteArray &bytes) { return mailCodec().readSummary(bytes); }

AutomationError notFound(const QString &what) {
    return {err::MapiNotFound, QStringLiteral("The %1 could not be found. It may have been moved or deleted.").arg(what)};
}

}  // namespace sendmere::mail
