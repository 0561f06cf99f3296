#pragma once
// The mail client as the program sees it: the application, its "MAPI" namespace with the
// default folders and their items, the messaging session with its address book, and the
// mail library's safe item and property utilities. All of them work on one mail store
// (MailStore.h: the local Maildir or a mail server); every failing call raises AutomationError.
#include "platform/AutomationError.h"

#include <QDateTime>
#include <QString>
#include <QVariant>
#include <memory>
#include <optional>
#include <vector>

namespace sendmere::mail {

// Default folder numbers of the mail client.
enum DefaultFolder : int { FolderDeletedItems = 3, FolderOutbox = 4, FolderSentItems = 5, FolderInbox = 6 };

// Messaging property tags: the upper 16 bits name the property, the lower 16 its type.
namespace tag {
constexpr quint32 PR_CLIENT_SUBMIT_TIME = 0x00390040;
constexpr quint32 PR_RECEIVED_BY_NAME = 0x0040001E;
constexpr quint32 PR_SENT_REPRESENTING_NAME = 0x0042001E;
constexpr quint32 PR_RCVD_REPRESENTING_NAME = 0x0044001E;
constexpr quint32 PR_SENT_REPRESENTING_ADDRTYPE = 0x0064001E;
constexpr quint32 PR_SENT_REPRESENTING_EMAIL_ADDRESS = 0x0065001E;
constexpr quint32 PR_RECEIVED_BY_ADDRTYPE = 0x0075001E;
constexpr quint32 PR_RECEIVED_BY_EMAIL_ADDRESS = 0x0076001E;
constexpr quint32 PR_RCVD_REPRESENTING_ADDRTYPE = 0x0077001E;
constexpr quint32 PR_RCVD_REPRESENTING_EMAIL_ADDRESS = 0x0078001E;
constexpr quint32 PR_SENDER_NAME = 0x0C1A001E;
constexpr quint32 PR_SENDER_ADDRTYPE = 0x0C1E001E;
constexpr quint32 PR_SENDER_EMAIL_ADDRESS = 0x0C1F001E;
constexpr quint32 PR_DISPLAY_TO = 0x0E04001E;
constexpr quint32 PR_MESSAGE_DELIVERY_TIME = 0x0E060040;
constexpr quint32 PR_ICON_INDEX = 0x10800003;
constexpr quint32 PR_ATTACH_MIME_TAG = 0x370E001E;
constexpr quint32 PR_ATTACH_CONTENT_ID = 0x3712001E;

constexpr quint16 PT_SHORT = 0x0002;
constexpr quint16 PT_LONG = 0x0003;
constexpr quint16 PT_BOOLEAN = 0x000B;
constexpr quint16 PT_STRING8 = 0x001E;
constexpr quint16 PT_UNICODE = 0x001F;
constexpr quint16 PT_SYSTIME = 0x0040;
constexpr quint16 type(quint32 t) { return quint16(t & 0xFFFF); }
}  // namespace tag

// The mail client's failure when an item or folder it was asked for is not (or no longer) there.
AutomationError notFound(const QString &what);

class MailItem {
public:
    virtual ~MailItem() = default;
    virtual QString EntryID() const = 0;
    // The entry id of the folder the item is in now.
    virtual QString parentEntryID() const = 0;
    virtual QString MessageClass() const = 0;
    virtual QString Subject() const = 0;
    virtual void setSubject(const QString &subject) = 0;
    virtual QString To() const = 0;
    virtual void setTo(const QString &to) = 0;
    virtual QString Body() const = 0;
    virtual void setBody(const QString &body) = 0;
    virtual QString HTMLBody() const = 0;
    virtual void setHTMLBody(const QString &html) = 0;
    virtual bool UnRead() const = 0;
    virtual void setUnRead(bool unread) = 0;
    virtual int Importance() const = 0;  // 0 low, 1 normal, 2 high
    virtual void setImportance(int importance) = 0;
    // The item's own time, which its Date header shows and mail readers sort by: the time of
    // its first save unless set before; invalid until then.
    virtual QDateTime Date() const = 0;
    virtual void setDate(const QDateTime &date) = 0;

    // The text user property name; an empty QVariant when the item has none.
    virtual QVariant userProperty(const QString &name) const = 0;
    // Adds the text user property name (empty) unless the item has it already.
    virtual void addUserProperty(const QString &name) = 0;
    // Sets the value, adding the property when the item has none of that name.
    virtual void setUserProperty(const QString &name, const QString &value) = 0;

    // Attachments count from 1.
    virtual int attachmentCount() const = 0;
    virtual void removeAttachment(int position) = 0;
    // Attaches a copy of the file at path by value; returns the position it got.
    virtual int addAttachment(const QString &path, int position, const QString &displayName) = 0;
    virtual QString attachmentDisplayName(int position) const = 0;
    virtual QString attachmentFileName(int position) const = 0;
    virtual QByteArray attachmentData(int position) const = 0;
    virtual QVariant attachmentField(int position, quint32 propertyTag) const = 0;
    virtual void setAttachmentField(int position, quint32 propertyTag, const QVariant &value) = 0;

    // Messaging properties by tag; an empty QVariant when the item has none.
    virtual QVariant property(quint32 propertyTag) const = 0;
    virtual void setProperty(quint32 propertyTag, const QVariant &value) = 0;

    virtual void Save() = 0;
    virtual void Move(int defaultFolder) = 0;
    // Moves the item into Deleted Items; an item there is deleted for good.
    virtual void Delete() = 0;
};

// A folder's items, or those of them a filter let through. Positions count from 1 in the
// folder's order.
class MailItems {
public:
    virtual ~MailItems() = default;
    virtual int count() const = 0;
    virtual std::unique_ptr<MailItem> Item(int position) const = 0;
    // Only the filter "[Subject]='<subject>'" is understood; the subject is everything
    // between the first "='" and the final quote.
    virtual std::unique_ptr<MailItems> Restrict(const QString &filter) const = 0;
    virtual std::unique_ptr<MailItem> Add(const QString &messageClass) = 0;
    // The position of the first item whose text user property name equals value, 0 when
    // none: what walking Item(1) to Item(count()) would find, answered from the store's index.
    virtual int findUserProperty(const QString &name, const QString &value) const = 0;
    // Whether any item has the text user property name equal to value; for "FaxID" it costs
    // the same however many items there are.
    virtual bool containsUserProperty(const QString &name, const QString &value) const = 0;
};

class MailFolder {
public:
    virtual ~MailFolder() = default;
    virtual QString EntryID() const = 0;
    virtual QString Name() const = 0;
    virtual int count() const = 0;
    virtual std::unique_ptr<MailItems> Items() const = 0;
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

// A message of the messaging session: fields by name ("Subject", "Sent", "TimeSent",
// "TimeReceived", "Type", "UnRead", "Text"), kept until Update writes them.
class SessionMessage {
public:
    virtual ~SessionMessage() = default;
    virtual QVariant field(const QString &name) const = 0;
    virtual void setField(const QString &name, const QVariant &value) = 0;
    virtual void Update() = 0;
    virtual QString Id() const = 0;  // raises until the message has been updated once
};

class SessionFolder {
public:
    virtual ~SessionFolder() = default;
    // Messages.Add
    virtual std::unique_ptr<SessionMessage> addMessage() = 0;
};

class MessagingSession {
public:
    virtual ~MessagingSession() = default;
    virtual void Logon(bool showDialog, bool newSession) = 0;
    virtual std::unique_ptr<SessionFolder> Inbox() = 0;
    virtual std::unique_ptr<SessionFolder> Outbox() = 0;
    // Shows the address book dialog; raises MapiUserCancel when the user cancels it.
    virtual std::vector<AddressEntry> AddressBook(const QString &title, int recipientLists,
                                                  const QString &firstListLabel) = 0;
};

// The mail library's safe item: works on a mail item given to it.
class SafeMailItem {
public:
    class Attachment {
    public:
        Attachment(MailItem &item, int position) : m_item(&item), m_position(position) {}
        QVariant Fields(quint32 propertyTag) const { return m_item->attachmentField(m_position, propertyTag); }
        void setFields(quint32 propertyTag, const QVariant &value) { m_item->setAttachmentField(m_position, propertyTag, value); }
        int position() const { return m_position; }

    private:
        MailItem *m_item;
        int m_position;
    };

    void setItem(MailItem *item) { m_item = item; }
    MailItem *Item() const { return m_item; }
    QString HTMLBody() const { return item().HTMLBody(); }
    void setHTMLBody(const QString &html) { item().setHTMLBody(html); }
    // Attachments.Add: attaches the file by value after the existing attachments.
    Attachment addAttachment(const QString &path);
    void Save() { item().Save(); }

private:
    MailItem &item() const;  // raises 91 when no item was given
    MailItem *m_item = nullptr;
};

// The mail library's property utilities.
class MapiUtils {
public:
    void HrSetOneProp(MailItem &item, quint32 propertyTag, const QVariant &value, bool save);
    QVariant HrGetOneProp(const MailItem &item, quint32 propertyTag) const;
    // The address book over the contacts (Contacts.cpp): the chosen entries, nothing when
    // the user cancels; an entry's fax numbers by their property tags.
    std::optional<std::vector<AddressEntry>> AddressBook(const QString &title, int recipientLists,
                                                         const QString &firstListLabel);
    QVariant HrGetOneProp(const AddressEntry &entry, quint32 propertyTag) const;
};

}  // namespace sendmere::mail

namespace sendmere::mail {

// The component names under which the mail side is registered in the classes root.
inline const QString ApplicationClass = QStringLiteral("Outlook.Application");
inline const QString SessionClass = QStringLiteral("MAPI.Session");
inline const QString SafeMailItemClass = QStringLiteral("RedOutlook.SafeMailItem");
inline const QString MapiUtilsClass = QStringLiteral("RedOutlook.MAPIUtils");

// True when the component is registered in the classes root (its "CLSID" subkey has a
// value). A fresh registry holds all four.
bool componentRegistered(const QString &className);

// The mail client's entry points. Each raises AutomationError 429 when its component is not
// registered on this machine.
std::unique_ptr<MailApplication> attachRunningApplication();
std::unique_ptr<MailApplication> startApplication();
std::unique_ptr<MessagingSession> createSession();
std::unique_ptr<SafeMailItem> createSafeMailItem();
std::unique_ptr<MapiUtils> createMapiUtils();

class MailStore;

// Writes the items that wait for the mail server (while it could not be reached) once it
// can be reached again, in the order they were made; returns how many still wait. Nothing
// waits with the local store.
int writePendingItems();

// While one lives, the items saved anew in the mail store are written but kept out of
// every reader's sight, and no other process writes the store. Once keep() was called they
// all appear, each as its last save left it, when the last one ends; without it, or when a
// write failed meanwhile, none does. Work that makes an item in several saves holds one and
// keeps it once the item is whole, so that a program killed or failing in the middle
// leaves nothing half made behind.
class StagedItems {
public:
    StagedItems();
    ~StagedItems();
    StagedItems(const StagedItems &) = delete;
    StagedItems &operator=(const StagedItems &) = delete;
    void keep() { m_keep = true; }

private:
    std::shared_ptr<MailStore> m_store;
    bool m_keep = false;
};

// Watches the mail store from its creation on: check() raises when an item could not be
// written whole since then (the last write failure, such as a full disk, when there was
// one), so that work that writes many items can say that not all of them were written.
class StoreWatch {
public:
    StoreWatch();
    void check() const;

private:
    std::shared_ptr<MailStore> m_store;
    quint64 m_problemsBefore = 0;
};

}  // namespace sendmere::mail
