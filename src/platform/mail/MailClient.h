#pragma once
// The mail client as the program sees it: the application, its "MAPI" namespace with the
// default folders and their items, and the messaging session with its address book. The
// mail store that implements these lives beside this header; every failing call raises
// AutomationError.
#include "platform/AutomationError.h"

#include <QDateTime>
#include <QString>
#include <QVariant>
#include <memory>
#include <vector>

namespace sendmere::mail {

// Default folder numbers of the mail client.
enum DefaultFolder : int { FolderDeletedItems = 3, FolderOutbox = 4, FolderSentItems = 5, FolderInbox = 6 };

class MailItem {
public:
    virtual ~MailItem() = default;
    virtual QString EntryID() const = 0;
    virtual QString Subject() const = 0;
    virtual void setSubject(const QString &subject) = 0;
    virtual void setTo(const QString &to) = 0;
    virtual void setBody(const QString &body) = 0;
    virtual void setUnRead(bool unread) = 0;
    virtual void setImportance(int importance) = 0;
    // The text user property name; an empty QVariant when the item has none.
    virtual QVariant userProperty(const QString &name) const = 0;
    virtual void setUserProperty(const QString &name, const QString &value) = 0;
    virtual int attachmentCount() const = 0;
    virtual void removeAttachment(int position) = 0;  // from 1
    virtual void addAttachment(const QString &path, int position, const QString &displayName) = 0;
    virtual void Save() = 0;
    virtual void Move(int defaultFolder) = 0;
    virtual void Delete() = 0;
};

class MailFolder {
public:
    virtual ~MailFolder() = default;
    virtual QString EntryID() const = 0;
    virtual int count() const = 0;
    // Items whose subject equals subject exactly.
    virtual std::vector<std::unique_ptr<MailItem>> itemsWithSubject(const QString &subject) const = 0;
    virtual std::unique_ptr<MailItem> addItem(const QString &messageClass) = 0;
};

class MailNamespace {
public:
    virtual ~MailNamespace() = default;
    virtual std::unique_ptr<MailFolder> GetDefaultFolder(int folder) = 0;
    virtual std::unique_ptr<MailItem> GetItemFromID(const QString &entryId) = 0;
};

class MailApplication {
public:
    virtual ~MailApplication() = default;
    virtual std::unique_ptr<MailNamespace> GetNamespace(const QString &type) = 0;
};

// One entry chosen in the address book dialog.
struct AddressEntry {
    QString Name;       // the recipient's display name
    QString Address;    // the recipient's address
    QString EntryName;  // the address entry's own name
    QString EntryAddress;
    QString BusinessFax, HomeFax, PrimaryFax;
};

class MessagingSession {
public:
    virtual ~MessagingSession() = default;
    virtual void Logon(bool showDialog, bool newSession) = 0;
    // Shows the address book dialog; raises MapiUserCancel when the user cancels it.
    virtual std::vector<AddressEntry> AddressBook(const QString &title, int recipientLists,
                                                  const QString &firstListLabel) = 0;
};

}  // namespace sendmere::mail

namespace sendmere::mail {

// The mail client's entry points. Each raises AutomationError 429 when no mail client can
// be reached on this machine.
std::unique_ptr<MailApplication> attachRunningApplication();
std::unique_ptr<MailApplication> startApplication();
std::unique_ptr<MessagingSession> createSession();

}  // namespace sendmere::mail
