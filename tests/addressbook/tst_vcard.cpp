// Reading contacts: vCard 2.1, 3.0 and 4.0 as address books and phones write them, the
// contacts folder with its broken files, and the entries the address book lists.
#include "TestSupport.h"
#include "platform/mail/Contacts.h"
#include "services/CWinReg.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QtTest>

#include <sys/stat.h>

using namespace sendmere;
using namespace sendmere::mail;
using namespace Qt::StringLiterals;
using sendmere::test::writeFile;

namespace {

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
        QCOMPARE(c21.displayName, u"Jürgen Müller"_s);
        QCOMPARE(c21.emails, QStringList{u"j.mueller@example.de"_s});
        QCOMPARE(c21.faxes.size(), 2);  // the mobile number is no fax
        QCOMPARE(c21.fax(FaxKind::Business), u"+49 30 1234"_s);
        QCOMPARE(c21.fax(FaxKind::Home), u"+49 30 5678"_s);
        const VCard card21 = parseVCards(Card21).front();
        QCOMPARE(card21.version, u"2.1"_s);
        QCOMPARE(card21.all(u"NOTE"_s).front()->text(), u"first line\r\nsecond line"_s);

        const Contact c30 = onlyContact(Card30);
        QCOMPARE(c30.displayName, u"Example, Ann ;\\ Co"_s);
        QCOMPARE(c30.emails, (QStringList{u"ann@example.com"_s, u"ann.private@example.org"_s}));
        QCOMPARE(c30.fax(FaxKind::Business), u"+1 555 0100"_s);
        QCOMPARE(c30.fax(FaxKind::Home), u"+1 555 0101"_s);
        QCOMPARE(c30.fax(FaxKind::Other), u"+1 555 0102"_s);
        QCOMPARE(c30.faxes.size(), 3);
        const VCard card30 = parseVCards(Card30).front();
        QCOMPARE(card30.all(u"ORG"_s).front()->components(), (QStringList{u"Example Inc."_s, u"Sales"_s}));

        const Contact c40 = onlyContact(Card40);
        QCOMPARE(c40.displayName, u"Zoë Ørsted"_s);
        QCOMPARE(c40.fax(FaxKind::Business), u"+45-3333-0000"_s);
        QCOMPARE(c40.fax(FaxKind::Other), u"+45-3333-0001"_s);
        const std::vector<VCard> cards40 = parseVCards(Card40);
        const VCardProperty *labelled = cards40.front().all(u"TEL"_s).at(1);
        QCOMPARE(labelled->parameter(u"LABEL"_s), u"Fax: main; lobby, ground"_s);
    }

    void theNameFallsBackFromFnToNToOrgToTheAddress() {
        QCOMPARE(onlyContact("BEGIN:VCARD\nVERSION:3.0\nN:Doe;John;Q.;Dr.;Jr.\nEND:VCARD\n").displayName, u"Dr. John Q. Doe Jr."_s);
        QCOMPARE(onlyContact("BEGIN:VCARD\nVERSION:3.0\nFN: \nORG:Acme;Fax Desk\nTEL;TYPE=FAX:1\nEND:VCARD\n").displayName, u"Acme"_s);
        QCOMPARE(onlyContact("BEGIN:VCARD\nVERSION:4.0\nEMAIL:x@y.z\nEND:VCARD\n").displayName, u"x@y.z"_s);
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
        QCOMPARE(contactFromVCard(cards[0])->displayName, u"Good One"_s);
        QCOMPARE(contactFromVCard(cards[1])->displayName, u"Agent Holder"_s);
        QCOMPARE(problems.size(), 2);
        QVERIFY(problems[0].contains(u"this line has no colon"_s));
        QVERIFY(problems[1].contains(u"END:VCARD"_s));

        problems.clear();
        QVERIFY(parseVCards("\x89PNG\r\n\x1a\n\0\0\0binary", &problems).empty());
        QCOMPARE(problems.size(), 1);
        problems.clear();
        QVERIFY(parseVCards(QByteArray(), &problems).empty());
        QVERIFY(parseVCards("BEGIN:VCARD\n:no name\nEND:VCARD\n", &problems).empty());
        QCOMPARE(problems.size(), 1);
    }

    void theFolderIsReadAndItsBrokenFilesAreLogged() {
        const QString folder = QDir::tempPath() + u"/contacts-folder"_s;
        writeFile(folder + u"/a.vcf"_s, Card30);
        writeFile(folder + u"/b.VCF"_s, Card21);
        writeFile(folder + u"/c.vcf"_s, Card40);
        writeFile(folder + u"/broken.vcf"_s, "BEGIN:VCARD\nFN:Half\n");
        writeFile(folder + u"/picture.vcf"_s, QByteArray("\xff\xd8\xff\xe0garbage", 12));
        writeFile(folder + u"/notes.txt"_s, "BEGIN:VCARD\nFN:Not A Card File\nEND:VCARD\n");
        QFile huge(folder + u"/huge.vcf"_s);  // sparse: takes no room on the disk
        QVERIFY(huge.open(QIODevice::WriteOnly));
        QVERIFY(huge.resize(65 * 1024 * 1024));
        huge.close();
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"huge\\.vcf.*larger than"_s));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"broken\\.vcf.*END:VCARD"_s));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"picture\\.vcf.*outside a card"_s));
        const std::vector<Contact> contacts = readContacts(folder);
        QStringList read;
        for (const Contact &c : contacts) read << c.displayName;
        QCOMPARE(read, (QStringList{u"Example, Ann ;\\ Co"_s, u"Jürgen Müller"_s, u"Zoë Ørsted"_s}));
        QVERIFY(readContacts(folder + u"/missing"_s).empty());

        // The folder comes from the settings, relative to home, or from the data home.
        QCOMPARE(contactsFolder(), QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + u"/sendmere/contacts"_s);

        CWinReg reg;
        QVERIFY(reg.OpenKey(reg.HKEY_CURRENT_USER(), SettingsKey, true));
        QVERIFY(reg.SetStringValue(ContactsFolderValue, u"/srv/shared/contacts"_s));
        QCOMPARE(contactsFolder(), u"/srv/shared/contacts"_s);
        QVERIFY(reg.SetStringValue(ContactsFolderValue, u"Sync/contacts"_s));
        QCOMPARE(contactsFolder(), QDir::homePath() + u"/Sync/contacts"_s);
        QVERIFY(reg.DeleteValue(ContactsFolderValue));
    }

    // Only regular files are read: a FIFO, a link to one and a link to a device are left
    // out with a warning at once, instead of blocking or filling memory; a link to a card
    // is read.
    void onlyRegularFilesAreRead() {
        const QString folder = QDir::tempPath() + u"/contacts-special"_s;
        writeFile(folder + u"/a.vcf"_s, Card30);
        QVERIFY(QFile::link(folder + u"/a.vcf"_s, folder + u"/b.vcf"_s));
        QCOMPARE(::mkfifo(QFile::encodeName(folder + u"/fifo.vcf"_s).constData(), 0600), 0);
        QVERIFY(QFile::link(folder + u"/fifo.vcf"_s, folder + u"/x.vcf"_s));
        QVERIFY(QFile::link(u"/dev/zero"_s, folder + u"/zero.vcf"_s));
        for (const char *name : {"x", "zero"})  // the FIFO itself is no file to the folder listing
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QLatin1String(name) + u"\\.vcf.*not a regular file"_s));
        const std::vector<Contact> contacts = readContacts(folder);
        QCOMPARE(contacts.size(), size_t(2));
        QCOMPARE(contacts.front().displayName, u"Example, Ann ;\\ Co"_s);
    }

    // A long quoted-printable note with a soft line break every 75 characters, as a phone
    // writes one, joins and decodes to the note it was.
    void aLongQuotedPrintableNoteDecodes() {
        QByteArray note;
        for (int i = 0; note.size() < 200000; ++i) note += "line " + QByteArray::number(i) + " \xe4=\n";
        QByteArray card = "BEGIN:VCARD\r\nVERSION:2.1\r\nFN:Long Note\r\nNOTE;CHARSET=ISO-8859-1;ENCODING=QUOTED-PRINTABLE:";
        QByteArray line;
        for (const char c : note) {
            const uchar u = uchar(c);
            const QByteArray token = (u == '=' || u >= 0x80 || u == '\n')
                                         ? "=" + QByteArray::number(u, 16).toUpper().rightJustified(2, '0')
                                         : QByteArray(1, c);
            if (line.size() + token.size() > 75) {
                card += line + "=\r\n";
                line.clear();
            }
            line += token;
        }
        card += line + "\r\n";
        card += "END:VCARD\r\n";
        const std::vector<VCard> cards = parseVCards(card);
        QCOMPARE(cards.size(), size_t(1));
        QCOMPARE(cards.front().all(u"NOTE"_s).front()->value, QString::fromLatin1(note));
    }

    void entriesAreNamedAsMailClientsNameThem() {
        Contact ann{u"Ann Example"_s,
                    {u"ann@example.com"_s},
                    {{FaxKind::Other, u"+1 555 0102"_s}, {FaxKind::Business, u"+1 555 0100"_s}, {FaxKind::Home, u"+1 555 0101"_s}}};
        Contact bob{u"bob Doe"_s, {u"bob@example.com"_s}, {{FaxKind::Home, u"42"_s}}};
        Contact cy{u"Cy"_s, {}, {}};  // nothing to address: no entry
        const std::vector<AddressEntry> entries = addressEntries({bob, ann, cy});
        QCOMPARE(names(entries), (QStringList{u"Ann Example"_s, u"Ann Example (Business Fax)"_s, u"Ann Example (Home Fax)"_s,
                                              u"Ann Example (Other Fax)"_s, u"bob Doe"_s, u"bob Doe (Home Fax)"_s}));
        const AddressEntry &business = entries[1];
        QCOMPARE(business.Address, u"Ann Example@+1 555 0100"_s);
        QCOMPARE(business.EntryName, business.Name);
        QCOMPARE(business.EntryAddress, business.Address);
        QCOMPARE(entries[3].Address, u"Ann Example@+1 555 0102"_s);
        QCOMPARE(entries[0].Address, u"ann@example.com"_s);

        // The mail library's three fax properties and the session's fields 10 and 11.
        QCOMPARE(entryProperty(entries[0], PR_BUSINESS_FAX_NUMBER), u"+1 555 0100"_s);
        QCOMPARE(entryProperty(entries[0], PR_HOME_FAX_NUMBER), u"+1 555 0101"_s);
        QCOMPARE(entryProperty(entries[0], PR_PRIMARY_FAX_NUMBER), u"+1 555 0102"_s);
        QCOMPARE(entryProperty(entries[4], PR_BUSINESS_FAX_NUMBER), QString());
        QCOMPARE(entryProperty(entries[4], PR_HOME_FAX_NUMBER), u"42"_s);
        QCOMPARE(test::automationError([&] { entryProperty(entries[0], 0x3001001E); }).number(), err::MapiNotFound);
        QCOMPARE(entryField(entries[0], 10), u"+1 555 0100"_s);
        QCOMPARE(entryField(entries[0], 11), u"+1 555 0101"_s);
        QCOMPARE(entryField(entries[4], 10), QString());
        QCOMPARE(entryField(entries[4], 11), u"42"_s);
        const AddressEntry otherOnly = addressEntries({Contact{u"O"_s, {}, {{FaxKind::Other, u"7"_s}}}}).front();
        QCOMPARE(entryField(otherOnly, 11), u"7"_s);
        QCOMPARE(entryField(otherOnly, 9), QString());
    }
};

QTEST_GUILESS_MAIN(TestVCard)
#include "tst_vcard.moc"
