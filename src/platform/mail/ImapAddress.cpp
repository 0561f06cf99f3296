// The address of a mail server as the registry value MailStore gives it.
#include "platform/mail/ImapSession.h"

#include <QHostAddress>
#include <QUrl>

namespace sendmere::mail {

std::optional<ImapAddress> ImapAddress::parse(const QString &text) {
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() || url.userName().isEmpty() || !url.password().isEmpty()) return std::nullopt;
    if (!url.path().isEmpty() && url.path() != QLatin1String("/")) return std::nullopt;
    ImapAddress address;
    if (url.scheme() == QLatin1String("imaps")) address.tls = true;
    else if (url.scheme() != QLatin1String("imap")) return std::nullopt;
    address.user = url.userName();
    address.host = url.host();
    const int port = url.port(address.tls ? 993 : 143);
    if (port < 1 || port > 65535) return std::nullopt;
    address.port = quint16(port);
    return address;
}

QString ImapAddress::text() const {
    return QStringLiteral("%1://%2@%3:%4").arg(tls ? QStringLiteral("imaps") : QStringLiteral("imap"), user, host).arg(port);
}

bool ImapAddress::onThisMachine() const {
    if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0) return true;
    const QHostAddress ip(host);
    return !ip.isNull() && ip.isLoopback();
}

}  // namespace sendmere::mail
