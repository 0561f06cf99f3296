// "Address Book..." on the recipients page: the dialog over a folder of contacts, the
// entries chosen in it going through the page's Add, and the failure paths of both
// messaging layers.
#include "TestSeams.h"
#include "TestSupport.h"
#include "RegistryStore.h"
#include "app/CWinReg.h"
#include "app/mCommon.h"
#include "job/FaxJob.h"
#include "platform/mail/Contacts.h"
#include "wizard/AddressBookDialog.h"
#include "wizard/frmNew.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStandardPaths>
#include <QTimer>
#include <QTreeView>
#include <QTreeWidget>
#include <QtTest>
#include <functional>

using namespace sendmere;

namespace {

void writeCard(const QString &file, const QByteArray &card) {
    const QString folder = mail::contactsFolder();
    QDir().mkpath(folder);
    QFile out(folder + QLatin1Char('/') + file);
    QVERIFY(out.open(QIODevice::WriteOnly));
    out.write(card);
}

// Ann has all three kinds of fax number, Bob only a home fax, Cy only another fax, Dee none.
void writeContacts() {
    writeCard(QStringLiteral("ann.vcf"),
              "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Ann Example\r\nEMAIL:ann@example.com\r\n"
              "TEL;TYPE=WORK,FAX:+1 555 0100\r\nTEL;TYPE=HOME,FAX:+1 555 0101\r\nTEL;TYPE=FAX:+1 555 0102\r\nEND:VCARD\r\n");
    writeCard(QStringLiteral("bob.vcf"),
              "BEGIN:VCARD\r\nVERSION:2.1\r\nN:Brown;Bob\r\nEMAIL;INTERNET:bob@example.com\r\nTEL;HOME;FAX:222\r\nEND:VCARD\r\n");
    writeCard(QStringLiteral("cy.vcf"),
              "BEGIN:VCARD\r\nVERSION:4.0\r\nFN:Cy Cole\r\nEMAIL:cy@example.com\r\nTEL;VALUE=uri;TYPE=fax:tel:333\r\nEND:VCARD\r\n");
    writeCard(QStringLiteral("dee.vcf"), "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Dee Dunn\r\nEMAIL:dee@example.com\r\nEND:VCARD\r\n");
}

// A component is there when its CLSID is registered in the classes root; a test takes it
// away as uninstalling it would.
void registerComponent(const QString &className, bool registered) {
    registry::RegistryStore store;
    const QString key = className + QStringLiteral("\\CLSID");
    if (registered)
        QVERIFY(store.setValue(registry::Root::ClassesRoot, key, QString(),
                               registry::RegValue::string(QStringLiteral("{6E3A1C20-5D1B-4C0E-9A51-2F4B8C7D0AFF}"))));
    else
        QVERIFY(store.deleteValue(registry::Root::ClassesRoot, key, QString()));
}

// Runs action on the address book window as soon as it is shown modally.
void whenAddressBookShown(std::function<void(AddressBookWindow &)> action) {
    auto *poll = new QTimer(qApp);
    poll->setInterval(10);
    QObject::connect(poll, &QTimer::timeout, [poll, action] {
        auto *window = qobject_cast<AddressBookWindow *>(QApplication::activeModalWidget());
        if (!window || !window->isVisible()) return;
        poll->stop();
        poll->deleteLater();
        action(*window);
    });
    poll->start();
}

// Types text into the search box, chooses the first match with Enter.
void choose(AddressBookWindow &window, const QString &text) {
    window.txtSearch->clear();
    QTest::keyClicks(window.txtSearch, text);
    QTest::keyClick(window.txtSearch, Qt::Key_Return);
}

void chooseAndConfirm(const QStringList &searches) {
    whenAddressBookShown([searches](AddressBookWindow &window) {
        for (const QString &text : searches) choose(window, text);
        QTest::mouseClick(window.cmdOK, Qt::LeftButton);
    });
}

frmNew &openPage() {
    ResetFaxJob();
    frmNew &page = sendmere::page<frmNew>();
    page.showPage();
    return page;
}

QStringList rows(const frmNew &page) {
    QStringList list;
    for (int i = 0; i < page.lvRecipients->topLevelItemCount(); ++i)
        list << page.lvRecipients->topLevelItem(i)->text(0) + QLatin1Char('|') + page.lvRecipients->topLevelItem(i)->text(1);
    return list;
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
        registerComponent(mail::MapiUtilsClass, true);
        registerComponent(mail::SessionClass, true);
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
        QCOMPARE(window.windowTitle(), QStringLiteral("AddressBook"));
        QCOMPARE(window.cmdChoice->accessibleName(), QStringLiteral("Choice"));
        QCOMPARE(window.lvEntries->model()->rowCount(), 9);  // four e-mail addresses, five fax numbers
        QTest::keyClicks(window.txtSearch, QStringLiteral("FAX"));
        QCOMPARE(window.lvEntries->model()->rowCount(), 5);
        QTest::keyClick(window.txtSearch, Qt::Key_Backspace);
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

    // Through the mail library: fax entries give the number after their '@'; an e-mail entry
    // gives its contact's business fax, else home fax, else other fax, else it stays out.
    void theMailLibraryAddsEveryEntryWithAFaxNumber() {
        frmNew &page = openPage();
        chooseAndConfirm({QStringLiteral("Ann Example (Home"), QStringLiteral("ann@"), QStringLiteral("bob@"),
                          QStringLiteral("cy@"), QStringLiteral("Ann Example (Home"), QStringLiteral("dee@")});
        QTest::mouseClick(page.cmdAddress, Qt::LeftButton);
        QCOMPARE(rows(page), (QStringList{QStringLiteral("Ann Example (Home Fax)|+1 555 0101"),
                                          QStringLiteral("Ann Example|+1 555 0100"), QStringLiteral("Bob Brown|222"),
                                          QStringLiteral("Cy Cole|333")}));
        // Dee has no fax number: her name stays in the box, the number box stays empty.
        QCOMPARE(page.txtTo->text(), QStringLiteral("Dee Dunn"));
        QCOMPARE(page.txtFaxNumber->text(), QString());
        QVERIFY(test::errorLogLines().isEmpty());

        // Chosen again: the page's duplicate rule keeps one entry per name and number.
        chooseAndConfirm({QStringLiteral("bob brown (home"), QStringLiteral("bob@")});
        QTest::mouseClick(page.cmdAddress, Qt::LeftButton);
        QCOMPARE(rows(page).size(), 5);
        QCOMPARE(rows(page).last(), QStringLiteral("Bob Brown (Home Fax)|222"));
    }

    void cancellingTheLibraryDialogChangesNothingAndLogsNothing() {
        frmNew &page = openPage();
        whenAddressBookShown([](AddressBookWindow &window) {
            choose(window, QStringLiteral("ann"));
            QTest::mouseClick(window.cmdCancel, Qt::LeftButton);
        });
        QTest::mouseClick(page.cmdAddress, Qt::LeftButton);
        QCOMPARE(page.lvRecipients->topLevelItemCount(), 0);
        QVERIFY(test::errorLogLines().isEmpty());
    }

    // Through the messaging session: a fax entry gives the number after its '@'; any other
    // entry gives what follows the '@' of its address unless field 10 or 11 holds a number.
    void theMessagingSessionAddsEntriesByItsFields() {
        registerComponent(mail::MapiUtilsClass, false);
        frmNew &page = openPage();
        chooseAndConfirm({QStringLiteral("Cy Cole (Other"), QStringLiteral("ann@"), QStringLiteral("bob@"),
                          QStringLiteral("cy@"), QStringLiteral("dee@")});
        QTest::mouseClick(page.cmdAddress, Qt::LeftButton);
        QCOMPARE(rows(page), (QStringList{QStringLiteral("Cy Cole (Other Fax)|333"), QStringLiteral("Ann Example|+1 555 0100"),
                                          QStringLiteral("Bob Brown|222"), QStringLiteral("Cy Cole|333"),
                                          QStringLiteral("Dee Dunn|example.com")}));
        QVERIFY(test::errorLogLines().isEmpty());
    }

    void cancellingTheSessionDialogIsLoggedAndChangesNothing() {
        registerComponent(mail::MapiUtilsClass, false);
        frmNew &page = openPage();
        whenAddressBookShown([](AddressBookWindow &window) { QTest::mouseClick(window.cmdCancel, Qt::LeftButton); });
        QTest::mouseClick(page.cmdAddress, Qt::LeftButton);
        QCOMPARE(page.lvRecipients->topLevelItemCount(), 0);
        const QStringList log = test::errorLogLines();
        QCOMPARE(log.size(), 1);
        QVERIFY2(log[0].startsWith(QStringLiteral("-2147221229,")) && log[0].contains(QStringLiteral("\"frmNew.cmdAddress\"")),
                 qPrintable(log[0]));
    }

    // The user refuses the mail client's access to addresses half way: what was read before
    // stays added, the user is told, and the refusal is logged.
    void refusedAddressAccessKeepsWhatWasReadAndTellsTheUser() {
        registerComponent(mail::MapiUtilsClass, false);
        mail::addressBookSeams().accessGuard = std::make_unique<RefusingGuard>(1);
        test::RecordingSeams seams;
        frmNew &page = openPage();
        chooseAndConfirm({QStringLiteral("Ann Example (Home"), QStringLiteral("Bob Brown (Home")});
        QTest::mouseClick(page.cmdAddress, Qt::LeftButton);
        QCOMPARE(rows(page), QStringList{QStringLiteral("Ann Example (Home Fax)|+1 555 0101")});
        QCOMPARE(page.txtTo->text(), QStringLiteral("Bob Brown (Home Fax)"));
        QCOMPARE(seams.recorded().messages.size(), 1);
        QCOMPARE(seams.recorded().messages[0].title, QStringLiteral("E-mail Address Access"));
        QCOMPARE(seams.recorded().messages[0].text,
                 QStringLiteral("Outlook cannot return a name, because you clicked No on the e-mail address access dialog. "
                                "You need to try again and click Yes this time."));
        const QStringList log = test::errorLogLines();
        QCOMPARE(log.size(), 1);
        QVERIFY2(log[0].startsWith(QStringLiteral("287,")) && log[0].contains(QStringLiteral("\"frmNew.cmdAddress\"")), qPrintable(log[0]));
    }

    void withNoMessagingLayerTheUserIsToldToInstallOne() {
        registerComponent(mail::MapiUtilsClass, false);
        registerComponent(mail::SessionClass, false);
        test::RecordingSeams seams;
        frmNew &page = openPage();
        QTest::mouseClick(page.cmdAddress, Qt::LeftButton);
        QCOMPARE(seams.recorded().messages.size(), 1);
        QCOMPARE(seams.recorded().messages[0].text, QStringLiteral("Please install CDO."));
        QCOMPARE(seams.recorded().messages[0].title, QStringLiteral("Error"));
        QCOMPARE(page.lvRecipients->topLevelItemCount(), 0);
        const QStringList log = test::errorLogLines();
        QCOMPARE(log.size(), 1);
        QVERIFY2(log[0].startsWith(QStringLiteral("91,")) && log[0].contains(QStringLiteral("\"frmNew.cmdAddress\"")), qPrintable(log[0]));
    }
};

QTEST_MAIN(TestAddressBook)
#include "tst_addressbook.moc"
