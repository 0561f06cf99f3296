#pragma once
// One logged-in connection to an IMAP server, through libetpan, with the few commands the
// mail store needs. The connection is encrypted (imaps:// or STARTTLS) and the server's
// certificate checked against the system's trust store; only a server on this machine may
// be spoken to without encryption.
#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace sendmere::mail {

// "imap://USER@HOST:PORT" or "imaps://USER@HOST:PORT".
struct ImapAddress {
    bool tls = false;  // imaps: TLS from the first byte
    QString user, host;
    quint16 port = 143;

    static std::optional<ImapAddress> parse(const QString &text);
    QString text() const;
    bool onThisMachine() const;  // a loopback address or "localhost"
};

// The server cannot be used now: not reachable, refused the login, or not safe to log in
// to. What the store would have written waits in its queue of pending writes.
struct ServerAway {
    QString reason;
};

// A mailbox as the server lists it, with its special-use attributes ("\Sent", "\Trash").
struct ImapMailbox {
    QString name;  // as the server spells it (modified UTF-7)
    QStringList attributes;
};

struct ImapFetched {
    uint32_t uid = 0;
    bool seen = false;
    QStringList keepFlags;  // the other flags worth keeping when the message is rewritten
    QByteArray bytes;       // the whole message, or its header only
};

// A logged-in session. Its commands work on the selected mailbox; a failing command raises
// AutomationError, a lost connection ServerAway. The session itself lives in the mail codec
// module (libetpan): mailCodec().connectImap() opens one.
class ImapSession {
public:
    virtual ~ImapSession() = default;

    virtual void noop() = 0;
    virtual std::vector<ImapMailbox> list() = 0;
    virtual void create(const QString &mailbox) = 0;
    virtual void select(const QString &mailbox) = 0;
    virtual std::vector<uint32_t> searchAll() = 0;
    virtual std::vector<uint32_t> searchHeader(const QString &header, const QString &text) = 0;
    virtual bool exists(uint32_t uid) = 0;
    virtual std::vector<ImapFetched> fetch(const std::vector<uint32_t> &uids, bool headerOnly) = 0;
    // Returns the new message's UID (0 when the server does not tell).
    virtual uint32_t append(const QString &mailbox, const QByteArray &message, bool seen, const QStringList &otherFlags,
                            const QDateTime &internalDate) = 0;
    virtual void remove(uint32_t uid) = 0;
    // Returns the UID the message has in the target (0 when the server does not tell).
    virtual uint32_t moveTo(uint32_t uid, const QString &mailbox) = 0;
};

}  // namespace sendmere::mail
