// The address book dialog on a real X server, used from the keyboard: the search box has the
// focus, typing narrows the list, Enter chooses, Escape cancels.
#include "AddressBookTestKit.h"
#include "DesktopKit.h"
#include "TestSupport.h"

#include <QAccessible>
#include <QListWidget>
#include <QPushButton>

using namespace sendmere;
using test::doAccessibleAction;

class TestDesktopAddressBook : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() {
        test::writeCard(QStringLiteral("ann.vcf"), "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Ann Example\r\nEMAIL:ann@example.com\r\n"
                                                   "TEL;TYPE=WORK,FAX:+1 555 0100\r\nTEL;TYPE=HOME,FAX:+1 555 0101\r\nEND:VCARD\r\n");
        test::writeCard(QStringLiteral("bob.vcf"), "BEGIN:VCARD\r\nVERSION:2.1\r\nN:Brown;Bob\r\nTEL;WORK;FAX:222\r\nEND:VCARD\r\n");
    }

    void cleanup() {
        releasePages();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // Enter chooses the first match, OK adds the chosen; then Escape cancels and adds nothing.
    void chosenFromTheKeyboardAndEscapeCancels() {
        test::RealDialogsSeams seams;
        frmNew &page = test::shownRecipientsPage();
        QTRY_VERIFY(page.isActiveWindow());
        QStringList focusAndRows;
        test::whenAddressBookShown([&](AddressBookWindow &window) {
            QWidget *focus = QApplication::focusWidget();
            focusAndRows << (focus ? focus->objectName() : QString());
            QTest::keyClicks(focus, QStringLiteral("home"));
            focusAndRows << QString::number(window.lvEntries->model()->rowCount());
            QTest::keyClick(focus, Qt::Key_Return);  // chooses "Ann Example (Home Fax)"
            QTest::keyClicks(focus, QStringLiteral("\b\b\b\bbob"));
            QTest::keyClick(focus, Qt::Key_Return);
            focusAndRows << QString::number(window.lvChosen->count());
            doAccessibleAction(window.cmdOK, QAccessibleActionInterface::pressAction());
        }, true);
        QVERIFY(doAccessibleAction(page.cmdAddress, QAccessibleActionInterface::pressAction()));
        QTRY_COMPARE(focusAndRows, (QStringList{QStringLiteral("txtSearch"), QStringLiteral("1"), QStringLiteral("2")}));
        const QStringList chosen = {QStringLiteral("Ann Example (Home Fax)|+1 555 0101"), QStringLiteral("Bob Brown (Business Fax)|222")};
        QTRY_COMPARE(test::recipientRows(page), chosen);
        QTRY_VERIFY(page.isActiveWindow());

        bool shown = false;
        test::whenAddressBookShown([&](AddressBookWindow &window) {
            shown = true;
            QTest::keyClick(&window, Qt::Key_Escape);
        }, true);
        QVERIFY(doAccessibleAction(page.cmdAddress, QAccessibleActionInterface::pressAction()));
        QTRY_VERIFY(shown);
        QTRY_VERIFY(!QApplication::activeModalWidget());
        QTRY_VERIFY(page.isActiveWindow());
        QCOMPARE(test::recipientRows(page), chosen);
        QVERIFY2(test::errorLogLines().isEmpty(), qPrintable(test::errorLogLines().join(u'\n')));
        QVERIFY(seams.exitCodes.isEmpty());
    }
};

QTEST_MAIN(TestDesktopAddressBook)
#include "tst_desktop_addressbook.moc"
