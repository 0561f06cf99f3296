#include "platform/mail/MaildirIndex.h"

#include "platform/mail/MailClient.h"
#include "platform/mail/MaildirLayout.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sendmere::mail {

namespace {

int slot(int folder) { return folderDef(folder).number - FolderDeletedItems; }

QString stampText(const Stamp &s) { return QStringLiteral("%1.%2").arg(s.sec).arg(s.nsec); }

Stamp parseStamp(const QString &text) {
    const qsizetype dot = text.indexOf(u'.', 1);
    if (dot < 0) return {};
    return {text.left(dot).toLongLong(), text.mid(dot + 1).toLongLong()};
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

// Journal lines end in a checksum, so that a line cut short, glued to the next one or
// overwritten is recognised and not believed.
QByteArray lineChecksum(const QByteArray &line) {
    quint64 hash = 14695981039346656037ull;  // FNV-1a
    for (const char c : line) hash = (hash ^ quint8(c)) * 1099511628211ull;
    return QByteArray::number(hash, 16).rightJustified(16, '0');
}

QByteArray withChecksum(const QByteArray &line) { return line + "\t#" + lineChecksum(line); }

std::optional<QByteArray> checkedLine(const QByteArray &line) {
    const qsizetype mark = line.lastIndexOf("\t#");
    if (mark < 0 || line.size() - mark != 18) return std::nullopt;
    const QByteArray body = line.left(mark);
    if (line.mid(mark + 2) != lineChecksum(body)) return std::nullopt;
    return body;
}

}  // namespace

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

bool MaildirStore::stampsCurrent(int folder, const FolderIndex &ix) const {
    const QString path = folderPath(folder);
    // A folder not made yet has the stamps of missing directories, which compare equal too.
    return ix.stampsKnown && !ix.damaged && stampOf(path + QStringLiteral("/cur")) == ix.cur && stampOf(path + QStringLiteral("/new")) == ix.fresh;
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
        ++ix.journalLines;
        const std::optional<QByteArray> body = checkedLine(line);
        if (!body) {
            if (!ix.damaged)
                qCWarning(lcMailStore, "Mail store: the index %s holds a damaged line; the folder is read again",
                          qUtf8Printable(journalPath(folder)));
            ix.damaged = true;
            continue;
        }
        replayLine(ix, QString::fromUtf8(*body));
    }
    ix.journalOffset += complete;
    // A damaged index is not written out short until the folder was read again.
    if (!ix.damaged && ix.journalLines > 2 * int(ix.entries.size()) + 256) compactJournal(folder, ix);
}

void MaildirStore::replayLine(FolderIndex &ix, const QString &line) {
    const QStringList f = line.split(u'\t');
    if (f.size() < 3) return;
    ix.cur = parseStamp(f[1]);
    ix.fresh = parseStamp(f[2]);
    ix.stampsKnown = true;
    if (f[0] == QLatin1String("+") && f.size() >= 9)
        putEntry(ix, {unescapeField(f[3]), unescapeField(f[4]), unescapeField(f[5]), unescapeField(f[6]), unescapeField(f[7]),
                      f[8].toLongLong()});
    else if (f[0] == QLatin1String("-") && f.size() >= 4)
        dropEntry(ix, unescapeField(f[3]));
}


void MaildirStore::appendJournal(int folder, FolderIndex &ix, const QString &line) {
    if (!QDir().mkpath(m_indexDir)) return;
    const QByteArray bytes = withChecksum(line.toUtf8()) + '\n';
    // O_APPEND and one write per line: lines of two processes never interleave.
    const int fd = ::open(encoded(journalPath(folder)).constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0 || ::write(fd, bytes.constData(), size_t(bytes.size())) != bytes.size())
        qCWarning(lcMailStore, "Mail store: the index %s cannot be written; it is rebuilt from the folder later",
                  qUtf8Printable(journalPath(folder)));
    if (fd >= 0) ::close(fd);
    // Rewritten once it holds several lines per message, so it never grows without bound
    // and the rewriting costs a constant share of the changes.
    if (++ix.journalLines > 4 * int(ix.entries.size()) + 1024 && !ix.damaged) compactJournal(folder, ix);
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
    QByteArray text;
    for (const Entry &e : ix.entries)
        text += withChecksum(QStringLiteral("+\t%1\t%2\t%3").arg(stampText(ix.cur), stampText(ix.fresh), entryLine(e)).toUtf8()) + '\n';
    const QString path = journalPath(folder);
    const QString temporary = path + QStringLiteral(".%1.tmp").arg(QCoreApplication::applicationPid());
    try {
        ::unlink(encoded(temporary).constData());
        writeNewFile(temporary, text);
        renameFile(temporary, path);
    } catch (const AutomationError &) {
        return;  // the long journal still answers
    }
    struct stat st {};
    ix.journalInode = ::stat(encoded(path).constData(), &st) == 0 ? quint64(st.st_ino) : 0;
    ix.journalOffset = text.size();
    ix.journalLines = int(ix.entries.size());
}

void MaildirStore::reconcile(int folder, FolderIndex &ix) {
    const QString path = folderPath(folder);
    const FolderListing listing = listFolder(path);
    bool unread = false;
    for (auto [key, fileName] : listing.names) {
        const auto known = ix.byKey.constFind(key);
        if (known != ix.byKey.cend()) {
            Entry e = ix.entries[size_t(*known)];
            if (e.fileName == fileName) continue;
            e.fileName = fileName;
            putEntry(ix, e);
            appendJournal(folder, ix, QStringLiteral("+\t%1\t%2\t").arg(stampText(ix.cur), stampText(ix.fresh)) + entryLine(e));
            continue;
        }
        bool renamedAway = false;
        const std::optional<QByteArray> bytes = readRenamed(path, key, fileName, renamedAway);
        if (renamedAway) {
            unread = true;  // read it next time rather than index it without its fields
            continue;
        }
        if (!bytes && !fileExists(path + u'/' + fileName)) continue;  // deleted meanwhile
        std::optional<MessageSummary> summary;
        if (bytes) summary = readSummary(*bytes);
        if (bytes && !summary) qCWarning(lcMailStore, "Mail store: %s/%s holds no readable message", qUtf8Printable(path), qUtf8Printable(fileName));
        if (!summary) summary = MessageSummary{};
        const Entry e{key, fileName, summary->messageId.isEmpty() ? key : summary->messageId, summary->faxId, summary->subject,
                      bytes ? qint64(bytes->size()) : -1};
        putEntry(ix, e);
        appendJournal(folder, ix, QStringLiteral("+\t%1\t%2\t").arg(stampText(ix.cur), stampText(ix.fresh)) + entryLine(e));
    }
    std::vector<QString> gone;
    for (const Entry &e : ix.entries)
        if (!listing.keys.contains(e.key) && !fileExists(path + u'/' + e.fileName)) gone.push_back(e.key);
    for (const QString &key : gone) {
        dropEntry(ix, key);
        appendJournal(folder, ix, QStringLiteral("-\t%1\t%2\t").arg(stampText(ix.cur), stampText(ix.fresh)) + escapeField(key));
    }
    ix.cur = listing.cur;
    ix.fresh = listing.fresh;
    ix.stampsKnown = true;
    ix.damaged = unread;
    appendJournal(folder, ix, QStringLiteral("=\t%1\t%2").arg(stampText(listing.cur), stampText(listing.fresh)));
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

}  // namespace sendmere::mail
