#pragma once
// The mail store as the mail client objects use it: four default folders of items, each
// item a MIME message. Two kinds implement it: the local Maildir (MaildirStore, the default)
// and a mail server spoken to over IMAP (ImapStore). The registry value "MailStore" of
// HKEY_CURRENT_USER\Software\Sendmere chooses: empty or missing is the local Maildir,
// "imap://USER@HOST:PORT" or "imaps://USER@HOST:PORT" that server.
#include "platform/AutomationError.h"
#include "platform/mail/MimeMessage.h"

#include <QString>
#include <memory>
#include <optional>
#include <vector>

namespace sendmere::mail {

// What a store could not write since it was opened: writes that failed and stagings that
// published nothing, and the last write failure.
struct WriteProblems {
    quint64 count = 0;
    std::optional<AutomationError> lastFailure;
    quint64 lastFailureAt = 0;  // the count when it happened
};

struct MessageLocation {
    int folder = 0;  // default folder number
    QString key;     // the store's own name of the message within its folder
};

class MailStore {
public:
    virtual ~MailStore() = default;

    // Queries; each first notices what other programs changed.
    virtual int count(int folder) = 0;
    virtual std::optional<QString> keyAt(int folder, int position) = 0;  // position from 1
    virtual int positionOf(int folder, const QString &key) = 0;          // 0 when not there
    virtual int countWithSubject(int folder, const QString &subject) = 0;
    // Keys of the items with this subject, in folder order.
    virtual std::vector<QString> keysWithSubject(int folder, const QString &subject) = 0;
    // Position of the first item whose "FaxID" is faxId (and whose subject is subject, when
    // given); 0 when none.
    virtual int findFaxId(int folder, const QString &faxId, const std::optional<QString> &subject) = 0;
    virtual std::optional<MessageLocation> findEntryId(const QString &entryId) = 0;

    // Finds a message that may have been moved or renamed since loc was taken; raises
    // 0x8004010F when it is gone. loc is updated to where it is now.
    virtual void locate(MessageLocation &loc, const QString &entryId) = 0;
    virtual MessageData load(MessageLocation &loc, const QString &entryId, bool *unread) = 0;
    // Writes a new message (loc.key empty: a new key is made) or replaces an existing one.
    // unread: the seen flag to set; nullopt keeps what the message has now.
    virtual void save(MessageLocation &loc, const MessageData &message, std::optional<bool> unread) = 0;
    virtual void move(MessageLocation &loc, const QString &entryId, int targetFolder) = 0;
    virtual void erase(MessageLocation &loc, const QString &entryId) = 0;

    // While staging, messages written anew stay out of every reader's sight; they appear,
    // each as its last save left it, when the outermost staging ends. A staging that was
    // abandoned, or in which a write failed, publishes nothing, so that no half-made item
    // appears.
    virtual void beginStaging() = 0;
    virtual void abandonStaging() = 0;  // the innermost staging's new messages go, unpublished
    virtual void endStaging() = 0;      // never raises: what it cannot publish is logged
    virtual WriteProblems writeProblems() const = 0;

    // Writes what waits for a store that was away (a mail server that could not be reached)
    // when it can be reached now; returns how many messages still wait. A program that runs
    // for long calls it now and then, so that nothing waits until the next item is written.
    virtual int writePending() { return 0; }

    // The store the registry chooses, shared by every object open on it. Raises when the
    // registry names a store that cannot be used (the reason is in the error log).
    static std::shared_ptr<MailStore> shared();
};

// The registry value that chooses the store, and the key that holds it.
inline const QString MailStoreValue = QStringLiteral("MailStore");

}  // namespace sendmere::mail
