#include "platform/mail/MailClient.h"

#include "RegistryStore.h"
#include "platform/mail/MaildirStore.h"
#include "platform/mail/Contacts.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>

namespace sendmere::mail {
namespace {

AutomationError outOfRange() { return AutomationError::subscriptOutOfRange(); }

bool sameName(const QString &a, const QString &b) { return a.compare(b, Qt::CaseInsensitive) == 0; }

// ---- items -----------------------------------------------------------------------------------------

class StoreItem final : public MailItem {
public:
    // An item already in the store.
    StoreItem(std::shared_ptr<MailStore> store, MessageLocation loc)
        : m_store(std::move(store)), m_loc(std::move(loc)) {}
    // A new item of the folder, not yet saved.
    StoreItem(std::shared_ptr<MailStore> store, int folder, const QString &messageClass)
        : m_store(std::move(store)), m_loc{folder, {}}, m_isNew(true) {
        m_data = MessageData{};
        m_data->messageClass = messageClass;
        m_unread = false;
    }

    QString EntryID() const override { return m_isNew ? QString() : data().messageId; }
    QString parentEntryID() const override {
        if (!m_isNew) m_store->locate(m_loc, data().messageId);
        return MaildirStore::folderEntryId(m_loc.folder);
    }
    QString MessageClass() const override { return data().messageClass; }
    QString Subject() const override { return data().subject; }
    void setSubject(const QString &subject) override { data().subject = subject; }
    QString To() const override { return data().to; }
    void setTo(const QString &to) override { data().to = to; }
    QString Body() const override { return data().body; }
    void setBody(const QString &body) override { data().body = body; }
    QString HTMLBody() const override { return data().htmlBody; }
    void setHTMLBody(const QString &html) override { data().htmlBody = html; }
    bool UnRead() const override {
        data();
        return m_unreadSet.value_or(m_unread);
    }
    void setUnRead(bool unread) override { m_unreadSet = unread; }
    int Importance() const override { return data().importance; }
    void setImportance(int importance) override {
        if (importance < 0 || importance > 2) throw AutomationError(err::InvalidProcedureCall, QStringLiteral("Invalid procedure call or argument"));
        data().importance = importance;
    }
    QDateTime Date() const override { return data().created; }
    void setDate(const QDateTime &date) override {
        if (!date.isValid()) throw AutomationError(err::InvalidProcedureCall, QStringLiteral("Invalid procedure call or argument"));
        data().created = date;
    }

    QVariant userProperty(const QString &name) const override {
        for (const auto &[n, value] : data().userProperties)
            if (sameName(n, name)) return value;
        return {};
    }
    void addUserProperty(const QString &name) override {
        if (!userProperty(name).isValid()) data().userProperties.append({name, QString()});
    }
    void setUserProperty(const QString &name, const QString &value) override {
        for (auto &[n, v] : data().userProperties)
            if (sameName(n, name)) {
                v = value;
                return;
            }
        data().userProperties.append({name, value});
    }

    int attachmentCount() const override { return int(data().attachments.size()); }
    void removeAttachment(int position) override { data().attachments.removeAt(checked(position)); }
    int addAttachment(const QString &path, int position, const QString &displayName) override {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            throw AutomationError(file.exists() ? err::PermissionDenied : err::FileNotFound,
                                  file.exists() ? QStringLiteral("Permission denied") : QStringLiteral("File not found"));
        StoredAttachment a{QFileInfo(path).fileName(), displayName.isEmpty() ? QFileInfo(path).fileName() : displayName, file.readAll(), {}};
        QList<StoredAttachment> &list = data().attachments;
        const int at = position >= 1 && position <= list.size() ? position - 1 : int(list.size());
        list.insert(at, std::move(a));
        return at + 1;
    }
    QString attachmentDisplayName(int position) const override { return data().attachments[checked(position)].displayName; }
    QString attachmentFileName(int position) const override { return data().attachments[checked(position)].fileName; }
    QByteArray attachmentData(int position) const override { return data().attachments[checked(position)].data; }
    QVariant attachmentField(int position, quint32 t) const override {
        return data().attachments[checked(position)].fields.value(t);
    }
    void setAttachmentField(int position, quint32 t, const QVariant &value) override {
        data().attachments[checked(position)].fields.insert(t, normalized(t, value));
    }

    QVariant property(quint32 t) const override {
        const QVariant stored = data().properties.value(t);
        if (stored.isValid()) return stored;
        switch (t) {  // the fields that are properties too
        case 0x0037001E: return data().subject;   // PR_SUBJECT
        case 0x1000001E: return data().body;      // PR_BODY
        case 0x001A001E: return data().messageClass;  // PR_MESSAGE_CLASS
        case tag::PR_DISPLAY_TO: return data().to.isEmpty() ? QVariant() : QVariant(data().to);
        default: return {};
        }
    }
    void setProperty(quint32 t, const QVariant &value) override {
        switch (t) {
        case 0x0037001E: data().subject = value.toString(); return;
        case 0x1000001E: data().body = value.toString(); return;
        case 0x001A001E: data().messageClass = value.toString(); return;
        default: data().properties.insert(t, normalized(t, value));
        }
    }

    void Save() override {
        if (m_isNew) {
            data().messageId = MaildirStore::newEntryId();
            if (!data().created.isValid()) data().created = QDateTime::currentDateTime();
            m_store->save(m_loc, data(), m_unreadSet.value_or(m_unread));
            m_isNew = false;
        } else {
            m_store->save(m_loc, data(), m_unreadSet);
        }
        if (m_unreadSet) m_unread = *m_unreadSet;
        m_unreadSet.reset();
    }
    void Move(int defaultFolder) override {
        if (!MaildirStore::isFolder(defaultFolder)) throw notFound(QStringLiteral("folder"));
        if (m_isNew) Save();
        m_store->move(m_loc, data().messageId, defaultFolder);
    }
    void Delete() override {
        if (m_isNew) return;  // never saved: nothing to delete
        m_store->locate(m_loc, data().messageId);
        if (m_loc.folder == FolderDeletedItems) m_store->erase(m_loc, data().messageId);
        else m_store->move(m_loc, data().messageId, FolderDeletedItems);
    }

private:
    MessageData &data() const {
        if (!m_data) {
            bool unread = false;
            m_data = m_store->load(m_loc, QString(), &unread);
            m_unread = unread;
        }
        return *m_data;
    }
    int checked(int position) const {
        if (position < 1 || position > attachmentCount()) throw outOfRange();
        return position - 1;
    }
    static QVariant normalized(quint32 t, const QVariant &value) {
        switch (tag::type(t)) {
        case tag::PT_SHORT: return QVariant::fromValue(qint16(value.toInt()));
        case tag::PT_LONG: return value.toInt();
        case tag::PT_BOOLEAN: return value.toBool();
        case tag::PT_SYSTIME: return value.toDateTime().toUTC();
        default: return value.toString();
        }
    }

    std::shared_ptr<MailStore> m_store;
    mutable MessageLocation m_loc;
    mutable std::optional<MessageData> m_data;
    mutable bool m_unread = true;
    std::optional<bool> m_unreadSet;
    bool m_isNew = false;
};

class StoreItems final : public MailItems {
public:
    StoreItems(std::shared_ptr<MailStore> store, int folder, std::optional<QString> subject = std::nullopt, bool none = false)
        : m_store(std::move(store)), m_folder(folder), m_subject(std::move(subject)), m_none(none) {}

    int count() const override {
        if (m_none) return 0;
        return m_subject ? m_store->countWithSubject(m_folder, *m_subject) : m_store->count(m_folder);
    }
    std::unique_ptr<MailItem> Item(int position) const override {
        std::optional<QString> key;
        if (m_none) {
        } else if (!m_subject) {
            key = m_store->keyAt(m_folder, position);
        } else {
            const std::vector<QString> keys = m_store->keysWithSubject(m_folder, *m_subject);
            if (position >= 1 && position <= int(keys.size())) key = keys[size_t(position - 1)];
        }
        if (!key) throw outOfRange();
        return std::make_unique<StoreItem>(m_store, MessageLocation{m_folder, *key});
    }
    std::unique_ptr<MailItems> Restrict(const QString &filter) const override {
        static const QString prefix = QStringLiteral("[Subject]='");
        if (!filter.startsWith(prefix, Qt::CaseInsensitive) || !filter.endsWith(u'\'') || filter.size() < prefix.size() + 1)
            throw AutomationError(err::InvalidProcedureCall, QStringLiteral("Cannot parse condition. Error at \"%1\".").arg(filter));
        const QString subject = filter.mid(prefix.size(), filter.size() - prefix.size() - 1);
        const bool none = m_none || (m_subject && *m_subject != subject);
        return std::make_unique<StoreItems>(m_store, m_folder, subject, none);
    }
    std::unique_ptr<MailItem> Add(const QString &messageClass) override {
        return std::make_unique<StoreItem>(m_store, m_folder, messageClass.isEmpty() ? QStringLiteral("IPM.Note") : messageClass);
    }
    int findUserProperty(const QString &name, const QString &value) const override {
        if (m_none) return 0;
        if (sameName(name, QStringLiteral("FaxID"))) {
            const int at = m_store->findFaxId(m_folder, value, m_subject);
            if (at == 0 || !m_subject) return at;
            // Its position among the restricted items.
            const std::vector<QString> keys = m_store->keysWithSubject(m_folder, *m_subject);
            const auto key = m_store->keyAt(m_folder, at);
            return int(std::find(keys.begin(), keys.end(), *key) - keys.begin()) + 1;
        }
        for (int i = 1, n = count(); i <= n; ++i)
            if (Item(i)->userProperty(name) == QVariant(value)) return i;
        return 0;
    }
    bool containsUserProperty(const QString &name, const QString &value) const override {
        if (m_none) return false;
        if (sameName(name, QStringLiteral("FaxID"))) return m_store->findFaxId(m_folder, value, m_subject) > 0;
        return findUserProperty(name, value) > 0;
    }

private:
    std::shared_ptr<MailStore> m_store;
    int m_folder;
    std::optional<QString> m_subject;
    bool m_none;
};

class StoreFolder final : public MailFolder {
public:
    StoreFolder(std::shared_ptr<MailStore> store, int folder) : m_store(std::move(store)), m_folder(folder) {}
    QString EntryID() const override { return MaildirStore::folderEntryId(m_folder); }
    QString Name() const override { return MaildirStore::folderName(m_folder); }
    int count() const override { return m_store->count(m_folder); }
    std::unique_ptr<MailItems> Items() const override { return std::make_unique<StoreItems>(m_store, m_folder); }
    std::unique_ptr<MailItem> addItem(const QString &messageClass) override { return Items()->Add(messageClass); }

private:
    std::shared_ptr<MailStore> m_store;
    int m_folder;
};

class StoreNamespace final : public MailNamespace {
public:
    explicit StoreNamespace(std::shared_ptr<MailStore> store) : m_store(std::move(store)) {}
    std::unique_ptr<MailFolder> GetDefaultFolder(int folder) override {
        if (!MaildirStore::isFolder(folder)) throw AutomationError(err::InvalidProcedureCall, QStringLiteral("Invalid procedure call or argument"));
        return std::make_unique<StoreFolder>(m_store, folder);
    }
    std::unique_ptr<MailItem> GetItemFromID(const QString &entryId) override {
        const std::optional<MessageLocation> found = m_store->findEntryId(entryId);
        if (!found) throw notFound(QStringLiteral("item"));
        return std::make_unique<StoreItem>(m_store, *found);
    }

private:
    std::shared_ptr<MailStore> m_store;
};

class StoreApplication final : public MailApplication {
public:
    std::unique_ptr<MailNamespace> GetNamespace(const QString &type) override {
        if (!sameName(type, QStringLiteral("MAPI"))) throw AutomationError(err::InvalidProcedureCall, QStringLiteral("Invalid procedure call or argument"));
        return std::make_unique<StoreNamespace>(MailStore::shared());
    }
};

// ---- the messaging session -------------------------------------------------------------------------

class StoreSessionMessage final : public SessionMessage {
public:
    StoreSessionMessage(std::shared_ptr<MailStore> store, int folder) : m_store(std::move(store)), m_folder(folder) {}

    QVariant field(const QString &name) const override { return m_fields.value(name.toLower()); }
    void setField(const QString &name, const QVariant &value) override {
        static const QStringList known = {QStringLiteral("subject"), QStringLiteral("sent"), QStringLiteral("timesent"),
                                          QStringLiteral("timereceived"), QStringLiteral("type"), QStringLiteral("unread"),
                                          QStringLiteral("text")};
        if (!known.contains(name.toLower())) throw notFound(QStringLiteral("field ") + name);
        m_fields.insert(name.toLower(), value);
    }
    void Update() override {
        if (!m_item) m_item = std::make_unique<StoreItem>(m_store, m_folder, QStringLiteral("IPM.Note"));
        const auto has = [&](const char *name) { return m_fields.contains(QLatin1String(name)); };
        if (has("subject")) m_item->setSubject(m_fields.value(QStringLiteral("subject")).toString());
        if (has("text")) m_item->setBody(m_fields.value(QStringLiteral("text")).toString());
        if (has("unread")) m_item->setUnRead(m_fields.value(QStringLiteral("unread")).toBool());
        if (has("type")) m_item->setProperty(0x001A001E, m_fields.value(QStringLiteral("type")));
        if (has("timesent")) m_item->setProperty(tag::PR_CLIENT_SUBMIT_TIME, m_fields.value(QStringLiteral("timesent")));
        if (has("timereceived")) m_item->setProperty(tag::PR_MESSAGE_DELIVERY_TIME, m_fields.value(QStringLiteral("timereceived")));
        // A sent message has no flags to keep: only an unsent one is marked, so that a fax
        // item made here ends with the same properties as one made in the folder.
        if (has("sent") && !m_fields.value(QStringLiteral("sent")).toBool()) m_item->setProperty(MessageFlagsTag, UnsentFlag);
        m_item->Save();
    }
    QString Id() const override {
        if (!m_item) throw notFound(QStringLiteral("message"));
        return m_item->EntryID();
    }

private:
    static constexpr quint32 MessageFlagsTag = 0x0E070003;
    static constexpr int UnsentFlag = 0x8;
    std::shared_ptr<MailStore> m_store;
    int m_folder;
    QMap<QString, QVariant> m_fields;
    std::unique_ptr<StoreItem> m_item;
};

class StoreSessionFolder final : public SessionFolder {
public:
    StoreSessionFolder(std::shared_ptr<MailStore> store, int folder) : m_store(std::move(store)), m_folder(folder) {}
    std::unique_ptr<SessionMessage> addMessage() override { return std::make_unique<StoreSessionMessage>(m_store, m_folder); }

private:
    std::shared_ptr<MailStore> m_store;
    int m_folder;
};

class StoreSession final : public MessagingSession {
public:
    void Logon(bool, bool) override { m_store = MailStore::shared(); }
    std::unique_ptr<SessionFolder> Inbox() override { return std::make_unique<StoreSessionFolder>(store(), FolderInbox); }
    std::unique_ptr<SessionFolder> Outbox() override { return std::make_unique<StoreSessionFolder>(store(), FolderOutbox); }
    std::vector<AddressEntry> AddressBook(const QString &title, int, const QString &firstListLabel) override {
        return chooseFromAddressBook(title, {firstListLabel, QStringLiteral("Remove")});
    }

private:
    std::shared_ptr<MailStore> store() const {
        if (!m_store) throw AutomationError(err::MapiNotFound, QStringLiteral("The session is not logged on"));
        return m_store;
    }
    std::shared_ptr<MailStore> m_store;
};

AutomationError notRegistered() {
    return {err::CannotCreateObject, QStringLiteral("ActiveX component can't create object")};
}

void requireComponent(const QString &className) {
    if (!componentRegistered(className)) throw notRegistered();
}

}  // namespace

// ---- the mail library ------------------------------------------------------------------------------

MailItem &SafeMailItem::item() const {
    if (!m_item) throw AutomationError::objectNotSet();
    return *m_item;
}

SafeMailItem::Attachment SafeMailItem::addAttachment(const QString &path) {
    MailItem &target = item();
    const int position = target.addAttachment(path, target.attachmentCount() + 1, QFileInfo(path).fileName());
    return {target, position};
}

void MapiUtils::HrSetOneProp(MailItem &item, quint32 propertyTag, const QVariant &value, bool save) {
    item.setProperty(propertyTag, value);
    if (save) item.Save();
}

QVariant MapiUtils::HrGetOneProp(const MailItem &item, quint32 propertyTag) const {
    const QVariant value = item.property(propertyTag);
    if (!value.isValid()) throw notFound(QStringLiteral("property"));
    return value;
}

// ---- entry points ----------------------------------------------------------------------------------

bool componentRegistered(const QString &className) {
    const registry::RegistryStore store;
    const auto clsid = store.value(registry::Root::ClassesRoot, className + QStringLiteral("\\CLSID"), QString());
    return clsid && !clsid->text.isEmpty();
}

std::unique_ptr<MailApplication> attachRunningApplication() {
    requireComponent(ApplicationClass);
    return std::make_unique<StoreApplication>();
}

std::unique_ptr<MailApplication> startApplication() {
    requireComponent(ApplicationClass);
    return std::make_unique<StoreApplication>();
}

std::unique_ptr<MessagingSession> createSession() {
    requireComponent(SessionClass);
    return std::make_unique<StoreSession>();
}

std::unique_ptr<SafeMailItem> createSafeMailItem() {
    requireComponent(SafeMailItemClass);
    return std::make_unique<SafeMailItem>();
}

std::unique_ptr<MapiUtils> createMapiUtils() {
    requireComponent(MapiUtilsClass);
    return std::make_unique<MapiUtils>();
}

int writePendingItems() { return MailStore::shared()->writePending(); }

StagedItems::StagedItems() : m_store(MailStore::shared()) { m_store->beginStaging(); }

StagedItems::~StagedItems() {
    if (!m_keep) m_store->abandonStaging();
    m_store->endStaging();
}

StoreWatch::StoreWatch() : m_store(MailStore::shared()), m_problemsBefore(m_store->writeProblems().count) {}

void StoreWatch::check() const {
    const WriteProblems problems = m_store->writeProblems();
    if (problems.count == m_problemsBefore) return;
    if (problems.lastFailure && problems.lastFailureAt > m_problemsBefore) throw *problems.lastFailure;
    throw AutomationError(err::PathFileAccessError, QStringLiteral("Not every item could be written to the mail store"));
}

}  // namespace sendmere::mail
