// "Address Book..." on the recipients page: the dialog over a folder of contacts, the entries
// chosen in it going through the page's Add, and the failure paths of both messaging layers.
#include "AddressBookTestKit.h"
#include "MailTestKit.h"
#include "TestSeams.h"
#include "session/mCommon.h"
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

using namespace sendmere;
using namespace Qt::StringLiterals;

namespace {

// Ann has all three kinds of fax number, Bob only a home fax, Cy only another fax, Dee none.
void writeContacts() {
    test::writeCard(u"ann.vcf"_s, "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Ann Example\r\nEMAIL:ann@example.com\r\nTEL;TYPE=WORK,FAX:+1 555 0100\r\n"
                                  "TEL;TYPE=HOME,FAX:+1 555 0101\r\nTEL;TYPE=FAX:+1 555 0102\r\nEND:VCARD\r\n");
    test::writeCard(u"bob.vcf"_s, "BEGIN:VCARD\r\nVERSION:2.1\r\nN:Brown;Bob\r\nEMAIL;INTERNET:bob@example.com\r\nTEL;HOME;FAX:222\r\nEND:VCARD\r\n");
    test::writeCard(u"cy.vcf"_s, "BEGIN:VCARD\r\nVERSION:4.0\r\nFN:Cy Cole\r\nEMAIL:cy@example.com\r\nTEL;VALUE=uri;TYPE=fax:tel:333\r\nEND:VCARD\r\n");
    test::writeCard(u"dee.vcf"_s, "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Dee Dunn\r\nEMAIL:dee@example.com\r\nEND:VCARD\r\n");
}

// Types text into the search box, chooses the first match with Enter.
void choose(AddressBookWindow &window, const QString &text) {
    window.txtSearch->clear();
    QTest::keyClicks(window.txtSearch, text);
    QTest::keyClick(window.txtSearch, Qt::Key_Return);
}

// Opens the address book from the page, chooses the entries searched for and presses OK (or Cancel); returns the page's recipients.
QStringList addThrough(frmNew &page, const QStringList &searches, bool ok = true) {
    test::whenAddressBookShown([searches, ok](AddressBookWindow &window) {
        for (const QString &text : searches) choose(window, text);
        QTest::mouseClick(ok ? window.cmdOK : window.cmdCancel, Qt::LeftButton);
    });
    QTest::mouseClick(page.cmdAddress, Qt::LeftButton);
    return test::recipientRows(page);
}

// The error log holds one line: the error number given, logged by the Address Book button.
void expectOneLogLine(const QString &number) {
    const QStringList log = test::errorLogLines();
    QVERIFY2(log.size() == 1 && log[0].startsWith(number) && log[0].contains(u"\"frmNew.cmdAddress\""_s), qPrintable(log.join(u'\n')));
}

// Refuses the mail client's address access from the given read on.
class RefusingGuard : public mail::AddressAccessGuard {
public:
    explicit RefusingGuard(int allowed) : m_allowed(allowed) {}
    void allow() override {
        if (m_allowed-- <= 0) throw AutomationError(err::AddressAccessRefused, u"Application-defined or object-defined error"_s);
    }

private:
    int m_allowed;
};

}  // namespace

class TestAddressBook : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() {
        test::clearErrorLog();
        writeContacts();
        mailtest::reregister(mail::MapiUtilsClass);
        mailtest::reregister(mail::SessionClass);
    }
    void cleanup() {
        mCommon::ShutDown();  // the next test opens its own messaging session
        releasePages();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        mail::addressBookSeams().accessGuard.reset();
    }

    // The entries sort by name, an e-mail entry before each fax kind; the search also matches the address; Enter chooses the first match
    // once; Remove takes a choice back; with nothing moved into the chosen list, OK takes the selected entries. (Typing, Enter, OK and
    // Escape from the keyboard are the desktop test's.)
    void theDialogListsSearchesAndChoosesEntries() {
        std::vector<mail::AddressEntry> entries = mail::addressEntries(mail::readContacts(mail::contactsFolder()));
        AddressBookWindow window(u"AddressBook"_s, {u"Choice"_s}, entries);
        window.show();
        const QAbstractItemModel *model = window.lvEntries->model();
        QStringList names;
        for (int row = 0; row < model->rowCount(); ++row) names << model->index(row, 0).data().toString();
        QCOMPARE(names, (QStringList{u"Ann Example"_s, u"Ann Example (Business Fax)"_s, u"Ann Example (Home Fax)"_s, u"Ann Example (Other Fax)"_s,
                                     u"Bob Brown"_s, u"Bob Brown (Home Fax)"_s, u"Cy Cole"_s, u"Cy Cole (Other Fax)"_s, u"Dee Dunn"_s}));
        QTest::keyClicks(window.txtSearch, u"@3"_s);  // matches the address too
        QCOMPARE(model->rowCount(), 1);
        QCOMPARE(model->index(0, 0).data().toString() + u'|' + model->index(0, 1).data().toString(), u"Cy Cole (Other Fax)|Cy Cole@333"_s);
        QTest::keyClick(window.txtSearch, Qt::Key_Return);
        for (const QString &text : {u"ann example (b"_s, u"cy cole (o"_s, u"nobody"_s}) choose(window, text);  // Cy twice, nobody never
        QCOMPARE(window.lvChosen->count(), 2);
        QCOMPARE(window.lvChosen->item(1)->text(), u"Ann Example (Business Fax)"_s);
        window.lvChosen->item(0)->setSelected(true);
        QTest::mouseClick(window.cmdRemove, Qt::LeftButton);
        const std::vector<int> chosen = window.chosen();
        QVERIFY(chosen.size() == 1 && entries[size_t(chosen[0])].Name == u"Ann Example (Business Fax)"_s);

        AddressBookWindow plain(u"AddressBook"_s, {u"Choice"_s}, entries);
        plain.show();
        QTest::keyClicks(plain.txtSearch, u"dee"_s);
        QCOMPARE(plain.chosen().size(), size_t(1));
        QCOMPARE(entries[size_t(plain.chosen()[0])].Name, u"Dee Dunn"_s);
    }

    // The window as it opens has chosen nobody: OK adds no recipient, nor after typing a name and taking it back. Its address column shows
    // every address whole, an international fax number with its name included.
    void okOnTheUntouchedWindowAddsNobody() {
        test::writeCard(u"eve.vcf"_s, "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Eve Fox\r\nTEL;TYPE=WORK,FAX:+44 20 7946 0958 ext. 1234\r\nEND:VCARD\r\n");
        frmNew &page = test::shownRecipientsPage();
        QStringList clipped;
        int rows = 0;
        test::whenAddressBookShown([&](AddressBookWindow &window) {
            const QAbstractItemModel *model = window.lvEntries->model();
            for (rows = 0; rows < model->rowCount(); ++rows) {
                const QString address = model->index(rows, 1).data().toString();
                const int width = window.lvEntries->visualRect(model->index(rows, 1)).width();
                const int needed = window.lvEntries->fontMetrics().horizontalAdvance(address) + 12;  // the text and the list's margins
                if (width < needed) clipped << u"%1 (%2 of %3 px)"_s.arg(address).arg(width).arg(needed);
            }
            QTest::mouseClick(window.cmdOK, Qt::LeftButton);
        });
        QTest::mouseClick(page.cmdAddress, Qt::LeftButton);
        QFile::remove(mail::contactsFolder() + u"/eve.vcf"_s);
        QCOMPARE(rows, 10);
        QVERIFY2(clipped.isEmpty(), qPrintable(clipped.join(u'|')));
        QCOMPARE(test::recipientRows(page), QStringList());
        QCOMPARE(page.txtTo->text(), QString());
        test::whenAddressBookShown([](AddressBookWindow &window) {
            QTest::keyClicks(window.txtSearch, u"bob"_s);
            window.txtSearch->clear();
            QTest::mouseClick(window.cmdOK, Qt::LeftButton);
        });
        QTest::mouseClick(page.cmdAddress, Qt::LeftButton);
        QCOMPARE(test::recipientRows(page), QStringList());
        QVERIFY(test::errorLogLines().isEmpty());
    }

    // Through the mail library: fax entries give the number after their '@'; an e-mail entry gives its contact's business fax, else home
    // fax, else other fax, else it stays out. The page keeps one entry per name and number; Cancel adds nothing.
    void theMailLibraryAddsEveryEntryWithAFaxNumber() {
        frmNew &page = test::shownRecipientsPage();
        QCOMPARE(addThrough(page, {u"Ann Example (Home"_s, u"ann@"_s, u"bob@"_s, u"cy@"_s, u"Ann Example (Home"_s, u"dee@"_s}),
                 (QStringList{u"Ann Example (Home Fax)|+1 555 0101"_s, u"Ann Example|+1 555 0100"_s, u"Bob Brown|222"_s, u"Cy Cole|333"_s}));
        // Dee has no fax number: her name stays in the box, the number box stays empty.
        QCOMPARE(page.txtTo->text() + u'|' + page.txtFaxNumber->text(), u"Dee Dunn|"_s);
        const QStringList again = addThrough(page, {u"bob brown (home"_s, u"bob@"_s});
        QCOMPARE(again.size(), 5);
        QCOMPARE(again.last(), u"Bob Brown (Home Fax)|222"_s);
        QCOMPARE(addThrough(page, {u"dee"_s}, false), again);
        QVERIFY(test::errorLogLines().isEmpty());
    }

    // A number typed before gives way to the contact's business fax, which is read first; a
    // contact known only by its e-mail keeps its fax number whole.
    void theContactsFaxNumberWinsAndAnEmailNameKeepsItsNumber() {
        test::writeCard(u"eve.vcf"_s, "BEGIN:VCARD\r\nVERSION:3.0\r\nEMAIL:eve@example.com\r\nTEL;TYPE=FAX:777\r\nEND:VCARD\r\n");
        frmNew &page = test::shownRecipientsPage();
        QTest::keyClicks(page.txtFaxNumber, u"999"_s);
        QCOMPARE(addThrough(page, {u"ann@"_s}), QStringList{u"Ann Example|+1 555 0100"_s});
        QCOMPARE(addThrough(page, {u"eve@example.com (o"_s}).last(), u"eve@example.com (Other Fax)|777"_s);
        QVERIFY(test::errorLogLines().isEmpty());
    }

    // Through the messaging session: a fax entry gives the number after its '@'; any other entry gives what follows the '@' of its address
    // unless field 10 or 11 holds a number. Cancelling the session's dialog changes nothing and is logged.
    void theMessagingSessionAddsEntriesByItsFields() {
        mailtest::unregister(mail::MapiUtilsClass);
        frmNew &page = test::shownRecipientsPage();
        const QStringList rows = addThrough(page, {u"Cy Cole (Other"_s, u"ann@"_s, u"bob@"_s, u"cy@"_s, u"dee@"_s});
        QCOMPARE(rows, (QStringList{u"Cy Cole (Other Fax)|333"_s, u"Ann Example|+1 555 0100"_s, u"Bob Brown|222"_s, u"Cy Cole|333"_s,
                                    u"Dee Dunn|example.com"_s}));
        QVERIFY(test::errorLogLines().isEmpty());
        QCOMPARE(addThrough(page, {}, false), rows);
        expectOneLogLine(u"-2147221229,"_s);
    }

    // The user refuses the mail client's access to addresses half way: what was read before
    // stays added, the user is told, and the refusal is logged.
    void refusedAddressAccessKeepsWhatWasReadAndTellsTheUser() {
        mailtest::unregister(mail::MapiUtilsClass);
        mail::addressBookSeams().accessGuard = std::make_unique<RefusingGuard>(1);
        test::RecordingSeams seams;
        frmNew &page = test::shownRecipientsPage();
        QCOMPARE(addThrough(page, {u"Ann Example (Home"_s, u"Bob Brown (Home"_s}), QStringList{u"Ann Example (Home Fax)|+1 555 0101"_s});
        QCOMPARE(page.txtTo->text(), u"Bob Brown (Home Fax)"_s);
        QCOMPARE(seams.recorded().messages.size(), 1);
        QCOMPARE(seams.recorded().messages[0].title, u"E-mail Address Access"_s);
        QCOMPARE(seams.recorded().messages[0].text, u"Outlook cannot return a name, because you clicked No on the e-mail address access dialog. "
                                                    "You need to try again and click Yes this time."_s);
        expectOneLogLine(u"287,"_s);
    }

    void withNoMessagingLayerTheUserIsToldToInstallOne() {
        mailtest::unregister(mail::MapiUtilsClass);
        mailtest::unregister(mail::SessionClass);
        test::RecordingSeams seams;
        frmNew &page = test::shownRecipientsPage();
        QTest::mouseClick(page.cmdAddress, Qt::LeftButton);
        QCOMPARE(seams.recorded().texts(), QStringList{u"Please install CDO."_s});
        QCOMPARE(seams.recorded().messages[0].title, u"Error"_s);
        QCOMPARE(test::recipientRows(page), QStringList());
        expectOneLogLine(u"91,"_s);
    }
};

QTEST_MAIN(TestAddressBook)
#include "tst_addressbook.moc"
