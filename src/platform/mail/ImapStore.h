#pragma once
// The mail store on an IMAP server. The default folders are the server's mailboxes with
// the special-use attributes \Sent and \Trash, INBOX, and "Outbox" (made when missing). A
// message's key is its UID in its mailbox; a new message is written with APPEND, with its
// seen flag and the fax's time as the server's arrival time. The FaxID and entry id
// lookups search the server's headers (UID SEARCH HEADER).
//
// While the server cannot be used (down, refusing the login, not safe to log in to), new
// messages wait in a local queue (PendingWrites, under $XDG_DATA_HOME/sendmere/) and
// queries answer from that queue; the error log says why. Once the server is back the
// queue is written to it in order, leaving out what the server already has (same FaxID or
// entry id in the folder), so a message is never written twice.
//
// A staged item is published only when its folder holds no item with its "FaxID" and
// subject yet. The server cannot lock a mailbox between that check and the APPEND, so two
// local programs that write one server take the local writer lock (beside the queue, under
// $XDG_DATA_HOME/sendmere) from the check to the write: the same one-writer rule as the
// local store, so two of them can never both append the item of one fax.
#include "platform/AutomationError.h"
#include "platform/mail/ImapSession.h"
#include "platform/mail/MailStore.h"
#include "platform/mail/PendingWrites.h"
#include "platform/mail/StoreLock.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <array>
#include <functional>
#include <memory>

namespace sendmere::mail {

class ImapStore final : public MailStore {
public:
    ImapStore(ImapAddress address, QString pendingDirectory);
    ~ImapStore() override;

    // One store per server address while anything holds it.
    static std::shared_ptr<ImapStore> shared(const ImapAddress &address);
    static QString defaultPendingDirectory();  // $XDG_DATA_HOME/sendmere/Pending

    int count(int folder) override;
    std::optional<QString> keyAt(int folder, int position) override;
    int positionOf(int folder, const QString &key) override;
    int countWithSubject(int folder, const QString &subject) override;
    std::vector<QString> keysWithSubject(int folder, const QString &subject) override;
    int findFaxId(int folder, const QString &faxId, const std::optional<QString> &subject) override;
    std::optional<MessageLocation> findEntryId(const QString &entryId) override;
    void locate(MessageLocation &loc, const QString &entryId) override;
    MessageData load(MessageLocation &loc, const QString &entryId, bool *unread) override;
    void save(MessageLocation &loc, const MessageData &message, std::optional<bool> unread) override;
    void move(MessageLocation &loc, const QString &entryId, int targetFolder) override;
    void erase(MessageLocation &loc, const QString &entryId) override;
    void beginStaging() override;
    void abandonStaging() override;
    void endStaging() override;
    WriteProblems writeProblems() const override { return m_problems; }

    int writePending() override;

private:
    struct Staged {
        QString key;
        int folder = 0;
        MessageData message;
        bool unread = false;
        int depth = 0;  // the staging it was saved anew in
    };
    struct Summary {
        uint32_t uid = 0;
        MessageSummary summary;
    };

    // Whether a command that failed because the connection was lost may be sent again on a
    // new one: reads may; a write only when it cannot have reached the server.
    enum class Retry { Once, Never };
    // Runs work on a live session; a server that cannot be used raises 462 with the reason.
    template <typename Work>
    auto onServer(Retry retry, Work &&work) -> decltype(work());
    ImapSession *session();  // connected, the queue written; raises ServerAway
    static bool isAway(const AutomationError &error);
    std::vector<QString> keysOf(int folder);
    void connect();
    void resolveMailboxes();
    const QString &mailbox(int folder) const;
    ImapSession &selected(int folder);
    void serverLost(const ServerAway &away);
    void logOnce(const QString &reason);

    std::vector<uint32_t> uids(int folder);
    std::vector<Summary> summaries(int folder, const std::vector<uint32_t> &candidates);
    std::vector<QString> pendingKeys(int folder, const std::function<bool(const MessageSummary &)> &matches);
    std::optional<uint32_t> findOnServer(int folder, const QString &entryId);
    bool faxIdOnServer(int folder, const QString &faxId);
    uint32_t appendNew(int folder, const MessageData &message, bool unread, const QStringList &otherFlags);
    void saveNew(MessageLocation &loc, const MessageData &message, bool unread);
    void saveLocked(MessageLocation &loc, const MessageData &message, std::optional<bool> unread);
    void moveLocked(MessageLocation &loc, const QString &entryId, int targetFolder);
    void eraseLocked(MessageLocation &loc, const QString &entryId);
    bool writeOnePending(const PendingMessage &pending);
    void writeQueue();
    Staged *staged(const QString &key);
    void publish(const Staged &s);
    void noteFailure(const AutomationError &error);
    template <typename Write>
    void writing(Write &&write);

    ImapAddress m_address;
    PendingWrites m_pending;
    std::unique_ptr<ImapSession> m_session;
    std::array<QString, 4> m_mailboxes;  // by default folder number - 3
    QString m_lastLogged;                // the reason last written to the error log
    QDateTime m_retryAfter;              // no new connection before this time
    QElapsedTimer m_lastUsed;            // since the session last answered
    QHash<quint64, QString> m_flushedIds;  // entry ids of queued messages written since
    std::vector<Staged> m_staged;
    int m_stagingDepth = 0;
    quint64 m_stagedCounter = 0;
    bool m_stagingSpoilt = false;                  // abandoned, or a write failed: nothing is published
    std::optional<AutomationError> m_lockFailure;  // why this staging has no writer lock
    StoreLock m_lock;
    WriteProblems m_problems;
};

// The time the server keeps as the message's arrival: the item's own time (the fax's true
// time), else its submit or delivery time.
QDateTime arrivalTime(const MessageData &message);

}  // namespace sendmere::mail
