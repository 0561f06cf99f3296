#pragma once
// The mail store: Maildir++ under $XDG_DATA_HOME/sendmere/Mail. The top folder is the
// Inbox; ".Outbox", ".Sent" and ".Trash" are Outbox, Sent Items and Deleted Items. One file
// per message, written into tmp/ and renamed into cur/, so a reader never sees half a
// message. Other mail programs may read, flag, move and delete the files at any time.
//
// Lookups by subject, "FaxID" and entry id go through an index kept beside the Maildir
// (Mail.index/, one append-only journal per folder). A folder's index is trusted while its
// cur/ and new/ directories keep the modification times the index last recorded; when they
// changed (another program was there) the directory listing is reconciled with the index,
// reading only the files the index does not know. Journal lines carry a checksum; a damaged
// line makes the folder be read again. Before a new item is published, the folder itself
// is checked for an item with its "FaxID", whatever the index says.
//
// One process at a time writes the store: every write, and every staging from its
// duplicate check to its publication, holds the store's writer lock (Mail.index/lock).
#include "platform/AutomationError.h"
#include "platform/mail/MailStore.h"
#include "platform/mail/StoreLock.h"

#include <QDateTime>
#include <QHash>
#include <QString>
#include <array>
#include <memory>
#include <optional>
#include <vector>

namespace sendmere::mail {

// A message's key here is its Maildir unique name, the part of the file name before ":2,".
class MaildirStore final : public MailStore {
public:
    explicit MaildirStore(QString root);
    ~MaildirStore() override;
    MaildirStore(const MaildirStore &) = delete;
    MaildirStore &operator=(const MaildirStore &) = delete;

    // The store of $XDG_DATA_HOME/sendmere/Mail, shared by every object open on it.
    static std::shared_ptr<MaildirStore> shared();
    static QString defaultRoot();

    const QString &root() const { return m_root; }
    static bool isFolder(int folder);
    static QString folderName(int folder);     // "Inbox", "Outbox", "Sent Items", "Deleted Items"
    static QString folderEntryId(int folder);  // raises 0x8004010F for an unknown number
    QString folderPath(int folder) const;      // the folder's Maildir directory

    // Index queries; each first notices what other programs changed.
    int count(int folder) override;
    std::optional<QString> keyAt(int folder, int position) override;  // position from 1
    int positionOf(int folder, const QString &key) override;          // 0 when not there
    int countWithSubject(int folder, const QString &subject) override;
    // Keys of the items with this subject, in folder order.
    std::vector<QString> keysWithSubject(int folder, const QString &subject) override;
    // Position of the first item whose "FaxID" is faxId (and whose subject is subject, when
    // given); 0 when none.
    int findFaxId(int folder, const QString &faxId, const std::optional<QString> &subject) override;
    std::optional<MessageLocation> findEntryId(const QString &entryId) override;

    // Finds a message that may have been moved or renamed since loc was taken; raises
    // 0x8004010F when it is gone. loc is updated to where it is now.
    void locate(MessageLocation &loc, const QString &entryId) override;
    MessageData load(MessageLocation &loc, const QString &entryId, bool *unread) override;
    // Writes a new message (loc.key empty: a new key is made) or replaces an existing one.
    // unread: the seen flag to set; nullopt keeps what the file has now.
    void save(MessageLocation &loc, const MessageData &message, std::optional<bool> unread) override;
    void move(MessageLocation &loc, const QString &entryId, int targetFolder) override;
    void erase(MessageLocation &loc, const QString &entryId) override;

    static QString newEntryId();

    // While staging, a message written anew stays in its folder's tmp/ (where Maildir
    // readers never look) and out of the index; later saves, moves and loads of it work
    // there. When the outermost staging ends, every staged message is renamed into cur/ of
    // the folder it is in then and indexed, unless its folder already holds a message with
    // its "FaxID" and subject. A staging that was abandoned, or in which a write failed,
    // publishes nothing: its messages go, so that no half-made item appears. A program
    // killed in between leaves only tmp/ files, which the next store on the folder removes
    // (those of other programs once they are 36 hours old, as Maildir asks).
    // Staging holds the writer lock; a lock that cannot be had makes its saves fail.
    void beginStaging() override;
    void abandonStaging() override;  // the innermost staging's new messages go, unpublished
    void endStaging() override;      // never raises: what it cannot publish is logged and removed

    // What this store could not write since it was opened: writes that failed and stagings
    // that published nothing, and the last write failure.
    WriteProblems writeProblems() const override { return m_problems; }

private:
    struct Entry;
    struct FolderIndex;
    struct Staged {
        QString key;
        int folder = 0;
        QString fileName;  // the name it takes in new/ or cur/ when published
        QString messageId, faxId, subject;
        QDateTime time;  // the file's time once published
        qint64 size = 0;
        int depth = 0;  // the staging it was saved anew in
    };

    Staged *staged(const QString &key);
    QString stagedPath(const Staged &s) const;
    void publish(const Staged &s);
    void discard(const Staged &s);
    void removeStaleTmp(int folder);
    void saveLocked(MessageLocation &loc, const MessageData &message, std::optional<bool> unread);
    void moveLocked(MessageLocation &loc, const QString &entryId, int targetFolder);
    void eraseLocked(MessageLocation &loc, const QString &entryId);
    void noteFailure(const AutomationError &error);
    bool isWhole(int folder, FolderIndex &ix, int at);
    void setAsideDamaged(int folder, FolderIndex &ix, int at);

    FolderIndex &index(int folder);
    void refresh(int folder);
    void loadJournal(int folder, FolderIndex &ix);
    void replayLine(FolderIndex &ix, const QString &line);
    void reconcile(int folder, FolderIndex &ix);
    void compactJournal(int folder, FolderIndex &ix);
    void appendJournal(int folder, FolderIndex &ix, const QString &line);
    void recordChange(int folder, FolderIndex &ix, const QString &line, bool folderWasCurrent);
    bool stampsCurrent(int folder, const FolderIndex &ix) const;
    void putEntry(FolderIndex &ix, Entry entry);
    void dropEntry(FolderIndex &ix, const QString &key);
    QString journalPath(int folder) const;
    QString filePath(int folder, const QString &fileName) const;
    void ensureFolder(int folder);
    QString newKey();

    QString m_root;
    QString m_indexDir;
    std::array<std::unique_ptr<FolderIndex>, 4> m_folders;
    quint64 m_keyCounter = 0;
    bool m_foldersMade = false;
    std::vector<Staged> m_staged;
    int m_stagingDepth = 0;
    bool m_stagingSpoilt = false;  // abandoned, or a write failed: nothing is published
    std::optional<AutomationError> m_lockFailure;  // why this staging has no writer lock
    StoreLock m_lock;
    WriteProblems m_problems;
};

}  // namespace sendmere::mail
