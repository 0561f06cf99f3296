// Reading contacts: vCard 2.1, 3.0 and 4.0 as address books and phones write them, the
// contacts folder with its broken files, and the entries the address book lists.
#include "app/CWinReg.h"
#include "platform/mail/Contacts.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QtTest>

using namespace sendmere;
using namespace sendmere::mail;

namespace {

void writeFile(const QString &path, const QByteArray &content) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

Contact onlyContact(const QByteArray &text) {
    QStringList problems;
    const std::vector<VCard> cards = parseVCards(text, &problems);
    if (cards.size() != 1 || !problems.isEmpty()) qWarning() << "cards" << cards.size() << problems;
    if (cards.size() != 1) return {};
    return contactFromVCard(cards.front()).value_or(Contact{});
}

QStringList names(const std::vector<AddressEntry> &entries) {
    QStringList list;
    for (const AddressEntry &entry : entries) list << entry.Name;
    return list;
}

// A 2.1 card as older phones export it: bare parameters, quoted-printable with soft line
// breaks, a Latin-1 character set, no FN.
const QByteArray Card21 =
    "BEGIN:VCARD\r\n"
    "VERSION:2.1\r\n"
    "N;CHARSET=ISO-8859-1;ENCODING=QUOTED-PRINTABLE:M=FCller;J=FCrgen\r\n"
    "TEL;WORK;FAX:+49 30 1234\r\n"
    "TEL;HOME;FAX:+49 30 5678\r\n"
    "TEL;CELL:+49 170 0000\r\n"
    "EMAIL;INTERNET:j.mueller@example.de\r\n"
    "NOTE;QUOTED-PRINTABLE:first line=0D=0A=\r\n"
    "second line\r\n"
    "PHOTO;ENCODING=BASE64;TYPE=JPEG:/9j/4AAQSkZJRgABAQEASABIAAD\r\n"
    " /2wBDAAMCAgICAgMCAgIDAwMDBAYEBAQE\r\n"
    "\r\n"
    "END:VCARD\r\n";

// A 3.0 card: folded lines, TYPE lists in both spellings, escapes, a grouped property.
const QByteArray Card30 =
    "BEGIN:VCARD\n"
    "VERSION:3.0\n"
    "FN:Example\\, Ann \\;\\\\ Co\n"
    "N:Example;Ann;;;\n"
    "ORG:Example Inc.;Sales\n"
    "TEL;TYPE=WORK,FAX:+1 555\n"
    "  0100\n"
    "TEL;TYPE=HOME;TYPE=FAX:+1 555 0101\n"
    "item1.TEL;type=FAX:+1 555 0102\n"
    "item1.X-ABLabel:Desk\n"
    "TEL;TYPE=WORK,VOICE:+1 555 0199\n"
    "EMAIL;TYPE=INTERNET,PREF:ann@exam\n"
    "\tple.com\n"
    "EMAIL;TYPE=INTERNET:ann.private@example.org\n"
    "END:VCARD\n";

// A 4.0 card: tel: URIs, quoted parameter values holding ':' ';' and ','.
const QByteArray Card40 =
    "BEGIN:VCARD\r\n"
    "VERSION:4.0\r\n"
    "FN:Zoë Ørsted\r\n"
    "TEL;VALUE=uri;TYPE=\"fax,work\":tel:+45-3333-0000\r\n"
    "TEL;VALUE=uri;TYPE=fax;LABEL=\"Fax: main; lobby, ground\":tel:+45-3333-0001\r\n"
    "EMAIL;PREF=1:zoe@example.dk\r\n"
    "END:VCARD\r\n";

}  // namespace

class TestVCard : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void readsTheThreeVersions() {
        const Contact c21 = onlyContact(Card21);
        QCOMPARE(c21.displayName, QStringLiteral("Jürgen Müller"));
        QCOMPARE(c21.emails, QStringList{QStringLiteral("j.mueller@example.de")});
        QCOMPARE(c21.faxes.size(), 2);  // the mobile number is no fax
        QCOMPARE(c21.fax(FaxKind::Business), QStringLiteral("+49 30 1234"));
        QCOMPARE(c21.fax(FaxKind::Home), QStringLiteral("+49 30 5678"));
        const VCard card21 = parseVCards(Card21).front();
        QCOMPARE(card21.version, QStringLiteral("2.1"));
        QCOMPARE(card21.all(QStringLiteral("NOTE")).front()->text(), QStringLiteral("first line\r\nsecond line"));

        const Contact c30 = onlyContact(Card30);
        QCOMPARE(c30.displayName, QStringLiteral("Example, Ann ;\\ Co"));
        QCOMPARE(c30.emails, (QStringList{QStringLiteral("ann@example.com"), QStringLiteral("ann.private@example.org")}));
        QCOMPARE(c30.fax(FaxKind::Business), QStringLiteral("+1 555 0100"));
        QCOMPARE(c30.fax(FaxKind::Home), QStringLiteral("+1 555 0101"));
        QCOMPARE(c30.fax(FaxKind::Other), QStringLiteral("+1 555 0102"));
        QCOMPARE(c30.faxes.size(), 3);
        const VCard card30 = parseVCards(Card30).front();
        QCOMPARE(card30.all(QStringLiteral("ORG")).front()->components(),
                 (QStringList{QStringLiteral("Example Inc."), QStringLiteral("Sales")}));

        const Contact c40 = onlyContact(Card40);
        QCOMPARE(c40.displayName, QStringLiteral("Zoë Ørsted"));
        QCOMPARE(c40.fax(FaxKind::Business), QStringLiteral("+45-3333-0000"));
        QCOMPARE(c40.fax(FaxKind::Other), QStringLiteral("+45-3333-0001"));
        const std::vector<VCard> cards40 = parseVCards(Card40);
        const VCardProperty *labelled = cards40.front().all(QStringLiteral("TEL")).at(1);
        QCOMPARE(labelled->parameter(QStringLiteral("LABEL")), QStringLiteral("Fax: main; lobby, ground"));
    }

    void theNameFallsBackFromFnToNToOrgToTheAddress() {
        QCOMPARE(onlyContact("BEGIN:VCARD\nVERSION:3.0\nN:Doe;John;Q.;Dr.;Jr.\nEND:VCARD\n").displayName,
                 QStringLiteral("Dr. John Q. Doe Jr."));
        QCOMPARE(onlyContact("BEGIN:VCARD\nVERSION:3.0\nFN: \nORG:Acme;Fax Desk\nTEL;TYPE=FAX:1\nEND:VCARD\n").displayName,
                 QStringLiteral("Acme"));
        QCOMPARE(onlyContact("BEGIN:VCARD\nVERSION:4.0\nEMAIL:x@y.z\nEND:VCARD\n").displayName, QStringLiteral("x@y.z"));
        const std::vector<VCard> nameless = parseVCards("BEGIN:VCARD\nVERSION:4.0\nTEL;TYPE=fax:1\nEND:VCARD\n");
        QCOMPARE(nameless.size(), size_t(1));
        QVERIFY(!contactFromVCard(nameless.front()));
    }

    void aMalformedCardIsLeftOutAndTheOthersStay() {
        QStringList problems;
        const std::vector<VCard> cards = parseVCards(
            "BEGIN:VCARD\nVERSION:3.0\nFN:Good One\nEND:VCARD\n"
            "BEGIN:VCARD\nVERSION:3.0\nFN:Broken\nthis line has no colon\nEND:VCARD\n"
            "BEGIN:VCARD\nVERSION:2.1\nFN:Agent Holder\nAGENT:\nBEGIN:VCARD\nFN:Inner\nEND:VCARD\nEND:VCARD\n"
            "BEGIN:VCARD\nVERSION:3.0\nFN:Unterminated\n",
            &problems);
        QCOMPARE(cards.size(), size_t(2));
        QCOMPARE(contactFromVCard(cards[0])->displayName, QStringLiteral("Good One"));
        QCOMPARE(contactFromVCard(cards[1])->displayName, QStringLiteral("Agent Holder"));
        QCOMPARE(problems.size(), 2);
        QVERIFY(problems[0].contains(QStringLiteral("this line has no colon")));
        QVERIFY(problems[1].contains(QStringLiteral("END:VCARD")));

        problems.clear();
        QVERIFY(parseVCards("\x89PNG\r\n\x1a\n\0\0\0binary", &problems).empty());
        QCOMPARE(problems.size(), 1);
        problems.clear();
        QVERIFY(parseVCards(QByteArray(), &problems).empty());
        QVERIFY(parseVCards("BEGIN:VCARD\n:no name\nEND:VCARD\n", &problems).empty());
        QCOMPARE(problems.size(), 1);
    }

    void theFolderIsReadAndItsBrokenFilesAreLogged() {
        const QString folder = QDir::tempPath() + QStringLiteral("/contacts-folder");
        QDir().mkpath(folder);
        writeFile(folder + QStringLiteral("/a.vcf"), Card30);
        writeFile(folder + QStringLiteral("/b.VCF"), Card21);
        writeFile(folder + QStringLiteral("/c.vcf"), Card40);
        writeFile(folder + QStringLiteral("/broken.vcf"), "BEGIN:VCARD\nFN:Half\n");
        writeFile(folder + QStringLiteral("/picture.vcf"), QByteArray("\xff\xd8\xff\xe0garbage", 12));
        writeFile(folder + QStringLiteral("/notes.txt"), "BEGIN:VCARD\nFN:Not A Card File\nEND:VCARD\n");
        QFile huge(folder + QStringLiteral("/huge.vcf"));  // sparse: takes no room on the disk
        QVERIFY(huge.open(QIODevice::WriteOnly));
        QVERIFY(huge.resize(65 * 1024 * 1024));
        huge.close();
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("huge\\.vcf.*larger than")));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("broken\\.vcf.*END:VCARD")));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("picture\\.vcf.*outside a card")));
        const std::vector<Contact> contacts = readContacts(folder);
        QStringList read;
        for (const Contact &c : contacts) read << c.displayName;
        QCOMPARE(read, (QStringList{QStringLiteral("Example, Ann ;\\ Co"), QStringLiteral("Jürgen Müller"),
                                    QStringLiteral("Zoë Ørsted")}));
        QVERIFY(readContacts(folder + QStringLiteral("/missing")).empty());

        // The folder comes from the settings, relative to home, or from the data home.
        QCOMPARE(contactsFolder(), QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                                       QStringLiteral("/sendmere/contacts"));

        CWinReg reg;
        QVERIFY(reg.OpenKey(reg.HKEY_CURRENT_USER(), SettingsKey, true));
        QVERIFY(reg.SetStringValue(ContactsFolderValue, QStringLiteral("/srv/shared/contacts")));
        QCOMPARE(contactsFolder(), QStringLiteral("/srv/shared/contacts"));
        QVERIFY(reg.SetStringValue(ContactsFolderValue, QStringLiteral("Sync/contacts")));
        QCOMPARE(contactsFolder(), QDir::homePath() + QStringLiteral("/Sync/contacts"));
        QVERIFY(reg.DeleteValue(ContactsFolderValue));
    }

    void entriesAreNamedAsMailClientsNameThem() {
        Contact ann{QStringLiteral("Ann Example"), {QStringLiteral("ann@example.com")},
                    {{FaxKind::Other, QStringLiteral("+1 555 0102")}, {FaxKind::Business, QStringLiteral("+1 555 0100")},
                     {FaxKind::Home, QStringLiteral("+1 555 0101")}}};
        Contact bob{QStringLiteral("bob Doe"), {QStringLiteral("bob@example.com")}, {{FaxKind::Home, QStringLiteral("42")}}};
        Contact cy{QStringLiteral("Cy"), {}, {}};  // nothing to address: no entry
        const std::vector<AddressEntry> entries = addressEntries({bob, ann, cy});
        QCOMPARE(names(entries), (QStringList{QStringLiteral("Ann Example"), QStringLiteral("Ann Example (Business Fax)"),
                                              QStringLiteral("Ann Example (Home Fax)"), QStringLiteral("Ann Example (Other Fax)"),
                                              QStringLiteral("bob Doe"), QStringLiteral("bob Doe (Home Fax)")}));
        const AddressEntry &business = entries[1];
        QCOMPARE(business.Address, QStringLiteral("Ann Example@+1 555 0100"));
        QCOMPARE(business.EntryName, business.Name);
        QCOMPARE(business.EntryAddress, business.Address);
        QCOMPARE(entries[3].Address, QStringLiteral("Ann Example@+1 555 0102"));
        QCOMPARE(entries[0].Address, QStringLiteral("ann@example.com"));

        // The mail library's three fax properties and the session's fields 10 and 11.
        QCOMPARE(entryProperty(entries[0], PR_BUSINESS_FAX_NUMBER), QStringLiteral("+1 555 0100"));
        QCOMPARE(entryProperty(entries[0], PR_HOME_FAX_NUMBER), QStringLiteral("+1 555 0101"));
        QCOMPARE(entryProperty(entries[0], PR_PRIMARY_FAX_NUMBER), QStringLiteral("+1 555 0102"));
        QCOMPARE(entryProperty(entries[4], PR_BUSINESS_FAX_NUMBER), QString());
        QCOMPARE(entryProperty(entries[4], PR_HOME_FAX_NUMBER), QStringLiteral("42"));
        try {
            entryProperty(entries[0], 0x3001001E);
            QFAIL("an unknown property was answered");
        } catch (const AutomationError &error) {
            QCOMPARE(error.number(), err::MapiNotFound);
        }
        QCOMPARE(entryField(entries[0], 10), QStringLiteral("+1 555 0100"));
        QCOMPARE(entryField(entries[0], 11), QStringLiteral("+1 555 0101"));
        QCOMPARE(entryField(entries[4], 10), QString());
        QCOMPARE(entryField(entries[4], 11), QStringLiteral("42"));
        const AddressEntry otherOnly = addressEntries({Contact{QStringLiteral("O"), {}, {{FaxKind::Other, QStringLiteral("7")}}}}).front();
        QCOMPARE(entryField(otherOnly, 11), QStringLiteral("7"));
        QCOMPARE(entryField(otherOnly, 9), QString());
    }
};

QTEST_GUILESS_MAIN(TestVCard)
#include "tst_vcard.moc"
