// Staging: messages written anew are kept out of sight in tmp/ until the outermost staging
// ends, then published into their folders or, when the staging was spoilt, removed.
#include "platform/mail/MaildirStore.h"

#include "platform/mail/MaildirFiles.h"
#include "platform/mail/MaildirIndex.h"

#include <algorithm>
#include <utility>

#include <unistd.h>

namespace sendmere::mail {

MaildirStore::Staged *MaildirStore::staged(const QString &key) {
    if (key.isEmpty()) return nullptr;
    const auto it = std::find_if(m_staged.begin(), m_staged.end(), [&](const Staged &s) { return s.key == key; });
    return it == m_staged.end() ? nullptr : &*it;
}

QString MaildirStore::stagedPath(const Staged &s) const { return filePath(s.folder, QStringLiteral("tmp/") + s.key); }

void MaildirStore::beginStaging() {
    if (m_stagingDepth++ > 0) return;
    m_stagingSpoilt = false;
    // From the duplicate check to the publication no other process writes the store, so
    // that what the check found still holds when the item appears.
    m_lockFailure = m_lock.tryAcquire(LockWait);
}

void MaildirStore::abandonStaging() {
    if (m_stagingDepth == 0) return;
    // The messages saved anew within the innermost staging go now; those of the stagings
    // around it stay theirs.
    const auto abandoned = std::stable_partition(m_staged.begin(), m_staged.end(),
                                                 [&](const Staged &s) { return s.depth < m_stagingDepth; });
    if (abandoned == m_staged.end()) return;
    ++m_problems.count;
    for (auto it = abandoned; it != m_staged.end(); ++it) discard(*it);
    m_staged.erase(abandoned, m_staged.end());
}

void MaildirStore::endStaging() {
    if (m_stagingDepth == 0 || --m_stagingDepth > 0) return;
    const std::vector<Staged> staged = std::exchange(m_staged, {});
    if (m_stagingSpoilt) {
        if (!staged.empty()) ++m_problems.count;
        for (const Staged &s : staged) discard(s);
    } else {
        for (const Staged &s : staged) {
            try {
                publish(s);
            } catch (const AutomationError &error) {
                // fileError has logged it; nothing half made stays behind
                noteFailure(error);
                discard(s);
            }
        }
    }
    m_stagingSpoilt = false;
    if (!m_lockFailure) m_lock.release();
    m_lockFailure.reset();
}

void MaildirStore::discard(const Staged &s) {
    qCWarning(lcMailStore, "Mail store: the message \"%s\" for %s was not made whole; it is not kept",
              qUtf8Printable(s.subject), qUtf8Printable(folderName(s.folder)));
    ::unlink(encoded(stagedPath(s)).constData());
}

void MaildirStore::publish(const Staged &s) {
    refresh(s.folder);
    FolderIndex &ix = index(s.folder);
    if (!s.faxId.isEmpty()) {
        // The index may have missed what another program or a damaged journal hid: the
        // folder itself is asked before a second item of one fax could appear.
        reconcile(s.folder, ix);
        if (findFaxId(s.folder, s.faxId, s.subject) > 0) {
            qCInfo(lcMailStore, "Mail store: %s already holds the item of fax %s; the new copy is dropped",
                   qUtf8Printable(folderName(s.folder)), qUtf8Printable(s.faxId));
            ::unlink(encoded(stagedPath(s)).constData());
            return;
        }
    }
    const bool current = stampsCurrent(s.folder, ix);
    renameFile(stagedPath(s), filePath(s.folder, s.fileName));
    // Only now: a file in tmp/ with an old time would be taken for a stale leftover.
    setFileTime(filePath(s.folder, s.fileName), s.time);
    const Entry e{s.key, s.fileName, s.messageId, s.faxId, s.subject, s.size};
    putEntry(ix, e);
    recordChange(s.folder, ix, QStringLiteral("+\t") + entryLine(e), current);
}

}  // namespace sendmere::mail
