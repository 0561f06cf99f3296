#include "platform/mail/MailCodec.h"
#include "platform/mail/ImapStoreConnection.h"

#include "platform/Failures.h"
#include "Netrc.h"
#include "platform/mail/MailClient.h"

namespace sendmere::mail {
namespace {

const QString ConnectProcedure = QStringLiteral("MailStore.Connect");
const QString PendingProcedure = QStringLiteral("MailStore.WritePending");
// After the server failed, calls answer from the queue this long before trying again, so a
// server that is away does not cost every call a connection attempt.
constexpr int RetrySeconds = 5;

// The queue is written only when the writer lock is free right now, so that a query never
// waits for another program's write.
constexpr std::chrono::milliseconds QueueLockWait{0};

size_t slotOf(int folder) { return size_t(folder - FolderDeletedItems); }

}  // namespace

QString faxIdOf(const MessageData &message) {
    for (const auto &[name, value] : message.userProperties)
        if (name.compare(QLatin1String("FaxID"), Qt::CaseInsensitive) == 0) return value;
    return {};
}

AutomationError unavailable(const QString &address, const QString &reason) {
    return {err::ServerNotAvailable, QStringLiteral("The mail server %1 cannot be used: %2").arg(address, reason)};
}

void ImapStore::logOnce(const QString &reason) {
    if (reason == m_lastLogged) return;
    qCWarning(lcImapStore, "%s", qUtf8Printable(reason));
    m_lastLogged = reason;
    WriteErrorLog(err::ServerNotAvailable,
                  QStringLiteral("The mail server %1 cannot be used: %2. New items wait in %3 until it can.")
                      .arg(m_address.text(), reason, m_pending.directory()),
                  ConnectProcedure);
}

void ImapStore::serverLost(const ServerAway &away) {
    m_session.reset();
    m_retryAfter = QDateTime::currentDateTimeUtc().addSecs(RetrySeconds);
    logOnce(away.reason);
}

void ImapStore::connect() {
    const registry::NetrcLookup found = registry::lookupNetrc(m_address.host, m_address.user);
    if (!found.error.isEmpty()) {
        WriteErrorLog(err::PermissionDenied, found.error, ConnectProcedure);
        throw ServerAway{QStringLiteral("no password can be read for %1").arg(m_address.user)};
    }
    if (!found.credentials)
        throw ServerAway{QStringLiteral("%1 holds no password for %2 on %3").arg(registry::netrcPath(), m_address.user, m_address.host)};
    m_session = mailCodec().connectImap(m_address, found.credentials->password);
    try {
        resolveMailboxes();
    } catch (const AutomationError &) {
        m_session.reset();  // a server that refuses to list or make the folders is not used
        throw;
    }
    m_lastLogged.clear();
    m_retryAfter = {};
    writeQueue();
}

// Writes the queue in order on the live session; stops at a message the server refuses
// (kept in its place, tried again later) or when the server goes away.
void ImapStore::writeQueue() {
    if (m_pending.list().empty()) return;
    // Another local program may write the same queue: one at a time, or both would find a
    // message missing on the server and append it.
    std::optional<StoreLockGuard> locked;
    try {
        locked.emplace(m_lock, QueueLockWait);
    } catch (const AutomationError &) {
        return;  // written by that program, or by this one later
    }
    for (const PendingMessage &pending : m_pending.list()) {
        try {
            if (!writeOnePending(pending)) return;
        } catch (const AutomationError &error) {
            WriteErrorLog(error.number(), error.text(), PendingProcedure);
            return;
        }
    }
}

ImapSession *ImapStore::session() {
    if (m_session) return m_session.get();
    if (m_retryAfter.isValid() && QDateTime::currentDateTimeUtc() < m_retryAfter) throw ServerAway{m_lastLogged};
    connect();
    if (!m_session) throw ServerAway{m_lastLogged};  // lost again while writing the queue
    return m_session.get();
}

void ImapStore::resolveMailboxes() {
    m_mailboxes = {};
    m_mailboxes[slotOf(FolderInbox)] = QStringLiteral("INBOX");
    const std::vector<ImapMailbox> boxes = m_session->list();
    const auto byAttribute = [&](const char *attribute) -> QString {
        for (const ImapMailbox &box : boxes)
            if (box.attributes.contains(QLatin1String(attribute), Qt::CaseInsensitive)) return box.name;
        return {};
    };
    const auto byName = [&](const QString &name) -> QString {
        for (const ImapMailbox &box : boxes)
            if (box.name.compare(name, Qt::CaseInsensitive) == 0) return box.name;
        return {};
    };
    const struct {
        int folder;
        const char *attribute;
        QString name;
    } wanted[] = {{FolderSentItems, "\\Sent", QStringLiteral("Sent")},
                  {FolderDeletedItems, "\\Trash", QStringLiteral("Trash")},
                  {FolderOutbox, nullptr, QStringLiteral("Outbox")}};
    for (const auto &w : wanted) {
        QString name = w.attribute ? byAttribute(w.attribute) : QString();
        if (name.isEmpty()) name = byName(w.name);
        if (name.isEmpty()) {
            m_session->create(w.name);
            name = w.name;
        }
        m_mailboxes[slotOf(w.folder)] = name;
    }
}

const QString &ImapStore::mailbox(int folder) const { return m_mailboxes[slotOf(folder)]; }

// On a live session (inside onServer or while the queue is written); raises ServerAway.
ImapSession &ImapStore::selected(int folder) {
    m_session->select(mailbox(folder));
    return *m_session;
}

int ImapStore::writePending() {
    if (m_pending.list().empty()) return 0;
    try {
        onServer(Retry::Once, [&] {
            writeQueue();
            return true;
        });
    } catch (const AutomationError &error) {
        if (!isAway(error)) throw;
    }
    return int(m_pending.list().size());
}

// Writes one waiting message unless the folder has it already; false when the server went away.
bool ImapStore::writeOnePending(const PendingMessage &pending) {
    const std::optional<MessageData> message = readMessage(m_pending.read(pending));
    if (!message) {
        // Kept beside the queue for the user to look at, out of the way of the next ones.
        const QString kept = m_pending.setAside(pending);
        WriteErrorLog(err::PathFileAccessError, QStringLiteral("The message waiting for the mail server in %1 is damaged; it is kept as %2 and not written")
                                                     .arg(m_pending.directory(), kept),
                      PendingProcedure);
        return true;
    }
    try {
        const QString faxId = faxIdOf(*message);
        const bool there = (!faxId.isEmpty() && faxIdOnServer(pending.folder, faxId)) ||
                           (!message->messageId.isEmpty() && findOnServer(pending.folder, message->messageId));
        if (!there) appendNew(pending.folder, *message, !pending.seen, {});
    } catch (const ServerAway &away) {
        serverLost(away);
        return false;
    }
    m_flushedIds.insert(pending.sequence, message->messageId);
    m_pending.remove(pending);
    return true;
}

}  // namespace sendmere::mail
