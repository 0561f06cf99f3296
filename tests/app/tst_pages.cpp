// The sender, about and warning pages and the help action, driven through their controls.
#include "TestSeams.h"
#include "TestSupport.h"
#include "app/Init.h"
#include "extras/frmAbout.h"
#include "extras/frmWarning.h"
#include "job/FaxJob.h"
#include "job/SenderInfo.h"
#include "RegistryStore.h"
#include "services/CWinReg.h"
#include "wizard/frmCover.h"
#include "wizard/frmFinish.h"
#include "wizard/frmNew.h"
#include "wizard/frmSend.h"
#include "wizard/frmSender.h"

#include <QtWidgets>
#include <QtTest>

using namespace sendmere;
using namespace Qt::StringLiterals;

namespace {

void doubleClick(QWidget *widget) {  // as the window system delivers it: press, release, press, double click, release
    QTest::mouseClick(widget, Qt::LeftButton);
    QTest::mousePress(widget, Qt::LeftButton);
    QTest::mouseDClick(widget, Qt::LeftButton);
    QTest::mouseRelease(widget, Qt::LeftButton);
}

void waitForPageGone(PageId id) {
    QTRY_VERIFY(pageSlot(id).isNull());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

QString storedSender(const QString &name) {
    CWinReg reg;
    if (!reg.OpenKey(reg.HKEY_CURRENT_USER(), u"Software\\Microsoft\\Fax\\UserInfo"_s, false)) return u"<no key>"_s;
    return reg.GetStringValue(name);
}

}  // namespace

class TestPages : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() { test::clearErrorLog(); }

    // The page shows what is stored, not what the job holds in memory; Cancel discards what was typed; OK with every box emptied stores
    // empty values, and Return in a box confirms.
    void senderPageShowsStoresAndDiscards() {
        FaxJob &job = faxJob();
        job.SenderFullName = u"Stored Name"_s;
        job.SenderEmail = u"stored@example.org"_s;
        SetSenderInfo();
        job.SenderFullName = u"Unsaved in memory"_s;
        runEntry(u"sender"_s);
        frmSender *page = existingPage<frmSender>();
        QVERIFY(page && page->isVisible());
        QTRY_COMPARE(page->txtFullName->text(), u"Stored Name"_s);
        QCOMPARE(page->txtEmail->text(), u"stored@example.org"_s);
        const QLabel *billing = page->findChild<QLabel *>(u"lblBilling"_s);
        const QFont caption = page->findChild<QLabel *>(u"lblCaption"_s)->font();  // the page's heading, not a box's label
        QVERIFY(billing->buddy() == page->txtBillingCode && caption.bold() && caption.pointSizeF() > billing->font().pointSizeF());
        page->txtFullName->clear();
        QTest::keyClicks(page->txtFullName, u"Typed Then Cancelled"_s);
        QTest::mouseClick(page->btnCancel, Qt::LeftButton);
        waitForPageGone(PageId::frmSender);
        QCOMPARE(storedSender(u"FullName"_s), u"Stored Name"_s);

        runEntry(u"sender"_s);
        page = existingPage<frmSender>();
        QTRY_COMPARE(page->txtFullName->text(), u"Stored Name"_s);
        for (QLineEdit *box : page->findChildren<QLineEdit *>()) box->clear();
        QTest::keyClicks(page->txtWorkPhone, u"555-0199"_s);
        QTest::keyClick(page->txtWorkPhone, Qt::Key_Return);
        waitForPageGone(PageId::frmSender);
        QCOMPARE(storedSender(u"FullName"_s) + storedSender(u"MailBox"_s), QString());
        QVERIFY(storedSender(u"OfficePhone"_s) == u"555-0199"_s && job.SenderWorkPhone == u"555-0199"_s);
        QVERIFY(test::errorLogLines().isEmpty());
    }

    void aboutBox() {
        test::RecordingSeams seams;
        QStringList &opened = seams.recorded().opened;
        const QString mail = u"mailto:"_s + frmAbout::SupportAddress;
        runEntry(u"about"_s);
        frmAbout *about = existingPage<frmAbout>();
        QVERIFY(about && about->isVisible() && !about->Image1->pixmap().isNull());
        // A click opens each; a double click the home page for the click and for the double click, the mail once; Enter opens each once.
        QTest::mouseClick(about->LabelURL, Qt::LeftButton);
        QTest::mouseClick(about->lblSupport, Qt::LeftButton);
        doubleClick(about->LabelURL);
        doubleClick(about->lblSupport);
        QTest::keyClick(about->LabelURL, Qt::Key_Return);
        QCOMPARE(opened, (QStringList{frmAbout::HomePage, mail, frmAbout::HomePage, frmAbout::HomePage, mail, frmAbout::HomePage}));

        // A tool registered under the system information key is started; with none registered, nor one on an empty PATH, the user is told
        // so.
        CWinReg reg;
        QVERIFY(reg.OpenKey(reg.HKEY_LOCAL_MACHINE(), u"SOFTWARE\\Microsoft\\Shared Tools\\MSINFO"_s, true));
        QVERIFY(reg.SetStringValue(u"PATH"_s, u"/usr/bin/true"_s));
        QTest::mouseClick(about->cmdSysInfo, Qt::LeftButton);
        QCOMPARE(seams.recorded().started, (QList<QStringList>{{u"/usr/bin/true"_s}}));
        QVERIFY(reg.DeleteValue(u"PATH"_s));
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", "/nonexistent");
        QTest::mouseClick(about->cmdSysInfo, Qt::LeftButton);
        qputenv("PATH", path);
        QCOMPARE(seams.recorded().texts(), QStringList{u"System Information Is Unavailable At This Time"_s});
        QCOMPARE(seams.recorded().started.size(), 1);
        QTest::mouseClick(about->cmdOK, Qt::LeftButton);
        QCOMPARE(seams.recorded().exitCodes, (QList<int>{0}));
        waitForPageGone(PageId::frmAbout);
    }

    // Strings and numbers read as text; binary and multi-string values, as the registry editor writes them, read without touching the text.
    void getKeyValueReadsStringsAndNumbers() {
        CWinReg reg;
        const quint32 hklm = reg.HKEY_LOCAL_MACHINE(), hkcu = reg.HKEY_CURRENT_USER();
        const QString key = u"SOFTWARE\\Sendmere\\Test"_s, opaque = u"Software\\Opaque"_s;
        QVERIFY(reg.OpenKey(hklm, key, true) && reg.SetDWordValue(u"Number"_s, 256) && reg.SetStringValue(u"Text"_s, u"C:\\Tools"_s));
        test::writeFile(registry::RegistryStore().filePath(registry::Root::CurrentUser),
                        "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Opaque]\r\n"
                        "\"Bin\"=hex:01,02,03\r\n\"Multi\"=hex(7):41,00,00,00,42,00,00,00,00,00\r\n");
        const struct { quint32 root; QString key, name; bool found; QString value; } rows[] = {
            {hklm, key, u"Number"_s, true, u"256"_s},     {hklm, key, u"Text"_s, true, u"C:\\Tools"_s},
            {hklm, key, u"Missing"_s, false, u"C:\\Tools"_s}, {hklm, key + u"\\Absent"_s, u"Text"_s, false, u"C:\\Tools"_s},
            {hkcu, opaque, u"Bin"_s, true, u"C:\\Tools"_s},   {hkcu, opaque, u"Multi"_s, true, u"C:\\Tools"_s},
            {hkcu, opaque, u"None"_s, false, u"C:\\Tools"_s}};
        QString value = u"untouched"_s;
        for (const auto &row : rows) {
            QCOMPARE(GetKeyValue(row.root, row.key, row.name, value), row.found);
            QCOMPARE(value, row.value);
        }
    }

    void warningEndsTheProgramAndHelpDoesNot() {
        test::RecordingSeams seams;
        QString shownText;
        QTimer::singleShot(0, [&] {
            frmWarning *warning = existingPage<frmWarning>();
            shownText = warning->lblText->text();
            QTest::mouseClick(warning->cmdOK, Qt::LeftButton);
        });
        runEntry(u"warning"_s);
        QCOMPARE(shownText, frmWarning::DefaultText);
        QCOMPARE(seams.recorded().exitCodes, (QList<int>{0}));
        waitForPageGone(PageId::frmWarning);
        runEntry(u"help;;ignored"_s);  // a message box, and the program goes on
        QVERIFY(seams.recorded().texts() == QStringList{u"Help"_s} && seams.recorded().messages[0].title == u"Sendmere"_s);
        QCOMPARE(seams.recorded().exitCodes.size(), 1);
    }

    void everyControlHasAnAccessibleName() {
        test::RecordingSeams seams;
        QStringList unnamed;
        for (FormPage *form : std::initializer_list<FormPage *>{&page<frmSender>(), &page<frmAbout>(), &page<frmWarning>(),
                                                              &page<frmNew>(), &page<frmCover>(), &page<frmSend>(), &page<frmFinish>()}) {
            for (const QString &control : test::unnamedControls(*form))
                unnamed << QLatin1String(form->metaObject()->className()) + u": "_s + control;
            form->unload();
        }
        QVERIFY2(unnamed.isEmpty(), qPrintable(unnamed.join(u", ")));
    }

    // The program ends once no page is left on screen, offscreen as on a desktop; a swap of pages or a page's message box keeps it running.
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
        QTest::qWait(50);  // an end would be told meanwhile
        QCOMPARE(ends, 0);
        existingPage<frmSend>()->unload();
        QTRY_COMPARE(ends, 1);
        cover.unload();
        runEntry(u"sender"_s);
        QTest::mouseClick(existingPage<frmSender>()->btnOk, Qt::LeftButton);
        QTRY_COMPARE(ends, 2);
        QTest::qWait(50);
        QCOMPARE(ends, 2);  // told once, though the page was hidden and then destroyed
        onLastPageGone({});
    }
};

QTEST_MAIN(TestPages)
#include "tst_pages.moc"
