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
    return cards.size() == 1 ? contactFromVCard(cards.front()).value_or(Contact{}) : Contact{};
}

QStringList displayNames(const std::vector<Contact> &contacts) {
    QStringList names;
    for (const Contact &c : contacts) names << c.displayName;
    return names;
}

// A 2.1 card as older phones export it: bare parameters, quoted-printable with soft line breaks, a Latin-1 character set, no FN.
const QByteArray Card21 = "BEGIN:VCARD\r\nVERSION:2.1\r\nN;CHARSET=ISO-8859-1;ENCODING=QUOTED-PRINTABLE:M=FCller;J=FCrgen\r\n"
                          "TEL;WORK;FAX:+49 30 1234\r\nTEL;HOME;FAX:+49 30 5678\r\nTEL;CELL:+49 170 0000\r\nEMAIL;INTERNET:j.mueller@example.de\r\n"
                          "NOTE;QUOTED-PRINTABLE:first line=0D=0A=\r\nsecond line\r\n"
                          "PHOTO;ENCODING=BASE64;TYPE=JPEG:/9j/4AAQSkZJRgABAQEASABIAAD\r\n /2wBDAAMCAgICAgMCAgIDAwMDBAYEBAQE\r\n\r\nEND:VCARD\r\n";

// A 3.0 card: folded lines, TYPE lists in both spellings, escapes, a grouped property.
const QByteArray Card30 = "BEGIN:VCARD\nVERSION:3.0\nFN:Example\\, Ann \\;\\\\ Co\nN:Example;Ann;;;\nORG:Example Inc.;Sales\n"
                          "TEL;TYPE=WORK,FAX:+1 555\n  0100\nTEL;TYPE=HOME;TYPE=FAX:+1 555 0101\nitem1.TEL;type=FAX:+1 555 0102\n"
                          "item1.X-ABLabel:Desk\nTEL;TYPE=WORK,VOICE:+1 555 0199\nEMAIL;TYPE=INTERNET,PREF:ann@exam\n\tple.com\n"
                          "EMAIL;TYPE=INTERNET:ann.private@example.org\nEND:VCARD\n";

// A 4.0 card: tel: URIs, quoted parameter values holding ':' ';' and ','.
const QByteArray Card40 = "BEGIN:VCARD\r\nVERSION:4.0\r\nFN:Zoë Ørsted\r\nTEL;VALUE=uri;TYPE=\"fax,work\":tel:+45-3333-0000\r\n"
                          "TEL;VALUE=uri;TYPE=fax;LABEL=\"Fax: main; lobby, ground\":tel:+45-3333-0001\r\nEMAIL;PREF=1:zoe@example.dk\r\nEND:VCARD\r\n";

}  // namespace

class TestVCard : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void readsTheThreeVersions() {
        const Contact c21 = onlyContact(Card21), c30 = onlyContact(Card30), c40 = onlyContact(Card40);
        QCOMPARE((QStringList{c21.displayName, c21.fax(FaxKind::Business), c21.fax(FaxKind::Home), QString::number(c21.faxes.size())}),
                 (QStringList{u"Jürgen Müller"_s, u"+49 30 1234"_s, u"+49 30 5678"_s, u"2"_s}));  // the mobile number is no fax
        QCOMPARE(c21.emails, QStringList{u"j.mueller@example.de"_s});
        const VCard card21 = parseVCards(Card21).front();
        QCOMPARE(card21.version, u"2.1"_s);
        QCOMPARE(card21.all(u"NOTE"_s).front()->text(), u"first line\r\nsecond line"_s);

        QCOMPARE((QStringList{c30.displayName, c30.fax(FaxKind::Business), c30.fax(FaxKind::Home), c30.fax(FaxKind::Other), QString::number(c30.faxes.size())}),
                 (QStringList{u"Example, Ann ;\\ Co"_s, u"+1 555 0100"_s, u"+1 555 0101"_s, u"+1 555 0102"_s, u"3"_s}));
        QCOMPARE(c30.emails, (QStringList{u"ann@example.com"_s, u"ann.private@example.org"_s}));
        QCOMPARE(parseVCards(Card30).front().all(u"ORG"_s).front()->components(), (QStringList{u"Example Inc."_s, u"Sales"_s}));

        QCOMPARE((QStringList{c40.displayName, c40.fax(FaxKind::Business), c40.fax(FaxKind::Other)}),
                 (QStringList{u"Zoë Ørsted"_s, u"+45-3333-0000"_s, u"+45-3333-0001"_s}));
        QCOMPARE(parseVCards(Card40).front().all(u"TEL"_s).at(1)->parameter(u"LABEL"_s), u"Fax: main; lobby, ground"_s);
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
        const std::vector<VCard> cards = parseVCards("BEGIN:VCARD\nVERSION:3.0\nFN:Good One\nEND:VCARD\n"
                                                     "BEGIN:VCARD\nVERSION:3.0\nFN:Broken\nthis line has no colon\nEND:VCARD\n"
                                                     "BEGIN:VCARD\nVERSION:2.1\nFN:Agent Holder\nAGENT:\nBEGIN:VCARD\nFN:Inner\nEND:VCARD\nEND:VCARD\n"
                                                     "BEGIN:VCARD\nVERSION:3.0\nFN:Unterminated\n",
                                                     &problems);
        QCOMPARE(cards.size(), size_t(2));
        QCOMPARE(contactFromVCard(cards[0])->displayName + u'|' + contactFromVCard(cards[1])->displayName, u"Good One|Agent Holder"_s);
        QCOMPARE(problems.size(), 2);
        QVERIFY(problems[0].contains(u"this line has no colon"_s) && problems[1].contains(u"END:VCARD"_s));
        for (const QByteArray &bad : {QByteArray("\x89PNG\r\n\x1a\n\0\0\0binary", 17), QByteArray("BEGIN:VCARD\n:no name\nEND:VCARD\n")}) {
            problems.clear();
            QVERIFY(parseVCards(bad, &problems).empty());
            QCOMPARE(problems.size(), 1);
        }
        problems.clear();
        QVERIFY(parseVCards(QByteArray(), &problems).empty() && problems.isEmpty());
    }

    // The folder's cards are read; broken, huge and non-card files are logged and left out, as are a FIFO, a link to one and a link to a
    // device (at once, instead of blocking or filling memory); a link to a card is read. The folder comes from the settings, relative to
    // home, or from the data home.
    void theFolderIsReadAndItsBrokenFilesAreLogged() {
        const QString folder = QDir::tempPath() + u"/contacts-folder"_s;
        writeFile(folder + u"/a.vcf"_s, Card30);
        writeFile(folder + u"/b.VCF"_s, Card21);
        writeFile(folder + u"/c.vcf"_s, Card40);
        writeFile(folder + u"/broken.vcf"_s, "BEGIN:VCARD\nFN:Half\n");
        writeFile(folder + u"/picture.vcf"_s, QByteArray("\xff\xd8\xff\xe0garbage", 12));
        writeFile(folder + u"/notes.txt"_s, "BEGIN:VCARD\nFN:Not A Card File\nEND:VCARD\n");
        QFile huge(folder + u"/huge.vcf"_s);  // sparse: takes no room on the disk
        QVERIFY(huge.open(QIODevice::WriteOnly) && huge.resize(65 * 1024 * 1024));
        huge.close();
        QVERIFY(QFile::link(folder + u"/a.vcf"_s, folder + u"/d.vcf"_s));
        QCOMPARE(::mkfifo(QFile::encodeName(folder + u"/fifo.vcf"_s).constData(), 0600), 0);
        QVERIFY(QFile::link(folder + u"/fifo.vcf"_s, folder + u"/x.vcf"_s));
        QVERIFY(QFile::link(u"/dev/zero"_s, folder + u"/zero.vcf"_s));
        for (const char *warning : {"huge\\.vcf.*larger than", "broken\\.vcf.*END:VCARD", "picture\\.vcf.*outside a card", "x\\.vcf.*not a regular file",
                                    "zero\\.vcf.*not a regular file"})  // the FIFO itself is no file to the folder listing
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QLatin1String(warning)));
        QCOMPARE(displayNames(readContacts(folder)), (QStringList{u"Example, Ann ;\\ Co"_s, u"Jürgen Müller"_s, u"Zoë Ørsted"_s, u"Example, Ann ;\\ Co"_s}));
        QVERIFY(readContacts(folder + u"/missing"_s).empty());

        QCOMPARE(contactsFolder(), QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + u"/sendmere/contacts"_s);
        CWinReg reg;
        QVERIFY(reg.OpenKey(reg.HKEY_CURRENT_USER(), SettingsKey, true));
        QVERIFY(reg.SetStringValue(ContactsFolderValue, u"/srv/shared/contacts"_s));
        QCOMPARE(contactsFolder(), u"/srv/shared/contacts"_s);
        QVERIFY(reg.SetStringValue(ContactsFolderValue, u"Sync/contacts"_s));
        QCOMPARE(contactsFolder(), QDir::homePath() + u"/Sync/contacts"_s);
        QVERIFY(reg.DeleteValue(ContactsFolderValue));
    }

    // A long quoted-printable note with a soft line break every 75 characters, as a phone
    // writes one, ending in an escape, joins and decodes to the note it was.
    void aLongQuotedPrintableNoteDecodes() {
        QByteArray note, card = "BEGIN:VCARD\r\nVERSION:2.1\r\nFN:Long Note\r\nNOTE;CHARSET=ISO-8859-1;ENCODING=QUOTED-PRINTABLE:", line;
        for (int i = 0; note.size() < 200000; ++i) note += "line " + QByteArray::number(i) + " \xe4=\n";
        for (const char c : note) {
            const uchar u = uchar(c);
            const QByteArray token = (u == '=' || u >= 0x80 || u == '\n') ? "=" + QByteArray::number(u, 16).toUpper().rightJustified(2, '0') : QByteArray(1, c);
            if (line.size() + token.size() > 75) card += line + "=\r\n", line.clear();
            line += token;
        }
        const std::vector<VCard> cards = parseVCards(card + line + "\r\nEND:VCARD\r\n");
        QCOMPARE(cards.size(), size_t(1));
        QCOMPARE(cards.front().all(u"NOTE"_s).front()->value, QString::fromLatin1(note));
    }
};

QTEST_GUILESS_MAIN(TestVCard)
#include "tst_vcard.moc"
