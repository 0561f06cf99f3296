#include "platform/mail/MaildirStore.h"

#include "platform/mail/MailClient.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QMap>
#include <QSet>
#include <QStandardPaths>
#include <QUuid>
#include <algorithm>
#include <map>
#include <mutex>
#include <utility>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcMailStore, "sendmere.mail")

namespace sendmere::mail {

// ---- the index ---------------------------------------------------------------------------------

struct Stamp {
    qint64 sec = -1;
    qint64 nsec = 0;
    bool operator==(const Stamp &) const = default;
};

struct MaildirStore::Entry {
    QString key;
    QString fileName;  // "cur/<key>:2,<flags>" or "new/<key>"
    QString messageId, faxId, subject;
};

struct MaildirStore::FolderIndex {
    bool loaded = false;
    std::vector<Entry> entries;  // in folder order
    QHash<QString, int> byKey;
    QHash<QString, int> subjectCount;
    QMultiHash<QString, QString> byFaxId;
    QHash<QString, QString> byMessageId;
    Stamp cur, fresh;  // the modification times of cur/ and new/ the index agrees with
    bool stampsKnown = false;  // false until the folder was read or the journal said
    qint64 journalOffset = 0;
    quint64 journalInode = 0;
    int journalLines = 0;
};

namespace {

constexpr qint32 DiskFull = 61;
const QString FaxIdProperty = QStringLiteral("FaxID");

struct FolderDef {
    int number;
    const char *dir;   // below the Maildir root; "" is the root itself
    const char *name;  // the default folder's name
    const char *slug;  // its index file and entry id
};
constexpr FolderDef Folders[] = {
    {FolderDeletedItems, ".Trash", "Deleted Items", "Trash"},
    {FolderOutbox, ".Outbox", "Outbox", "Outbox"},
    {FolderSentItems, ".Sent", "Sent Items", "Sent"},
    {FolderInbox, "", "Inbox", "INBOX"},
};

const FolderDef &folderDef(int folder) {
    for (const FolderDef &f : Folders)
        if (f.number == folder) return f;
    throw notFound(QStringLiteral("folder"));
}

int slot(int folder) { return folderDef(folder).number - FolderDeletedItems; }

QByteArray encoded(const QString &path) { return QFile::encodeName(path); }

// The failure a file operation's errno stands for, with the details in the program's log.
AutomationError fileError(int error, const QString &what, const QString &path) {
    qCWarning(lcMailStore, "Mail store: cannot %s %s: %s", qUtf8Printable(what), qUtf8Printable(path), std::strerror(error));
    switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
        return {err::PermissionDenied, QStringLiteral("Permission denied")};
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return {DiskFull, QStringLiteral("Disk full")};
    case ENOENT:
        return {err::PathNotFound, QStringLiteral("Path not found")};
    default:
        return {err::PathFileAccessError, QStringLiteral("Path/File access error")};
    }
}

Stamp stampOf(const QString &dir) {
    struct stat st {};
    if (::stat(encoded(dir).constData(), &st) != 0) return {};
    return {qint64(st.st_mtim.tv_sec), qint64(st.st_mtim.tv_nsec)};
}

QString stampText(const Stamp &s) { return QStringLiteral("%1.%2").arg(s.sec).arg(s.nsec); }

Stamp parseStamp(const QString &text) {
    const qsizetype dot = text.indexOf(u'.', 1);
    if (dot < 0) return {};
    return {text.left(dot).toLongLong(), text.mid(dot + 1).toLongLong()};
}

QString escapeField(const QString &text) {
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '\\': out += QLatin1String("\\\\"); break;
        case '\t': out += QLatin1String("\\t"); break;
        case '\n': out += QLatin1String("\\n"); break;
        case '\r': out += QLatin1String("\\r"); break;
        default: out += c;
        }
    }
    return out;
}

QString unescapeField(const QString &text) {
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != u'\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const QChar next = text[++i];
        out += next == u't' ? QChar(u'\t') : next == u'n' ? QChar(u'\n') : next == u'r' ? QChar(u'\r') : next;
    }
    return out;
}

QString keyOf(const QString &fileName) { return fileName.section(u':', 0, 0); }

QString flagsOf(const QString &relativeName) {
    const qsizetype marker = relativeName.indexOf(QLatin1String(":2,"));
    return marker < 0 ? QString() : relativeName.mid(marker + 3);
}

QString withSeen(QString flags, bool seen) {
    flags.remove(u'S');
    if (seen) flags.append(u'S');
    std::sort(flags.begin(), flags.end());
    return flags;
}

QStringList listDirectory(const QString &dir) {
    QStringList names;
    DIR *d = ::opendir(encoded(dir).constData());
    if (!d) return names;
    while (const dirent *e = ::readdir(d)) {
        if (e->d_name[0] == '.') continue;
        names.append(QFile::decodeName(e->d_name));
    }
    ::closedir(d);
    names.sort();
    return names;
}

// Writes bytes into a new file at path and flushes it to disk; on failure nothing is left.
void writeNewFile(const QString &path, const QByteArray &bytes) {
    const QByteArray native = encoded(path);
    const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) throw fileError(errno, QStringLiteral("create"), path);
    qsizetype done = 0;
    int error = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = n < 0 ? errno : ENOSPC;
            break;
        }
        done += n;
    }
    if (!error && ::fsync(fd) != 0) error = errno;
    if (::close(fd) != 0 && !error) error = errno;
    if (error) {
        ::unlink(native.constData());
        throw fileError(error, QStringLiteral("write"), path);
    }
}

void renameFile(const QString &from, const QString &to) {
    if (::rename(encoded(from).constData(), encoded(to).constData()) != 0) {
        const int error = errno;
        throw fileError(error, QStringLiteral("rename into"), to);
    }
}

bool fileExists(const QString &path) {
    struct stat st {};
    return ::stat(encoded(path).constData(), &st) == 0 && S_ISREG(st.st_mode);
}

QString hostName() {
    char buffer[256] = {};
    ::gethostname(buffer, sizeof buffer - 1);
    QString host = QString::fromLocal8Bit(buffer);
    if (host.isEmpty()) host = QStringLiteral("localhost");
    // "/" and ":" cannot stand in a Maildir name; the convention writes them in octal.
    return host.replace(u'/', QLatin1String("\\057")).replace(u':', QLatin1String("\\072"));
}

}  // namespace

// ---- the store -----------------------------------------------------------------------------------

MaildirStore::MaildirStore(QString root) : m_root(std::move(root)) {
    m_indexDir = m_root + QStringLiteral(".index");
    initMime();
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

bool MaildirStore::isFolder(int folder) {
    return std::any_of(std::begin(Folders), std::end(Folders), [&](const FolderDef &f) { return f.number == folder; });
}

QString MaildirStore::folderName(int folder) { return QString::fromLatin1(folderDef(folder).name); }

QString MaildirStore::folderEntryId(int folder) {
    return QStringLiteral("folder:") + QString::fromLatin1(folderDef(folder).slug);
}

QString MaildirStore::folderPath(int folder) const {
    const char *dir = folderDef(folder).dir;
    return *dir ? m_root + u'/' + QString::fromLatin1(dir) : m_root;
}

QString MaildirStore::filePath(int folder, const QString &fileName) const { return folderPath(folder) + u'/' + fileName; }

QString MaildirStore::journalPath(int folder) const {
    return m_indexDir + u'/' + QString::fromLatin1(folderDef(folder).slug) + QStringLiteral(".journal");
}

void MaildirStore::ensureFolder(int folder) {
    // The first write makes every default folder, so that mail readers list all four.
    if (!m_foldersMade) {
        m_foldersMade = true;
        for (const FolderDef &f : Folders)
            if (f.number != folder) {
                try {
                    ensureFolder(f.number);
                } catch (const AutomationError &) {
                    // the folder written to reports its own failure
                }
            }
    }
    const QString path = folderPath(folder);
    for (const char *sub : {"cur", "new", "tmp"}) {
        const QString dir = path + u'/' + QLatin1String(sub);
        if (QFileInfo::exists(dir)) continue;
        errno = 0;
        if (!QDir().mkpath(m_root)) throw fileError(errno ? errno : EACCES, QStringLiteral("create"), m_root);
        if (::mkdir(encoded(path).constData(), 0700) != 0 && errno != EEXIST) throw fileError(errno, QStringLiteral("create"), path);
        if (::mkdir(encoded(dir).constData(), 0700) != 0 && errno != EEXIST) throw fileError(errno, QStringLiteral("create"), dir);
    }
    // Maildir++ marks a subfolder with this empty file.
    if (folder != FolderInbox && !QFileInfo::exists(path + QStringLiteral("/maildirfolder")))
        QFile(path + QStringLiteral("/maildirfolder")).open(QIODevice::WriteOnly);
}

MaildirStore::FolderIndex &MaildirStore::index(int folder) {
    std::unique_ptr<FolderIndex> &ix = m_folders[size_t(slot(folder))];
    if (!ix) ix = std::make_unique<FolderIndex>();
    if (!ix->loaded) {
        ix->loaded = true;
        loadJournal(folder, *ix);
        removeStaleTmp(folder);
    }
    return *ix;
}

void MaildirStore::removeStaleTmp(int folder) {
    const QString dir = folderPath(folder) + QStringLiteral("/tmp");
    const qint64 cutoff = QDateTime::currentSecsSinceEpoch() - 36 * 3600;
    for (const QString &name : listDirectory(dir)) {
        struct stat st {};
        const QByteArray path = encoded(dir + u'/' + name);
        if (::stat(path.constData(), &st) == 0 && S_ISREG(st.st_mode) && st.st_mtime < cutoff) ::unlink(path.constData());
    }
}

bool MaildirStore::stampsCurrent(int folder, const FolderIndex &ix) const {
    const QString path = folderPath(folder);
    // A folder not made yet has the stamps of missing directories, which compare equal too.
    return ix.stampsKnown && stampOf(path + QStringLiteral("/cur")) == ix.cur && stampOf(path + QStringLiteral("/new")) == ix.fresh;
}

void MaildirStore::refresh(int folder) {
    FolderIndex &ix = index(folder);
    if (stampsCurrent(folder, ix)) return;
    loadJournal(folder, ix);  // another of our processes may have recorded the change
    if (!stampsCurrent(folder, ix)) reconcile(folder, ix);
}

void MaildirStore::loadJournal(int folder, FolderIndex &ix) {
    QFile file(journalPath(folder));
    if (!file.open(QIODevice::ReadOnly)) return;
    struct stat st {};
    const quint64 inode = ::fstat(file.handle(), &st) == 0 ? quint64(st.st_ino) : 0;
    if (inode != ix.journalInode || file.size() < ix.journalOffset) {
        // A compacted or new journal: read it from its start.
        ix = FolderIndex{};
        ix.loaded = true;
        ix.journalInode = inode;
    }
    file.seek(ix.journalOffset);
    const QByteArray tail = file.readAll();
    const qsizetype complete = tail.lastIndexOf('\n') + 1;  // a line still being written waits
    for (const QByteArray &line : tail.left(complete).split('\n')) {
        if (line.isEmpty()) continue;
        replayLine(ix, QString::fromUtf8(line));
        ++ix.journalLines;
    }
    ix.journalOffset += complete;
    if (ix.journalLines > 2 * int(ix.entries.size()) + 256) compactJournal(folder, ix);
}

void MaildirStore::replayLine(FolderIndex &ix, const QString &line) {
    const QStringList f = line.split(u'\t');
    if (f.size() < 3) return;
    ix.cur = parseStamp(f[1]);
    ix.fresh = parseStamp(f[2]);
    ix.stampsKnown = true;
    if (f[0] == QLatin1String("+") && f.size() >= 8)
        putEntry(ix, {unescapeField(f[3]), unescapeField(f[4]), unescapeField(f[5]), unescapeField(f[6]), unescapeField(f[7])});
    else if (f[0] == QLatin1String("-") && f.size() >= 4)
        dropEntry(ix, unescapeField(f[3]));
}

namespace {
QString entryLine(const QString &key, const QString &fileName, const QString &messageId, const QString &faxId, const QString &subject) {
    return QStringList{escapeField(key), escapeField(fileName), escapeField(messageId), escapeField(faxId), escapeField(subject)}.join(u'\t');
}
}  // namespace

void MaildirStore::appendJournal(int folder, FolderIndex &ix, const QString &line) {
    if (!QDir().mkpath(m_indexDir)) return;
    const QByteArray bytes = line.toUtf8() + '\n';
    // O_APPEND and one write per line: lines of two processes never interleave.
    const int fd = ::open(encoded(journalPath(folder)).constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0 || ::write(fd, bytes.constData(), size_t(bytes.size())) != bytes.size())
        qCWarning(lcMailStore, "Mail store: the index %s cannot be written; it is rebuilt from the folder later",
                  qUtf8Printable(journalPath(folder)));
    if (fd >= 0) ::close(fd);
    // Rewritten once it holds several lines per message, so it never grows without bound
    // and the rewriting costs a constant share of the changes.
    if (++ix.journalLines > 4 * int(ix.entries.size()) + 1024) compactJournal(folder, ix);
}

// Records one change made by this process; the stamps after it are trusted only when the
// index agreed with the folder before the change.
void MaildirStore::recordChange(int folder, FolderIndex &ix, const QString &line, bool folderWasCurrent) {
    if (folderWasCurrent) {
        ix.stampsKnown = true;
        ix.cur = stampOf(folderPath(folder) + QStringLiteral("/cur"));
        ix.fresh = stampOf(folderPath(folder) + QStringLiteral("/new"));
    }
    appendJournal(folder, ix, line.left(1) + u'\t' + stampText(ix.cur) + u'\t' + stampText(ix.fresh) + line.mid(1));
}

void MaildirStore::compactJournal(int folder, FolderIndex &ix) {
    QString text;
    for (const Entry &e : ix.entries)
        text += QStringLiteral("+\t%1\t%2\t%3\n").arg(stampText(ix.cur), stampText(ix.fresh),
                                                    entryLine(e.key, e.fileName, e.messageId, e.faxId, e.subject));
    const QString path = journalPath(folder);
    const QString temporary = path + QStringLiteral(".%1.tmp").arg(QCoreApplication::applicationPid());
    try {
        ::unlink(encoded(temporary).constData());
        writeNewFile(temporary, text.toUtf8());
        renameFile(temporary, path);
    } catch (const AutomationError &) {
        return;  // the long journal still answers
    }
    struct stat st {};
    ix.journalInode = ::stat(encoded(path).constData(), &st) == 0 ? quint64(st.st_ino) : 0;
    ix.journalOffset = text.toUtf8().size();
    ix.journalLines = int(ix.entries.size());
}

void MaildirStore::reconcile(int folder, FolderIndex &ix) {
    const QString path = folderPath(folder);
    // Taken before the listing, so that a change made while listing is seen next time.
    const Stamp cur = stampOf(path + QStringLiteral("/cur"));
    const Stamp fresh = stampOf(path + QStringLiteral("/new"));
    QSet<QString> present;
    for (const char *sub : {"new", "cur"}) {
        for (const QString &name : listDirectory(path + u'/' + QLatin1String(sub))) {
            const QString key = keyOf(name);
            const QString fileName = QLatin1String(sub) + u'/' + name;
            if (present.contains(key)) continue;  // caught between new/ and cur/ by another program
            present.insert(key);
            const auto known = ix.byKey.constFind(key);
            if (known != ix.byKey.cend()) {
                Entry e = ix.entries[size_t(*known)];
                if (e.fileName == fileName) continue;
                e.fileName = fileName;
                putEntry(ix, e);
                appendJournal(folder, ix, QStringLiteral("+\t%1\t%2\t").arg(stampText(ix.cur), stampText(ix.fresh)) + entryLine(e.key, e.fileName, e.messageId, e.faxId, e.subject));
                continue;
            }
            QFile file(path + u'/' + fileName);
            std::optional<MessageSummary> summary;
            if (file.open(QIODevice::ReadOnly)) summary = readSummary(file.readAll());
            if (!summary) {
                qCWarning(lcMailStore, "Mail store: %s holds no readable message", qUtf8Printable(file.fileName()));
                summary = MessageSummary{};
            }
            const Entry e{key, fileName, summary->messageId.isEmpty() ? key : summary->messageId, summary->faxId, summary->subject};
            putEntry(ix, e);
            appendJournal(folder, ix, QStringLiteral("+\t%1\t%2\t").arg(stampText(ix.cur), stampText(ix.fresh)) + entryLine(e.key, e.fileName, e.messageId, e.faxId, e.subject));
        }
    }
    std::vector<QString> gone;
    for (const Entry &e : ix.entries)
        if (!present.contains(e.key)) gone.push_back(e.key);
    for (const QString &key : gone) {
        dropEntry(ix, key);
        appendJournal(folder, ix, QStringLiteral("-\t%1\t%2\t").arg(stampText(ix.cur), stampText(ix.fresh)) + escapeField(key));
    }
    ix.cur = cur;
    ix.fresh = fresh;
    ix.stampsKnown = true;
    appendJournal(folder, ix, QStringLiteral("=\t%1\t%2").arg(stampText(cur), stampText(fresh)));
}

void MaildirStore::putEntry(FolderIndex &ix, Entry entry) {
    int at = ix.byKey.value(entry.key, -1);
    if (at >= 0) {
        const Entry &old = ix.entries[size_t(at)];
        if (--ix.subjectCount[old.subject] == 0) ix.subjectCount.remove(old.subject);
        ix.byFaxId.remove(old.faxId, old.key);
        ix.byMessageId.remove(old.messageId);
        ix.entries[size_t(at)] = std::move(entry);
    } else {
        at = int(ix.entries.size());
        ix.byKey.insert(entry.key, at);
        ix.entries.push_back(std::move(entry));
    }
    const Entry &e = ix.entries[size_t(at)];
    ++ix.subjectCount[e.subject];
    if (!e.faxId.isEmpty()) ix.byFaxId.insert(e.faxId, e.key);
    ix.byMessageId.insert(e.messageId, e.key);
}

void MaildirStore::dropEntry(FolderIndex &ix, const QString &key) {
    const auto known = ix.byKey.constFind(key);
    if (known == ix.byKey.cend()) return;
    const int at = *known;
    const Entry &old = ix.entries[size_t(at)];
    if (--ix.subjectCount[old.subject] == 0) ix.subjectCount.remove(old.subject);
    ix.byFaxId.remove(old.faxId, old.key);
    ix.byMessageId.remove(old.messageId);
    ix.byKey.erase(known);
    ix.entries.erase(ix.entries.begin() + at);
    for (int i = at; i < int(ix.entries.size()); ++i) ix.byKey[ix.entries[size_t(i)].key] = i;
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
    const FolderIndex &ix = index(folder);
    int first = 0;
    for (auto it = ix.byFaxId.constFind(faxId); it != ix.byFaxId.cend() && it.key() == faxId; ++it) {
        const int at = ix.byKey.value(it.value(), -1);
        if (at < 0 || (subject && ix.entries[size_t(at)].subject != *subject)) continue;
        if (first == 0 || at + 1 < first) first = at + 1;
    }
    return first;
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

QString MaildirStore::newKey() {
    struct timeval now {};
    ::gettimeofday(&now, nullptr);
    static const QString host = hostName();
    return QStringLiteral("%1.M%2P%3Q%4.%5")
        .arg(qint64(now.tv_sec))
        .arg(qint64(now.tv_usec))
        .arg(QCoreApplication::applicationPid())
        .arg(++m_keyCounter)
        .arg(host);
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
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) throw fileError(errno ? errno : EIO, QStringLiteral("read"), path);
    std::optional<MessageData> message = readMessage(file.readAll());
    if (!message) {
        qCWarning(lcMailStore, "Mail store: %s holds no readable message", qUtf8Printable(path));
        throw AutomationError(err::PathFileAccessError, QStringLiteral("The message file is damaged and cannot be read"));
    }
    if (message->messageId.isEmpty()) message->messageId = e.messageId;
    if (unread) *unread = !flagsOf(e.fileName).contains(u'S');
    return *message;
}

void MaildirStore::save(MessageLocation &loc, const MessageData &message, std::optional<bool> unread) {
    const QByteArray bytes = writeMessage(message);
    const QString faxId = [&] {
        for (const auto &[name, value] : message.userProperties)
            if (name.compare(FaxIdProperty, Qt::CaseInsensitive) == 0) return value;
        return QString();
    }();
    if (loc.key.isEmpty() && m_stagingDepth > 0) {
        ensureFolder(loc.folder);
        Staged s{newKey(), loc.folder, {}, message.messageId, faxId, message.subject};
        s.fileName = QStringLiteral("cur/%1:2,%2").arg(s.key, withSeen(QString(), !unread.value_or(false)));
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
        if (unread) s->fileName = QStringLiteral("cur/%1:2,%2").arg(s->key, withSeen(flagsOf(s->fileName), !*unread));
        s->messageId = message.messageId;
        s->faxId = faxId;
        s->subject = message.subject;
        loc.folder = s->folder;
        return;
    }
    if (loc.key.isEmpty()) {
        ensureFolder(loc.folder);
        refresh(loc.folder);
        const QString key = newKey();
        const QString tmp = filePath(loc.folder, QStringLiteral("tmp/") + key);
        const QString fileName = QStringLiteral("cur/%1:2,%2").arg(key, withSeen(QString(), !unread.value_or(false)));
        writeNewFile(tmp, bytes);
        FolderIndex &ix = index(loc.folder);
        const bool current = stampsCurrent(loc.folder, ix);
        try {
            renameFile(tmp, filePath(loc.folder, fileName));
        } catch (...) {
            ::unlink(encoded(tmp).constData());
            throw;
        }
        loc.key = key;
        putEntry(ix, {key, fileName, message.messageId, faxId, message.subject});
        recordChange(loc.folder, ix, QStringLiteral("+\t") + entryLine(key, fileName, message.messageId, faxId, message.subject), current);
        return;
    }
    locate(loc, message.messageId);
    FolderIndex &ix = index(loc.folder);
    const QString oldName = ix.entries[size_t(ix.byKey.value(loc.key))].fileName;
    QString newName = oldName;
    if (unread) newName = QStringLiteral("cur/%1:2,%2").arg(loc.key, withSeen(flagsOf(oldName), !*unread));
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
    putEntry(ix, {loc.key, newName, message.messageId, faxId, message.subject});
    recordChange(loc.folder, ix, QStringLiteral("+\t") + entryLine(loc.key, newName, message.messageId, faxId, message.subject), current);
}

void MaildirStore::move(MessageLocation &loc, const QString &entryId, int targetFolder) {
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
    recordChange(targetFolder, to, QStringLiteral("+\t") + entryLine(e.key, e.fileName, e.messageId, e.faxId, e.subject), toCurrent);
    loc.folder = targetFolder;
}

void MaildirStore::erase(MessageLocation &loc, const QString &entryId) {
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

// ---- staging ---------------------------------------------------------------------------------------

MaildirStore::Staged *MaildirStore::staged(const QString &key) {
    if (key.isEmpty()) return nullptr;
    const auto it = std::find_if(m_staged.begin(), m_staged.end(), [&](const Staged &s) { return s.key == key; });
    return it == m_staged.end() ? nullptr : &*it;
}

QString MaildirStore::stagedPath(const Staged &s) const { return filePath(s.folder, QStringLiteral("tmp/") + s.key); }

void MaildirStore::beginStaging() { ++m_stagingDepth; }

void MaildirStore::endStaging() {
    if (m_stagingDepth == 0 || --m_stagingDepth > 0) return;
    for (const Staged &s : std::exchange(m_staged, {})) {
        try {
            publish(s);
        } catch (const AutomationError &) {
            // fileError has logged it; the file stays in tmp/ until it is old enough to go
        }
    }
}

void MaildirStore::publish(const Staged &s) {
    refresh(s.folder);
    FolderIndex &ix = index(s.folder);
    const bool current = stampsCurrent(s.folder, ix);
    renameFile(stagedPath(s), filePath(s.folder, s.fileName));
    putEntry(ix, {s.key, s.fileName, s.messageId, s.faxId, s.subject});
    recordChange(s.folder, ix, QStringLiteral("+\t") + entryLine(s.key, s.fileName, s.messageId, s.faxId, s.subject), current);
}

}  // namespace sendmere::mail
