// "Address Book..." on the recipients page: the dialog over a folder of contacts, the
// entries chosen in it going through the page's Add, and the failure paths of both
// messaging layers.
#include "AddressBookTestKit.h"
#include "MailTestKit.h"
#include "TestSeams.h"
#include "TestSupport.h"
#include "session/mCommon.h"
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

using namespace sendmere;

namespace {

// Ann has all three kinds of fax number, Bob only a home fax, Cy only another fax, Dee none.
void writeContacts() {
    test::writeCard(QStringLiteral("ann.vcf"),
              "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Ann Example\r\nEMAIL:ann@example.com\r\n"
              "TEL;TYPE=WORK,FAX:+1 555 0100\r\nTEL;TYPE=HOME,FAX:+1 555 0101\r\nTEL;TYPE=FAX:+1 555 0102\r\nEND:VCARD\r\n");
    test::writeCard(QStringLiteral("bob.vcf"),
              "BEGIN:VCARD\r\nVERSION:2.1\r\nN:Brown;Bob\r\nEMAIL;INTERNET:bob@example.com\r\nTEL;HOME;FAX:222\r\nEND:VCARD\r\n");
    test::writeCard(QStringLiteral("cy.vcf"),
              "BEGIN:VCARD\r\nVERSION:4.0\r\nFN:Cy Cole\r\nEMAIL:cy@example.com\r\nTEL;VALUE=uri;TYPE=fax:tel:333\r\nEND:VCARD\r\n");
    test::writeCard(QStringLiteral("dee.vcf"), "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Dee Dunn\r\nEMAIL:dee@example.com\r\nEND:VCARD\r\n");
}

// Types text into the search box, chooses the first match with Enter.
void choose(AddressBookWindow &window, const QString &text) {
    window.txtSearch->clear();
    QTest::keyClicks(window.txtSearch, text);
    QTest::keyClick(window.txtSearch, Qt::Key_Return);
}

void chooseAndConfirm(const QStringList &searches) {
    test::whenAddressBookShown([searches](AddressBookWindow &window) {
        for (const QString &text : searches) choose(window, text);
        QTest::mouseClick(window.cmdOK, Qt::LeftButton);
    });
}

// The error log holds one line: the error number given, logged by the Address Book button.
void expectOneLogLine(const QString &number) {
    const QStringList log = test::errorLogLines();
    QCOMPARE(log.size(), 1);
    QVERIFY2(log[0].startsWith(number) && log[0].contains(QStringLiteral("\"frmNew.cmdAddress\"")), qPrintable(log[0]));
}

// Refuses the mail client's address access from the given read on.
class RefusingGuard : public mail::AddressAccessGuard {
public:
    explicit RefusingGuard(int allowed) : m_allowed(allowed) {}
    void allow() override {
        if (m_allowed-- <= 0) throw AutomationError(err::AddressAccessRefused, QStringLiteral("Application-defined or object-defined error"));
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

    void theDialogListsSearchesAndChoosesEntries() {
        std::vector<mail::AddressEntry> entries = mail::addressEntries(mail::readContacts(mail::contactsFolder()));
        AddressBookWindow window(QStringLiteral("AddressBook"), {QStringLiteral("Choice")}, entries);
        window.show();
        QCOMPARE(window.lvEntries->model()->rowCount(), 9);  // four e-mail addresses, five fax numbers
        QTest::keyClicks(window.txtSearch, QStringLiteral("FAX"));
        QCOMPARE(window.lvEntries->model()->rowCount(), 5);
        window.txtSearch->clear();
        QCOMPARE(window.lvEntries->model()->rowCount(), 9);
        QTest::keyClicks(window.txtSearch, QStringLiteral("@3"));  // matches the address too
        QCOMPARE(window.lvEntries->model()->rowCount(), 1);
        QCOMPARE(window.lvEntries->model()->index(0, 0).data().toString(), QStringLiteral("Cy Cole (Other Fax)"));
        QCOMPARE(window.lvEntries->model()->index(0, 1).data().toString(), QStringLiteral("Cy Cole@333"));
        QTest::keyClick(window.txtSearch, Qt::Key_Return);
        choose(window, QStringLiteral("ann example (b"));
        choose(window, QStringLiteral("cy cole (o"));  // chosen twice, listed once
        choose(window, QStringLiteral("nobody"));      // no match: nothing chosen
        QCOMPARE(window.lvChosen->count(), 2);
        QCOMPARE(window.lvChosen->item(1)->text(), QStringLiteral("Ann Example (Business Fax)"));
        window.lvChosen->item(0)->setSelected(true);
        QTest::mouseClick(window.cmdRemove, Qt::LeftButton);
        const std::vector<int> chosen = window.chosen();
        QCOMPARE(chosen.size(), size_t(1));
        QCOMPARE(entries[size_t(chosen[0])].Name, QStringLiteral("Ann Example (Business Fax)"));

        // With nothing moved into the chosen list, OK takes the entries selected in the list.
        AddressBookWindow plain(QStringLiteral("AddressBook"), {QStringLiteral("Choice")}, entries);
        plain.show();
        QTest::keyClicks(plain.txtSearch, QStringLiteral("dee"));
        QCOMPARE(plain.chosen().size(), size_t(1));
        QCOMPARE(entries[size_t(plain.chosen()[0])].Name, QStringLiteral("Dee Dunn"));
    }

    // The window as it opens has chosen nobody: OK adds no recipient. Its address column
    // shows every address whole, an international fax number with its name included.
    void okOnTheUntouchedWindowAddsNobody() {
        const QString eve = QStringLiteral("eve.vcf");
        test::writeCard(eve, "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Eve Fox\r\n"
                             "TEL;TYPE=WORK,FAX:+44 20 7946 0958 ext. 1234\r\nEND:VCARD\r\n");
        frmNew &page = test::shownRecipientsPage();
        QStringList clipped;
        int rows = 0;
        test::whenAddressBookShown([&](AddressBookWindow &window) {
            const QAbstractItemModel *model = window.lvEntries->model();
            rows = model->rowCount();
            for (int row = 0; row < rows; ++row) {
                const QString address = model->index(row, 1).data().toString();
                const QRect cell = window.lvEntries->visualRect(model->index(row, 1));
                // The text and the margins a list keeps on both sides of it.
                const int needed = window.lvEntries->fontMetrics().horizontalAdvance(address) + 12;
                if (cell.width() < needed) clipped << QStringLiteral("%1 (%2 of %3 px)").arg(address).arg(cell.width()).arg(needed);
            }
            QTest::mouseClick(window.cmdOK, Qt::LeftButton);
        });
        QTest::mouseClick(page.cmdAddress, Qt::LeftButton);
        QFile::remove(mail::contactsFolder() + u'/' + eve);
        QCOMPARE(rows, 10);
        QVERIFY2(clipped.isEmpty(), qPrintable(clipped.join(u'|')));
        QCOMPARE(test::recipientRows(page), QStringList());
        QCOMPARE(page.txtTo->text(), QString());
        QVERIFY(test::errorLogLines().isEmpty());

        // Typing a name and taking it back leaves nothing chosen either.
        test::whenAddressBookShown([](AddressBookWindow &window) {
            QTest::keyClicks(window.txtSearch, QStringLiteral("bob"));
            window.txtSearch->clear();
            QTest::mouseClick(window.cmdOK, Qt::LeftButton);
        });
        QTest::mouseClick(page.cmdAddress, Qt::LeftButton);
        QCOMPARE(test::recipientRows(page), QStringList());
    }

    // Through the mail library: fax entries give the number after their '@'; an e-mail entry
    // gives its contact's business fax, else home fax, else other fax, else it stays out.
    void theMailLibraryAddsEveryEntryWithAFaxNumber() {
        frmNew &page = test::shownRecipientsPage();
        chooseAndConfirm({QStringLiteral("Ann Example (Home"), QStringLiteral("ann@"), QStringLiteral("bob@"),
                          QStringLiteral("cy@"), QStringLiteral("Ann Example (Home"), QStringLiteral("dee@")});
        QTest::mouseClick(page.cmdAddress, Qt::LeftButton);
        QCOMPARE(test::recipientRows(page), (QStringList{QStringLiteral("Ann Example (Home Fax)|+1 555 0101"),
                                          QStringLiteral("Ann Example|+1 555 0100"), QStringLiteral("Bob Brown|222"),
                                          QStringLiteral("Cy Cole|333")}));
        // Dee has no fax number: her name stays in the box, the number box stays empty.
        QCOMPARE(page.txtTo->text(), QStringLiteral("Dee Dunn"));
        QCOMPARE(page.txtFaxNumber->text(), QString());
        QVERIFY(test::errorLogLines().isEmpty());

        // Chosen again: the page's duplicate rule keeps one entry per name and number.
        chooseAndConfirm({QStringLiteral("bob brown (home"), QStringLiteral("bob@")});
        QTest::mouseClick(page.cmdAddress, Qt::LeftButton);
        QCOMPARE(test::recipientRows(page).size(), 5);
        QCOMPARE(test::recipientRows(page).last(), QStringLiteral("Bob Brown (Home Fax)|222"));
        // Cancel adds nothing of what was chosen and logs nothing.
        test::whenAddressBookShown([](AddressBookWindow &window) {
            choose(window, QStringLiteral("dee"));
            QTest::mouseClick(window.cmdCancel, Qt::LeftButton);
        });
        QTest::mouseClick(page.cmdAddress, Qt::LeftButton);
        QCOMPARE(test::recipientRows(page).size(), 5);
        QVERIFY(test::errorLogLines().isEmpty());
    }

    // A number typed before the Address Book gives way to the contact's business fax, which is
    // read first; a contact known only by its e-mail keeps its fax number whole.
    void theContactsFaxNumberWinsAndAnEmailNameKeepsItsNumber() {
        test::writeCard(QStringLiteral("eve.vcf"),
                        "BEGIN:VCARD\r\nVERSION:3.0\r\nEMAIL:eve@example.com\r\nTEL;TYPE=FAX:777\r\nEND:VCARD\r\n");
        frmNew &page = test::shownRecipientsPage();
        QTest::keyClicks(page.txtFaxNumber, QStringLiteral("999"));
        chooseAndConfirm({QStringLiteral("ann@")});
        QTest::mouseClick(page.cmdAddress, Qt::LeftButton);
        QCOMPARE(test::recipientRows(page), QStringList{QStringLiteral("Ann Example|+1 555 0100")});
        chooseAndConfirm({QStringLiteral("eve@example.com (o")});
        QTest::mouseClick(page.cmdAddress, Qt::LeftButton);
        QCOMPARE(test::recipientRows(page).last(), QStringLiteral("eve@example.com (Other Fax)|777"));
        QVERIFY(test::errorLogLines().isEmpty());
    }

    // Through the messaging session: a fax entry gives the number after its '@'; any other
    // entry gives what follows the '@' of its address unless field 10 or 11 holds a number.
    void theMessagingSessionAddsEntriesByItsFields() {
        mailtest::unregister(mail::MapiUtilsClass);
        frmNew &page = test::shownRecipientsPage();
        chooseAndConfirm({QStringLiteral("Cy Cole (Other"), QStringLiteral("ann@"), QStringLiteral("bob@"),
                          QStringLiteral("cy@"), QStringLiteral("dee@")});
        QTest::mouseClick(page.cmdAddress, Qt::LeftButton);
        QCOMPARE(test::recipientRows(page), (QStringList{QStringLiteral("Cy Cole (Other Fax)|333"), QStringLiteral("Ann Example|+1 555 0100"),
                                          QStringLiteral("Bob Brown|222"), QStringLiteral("Cy Cole|333"),
                                          QStringLiteral("Dee Dunn|example.com")}));
        QVERIFY(test::errorLogLines().isEmpty());
        // Cancelling the session's dialog changes nothing and is logged.
        test::whenAddressBookShown([](AddressBookWindow &window) { QTest::mouseClick(window.cmdCancel, Qt::LeftButton); });
        QTest::mouseClick(page.cmdAddress, Qt::LeftButton);
        QCOMPARE(test::recipientRows(page).size(), 5);
        expectOneLogLine(QStringLiteral("-2147221229,"));
    }

    // The user refuses the mail client's access to addresses half way: what was read before
    // stays added, the user is told, and the refusal is logged.
    void refusedAddressAccessKeepsWhatWasReadAndTellsTheUser() {
        mailtest::unregister(mail::MapiUtilsClass);
        mail::addressBookSeams().accessGuard = std::make_unique<RefusingGuard>(1);
        test::RecordingSeams seams;
        frmNew &page = test::shownRecipientsPage();
        chooseAndConfirm({QStringLiteral("Ann Example (Home"), QStringLiteral("Bob Brown (Home")});
        QTest::mouseClick(page.cmdAddress, Qt::LeftButton);
        QCOMPARE(test::recipientRows(page), QStringList{QStringLiteral("Ann Example (Home Fax)|+1 555 0101")});
        QCOMPARE(page.txtTo->text(), QStringLiteral("Bob Brown (Home Fax)"));
        QCOMPARE(seams.recorded().messages.size(), 1);
        QCOMPARE(seams.recorded().messages[0].title, QStringLiteral("E-mail Address Access"));
        QCOMPARE(seams.recorded().messages[0].text,
                 QStringLiteral("Outlook cannot return a name, because you clicked No on the e-mail address access dialog. "
                                "You need to try again and click Yes this time."));
        expectOneLogLine(QStringLiteral("287,"));
    }

    void withNoMessagingLayerTheUserIsToldToInstallOne() {
        mailtest::unregister(mail::MapiUtilsClass);
        mailtest::unregister(mail::SessionClass);
        test::RecordingSeams seams;
        frmNew &page = test::shownRecipientsPage();
        QTest::mouseClick(page.cmdAddress, Qt::LeftButton);
        QCOMPARE(seams.recorded().texts(), QStringList{QStringLiteral("Please install CDO.")});
        QCOMPARE(seams.recorded().messages[0].title, QStringLiteral("Error"));
        QCOMPARE(test::recipientRows(page), QStringList());
        expectOneLogLine(QStringLiteral("91,"));
    }
};

QTEST_MAIN(TestAddressBook)
#include "tst_addressbook.moc"
