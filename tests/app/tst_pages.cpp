// The sender, about and warning pages and the help action, driven through their controls.
#include "TestSeams.h"
#include "TestSupport.h"
#include "app/CWinReg.h"
#include "app/Init.h"
#include "extras/frmAbout.h"
#include "extras/frmWarning.h"
#include "job/FaxJob.h"
#include "job/SenderInfo.h"
#include "RegistryStore.h"
#include "wizard/frmCover.h"
#include "wizard/frmFinish.h"
#include "wizard/frmNew.h"
#include "wizard/frmSend.h"
#include "wizard/frmSender.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAbstractSpinBox>
#include <QAccessible>
#include <QComboBox>
#include <QTextEdit>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

using namespace sendmere;

namespace {

// Every control a user operates must be reachable by a name assistive technology reads.
QStringList unnamedControls(QWidget &page) {
    QStringList unnamed;
    for (QWidget *control : page.findChildren<QWidget *>()) {
        const bool operable = qobject_cast<QAbstractButton *>(control) || qobject_cast<QLineEdit *>(control) ||
                              qobject_cast<QTextEdit *>(control) || qobject_cast<QComboBox *>(control) ||
                              qobject_cast<QAbstractItemView *>(control) || qobject_cast<QAbstractSpinBox *>(control);
        // A list's own header and scroll parts are reached through the list.
        const bool partOfAList = qobject_cast<QAbstractItemView *>(control->parentWidget()) ||
                                 qobject_cast<QAbstractItemView *>(control->parentWidget() ? control->parentWidget()->parentWidget() : nullptr);
        if (!operable || partOfAList || control->objectName().startsWith(QLatin1String("qt_"))) continue;
        QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(control);
        if (!accessible || accessible->text(QAccessible::Name).trimmed().isEmpty())
            unnamed << control->objectName() + QLatin1Char('(') + QLatin1String(control->metaObject()->className()) + QLatin1Char(')');
    }
    return unnamed;
}

template <typename Page>
void checkNamed() {
    Page &page = sendmere::page<Page>();
    const QStringList unnamed = unnamedControls(page);
    QVERIFY2(unnamed.isEmpty(), qPrintable(QLatin1String(Page::staticMetaObject.className()) + QStringLiteral(": ") +
                                           unnamed.join(QStringLiteral(", "))));
    page.unload();
}

// A double click as the window system delivers it: press, release, press, double click, release.
void doubleClick(QWidget *widget) {
    QTest::mouseClick(widget, Qt::LeftButton);
    QTest::mousePress(widget, Qt::LeftButton);
    QTest::mouseDClick(widget, Qt::LeftButton);
    QTest::mouseRelease(widget, Qt::LeftButton);
}

void waitForPageGone(PageId id) {
    QTRY_VERIFY(pageSlot(id).isNull());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

}  // namespace

class TestPages : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() { test::clearErrorLog(); }

    void senderPageShowsStoresAndDiscards() {
        FaxJob &job = faxJob();
        job.SenderFullName = QStringLiteral("Stored Name");
        job.SenderEmail = QStringLiteral("stored@example.org");
        SetSenderInfo();
        job.SenderFullName = QStringLiteral("Unsaved in memory");

        runEntry(QStringLiteral("sender"));
        frmSender *page = existingPage<frmSender>();
        QVERIFY(page && page->isVisible());
        QTRY_COMPARE(page->txtFullName->text(), QStringLiteral("Stored Name"));
        QCOMPARE(page->txtEmail->text(), QStringLiteral("stored@example.org"));
        QCOMPARE(page->findChild<QLabel *>(QStringLiteral("lblBilling"))->buddy(), page->txtBillingCode);
        // The caption is the page's heading, as on every other page, not a box's label.
        const QFont caption = page->findChild<QLabel *>(QStringLiteral("lblCaption"))->font();
        QVERIFY(caption.bold());
        QVERIFY(caption.pointSizeF() > page->findChild<QLabel *>(QStringLiteral("lblBilling"))->font().pointSizeF());

        // Cancel discards what was typed.
        page->txtFullName->clear();
        QTest::keyClicks(page->txtFullName, QStringLiteral("Typed Then Cancelled"));
        QTest::mouseClick(page->btnCancel, Qt::LeftButton);
        waitForPageGone(PageId::frmSender);
        CWinReg reg;
        QVERIFY(reg.OpenKey(reg.HKEY_CURRENT_USER(), QStringLiteral("Software\\Microsoft\\Fax\\UserInfo"), false));
        QCOMPARE(reg.GetStringValue(QStringLiteral("FullName")), QStringLiteral("Stored Name"));
        reg.CloseKey();

        // OK with every box emptied stores eleven empty values.
        runEntry(QStringLiteral("sender"));
        page = existingPage<frmSender>();
        QTRY_COMPARE(page->txtFullName->text(), QStringLiteral("Stored Name"));
        for (QLineEdit *box : page->findChildren<QLineEdit *>()) box->clear();
        QTest::keyClicks(page->txtWorkPhone, QStringLiteral("555-0199"));
        // Return in a box confirms, as OK does.
        QTest::keyClick(page->txtWorkPhone, Qt::Key_Return);
        waitForPageGone(PageId::frmSender);
        QVERIFY(reg.OpenKey(reg.HKEY_CURRENT_USER(), QStringLiteral("Software\\Microsoft\\Fax\\UserInfo"), false));
        QCOMPARE(reg.GetStringValue(QStringLiteral("FullName")), QString());
        QCOMPARE(reg.GetStringValue(QStringLiteral("MailBox")), QString());
        QCOMPARE(reg.GetStringValue(QStringLiteral("OfficePhone")), QStringLiteral("555-0199"));
        reg.CloseKey();
        QCOMPARE(job.SenderWorkPhone, QStringLiteral("555-0199"));
        QVERIFY(test::errorLogLines().isEmpty());
    }

    void aboutBox() {
        test::RecordingSeams seams;
        runEntry(QStringLiteral("about"));
        frmAbout *about = existingPage<frmAbout>();
        QVERIFY(about && about->isVisible());
        QVERIFY(!about->Image1->pixmap().isNull());

        QTest::mouseClick(about->LabelURL, Qt::LeftButton);
        QTest::mouseClick(about->lblSupport, Qt::LeftButton);
        QCOMPARE(seams.recorded().opened,
                 (QStringList{frmAbout::HomePage, QStringLiteral("mailto:") + frmAbout::SupportAddress}));
        // A double click: the home page opens for the click and for the double click, the
        // mail once; Enter opens each once.
        seams.recorded().opened.clear();
        doubleClick(about->LabelURL);
        QCOMPARE(seams.recorded().opened, QStringList(2, frmAbout::HomePage));
        seams.recorded().opened.clear();
        doubleClick(about->lblSupport);
        QTest::keyClick(about->LabelURL, Qt::Key_Return);
        QCOMPARE(seams.recorded().opened,
                 (QStringList{QStringLiteral("mailto:") + frmAbout::SupportAddress, frmAbout::HomePage}));
        seams.recorded().opened.clear();

        // A tool registered under the system information key is started.
        CWinReg reg;
        QVERIFY(reg.OpenKey(reg.HKEY_LOCAL_MACHINE(), QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools\\MSINFO"), true));
        QVERIFY(reg.SetStringValue(QStringLiteral("PATH"), QStringLiteral("/usr/bin/true")));
        reg.CloseKey();
        QTest::mouseClick(about->cmdSysInfo, Qt::LeftButton);
        QCOMPARE(seams.recorded().started, (QList<QStringList>{{QStringLiteral("/usr/bin/true")}}));

        // With none registered, the user is told so.
        QVERIFY(reg.OpenKey(reg.HKEY_LOCAL_MACHINE(), QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools\\MSINFO"), false));
        QVERIFY(reg.DeleteValue(QStringLiteral("PATH")));
        reg.CloseKey();
        // No system information tool can be found on an empty PATH either.
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", "/nonexistent");
        QTest::mouseClick(about->cmdSysInfo, Qt::LeftButton);
        qputenv("PATH", path);
        QCOMPARE(seams.recorded().messages.size(), 1);
        QCOMPARE(seams.recorded().messages[0].text, QStringLiteral("System Information Is Unavailable At This Time"));
        QCOMPARE(seams.recorded().started.size(), 1);

        QTest::mouseClick(about->cmdOK, Qt::LeftButton);
        QCOMPARE(seams.recorded().exitCodes, (QList<int>{0}));
        waitForPageGone(PageId::frmAbout);
    }

    void getKeyValueReadsStringsAndNumbers() {
        CWinReg reg;
        const QString key = QStringLiteral("SOFTWARE\\Sendmere\\Test");
        QVERIFY(reg.OpenKey(reg.HKEY_LOCAL_MACHINE(), key, true));
        QVERIFY(reg.SetDWordValue(QStringLiteral("Number"), 256));
        QVERIFY(reg.SetStringValue(QStringLiteral("Text"), QStringLiteral("C:\\Tools")));
        reg.CloseKey();
        QString value = QStringLiteral("untouched");
        QVERIFY(GetKeyValue(reg.HKEY_LOCAL_MACHINE(), key, QStringLiteral("Number"), value));
        QCOMPARE(value, QStringLiteral("256"));
        QVERIFY(GetKeyValue(reg.HKEY_LOCAL_MACHINE(), key, QStringLiteral("Text"), value));
        QCOMPARE(value, QStringLiteral("C:\\Tools"));
        QVERIFY(!GetKeyValue(reg.HKEY_LOCAL_MACHINE(), key, QStringLiteral("Missing"), value));
        QVERIFY(!GetKeyValue(reg.HKEY_LOCAL_MACHINE(), key + QStringLiteral("\\Absent"), QStringLiteral("Text"), value));
        QCOMPARE(value, QStringLiteral("C:\\Tools"));

        // Binary and multi-string values, as the registry editor writes them, read without
        // touching the text.
        const QString file = registry::RegistryStore().filePath(registry::Root::CurrentUser);
        QFile reg5(file);
        QVERIFY(reg5.open(QIODevice::WriteOnly | QIODevice::Truncate));
        reg5.write("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Opaque]\r\n"
                   "\"Bin\"=hex:01,02,03\r\n\"Multi\"=hex(7):41,00,00,00,42,00,00,00,00,00\r\n");
        reg5.close();
        value = QStringLiteral("untouched");
        QVERIFY(GetKeyValue(reg.HKEY_CURRENT_USER(), QStringLiteral("Software\\Opaque"), QStringLiteral("Bin"), value));
        QVERIFY(GetKeyValue(reg.HKEY_CURRENT_USER(), QStringLiteral("Software\\Opaque"), QStringLiteral("Multi"), value));
        QCOMPARE(value, QStringLiteral("untouched"));
        QVERIFY(!GetKeyValue(reg.HKEY_CURRENT_USER(), QStringLiteral("Software\\Opaque"), QStringLiteral("None"), value));
    }

    void warningShowsItsTextAndEndsTheProgram() {
        test::RecordingSeams seams;
        QString shownText;
        QTimer::singleShot(0, [&] {
            frmWarning *warning = existingPage<frmWarning>();
            shownText = warning->lblText->text();
            QTest::mouseClick(warning->cmdOK, Qt::LeftButton);
        });
        runEntry(QStringLiteral("warning"));
        QCOMPARE(shownText, frmWarning::DefaultText);
        QCOMPARE(seams.recorded().exitCodes, (QList<int>{0}));
        waitForPageGone(PageId::frmWarning);
    }

    void everyControlHasAnAccessibleName() {
        test::RecordingSeams seams;
        checkNamed<frmSender>();
        checkNamed<frmAbout>();
        checkNamed<frmWarning>();
        checkNamed<frmNew>();
        checkNamed<frmCover>();
        checkNamed<frmSend>();
        checkNamed<frmFinish>();
    }

    // The program ends once no page is left on screen, offscreen as on a desktop; a swap of
    // pages or a page's message box keeps it running.
    void theLastPageGoneEndsTheProgram() {
        test::RecordingSeams seams;
        int ends = 0;
        onLastPageGone([&] { ++ends; });
        seams.recorded().onMessage = [&] { QTest::qWait(50); };
        frmCover &cover = page<frmCover>();
        cover.showPage();
        QTest::mouseClick(cover.cmdNext, Qt::LeftButton);  // a message, the page stays
        QVERIFY(existingPage<frmSend>() == nullptr);
        cover.showInMyPlace(page<frmSend>());
        cover.hide();
        QTest::qWait(50);
        QCOMPARE(ends, 0);
        existingPage<frmSend>()->unload();
        QTRY_COMPARE(ends, 1);
        cover.unload();
        runEntry(QStringLiteral("sender"));
        QTest::mouseClick(existingPage<frmSender>()->btnOk, Qt::LeftButton);
        QTRY_COMPARE(ends, 2);
        QTest::qWait(50);
        QCOMPARE(ends, 2);  // told once, though the page was hidden and then destroyed
        onLastPageGone({});
    }

    void helpShowsItsMessage() {
        test::RecordingSeams seams;
        runEntry(QStringLiteral("help;;ignored"));
        QCOMPARE(seams.recorded().messages.size(), 1);
        QCOMPARE(seams.recorded().messages[0].text, QStringLiteral("Help"));
        QCOMPARE(seams.recorded().messages[0].title, QStringLiteral("Sendmere"));
        QVERIFY(seams.recorded().exitCodes.isEmpty());
    }
};

QTEST_MAIN(TestPages)
#include "tst_pages.moc"
