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
// reading only the files the index does not know.
#include "platform/mail/MimeMessage.h"

#include <QHash>
#include <QString>
#include <array>
#include <memory>
#include <optional>
#include <vector>

namespace sendmere::mail {

struct MessageLocation {
    int folder = 0;  // default folder number
    QString key;     // the Maildir unique name, the part of the file name before ":2,"
};

class MaildirStore {
public:
    explicit MaildirStore(QString root);
    ~MaildirStore();
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
    int count(int folder);
    std::optional<QString> keyAt(int folder, int position);  // position from 1
    int positionOf(int folder, const QString &key);          // 0 when not there
    int countWithSubject(int folder, const QString &subject);
    // Keys of the items with this subject, in folder order.
    std::vector<QString> keysWithSubject(int folder, const QString &subject);
    // Position of the first item whose "FaxID" is faxId (and whose subject is subject, when
    // given); 0 when none.
    int findFaxId(int folder, const QString &faxId, const std::optional<QString> &subject);
    std::optional<MessageLocation> findEntryId(const QString &entryId);

    // Finds a message that may have been moved or renamed since loc was taken; raises
    // 0x8004010F when it is gone. loc is updated to where it is now.
    void locate(MessageLocation &loc, const QString &entryId);
    MessageData load(MessageLocation &loc, const QString &entryId, bool *unread);
    // Writes a new message (loc.key empty: a new key is made) or replaces an existing one.
    // unread: the seen flag to set; nullopt keeps what the file has now.
    void save(MessageLocation &loc, const MessageData &message, std::optional<bool> unread);
    void move(MessageLocation &loc, const QString &entryId, int targetFolder);
    void erase(MessageLocation &loc, const QString &entryId);

    static QString newEntryId();

    // While staging, a message written anew stays in its folder's tmp/ (where Maildir
    // readers never look) and out of the index; later saves, moves and loads of it work
    // there. When the outermost staging ends, every staged message is renamed into cur/ of
    // the folder it is in then and indexed. A program killed in between leaves only tmp/
    // files, which the store removes once they are 36 hours old, as Maildir asks.
    void beginStaging();
    void endStaging();  // never raises: a message it cannot publish is logged and left in tmp/

private:
    struct Entry;
    struct FolderIndex;
    struct Staged {
        QString key;
        int folder = 0;
        QString fileName;  // the name it takes in cur/ when published
        QString messageId, faxId, subject;
    };

    Staged *staged(const QString &key);
    QString stagedPath(const Staged &s) const;
    void publish(const Staged &s);
    void removeStaleTmp(int folder);

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
};

}  // namespace sendmere::mail
