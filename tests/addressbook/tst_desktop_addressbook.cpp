// The address book dialog on a real X server, used from the keyboard: the search box has the
// focus, typing narrows the list, Enter chooses, OK adds the chosen, Escape cancels.
#include "AddressBookTestKit.h"
#include "DesktopKit.h"

#include <QAccessible>
#include <QListWidget>
#include <QPushButton>

using namespace sendmere;
using namespace Qt::StringLiterals;
using test::doAccessibleAction;

class TestDesktopAddressBook : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { releasePages(), QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }

    void chosenFromTheKeyboardAndEscapeCancels() {
        test::writeCard(u"ann.vcf"_s, "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Ann Example\r\nEMAIL:ann@example.com\r\n"
                                      "TEL;TYPE=WORK,FAX:+1 555 0100\r\nTEL;TYPE=HOME,FAX:+1 555 0101\r\nEND:VCARD\r\n");
        test::writeCard(u"bob.vcf"_s, "BEGIN:VCARD\r\nVERSION:2.1\r\nN:Brown;Bob\r\nTEL;WORK;FAX:222\r\nEND:VCARD\r\n");
        test::RealDialogsSeams seams;
        frmNew &page = test::shownRecipientsPage();
        QTRY_VERIFY(page.isActiveWindow());
        QStringList seen;  // the focus, the rows after "home", the chosen after Enter twice
        test::whenAddressBookShown([&](AddressBookWindow &window) {
            QWidget *focus = QApplication::focusWidget();
            seen << (focus ? focus->objectName() : QString());
            QTest::keyClicks(focus, u"home"_s);
            seen << QString::number(window.lvEntries->model()->rowCount());
            QTest::keyClick(focus, Qt::Key_Return);  // chooses "Ann Example (Home Fax)"
            QTest::keyClicks(focus, u"\b\b\b\bbob"_s);
            QTest::keyClick(focus, Qt::Key_Return);
            seen << QString::number(window.lvChosen->count());
            doAccessibleAction(window.cmdOK, QAccessibleActionInterface::pressAction());
        }, true);
        QVERIFY(doAccessibleAction(page.cmdAddress, QAccessibleActionInterface::pressAction()));
        QTRY_COMPARE(seen, (QStringList{u"txtSearch"_s, u"1"_s, u"2"_s}));
        const QStringList chosen = {u"Ann Example (Home Fax)|+1 555 0101"_s, u"Bob Brown (Business Fax)|222"_s};
        QTRY_COMPARE(test::recipientRows(page), chosen);
        QTRY_VERIFY(page.isActiveWindow());

        bool shown = false;
        test::whenAddressBookShown([&](AddressBookWindow &window) { shown = true, QTest::keyClick(&window, Qt::Key_Escape); }, true);
        QVERIFY(doAccessibleAction(page.cmdAddress, QAccessibleActionInterface::pressAction()));
        QTRY_VERIFY(shown && !QApplication::activeModalWidget() && page.isActiveWindow());
        QCOMPARE(test::recipientRows(page), chosen);
        QVERIFY2(test::errorLogLines().isEmpty(), qPrintable(test::errorLogLines().join(u'\n')));
        QVERIFY(seams.exitCodes.isEmpty());
    }
};

QTEST_MAIN(TestDesktopAddressBook)
#include "tst_desktop_addressbook.moc"
