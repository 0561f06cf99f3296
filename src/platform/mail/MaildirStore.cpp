#include "platform/mail/MaildirStore.h"

#include "platform/mail/MailClient.h"
#include "platform/mail/RegularFile.h"
#include "platform/mail/MaildirFiles.h"
#include "platform/mail/MaildirIndex.h"
#include "platform/mail/MaildirLayout.h"

#include <QCoreApplication>
#include <QStandardPaths>
#include <QUuid>
#include <algorithm>
#include <map>
#include <mutex>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcMailStore, "sendmere.mail")

namespace sendmere::mail {

namespace {

const QString FaxIdProperty = QStringLiteral("FaxID");

}  // namespace

MaildirStore::MaildirStore(QString root) : m_root(std::move(root)), m_lock(m_root + QStringLiteral(".index/lock")) {
    m_indexDir = m_root + QStringLiteral(".index");
}

MaildirStore::~MaildirStore() = default;

QString MaildirStore::defaultRoot() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/sendmere/Mail");
}

std::shared_ptr<MaildirStore> MaildirStore::shared() {
    // One store per Maildir while anything holds it, so every open object sees one index.
    static std::mutex lock;
    static std::map<QString, std::weak_ptr<MaildirStore>> open;
    const QString root = defaultRoot();
    const std::lock_guard guard(lock);
    if (auto existing = open[root].lock()) return existing;
    auto store = std::make_shared<MaildirStore>(root);
    open[root] = store;
    return store;
}

// ---- queries ---------------------------------------------------------------------------------------

int MaildirStore::count(int folder) {
    refresh(folder);
    return int(index(folder).entries.size());
}

std::optional<QString> MaildirStore::keyAt(int folder, int position) {
    refresh(folder);
    const FolderIndex &ix = index(folder);
    if (position < 1 || position > int(ix.entries.size())) return std::nullopt;
    return ix.entries[size_t(position - 1)].key;
}

int MaildirStore::positionOf(int folder, const QString &key) {
    refresh(folder);
    return index(folder).byKey.value(key, -1) + 1;
}

int MaildirStore::countWithSubject(int folder, const QString &subject) {
    refresh(folder);
    return index(folder).subjectCount.value(subject);
}

std::vector<QString> MaildirStore::keysWithSubject(int folder, const QString &subject) {
    refresh(folder);
    std::vector<QString> keys;
    for (const Entry &e : index(folder).entries)
        if (e.subject == subject) keys.push_back(e.key);
    return keys;
}

int MaildirStore::findFaxId(int folder, const QString &faxId, const std::optional<QString> &subject) {
    refresh(folder);
    FolderIndex &ix = index(folder);
    for (;;) {
        int first = 0;
        for (auto it = ix.byFaxId.constFind(faxId); it != ix.byFaxId.cend() && it.key() == faxId; ++it) {
            const int at = ix.byKey.value(it.value(), -1);
            if (at < 0 || (subject && ix.entries[size_t(at)].subject != *subject)) continue;
            if (first == 0 || at + 1 < first) first = at + 1;
        }
        // An item cut short where it lies does not count: it is set aside and made again.
        if (first == 0 || folder == FolderDeletedItems || isWhole(folder, ix, first - 1)) return first;
        const qsizetype before = ix.entries.size();
        setAsideDamaged(folder, ix, first - 1);
        if (qsizetype(ix.entries.size()) == before) return first;  // could not be moved: it stays the item
    }
}

bool MaildirStore::isWhole(int folder, FolderIndex &ix, int at) {
    const Entry &e = ix.entries[size_t(at)];
    struct stat st {};
    if (e.size < 0 || ::lstat(encoded(filePath(folder, e.fileName)).constData(), &st) != 0) return true;
    return st.st_size >= e.size;
}

void MaildirStore::setAsideDamaged(int folder, FolderIndex &ix, int at) {
    const Entry e = ix.entries[size_t(at)];
    qCWarning(lcMailStore, "Mail store: %s is shorter than it was written (%lld bytes); it goes to Deleted Items",
              qUtf8Printable(filePath(folder, e.fileName)), static_cast<long long>(e.size));
    MessageLocation loc{folder, e.key};
    try {
        const StoreLockGuard writing(m_lock, LockWait);
        moveLocked(loc, e.messageId, FolderDeletedItems);
    } catch (const AutomationError &) {
        // logged where it failed; the damaged item stays where it is
    }
}

std::optional<MessageLocation> MaildirStore::findEntryId(const QString &entryId) {
    for (const Staged &s : m_staged)
        if (s.messageId == entryId) return MessageLocation{s.folder, s.key};
    for (const FolderDef &f : Folders) {
        refresh(f.number);
        const QString key = index(f.number).byMessageId.value(entryId);
        if (!key.isEmpty()) return MessageLocation{f.number, key};
    }
    return std::nullopt;
}

// ---- messages --------------------------------------------------------------------------------------

QString MaildirStore::newEntryId() {
    return QUuid::createUuid().toString(QUuid::WithoutBraces) + QStringLiteral("@sendmere");
}

void MaildirStore::locate(MessageLocation &loc, const QString &entryId) {
    if (const Staged *s = staged(loc.key)) {
        loc.folder = s->folder;
        return;
    }
    if (isFolder(loc.folder) && !loc.key.isEmpty()) {
        refresh(loc.folder);
        FolderIndex &ix = index(loc.folder);
        const int at = ix.byKey.value(loc.key, -1);
        if (at >= 0 && fileExists(filePath(loc.folder, ix.entries[size_t(at)].fileName))) return;
        if (at >= 0) reconcile(loc.folder, ix);  // changed within the directory's time resolution
    }
    // Moved by another program: under its own name into another folder, or copied anew.
    for (const FolderDef &f : Folders) {
        refresh(f.number);
        if (!loc.key.isEmpty() && index(f.number).byKey.contains(loc.key)) {
            loc.folder = f.number;
            return;
        }
    }
    if (!entryId.isEmpty()) {
        if (const auto found = findEntryId(entryId)) {
            loc = *found;
            return;
        }
    }
    throw notFound(QStringLiteral("item"));
}

MessageData MaildirStore::load(MessageLocation &loc, const QString &entryId, bool *unread) {
    locate(loc, entryId);
    const Staged *s = staged(loc.key);
    const Entry e = s ? Entry{s->key, s->fileName, s->messageId, s->faxId, s->subject}
                      : index(loc.folder).entries[size_t(index(loc.folder).byKey.value(loc.key))];
    const QString path = s ? stagedPath(*s) : filePath(loc.folder, e.fileName);
    const std::optional<QByteArray> bytes = readMessageFile(path);
    if (!bytes) throw AutomationError(err::PathFileAccessError, QStringLiteral("Path/File access error"));
    std::optional<MessageData> message = readMessage(*bytes);
    if (!message) {
        qCWarning(lcMailStore, "Mail store: %s holds no readable message", qUtf8Printable(path));
        throw AutomationError(err::PathFileAccessError, QStringLiteral("The message file is damaged and cannot be read"));
    }
    if (message->messageId.isEmpty()) message->messageId = e.messageId;
    if (unread) *unread = !flagsOf(e.fileName).contains(u'S');
    return *message;
}

void MaildirStore::noteFailure(const AutomationError &error) {
    ++m_problems.count;
    m_problems.lastFailure = error;
    m_problems.lastFailureAt = m_problems.count;
    if (m_stagingDepth > 0) m_stagingSpoilt = true;
}

void MaildirStore::save(MessageLocation &loc, const MessageData &message, std::optional<bool> unread) {
    try {
        if (m_stagingDepth > 0 && m_lockFailure) throw *m_lockFailure;
        const StoreLockGuard writing(m_lock, LockWait);
        saveLocked(loc, message, unread);
    } catch (const AutomationError &error) {
        noteFailure(error);
        throw;
    }
}

void MaildirStore::move(MessageLocation &loc, const QString &entryId, int targetFolder) {
    try {
        const StoreLockGuard writing(m_lock, LockWait);
        moveLocked(loc, entryId, targetFolder);
    } catch (const AutomationError &error) {
        noteFailure(error);
        throw;
    }
}

void MaildirStore::erase(MessageLocation &loc, const QString &entryId) {
    try {
        const StoreLockGuard writing(m_lock, LockWait);
        eraseLocked(loc, entryId);
    } catch (const AutomationError &error) {
        noteFailure(error);
        throw;
    }
}

void MaildirStore::saveLocked(MessageLocation &loc, const MessageData &message, std::optional<bool> unread) {
    const QByteArray bytes = writeMessage(message);
    const QString faxId = [&] {
        for (const auto &[name, value] : message.userProperties)
            if (name.compare(FaxIdProperty, Qt::CaseInsensitive) == 0) return value;
        return QString();
    }();
    if (loc.key.isEmpty() && m_stagingDepth > 0) {
        ensureFolder(loc.folder);
        Staged s{newKey(), loc.folder, {}, message.messageId, faxId, message.subject, storedTime(message), bytes.size(), m_stagingDepth};
        s.fileName = freshName(s.key, unread.value_or(false));
        writeNewFile(stagedPath(s), bytes);
        loc.key = s.key;
        m_staged.push_back(std::move(s));
        return;
    }
    if (Staged *s = staged(loc.key)) {
        const QString tmp = stagedPath(*s) + QStringLiteral(".%1.%2").arg(QCoreApplication::applicationPid()).arg(++m_keyCounter);
        writeNewFile(tmp, bytes);
        try {
            renameFile(tmp, stagedPath(*s));
        } catch (...) {
            ::unlink(encoded(tmp).constData());
            throw;
        }
        // No reader has seen a staged message: it lands as new mail when it is unread.
        if (unread) s->fileName = freshName(s->key, *unread);
        s->messageId = message.messageId;
        s->time = storedTime(message);
        s->faxId = faxId;
        s->subject = message.subject;
        s->size = bytes.size();
        loc.folder = s->folder;
        return;
    }
    if (loc.key.isEmpty()) {
        ensureFolder(loc.folder);
        refresh(loc.folder);
        const QString key = newKey();
        const QString tmp = filePath(loc.folder, QStringLiteral("tmp/") + key);
        const QString fileName = freshName(key, unread.value_or(false));
        writeNewFile(tmp, bytes);
        FolderIndex &ix = index(loc.folder);
        const bool current = stampsCurrent(loc.folder, ix);
        try {
            renameFile(tmp, filePath(loc.folder, fileName));
        } catch (...) {
            ::unlink(encoded(tmp).constData());
            throw;
        }
        setFileTime(filePath(loc.folder, fileName), storedTime(message));
        loc.key = key;
        const Entry e{key, fileName, message.messageId, faxId, message.subject, bytes.size()};
        putEntry(ix, e);
        recordChange(loc.folder, ix, QStringLiteral("+\t") + entryLine(e), current);
        return;
    }
    locate(loc, message.messageId);
    FolderIndex &ix = index(loc.folder);
    const QString oldName = ix.entries[size_t(ix.byKey.value(loc.key))].fileName;
    QString newName = oldName;
    if (unread) newName = nameWithSeen(loc.key, oldName, *unread);
    const QString tmp = filePath(loc.folder, QStringLiteral("tmp/%1.%2.%3").arg(loc.key).arg(QCoreApplication::applicationPid()).arg(++m_keyCounter));
    writeNewFile(tmp, bytes);
    const bool current = stampsCurrent(loc.folder, ix);
    // The new content replaces the old in one step, then the name takes the new flags: at
    // no moment are there two copies or none.
    try {
        renameFile(tmp, filePath(loc.folder, oldName));
    } catch (...) {
        ::unlink(encoded(tmp).constData());
        throw;
    }
    if (newName != oldName) renameFile(filePath(loc.folder, oldName), filePath(loc.folder, newName));
    setFileTime(filePath(loc.folder, newName), storedTime(message));
    const Entry e{loc.key, newName, message.messageId, faxId, message.subject, bytes.size()};
    putEntry(ix, e);
    recordChange(loc.folder, ix, QStringLiteral("+\t") + entryLine(e), current);
}

void MaildirStore::moveLocked(MessageLocation &loc, const QString &entryId, int targetFolder) {
    folderDef(targetFolder);
    locate(loc, entryId);
    if (loc.folder == targetFolder) return;
    ensureFolder(targetFolder);
    if (Staged *s = staged(loc.key)) {
        const QString from = stagedPath(*s);
        s->folder = targetFolder;
        try {
            renameFile(from, stagedPath(*s));
        } catch (...) {
            s->folder = loc.folder;
            throw;
        }
        loc.folder = targetFolder;
        return;
    }
    refresh(targetFolder);
    FolderIndex &from = index(loc.folder);
    Entry e = from.entries[size_t(from.byKey.value(loc.key))];
    const bool fromCurrent = stampsCurrent(loc.folder, from);
    const bool toCurrent = stampsCurrent(targetFolder, index(targetFolder));
    renameFile(filePath(loc.folder, e.fileName), filePath(targetFolder, e.fileName));
    dropEntry(from, e.key);
    recordChange(loc.folder, from, QStringLiteral("-\t") + escapeField(e.key), fromCurrent);
    FolderIndex &to = index(targetFolder);
    putEntry(to, e);
    recordChange(targetFolder, to, QStringLiteral("+\t") + entryLine(e), toCurrent);
    loc.folder = targetFolder;
}

void MaildirStore::eraseLocked(MessageLocation &loc, const QString &entryId) {
    locate(loc, entryId);
    if (Staged *s = staged(loc.key)) {
        const QString path = stagedPath(*s);
        if (::unlink(encoded(path).constData()) != 0 && errno != ENOENT) throw fileError(errno, QStringLiteral("delete"), path);
        m_staged.erase(m_staged.begin() + (s - m_staged.data()));
        return;
    }
    FolderIndex &ix = index(loc.folder);
    const QString fileName = ix.entries[size_t(ix.byKey.value(loc.key))].fileName;
    const QString path = filePath(loc.folder, fileName);
    const bool current = stampsCurrent(loc.folder, ix);
    if (::unlink(encoded(path).constData()) != 0 && errno != ENOENT) throw fileError(errno, QStringLiteral("delete"), path);
    dropEntry(ix, loc.key);
    recordChange(loc.folder, ix, QStringLiteral("-\t") + escapeField(loc.key), current);
}

}  // namespace sendmere::mail
