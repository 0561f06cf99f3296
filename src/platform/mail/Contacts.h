#pragma once
// The address book's contacts: vCard files (2.1, 3.0 and 4.0) in a folder, one card per
// file, as CardDAV sync tools keep them. Each contact becomes the address book entries a
// mail client lists: one per e-mail address and one per fax number ("Ann Example (Business
// Fax)" at "Ann Example@+1 555 0100").
#include "platform/mail/MailClient.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace sendmere::mail {

// One content line of a card, unfolded and decoded. Parameter names are upper case; a bare
// 2.1 parameter ("TEL;WORK;FAX") counts as a TYPE value; TYPE values are lower case.
struct VCardProperty {
    QString name;
    QList<std::pair<QString, QString>> parameters;  // name and one value, in the card's order
    QString value;  // quoted-printable and the character set undone; backslash escapes kept

    // The first value of the parameter; empty when the property has none.
    QString parameter(const QString &parameterName) const;
    bool hasType(const QString &type) const;
    // The value as text, escapes undone ("\n" a line break, "\," a comma ...).
    QString text() const;
    // A structured value (N, ADR) split at its unescaped ';', each part as text.
    QStringList components() const;
};

struct VCard {
    QString version;
    QList<VCardProperty> properties;

    QList<const VCardProperty *> all(const QString &name) const;
};

// The cards of one file's text. A card that cannot be read is left out and its reason added
// to problems; the other cards of the text still come back.
std::vector<VCard> parseVCards(const QByteArray &text, QStringList *problems = nullptr);

enum class FaxKind { Business, Home, Other };

struct Contact {
    QString displayName;
    QStringList emails;
    struct Fax {
        FaxKind kind;
        QString number;
    };
    QList<Fax> faxes;

    // The first number of that kind; empty when the contact has none.
    QString fax(FaxKind kind) const;
};

// The name a contact goes by (FN, else N, else ORG), its e-mail addresses and fax numbers.
std::optional<Contact> contactFromVCard(const VCard &card);

// The contacts folder: the registry value ContactsFolder of HKEY_CURRENT_USER
// "Software\Sendmere" when it is set, otherwise $XDG_DATA_HOME/sendmere/contacts.
inline const QString SettingsKey = QStringLiteral("Software\\Sendmere");
inline const QString ContactsFolderValue = QStringLiteral("ContactsFolder");
QString contactsFolder();

// The contacts of every *.vcf file in folder. A file that cannot be read or holds a
// malformed card is skipped with a warning in the log ("sendmere.contacts"); a missing
// folder is an empty address book.
std::vector<Contact> readContacts(const QString &folder);

// "Ann Example (Business Fax)", as the entry of a fax number is named.
QString faxEntryName(const QString &displayName, FaxKind kind);

// The address book's entries for contacts, sorted by name: every e-mail address, then every
// fax number. Each entry carries its contact's business, home and other fax numbers.
std::vector<AddressEntry> addressEntries(const std::vector<Contact> &contacts);

// The mail library's fax properties of an entry, by their property tags.
constexpr quint32 PR_BUSINESS_FAX_NUMBER = 0x3A24001E;
constexpr quint32 PR_HOME_FAX_NUMBER = 0x3A25001E;
constexpr quint32 PR_PRIMARY_FAX_NUMBER = 0x3A23001E;
// The property of an entry by its tag, empty when the contact has no such number; raises
// MapiNotFound for a tag that no entry has.
QString entryProperty(const AddressEntry &entry, quint32 tag);
// The messaging session's field of an entry by its position: 10 is the business fax, 11 the
// home fax or, when there is none, the other fax. Other positions are empty.
QString entryField(const AddressEntry &entry, int position);

// The dialog in which the user picks entries, shown by the program's own pages. Answers the
// positions of the chosen entries, in the order they were chosen; raises MapiUserCancel when
// the user cancels.
class AddressBookDialog {
public:
    virtual ~AddressBookDialog() = default;
    virtual std::vector<int> choose(const QString &title, const QStringList &listLabels,
                                    const std::vector<AddressEntry> &entries) = 0;
};

// The mail client's prompt before a program reads e-mail addresses of its address book.
// Nothing asks on this platform; a test puts in a guard that refuses.
class AddressAccessGuard {
public:
    virtual ~AddressAccessGuard() = default;
    // Returns when reading is allowed; raises AddressAccessRefused (287) otherwise.
    virtual void allow() = 0;
};

struct AddressBookSeams {
    std::unique_ptr<AddressBookDialog> dialog;        // set by the program's pages
    std::unique_ptr<AddressAccessGuard> accessGuard;  // none: reading is allowed
};
AddressBookSeams &addressBookSeams();

// Asks the access guard, then gives the address back.
QString guardedAddress(const QString &address);

// Reads the contacts folder and shows the address book dialog over its entries; answers the
// chosen entries. Raises MapiUserCancel on cancel, CannotCreateObject when no dialog is set.
std::vector<AddressEntry> chooseFromAddressBook(const QString &title, const QStringList &listLabels);

}  // namespace sendmere::mail
