#include "platform/mail/Contacts.h"

#include "RegistryStore.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QLoggingCategory>
#include <QStandardPaths>
#include <QStringDecoder>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcContacts, "sendmere.contacts")

namespace sendmere::mail {
namespace {

// A content line split at its first ':' outside double quotes.
struct RawLine {
    QByteArray nameAndParameters;
    QByteArray value;
};

std::optional<RawLine> splitLine(const QByteArray &line) {
    bool quoted = false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        if (line[i] == '"') quoted = !quoted;
        if (line[i] == ':' && !quoted) return RawLine{line.left(i), line.mid(i + 1)};
    }
    return std::nullopt;
}

// Splits at sep outside double quotes.
QList<QByteArray> splitUnquoted(const QByteArray &text, char sep) {
    QList<QByteArray> parts;
    bool quoted = false;
    qsizetype start = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == '"') quoted = !quoted;
        if (text[i] == sep && !quoted) {
            parts << text.mid(start, i - start);
            start = i + 1;
        }
    }
    parts << text.mid(start);
    return parts;
}

bool isQuotedPrintable(const QByteArray &nameAndParameters) {
    return nameAndParameters.toUpper().contains("QUOTED-PRINTABLE");
}

// Physical lines joined into content lines: a line starting with a blank or tab continues
// the one before (folding); a quoted-printable value ending in '=' goes on in the next line.
QList<QByteArray> contentLines(const QByteArray &text) {
    QList<QByteArray> lines;
    bool softBreak = false;
    for (QByteArray line : text.split('\n')) {
        if (line.endsWith('\r')) line.chop(1);
        if (!lines.isEmpty() && softBreak) {
            lines.last().chop(1);  // the '=' of the soft break
            lines.last() += line;
        } else if (!lines.isEmpty() && (line.startsWith(' ') || line.startsWith('\t'))) {
            lines.last() += line.mid(1);
        } else {
            lines << line;
        }
        const QByteArray &last = lines.last();
        if (!last.endsWith('=')) {
            softBreak = false;
            continue;
        }
        const auto raw = splitLine(last);
        softBreak = raw && isQuotedPrintable(raw->nameAndParameters);
    }
    return lines;
}

QByteArray unquote(QByteArray value) {
    if (value.size() >= 2 && value.startsWith('"') && value.endsWith('"')) return value.mid(1, value.size() - 2);
    return value;
}

QByteArray decodeQuotedPrintable(const QByteArray &in) {
    QByteArray out;
    out.reserve(in.size());
    for (qsizetype i = 0; i < in.size(); ++i) {
        if (in[i] == '=' && i + 2 < in.size()) {
            bool ok = false;
            const int byte = in.mid(i + 1, 2).toInt(&ok, 16);
            if (ok) {
                out += char(byte);
                i += 2;
                continue;
            }
        }
        out += in[i];
    }
    return out;
}

QString decodeCharset(const QByteArray &bytes, const QString &charset) {
    if (!charset.isEmpty()) {
        QStringDecoder decoder(charset.toLatin1().constData());
        if (decoder.isValid()) return decoder.decode(bytes);
    }
    return QString::fromUtf8(bytes);
}

void addParameter(VCardProperty &property, const QByteArray &parameter) {
    const qsizetype equals = parameter.indexOf('=');
    if (equals < 0) {
        // 2.1 lets a parameter stand without its name: "TEL;WORK;FAX", "NOTE;QUOTED-PRINTABLE".
        const QString bare = QString::fromUtf8(parameter).trimmed();
        const QString upper = bare.toUpper();
        if (upper == u"QUOTED-PRINTABLE" || upper == u"BASE64" || upper == u"8BIT" || upper == u"7BIT")
            property.parameters.append({QStringLiteral("ENCODING"), upper});
        else if (!bare.isEmpty())
            property.parameters.append({QStringLiteral("TYPE"), bare.toLower()});
        return;
    }
    const QString key = QString::fromUtf8(parameter.left(equals)).trimmed().toUpper();
    for (const QByteArray &item : splitUnquoted(parameter.mid(equals + 1), ',')) {
        const QString value = QString::fromUtf8(unquote(item.trimmed()));
        if (key != u"TYPE") {
            property.parameters.append({key, value});
            continue;
        }
        // 4.0 quotes a list of types as one value: TYPE="work,fax".
        for (const QString &type : value.split(QLatin1Char(','), Qt::SkipEmptyParts))
            property.parameters.append({key, type.trimmed().toLower()});
    }
}

std::optional<VCardProperty> parseProperty(const QByteArray &line, QString *problem) {
    const auto raw = splitLine(line);
    if (!raw) {
        *problem = QStringLiteral("a line without ':': \"%1\"").arg(QString::fromUtf8(line.left(60)));
        return std::nullopt;
    }
    const QList<QByteArray> head = splitUnquoted(raw->nameAndParameters, ';');
    VCardProperty property;
    QByteArray name = head.first().trimmed();
    if (const qsizetype dot = name.lastIndexOf('.'); dot >= 0) name = name.mid(dot + 1);  // the group
    property.name = QString::fromUtf8(name).toUpper();
    if (property.name.isEmpty()) {
        *problem = QStringLiteral("a line without a property name");
        return std::nullopt;
    }
    for (qsizetype i = 1; i < head.size(); ++i) addParameter(property, head[i]);
    const QString encoding = property.parameter(QStringLiteral("ENCODING")).toUpper();
    if (encoding == u"B" || encoding == u"BASE64") return property;  // pictures and keys: not needed
    const QByteArray bytes = encoding == u"QUOTED-PRINTABLE" ? decodeQuotedPrintable(raw->value) : raw->value;
    property.value = decodeCharset(bytes, property.parameter(QStringLiteral("CHARSET")));
    return property;
}

bool isLine(const QByteArray &line, const char *expected) {
    return QByteArrayView(line).trimmed().compare(QByteArrayView(expected), Qt::CaseInsensitive) == 0;
}

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

// The whole file, read with plain system calls: the folder holds thousands of small files
// and the dialog waits for all of them.
std::optional<QByteArray> readWhole(const QString &path, QString *error) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return std::nullopt;
    }
    // A contact is a few kilobytes, with a photo a few megabytes; far more is not a contact.
    constexpr qint64 MaxContactFile = 64 * 1024 * 1024;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && info.st_size > MaxContactFile) {
        ::close(fd);
        *error = QStringLiteral("larger than %1 bytes").arg(MaxContactFile);
        return std::nullopt;
    }
    QByteArray bytes;
    char buffer[16384];
    for (;;) {
        if (bytes.size() > MaxContactFile) {
            *error = QStringLiteral("larger than %1 bytes").arg(MaxContactFile);
            break;
        }
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) *error = QString::fromLocal8Bit(std::strerror(errno));
        if (got <= 0) break;
        bytes.append(buffer, got);
    }
    ::close(fd);
    if (!error->isEmpty()) return std::nullopt;
    return bytes;
}

// Reads the cards of one file; what cannot be read is logged and left out.
void readFile(const QString &path, std::vector<Contact> &contacts) {
    QString error;
    const std::optional<QByteArray> text = readWhole(path, &error);
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

QString VCardProperty::parameter(const QString &parameterName) const {
    for (const auto &[key, value] : parameters)
        if (key == parameterName) return value;
    return {};
}

bool VCardProperty::hasType(const QString &type) const {
    for (const auto &[key, value] : parameters)
        if (key == u"TYPE" && value == type) return true;
    return false;
}

QString VCardProperty::text() const {
    QString out;
    out.reserve(value.size());
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] == u'\\' && i + 1 < value.size()) {
            const QChar next = value[++i];
            out += (next == u'n' || next == u'N') ? QChar(u'\n') : next;
        } else {
            out += value[i];
        }
    }
    return out;
}

QStringList VCardProperty::components() const {
    QStringList parts;
    VCardProperty part;
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] == u'\\' && i + 1 < value.size()) {
            part.value += value[i];
            part.value += value[++i];
        } else if (value[i] == u';') {
            parts << part.text();
            part.value.clear();
        } else {
            part.value += value[i];
        }
    }
    parts << part.text();
    return parts;
}

QList<const VCardProperty *> VCard::all(const QString &name) const {
    QList<const VCardProperty *> found;
    for (const VCardProperty &property : properties)
        if (property.name == name) found << &property;
    return found;
}

std::vector<VCard> parseVCards(const QByteArray &input, QStringList *problems) {
    QByteArray text = input;
    if (text.startsWith("\xEF\xBB\xBF")) text.remove(0, 3);  // a byte order mark
    std::vector<VCard> cards;
    std::optional<VCard> card;
    QString problem;  // the first fault of the open card
    int nested = 0;   // cards inside the card (2.1 AGENT): read past, not kept
    auto report = [&](const QString &what) {
        if (problems) problems->append(what);
    };
    for (const QByteArray &line : contentLines(text)) {
        if (QByteArrayView(line).trimmed().isEmpty()) continue;
        if (isLine(line, "BEGIN:VCARD")) {
            if (card) ++nested;
            else card.emplace(), problem.clear();
            continue;
        }
        if (!card) {
            report(QStringLiteral("text outside a card"));
            return cards;  // not a card file: nothing of it is trusted
        }
        if (isLine(line, "END:VCARD")) {
            if (nested > 0) {
                --nested;
                continue;
            }
            if (problem.isEmpty()) cards.push_back(std::move(*card));
            else report(problem);
            card.reset();
            continue;
        }
        if (nested > 0 || !problem.isEmpty()) continue;
        auto property = parseProperty(line, &problem);
        if (!property) continue;
        if (property->name == u"VERSION") card->version = property->value.trimmed();
        card->properties << std::move(*property);
    }
    if (card) report(QStringLiteral("a card without END:VCARD"));
    return cards;
}

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
            add(faxEntryName(contact.displayName, fax.kind), contact.displayName + QLatin1Char('@') + fax.number);
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
