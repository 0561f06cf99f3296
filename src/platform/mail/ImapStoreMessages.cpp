// The IMAP store's messages: finding, loading and writing them on the server or in the queue
// that waits for it, and the staging that publishes new ones only when the fax has none yet.
#include "platform/mail/ImapStore.h"

#include "platform/Failures.h"
#include "platform/mail/ImapStoreConnection.h"
#include "platform/mail/MailClient.h"
#include "platform/mail/MaildirStore.h"

#include <algorithm>
#include <utility>

namespace sendmere::mail {
namespace {

// A writer holds the lock for one item at most; the queue is written only when the lock is
// free right now, so that a query never waits for another program's write.
constexpr std::chrono::seconds LockWait{90};

std::optional<uint32_t> uidOf(const QString &key) {
    bool ok = false;
    const uint32_t uid = key.toUInt(&ok);
    return ok && uid > 0 ? std::optional(uid) : std::nullopt;
}

// The entry id of a message that came without a Message-ID header.
QString madeUpEntryId(int folder, uint32_t uid) { return QStringLiteral("imap-%1-%2@sendmere").arg(folder).arg(uid); }

}  // namespace

// ---- messages ------------------------------------------------------------------------------

ImapStore::Staged *ImapStore::staged(const QString &key) {
    const auto it = std::find_if(m_staged.begin(), m_staged.end(), [&](const Staged &s) { return s.key == key; });
    return it == m_staged.end() ? nullptr : &*it;
}

void ImapStore::locate(MessageLocation &loc, const QString &entryId) {
    if (const Staged *s = staged(loc.key)) {
        loc.folder = s->folder;
        return;
    }
    QString id = entryId;
    if (const std::optional<quint64> sequence = PendingWrites::sequenceOf(loc.key)) {
        if (const std::optional<PendingMessage> p = m_pending.find(*sequence)) {
            loc.folder = p->folder;
            return;
        }
        if (id.isEmpty()) id = m_flushedIds.value(*sequence);  // written to the server since
    } else if (const std::optional<uint32_t> uid = uidOf(loc.key); uid && MaildirStore::isFolder(loc.folder)) {
        if (onServer(Retry::Once, [&] { return selected(loc.folder).exists(*uid); })) return;
    }
    if (!id.isEmpty()) {
        onServer(Retry::Once, [] { return true; });  // while the server is away that is the answer, not "gone"
        if (const std::optional<MessageLocation> found = findEntryId(id)) {
            loc = *found;
            return;
        }
    }
    throw notFound(QStringLiteral("item"));
}

MessageData ImapStore::load(MessageLocation &loc, const QString &entryId, bool *unread) {
    locate(loc, entryId);
    if (const Staged *s = staged(loc.key)) {
        if (unread) *unread = s->unread;
        return s->message;
    }
    if (const std::optional<quint64> sequence = PendingWrites::sequenceOf(loc.key)) {
        const std::optional<PendingMessage> p = m_pending.find(*sequence);
        std::optional<MessageData> message = p ? readMessage(m_pending.read(*p)) : std::nullopt;
        if (!message) throw AutomationError(err::PathFileAccessError, QStringLiteral("The message file is damaged and cannot be read"));
        if (unread) *unread = !p->seen;
        return *message;
    }
    const uint32_t uid = *uidOf(loc.key);
    const std::vector<ImapFetched> fetched = onServer(Retry::Once, [&] { return selected(loc.folder).fetch({uid}, false); });
    if (fetched.empty()) throw notFound(QStringLiteral("item"));
    std::optional<MessageData> message = readMessage(fetched.front().bytes);
    if (!message) {
        qCWarning(lcImapStore, "Mail store: message %u of %s is not readable", uid, qUtf8Printable(mailbox(loc.folder)));
        throw AutomationError(err::PathFileAccessError, QStringLiteral("The message file is damaged and cannot be read"));
    }
    if (message->messageId.isEmpty()) message->messageId = madeUpEntryId(loc.folder, uid);
    if (unread) *unread = !fetched.front().seen;
    return *message;
}

uint32_t ImapStore::appendNew(int folder, const MessageData &message, bool unread, const QStringList &otherFlags) {
    const uint32_t uid = m_session->append(mailbox(folder), writeMessage(message), !unread, otherFlags, arrivalTime(message));
    if (uid) return uid;
    // A server without UIDPLUS does not say the UID: look the message up by its id.
    return findOnServer(folder, message.messageId).value_or(0);
}

void ImapStore::saveNew(MessageLocation &loc, const MessageData &message, bool unread) {
    if (!MaildirStore::isFolder(loc.folder)) throw notFound(QStringLiteral("folder"));
    try {
        loc.key = QString::number(onServer(Retry::Never, [&] { return appendNew(loc.folder, message, unread, {}); }));
        return;
    } catch (const AutomationError &error) {
        if (!isAway(error)) throw;
    }
    loc.key = PendingWrites::keyOf(m_pending.add(loc.folder, !unread, writeMessage(message)).sequence);
}

void ImapStore::noteFailure(const AutomationError &error) {
    ++m_problems.count;
    m_problems.lastFailure = error;
    m_problems.lastFailureAt = m_problems.count;
    if (m_stagingDepth > 0) m_stagingSpoilt = true;
}

// Runs a write under the writer lock; a write that fails spoils the staging around it.
template <typename Write>
void ImapStore::writing(Write &&write) {
    try {
        if (m_stagingDepth > 0 && m_lockFailure) throw *m_lockFailure;
        const StoreLockGuard locked(m_lock, LockWait);
        write();
    } catch (const AutomationError &error) {
        noteFailure(error);
        throw;
    }
}

void ImapStore::save(MessageLocation &loc, const MessageData &message, std::optional<bool> unread) {
    writing([&] { saveLocked(loc, message, unread); });
}

void ImapStore::saveLocked(MessageLocation &loc, const MessageData &message, std::optional<bool> unread) {
    if (loc.key.isEmpty() && m_stagingDepth > 0) {
        if (!MaildirStore::isFolder(loc.folder)) throw notFound(QStringLiteral("folder"));
        loc.key = QStringLiteral("staged-%1").arg(++m_stagedCounter);
        m_staged.push_back({loc.key, loc.folder, message, unread.value_or(false), m_stagingDepth});
        return;
    }
    if (loc.key.isEmpty()) return saveNew(loc, message, unread.value_or(false));
    if (Staged *s = staged(loc.key)) {
        s->message = message;
        if (unread) s->unread = *unread;
        loc.folder = s->folder;
        return;
    }
    locate(loc, message.messageId);
    if (const std::optional<quint64> sequence = PendingWrites::sequenceOf(loc.key)) {
        const PendingMessage p = *m_pending.find(*sequence);
        m_pending.replace(p, p.folder, unread ? !*unread : p.seen, writeMessage(message));
        return;
    }
    // The new version goes in before the old one goes: at no moment is there none.
    const uint32_t old = *uidOf(loc.key);
    loc.key = QString::number(onServer(Retry::Never, [&] {
        const std::vector<ImapFetched> flags = selected(loc.folder).fetch({old}, true);
        if (flags.empty()) throw notFound(QStringLiteral("item"));
        const uint32_t replaced = appendNew(loc.folder, message, unread.value_or(!flags.front().seen), flags.front().keepFlags);
        selected(loc.folder).remove(old);
        return replaced;
    }));
}

void ImapStore::move(MessageLocation &loc, const QString &entryId, int targetFolder) {
    writing([&] { moveLocked(loc, entryId, targetFolder); });
}

void ImapStore::moveLocked(MessageLocation &loc, const QString &entryId, int targetFolder) {
    if (!MaildirStore::isFolder(targetFolder)) throw notFound(QStringLiteral("folder"));
    locate(loc, entryId);
    if (loc.folder == targetFolder) return;
    if (Staged *s = staged(loc.key)) {
        s->folder = loc.folder = targetFolder;
        return;
    }
    if (const std::optional<quint64> sequence = PendingWrites::sequenceOf(loc.key)) {
        const PendingMessage p = *m_pending.find(*sequence);
        m_pending.replace(p, targetFolder, p.seen, std::nullopt);
        loc.folder = targetFolder;
        return;
    }
    const uint32_t moved = onServer(Retry::Never, [&] {
        const uint32_t uid = selected(loc.folder).moveTo(*uidOf(loc.key), mailbox(targetFolder));
        return uid ? uid : findOnServer(targetFolder, entryId).value_or(0);
    });
    if (!moved) throw notFound(QStringLiteral("item"));
    loc = {targetFolder, QString::number(moved)};
}

void ImapStore::erase(MessageLocation &loc, const QString &entryId) {
    writing([&] { eraseLocked(loc, entryId); });
}

void ImapStore::eraseLocked(MessageLocation &loc, const QString &entryId) {
    locate(loc, entryId);
    if (const Staged *s = staged(loc.key)) {
        m_staged.erase(m_staged.begin() + (s - m_staged.data()));
        return;
    }
    if (const std::optional<quint64> sequence = PendingWrites::sequenceOf(loc.key)) {
        m_pending.remove(*m_pending.find(*sequence));
        return;
    }
    onServer(Retry::Never, [&] {
        selected(loc.folder).remove(*uidOf(loc.key));
        return true;
    });
}

// ---- staging -------------------------------------------------------------------------------

void ImapStore::beginStaging() {
    if (m_stagingDepth++ > 0) return;
    m_stagingSpoilt = false;
    // From the duplicate check to the append no other local program writes the server, so
    // that what the check found still holds when the item appears.
    m_lockFailure = m_lock.tryAcquire(LockWait);
}

void ImapStore::abandonStaging() {
    if (m_stagingDepth == 0) return;
    // The messages saved anew within the innermost staging never reach the server; those of
    // the stagings around it stay theirs.
    const auto abandoned = std::stable_partition(m_staged.begin(), m_staged.end(),
                                                 [&](const Staged &s) { return s.depth < m_stagingDepth; });
    if (abandoned == m_staged.end()) return;
    ++m_problems.count;
    for (auto it = abandoned; it != m_staged.end(); ++it)
        qCWarning(lcImapStore, "Mail store: the message \"%s\" was not made whole; it is not written",
                  qUtf8Printable(it->message.subject));
    m_staged.erase(abandoned, m_staged.end());
}

// Appends a staged message unless its folder (on the server, or in the queue while the
// server is away) already holds the item of its fax.
void ImapStore::publish(const Staged &s) {
    const QString faxId = faxIdOf(s.message);
    if (!faxId.isEmpty() && findFaxId(s.folder, faxId, s.message.subject) > 0) {
        qCInfo(lcImapStore, "Mail store: %s already holds the item of fax %s; the new copy is dropped",
               qUtf8Printable(MaildirStore::folderName(s.folder)), qUtf8Printable(faxId));
        return;
    }
    MessageLocation loc{s.folder, {}};
    saveNew(loc, s.message, s.unread);
}

void ImapStore::endStaging() {
    if (m_stagingDepth == 0 || --m_stagingDepth > 0) return;
    const std::vector<Staged> staged = std::exchange(m_staged, {});
    if (m_stagingSpoilt) {
        if (!staged.empty()) ++m_problems.count;
        for (const Staged &s : staged)
            qCWarning(lcImapStore, "Mail store: the message \"%s\" was not made whole; it is not written",
                      qUtf8Printable(s.message.subject));
    } else {
        for (const Staged &s : staged) {
            try {
                publish(s);
            } catch (const AutomationError &error) {
                noteFailure(error);
                WriteErrorLog(error.number(), error.text(), QStringLiteral("MailStore.EndStaging"));
            }
        }
    }
    m_stagingSpoilt = false;
    if (!m_lockFailure) m_lock.release();
    m_lockFailure.reset();
}

}  // namespace sendmere::mail
