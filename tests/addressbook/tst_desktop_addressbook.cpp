// The address book dialog on a real X server, used from the keyboard: the search box has the
// focus, typing narrows the list, Enter chooses, Escape cancels.
#include "DesktopKit.h"
#include "TestSupport.h"
#include "job/FaxJob.h"
#include "platform/mail/Contacts.h"
#include "wizard/AddressBookDialog.h"
#include "wizard/frmNew.h"

#include <QAccessible>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTreeView>
#include <QTreeWidget>
#include <QtTest>

using namespace sendmere;
using test::doAccessibleAction;

namespace {

void writeCard(const QString &file, const QByteArray &card) {
    const QString folder = mail::contactsFolder();
    QDir().mkpath(folder);
    QFile out(folder + QLatin1Char('/') + file);
    QVERIFY(out.open(QIODevice::WriteOnly));
    out.write(card);
}

// Runs action with the keyboard focus in the address book window, once it is active.
void whenAddressBookActive(std::function<void(AddressBookWindow &)> action) {
    auto *poll = new QTimer(qApp);
    poll->setInterval(20);
    QObject::connect(poll, &QTimer::timeout, [poll, action] {
        auto *window = qobject_cast<AddressBookWindow *>(QApplication::activeModalWidget());
        if (!window || !window->isVisible() || !window->isActiveWindow()) return;
        poll->stop();
        poll->deleteLater();
        action(*window);
    });
    poll->start();
}

frmNew &shownRecipientsPage() {
    ResetFaxJob();
    frmNew &page = sendmere::page<frmNew>();
    page.showPage();
    if (!QTest::qWaitFor([&] { return page.isActiveWindow(); })) qWarning("the page never became active");
    return page;
}

}  // namespace

class TestDesktopAddressBook : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() {
        writeCard(QStringLiteral("ann.vcf"), "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Ann Example\r\nEMAIL:ann@example.com\r\n"
                                             "TEL;TYPE=WORK,FAX:+1 555 0100\r\nTEL;TYPE=HOME,FAX:+1 555 0101\r\nEND:VCARD\r\n");
        writeCard(QStringLiteral("bob.vcf"), "BEGIN:VCARD\r\nVERSION:2.1\r\nN:Brown;Bob\r\nTEL;WORK;FAX:222\r\nEND:VCARD\r\n");
    }
    void cleanup() {
        releasePages();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void chosenFromTheKeyboard() {
        test::RealDialogsSeams seams;
        frmNew &page = shownRecipientsPage();
        QStringList focusAndRows;
        whenAddressBookActive([&](AddressBookWindow &window) {
            QWidget *focus = QApplication::focusWidget();
            focusAndRows << (focus ? focus->objectName() : QString());
            QTest::keyClicks(focus, QStringLiteral("home"));
            focusAndRows << QString::number(window.lvEntries->model()->rowCount());
            QTest::keyClick(focus, Qt::Key_Return);  // chooses "Ann Example (Home Fax)"
            QTest::keyClicks(focus, QStringLiteral("\b\b\b\bbob"));
            QTest::keyClick(focus, Qt::Key_Return);
            focusAndRows << QString::number(window.lvChosen->count());
            doAccessibleAction(window.cmdOK, QAccessibleActionInterface::pressAction());
        });
        QVERIFY(doAccessibleAction(page.cmdAddress, QAccessibleActionInterface::pressAction()));
        QTRY_COMPARE(focusAndRows, (QStringList{QStringLiteral("txtSearch"), QStringLiteral("1"), QStringLiteral("2")}));
        QTRY_COMPARE(page.lvRecipients->topLevelItemCount(), 2);
        QCOMPARE(page.lvRecipients->topLevelItem(0)->text(1), QStringLiteral("+1 555 0101"));
        QCOMPARE(page.lvRecipients->topLevelItem(1)->text(0), QStringLiteral("Bob Brown (Business Fax)"));
        QCOMPARE(page.lvRecipients->topLevelItem(1)->text(1), QStringLiteral("222"));
        QTRY_VERIFY(page.isActiveWindow());
        QVERIFY(seams.exitCodes.isEmpty());
    }

    void escapeCancels() {
        test::RealDialogsSeams seams;
        frmNew &page = shownRecipientsPage();
        bool shown = false;
        whenAddressBookActive([&](AddressBookWindow &window) {
            shown = true;
            QTest::keyClick(&window, Qt::Key_Escape);
        });
        QVERIFY(doAccessibleAction(page.cmdAddress, QAccessibleActionInterface::pressAction()));
        QTRY_VERIFY(shown);
        QTRY_VERIFY(!QApplication::activeModalWidget());
        QTRY_VERIFY(page.isActiveWindow());
        QCOMPARE(page.lvRecipients->topLevelItemCount(), 0);
        QVERIFY2(test::errorLogLines().isEmpty(), qPrintable(test::errorLogLines().join(u'\n')));
    }
};

QTEST_MAIN(TestDesktopAddressBook)
#include "tst_desktop_addressbook.moc"
