#include "platform/mail/Contacts.h"

#include "RegistryStore.h"
#include "platform/mail/RegularFile.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QLoggingCategory>
#include <QStandardPaths>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcContacts, "sendmere.contacts")

namespace sendmere::mail {
namespace {

QString joinNonEmpty(const QStringList &parts) {
    QStringList kept;
    for (const QString &part : parts)
        if (!part.trimmed().isEmpty()) kept << part.trimmed();
    return kept.join(QLatin1Char(' '));
}

QString nameOf(const VCard &card) {
    for (const VCardProperty *fn : card.all(QStringLiteral("FN")))
        if (!fn->text().trimmed().isEmpty()) return fn->text().trimmed();
    for (const VCardProperty *n : card.all(QStringLiteral("N"))) {
        const QStringList c = n->components();  // family; given; additional; prefix; suffix
        const QString name = joinNonEmpty({c.value(3), c.value(1), c.value(2), c.value(0), c.value(4)});
        if (!name.isEmpty()) return name;
    }
    for (const VCardProperty *org : card.all(QStringLiteral("ORG"))) {
        const QString name = org->components().value(0).trimmed();
        if (!name.isEmpty()) return name;
    }
    return {};
}

QString telephoneNumber(const VCardProperty &tel) {
    QString number = tel.text().trimmed();
    if (number.startsWith(QStringLiteral("tel:"), Qt::CaseInsensitive)) number = number.mid(4);
    return number;
}

FaxKind faxKind(const VCardProperty &tel) {
    if (tel.hasType(QStringLiteral("work"))) return FaxKind::Business;
    if (tel.hasType(QStringLiteral("home"))) return FaxKind::Home;
    return FaxKind::Other;
}

AddressEntry entry(const Contact &contact, const QString &name, const QString &address) {
    return {name,
            address,
            name,
            address,
            contact.fax(FaxKind::Business),
            contact.fax(FaxKind::Home),
            contact.fax(FaxKind::Other)};
}

// A contact is a few kilobytes, with a photo a few megabytes; far more is not a contact.
constexpr qint64 MaxContactFile = 64 * 1024 * 1024;

// Reads the cards of one file; what cannot be read is logged and left out.
void readFile(const QString &path, std::vector<Contact> &contacts) {
    QString error;
    // Only a regular file: a FIFO or a device named like a card would block or never end.
    const std::optional<QByteArray> text = readRegularFile(path, MaxContactFile, Links::Follow, &error);
    if (!text) {
        qCWarning(lcContacts).noquote() << "Skipped contact file" << path << ":" << error;
        return;
    }
    QStringList problems;
    for (const VCard &card : parseVCards(*text, &problems)) {
        if (auto contact = contactFromVCard(card))
            contacts.push_back(std::move(*contact));
        else
            problems << QStringLiteral("a card without a name");
    }
    for (const QString &problem : problems)
        qCWarning(lcContacts).noquote() << "Skipped a malformed card in" << path << ":" << problem;
}

}  // namespace

QString Contact::fax(FaxKind kind) const {
    for (const Fax &f : faxes)
        if (f.kind == kind) return f.number;
    return {};
}

std::optional<Contact> contactFromVCard(const VCard &card) {
    Contact contact;
    contact.displayName = nameOf(card);
    for (const VCardProperty *email : card.all(QStringLiteral("EMAIL"))) {
        QString address = email->text().trimmed();
        if (address.startsWith(QStringLiteral("mailto:"), Qt::CaseInsensitive)) address = address.mid(7);
        if (!address.isEmpty()) contact.emails << address;
    }
    for (const VCardProperty *tel : card.all(QStringLiteral("TEL"))) {
        const QString number = telephoneNumber(*tel);
        if (tel->hasType(QStringLiteral("fax")) && !number.isEmpty()) contact.faxes.append({faxKind(*tel), number});
    }
    if (contact.displayName.isEmpty() && !contact.emails.isEmpty()) contact.displayName = contact.emails.first();
    if (contact.displayName.isEmpty()) return std::nullopt;
    return contact;
}

QString contactsFolder() {
    const registry::RegistryStore store;
    const auto value = store.value(registry::Root::CurrentUser, SettingsKey, ContactsFolderValue);
    if (value && !value->text.trimmed().isEmpty()) return QDir(QDir::homePath()).absoluteFilePath(value->text.trimmed());
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/sendmere/contacts");
}

std::vector<Contact> readContacts(const QString &folder) {
    std::vector<Contact> contacts;
    QStringList files;
    for (QDirIterator it(folder, {QStringLiteral("*.vcf")}, QDir::Files); it.hasNext();) files << it.next();
    files.sort();  // the same order on every machine
    contacts.reserve(size_t(files.size()));
    for (const QString &path : files) readFile(path, contacts);
    return contacts;
}

QString faxEntryName(const QString &displayName, FaxKind kind) {
    switch (kind) {
    case FaxKind::Business: return displayName + QStringLiteral(" (Business Fax)");
    case FaxKind::Home: return displayName + QStringLiteral(" (Home Fax)");
    case FaxKind::Other: break;
    }
    return displayName + QStringLiteral(" (Other Fax)");
}

namespace {
// A fax entry's address is "name@number", read as the number after its first '@': a name
// that holds an '@' itself (a contact known only by its e-mail) keeps it as " at ".
QString faxAddress(const QString &displayName, const QString &number) {
    return QString(displayName).replace(QLatin1Char('@'), QStringLiteral(" at ")) + QLatin1Char('@') + number;
}
}  // namespace

std::vector<AddressEntry> addressEntries(const std::vector<Contact> &contacts) {
    std::vector<AddressEntry> unsorted;
    for (const Contact &contact : contacts) {
        const AddressEntry faxes = entry(contact, QString(), QString());
        auto add = [&](const QString &name, const QString &address) {
            AddressEntry e = faxes;
            e.Name = e.EntryName = name;
            e.Address = e.EntryAddress = address;
            unsorted.push_back(std::move(e));
        };
        for (const QString &email : contact.emails) add(contact.displayName, email);
        for (const Contact::Fax &fax : contact.faxes)
            add(faxEntryName(contact.displayName, fax.kind), faxAddress(contact.displayName, fax.number));
    }
    // Sorted by name in any letter case; the fold is worked out once per entry.
    std::vector<std::pair<QString, size_t>> keys;
    keys.reserve(unsorted.size());
    for (size_t i = 0; i < unsorted.size(); ++i) keys.emplace_back(unsorted[i].Name.toCaseFolded(), i);
    std::stable_sort(keys.begin(), keys.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    std::vector<AddressEntry> entries;
    entries.reserve(unsorted.size());
    for (const auto &key : keys) entries.push_back(std::move(unsorted[key.second]));
    return entries;
}

QString entryProperty(const AddressEntry &entry, quint32 tag) {
    switch (tag) {
    case PR_BUSINESS_FAX_NUMBER: return entry.BusinessFax;
    case PR_HOME_FAX_NUMBER: return entry.HomeFax;
    case PR_PRIMARY_FAX_NUMBER: return entry.PrimaryFax;
    default: break;
    }
    throw AutomationError(err::MapiNotFound, QStringLiteral("The property was not found"));
}

QString entryField(const AddressEntry &entry, int position) {
    if (position == 10) return entry.BusinessFax;
    if (position == 11) return entry.HomeFax.isEmpty() ? entry.PrimaryFax : entry.HomeFax;
    return {};
}

AddressBookSeams &addressBookSeams() {
    static AddressBookSeams seams;
    return seams;
}

QString guardedAddress(const QString &address) {
    if (addressBookSeams().accessGuard) addressBookSeams().accessGuard->allow();
    return address;
}

std::vector<AddressEntry> chooseFromAddressBook(const QString &title, const QStringList &listLabels) {
    AddressBookDialog *dialog = addressBookSeams().dialog.get();
    if (!dialog) throw AutomationError(err::CannotCreateObject, QStringLiteral("ActiveX component can't create object"));
    const std::vector<AddressEntry> entries = addressEntries(readContacts(contactsFolder()));
    std::vector<AddressEntry> chosen;
    for (int position : dialog->choose(title, listLabels, entries)) {
        if (position < 0 || size_t(position) >= entries.size()) throw AutomationError::subscriptOutOfRange();
        chosen.push_back(entries[size_t(position)]);
    }
    return chosen;
}

std::optional<std::vector<AddressEntry>> MapiUtils::AddressBook(const QString &title, int recipientLists,
                                                                const QString &firstListLabel) {
    Q_UNUSED(recipientLists);  // one list of chosen entries is all the dialog has
    try {
        return chooseFromAddressBook(title, {firstListLabel});
    } catch (const AutomationError &error) {
        if (error.number() == err::MapiUserCancel) return std::nullopt;
        throw;
    }
}

QVariant MapiUtils::HrGetOneProp(const AddressEntry &entry, quint32 propertyTag) const {
    return entryProperty(entry, propertyTag);
}

}  // namespace sendmere::mail
