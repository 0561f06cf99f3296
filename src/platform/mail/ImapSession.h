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

struct mailimap;

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

class ImapSession {
public:
    // Connects and logs in; raises ServerAway with the reason when it cannot.
    ImapSession(const ImapAddress &address, const QString &password);
    ~ImapSession();
    ImapSession(const ImapSession &) = delete;
    ImapSession &operator=(const ImapSession &) = delete;

    void noop();
    std::vector<ImapMailbox> list();
    void create(const QString &mailbox);
    void select(const QString &mailbox);

    // The commands below work on the selected mailbox. A failing command raises
    // AutomationError; a lost connection raises ServerAway.
    std::vector<uint32_t> searchAll();
    std::vector<uint32_t> searchHeader(const QString &header, const QString &text);
    bool exists(uint32_t uid);
    std::vector<ImapFetched> fetch(const std::vector<uint32_t> &uids, bool headerOnly);
    // Returns the new message's UID (0 when the server does not tell).
    uint32_t append(const QString &mailbox, const QByteArray &message, bool seen, const QStringList &otherFlags,
                    const QDateTime &internalDate);
    void remove(uint32_t uid);
    // Returns the UID the message has in the target (0 when the server does not tell).
    uint32_t moveTo(uint32_t uid, const QString &mailbox);

private:
    void check(int result, const char *command);
    void connect(const ImapAddress &address);
    void verifyCertificate(const QString &host);

    mailimap *m_imap = nullptr;
    QString m_selected;
    bool m_broken = false;
};

}  // namespace sendmere::mail
