// The program's pages on a real X server with a window manager: real dialogs closed from the keyboard, controls worked by
// accessibility actions.
#include "BridgeTestKit.h"
#include "DesktopKit.h"
#include "bridge/frmImport.h"
#include "job/SenderInfo.h"
#include "wizard/frmCover.h"
#include "wizard/frmFinish.h"
#include "wizard/frmNew.h"
#include "wizard/frmSend.h"

#include <QtWidgets>

using namespace sendmere;
using namespace sendmere::test;
using namespace Qt::StringLiterals;
using Action = QAccessibleActionInterface;

namespace {

template <typename Page>
Page &activePage() {
    Page &page = shownPage<Page>();
    if (!QTest::qWaitFor([&] { return page.isActiveWindow(); })) qWarning("the page never became active");
    return page;
}

void press(QWidget *control) { QVERIFY(doAccessibleAction(control, Action::pressAction())); }
void toggle(QWidget *control) { QVERIFY(doAccessibleAction(control, Action::toggleAction())); }

// The text of the message box next showed, once the page is active again after it; nothing otherwise.
QString messageAfter(QWidget *next, QWidget *page) {
    ClosedDialog shown;
    closeNextMessageBox(&shown);
    press(next);
    const bool back = QTest::qWaitFor([&] { return !shown.text.isEmpty() && page->isActiveWindow(); });
    QTest::qWait(100);
    return back ? shown.text : QString();
}

// The accessible name a screen reader announces, and whether caption labels it.
QString accessibleName(QWidget *widget) { return QAccessible::queryAccessibleInterface(widget)->text(QAccessible::Name); }
bool labelledBy(QWidget *widget, QWidget *caption) {
    const auto relations = QAccessible::queryAccessibleInterface(widget)->relations(QAccessible::Label);
    return std::ranges::any_of(relations, [&](const auto &relation) { return relation.first->object() == caption; });
}

}  // namespace

class TestDesktopPages : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() {
        holdFaxJobsBack();
        useCoverPageDirectories(coverBase());
        writeFile(coverBase() + u"/server/general.svg"_s, coverTemplate(u"General"_s));
        writeFile(coverBase() + u"/server/urgent.svg"_s, coverTemplate(u"Urgent"_s));
    }
    void init() { clearErrorLog(); }
    void cleanup() { releaseAllPages(), faxJob().PreviewSink.reset(); }

    // A page's own dialogs coming and going are no activation: what was typed or chosen stays.
    void pagesKeepWhatWasTypedBehindTheirDialogs() {
        RealDialogsSeams seams;
        ResetFaxJob();
        frmNew &recipients = activePage<frmNew>();
        recipients.txtTo->setFocus();
        QTest::keyClicks(recipients.txtTo, u"Ann"_s);
        QCOMPARE(messageAfter(recipients.btnNext, &recipients), u"Please enter the  recipient's fax number."_s);
        QCOMPARE(recipients.txtTo->text(), u"Ann"_s);
        releaseAllPages();

        setRecipients({u"Ann"_s}, {u"111"_s});
        faxJob().UseCoverPage = VbFalse;
        frmCover &cover = activePage<frmCover>();
        QVERIFY(!cover.chkCover->isChecked());
        toggle(cover.chkCover);
        cover.cbCover->setFocus();
        QTest::keyClick(cover.cbCover, Qt::Key_Down);  // from "general" to "urgent"
        cover.txtAttachment->setFocus();
        QTest::keyClicks(cover.txtAttachment, u"typed.txt"_s);
        QCOMPARE(messageAfter(cover.cmdNext, &cover), u"Please enter text in the Note and/or Subject field."_s);
        QVERIFY(cover.chkCover->isChecked());
        QCOMPARE(cover.cbCover->currentText(), u"urgent"_s);
        QCOMPARE(cover.txtAttachment->text(), u"typed.txt"_s);

        const QString document = QDir::tempPath() + u"/letter.txt"_s;
        writeFile(document, "Dear Ann");
        QStringList filters;
        chooseInNextFileDialog(document, [&](QWidget *dialog) { filters = comboTexts(dialog->findChild<QComboBox *>(u"fileTypeCombo"_s)); });
        press(cover.cmdBrowse);
        QTRY_VERIFY(!filters.isEmpty() && cover.txtAttachment->text() == document && cover.isActiveWindow());
        QTest::qWait(100);
        QCOMPARE(cover.txtAttachment->text(), document);
        QCOMPARE(filters, (QStringList{u"Documents ( *.doc,  *.pdf, *.txt, *.rtf, *.xls, *.xlw)"_s, u"Images (*.bmp, *.jpg, *.gif, *.tif)"_s, u"All (*.*)"_s}));
        QVERIFY(cover.chkCover->isChecked() && seams.exitCodes.isEmpty());
        QVERIFY2(errorLogLines().isEmpty(), qPrintable(errorLogLines().join(u'\n')));
    }

    // The help box leaves room for its title "Sendmere" beside the window manager's icon and buttons.
    void helpBoxIsWideEnoughForItsTitle() {
        RealDialogsSeams seams;
        ClosedDialog shown;
        int width = 0, needed = 0;
        closeNextMessageBox(&shown, [&](QWidget *box) {
            width = box->width();
            QFont titleFont = QApplication::font("QMdiSubWindowTitleBar");
            titleFont.setBold(true);
            // A window menu icon and three buttons of about 24 px, and the bar's margins.
            needed = QFontMetrics(titleFont).horizontalAdvance(box->windowTitle()) + 4 * 24 + 32;
        });
        Init().FaxHelp();
        QVERIFY(shown.title == u"Sendmere"_s && shown.text == u"Help"_s && seams.exitCodes.isEmpty());
        QVERIFY2(width >= needed, qPrintable(u"%1 px wide, %2 px needed"_s.arg(width).arg(needed)));
    }

    // The whole wizard without a mouse: the queued jobs are what was chosen on the way.
    void wizardWithoutAMouseQueuesTheChosenJobs() {
        RealDialogsSeams seams;
        const QString report = QDir::homePath() + u"/Documents/report.pdf"_s;
        QDir().mkpath(QDir::homePath() + u"/Documents"_s);
        writePdf(report, 2);
        faxJob().UseCoverPage = VbFalse;  // as in a new process: the flag outlives a job reset
        // The sender's details are never typed: the new document takes them from the registry.
        faxJob().SenderFullName = u"Sam Sender"_s;
        faxJob().SenderfaxNumber = u"555-0199"_s;
        SetSenderInfo();
        faxJob().SenderFullName.clear();
        faxJob().SenderfaxNumber.clear();
        const auto type = [](QWidget *box, const QString &text) { QVERIFY(setAccessibleText(box, text)); };
        QTimer::singleShot(0, [&] {
            frmNew *recipients = existingPage<frmNew>();
            if (!recipients || !QTest::qWaitFor([&] { return recipients->isActiveWindow(); })) return;
            type(recipients->txtTo, u"Bob"_s);
            type(recipients->txtFaxNumber, u"222"_s);
            press(recipients->cmdAdd);
            QTRY_COMPARE(recipients->lvRecipients->topLevelItemCount(), 2);
            press(recipients->btnNext);
        });
        runEntry(u"new;;Ann#;111#;%1#"_s.arg(report));

        frmCover *cover = existingPage<frmCover>();
        QVERIFY(cover);
        QTRY_VERIFY(cover->isActiveWindow());
        QCOMPARE(cover->txtAttachment->text(), report);
        toggle(cover->chkCover);
        QVERIFY(cover->chkCover->isChecked());
        // The template: open the list through its action, then the keyboard.
        QVERIFY(doAccessibleAction(cover->cbCover, Action::showMenuAction()));
        QTRY_VERIFY(cover->cbCover->view()->isVisible());
        QTest::keyClick(cover->cbCover->view(), Qt::Key_Down);
        QTest::keyClick(cover->cbCover->view(), Qt::Key_Return);
        QTRY_VERIFY(!cover->cbCover->view()->isVisible());
        QCOMPARE(cover->cbCover->currentIndex(), 1);
        const QString chosen = cover->cbCover->currentText();
        type(cover->txtSubject, u"Quarterly report"_s);
        type(cover->rtbNote, u"Please call back"_s);
        press(cover->cmdNext);

        // The boxes acting as options follow every change of value, not only mouse clicks.
        frmSend *schedule = nullptr;
        QTRY_VERIFY((schedule = existingPage<frmSend>()) && schedule->isActiveWindow());
        QVERIFY(schedule->optPriorityNormal->isChecked());
        QVERIFY(doAccessibleAction(schedule->optPriorityHigh, Action::setFocusAction()));
        QTRY_VERIFY(schedule->optPriorityHigh->hasFocus());
        for (int twice = 0; twice < 2; ++twice) {  // toggling the chosen one off leaves it chosen
            toggle(schedule->optPriorityHigh);
            QVERIFY(schedule->optPriorityHigh->isChecked() && !schedule->optPriorityNormal->isChecked() && !schedule->optPriorityLow->isChecked());
        }
        schedule->optPriorityLow->setFocus();
        QTest::keyClick(schedule->optPriorityLow, Qt::Key_Space);
        QVERIFY(schedule->optPriorityLow->isChecked() && !schedule->optPriorityHigh->isChecked());
        toggle(schedule->optPriorityHigh);
        toggle(schedule->optSchTime);
        QVERIFY(schedule->dtFaxSend->isEnabled() && !schedule->optSchNow->isChecked());
        toggle(schedule->optSchDiscount);
        QVERIFY(!schedule->dtFaxSend->isEnabled() && !schedule->optSchTime->isChecked() && schedule->optSchDiscount->isChecked());
        press(schedule->btnNext);

        frmFinish *finish = nullptr;
        QTRY_VERIFY((finish = existingPage<frmFinish>()) && finish->isActiveWindow());
        // A screen reader reads the summary's values, each labelled by its caption.
        QCOMPARE(accessibleName(finish->lblSubject), u"Quarterly report"_s);
        QCOMPARE(accessibleName(finish->lblCover), chosen + u".svg"_s);
        QCOMPARE(accessibleName(finish->lblSend), u"Discount period"_s);
        QVERIFY(labelledBy(finish->lblSubject, finish->lblSubj) && labelledBy(finish->lblCover, finish->lblCovPage) && labelledBy(finish->lblSend, finish->lblTime));
        press(finish->OKButton);
        QTRY_COMPARE(seams.exitCodes, QList<int>{0});
        QVERIFY(!QFile::exists(faxJob().TempBodyFile) && QFile::exists(report));  // the body's copy goes, the report stays

        fax::FaxServer server;
        server.Connect(QString());
        const fax::FaxOutgoingJobs jobs = server.Folders().OutgoingQueue().GetJobs();
        QStringList queued;
        for (int i = 1; i <= jobs.Count(); ++i) {
            const fax::FaxOutgoingJob &job = jobs.Item(i);
            const QString image = QDir::tempPath() + u"/job%1.tiff"_s.arg(i);
            job.CopyTiff(image);
            // High priority, the discount period, a server cover page, and the report's two pages.
            queued << u"%1 %2: %3 %4 %5 %6 %7 %8 %9"_s.arg(job.Recipient().Name, job.Recipient().FaxNumber, job.Subject())
                          .arg(job.Priority()).arg(job.properties().value(u"ScheduleType"_s).toInt())
                          .arg(job.properties().value(u"CoverPageType"_s).toInt() == int(fax::CoverPageServer))
                          .arg(job.Sender().Name + u'/' + job.Sender().FaxNumber).arg(job.Pages()).arg(render::tiffPageCount(image));
        }
        queued.sort();
        QCOMPARE(queued, (QStringList{u"Ann 111: Quarterly report 2 2 1 Sam Sender/555-0199 3 3"_s, u"Bob 222: Quarterly report 2 2 1 Sam Sender/555-0199 3 3"_s}));
        QVERIFY2(errorLogLines().isEmpty(), qPrintable(errorLogLines().join(u'\n')));
    }

    // Twenty faxes: the window above the others with the last day chosen; the real success box closes with Return.
    void theImportWindowOnTheDesktop() {
        emptyMailStore();
        refillSpool(faxesNow(10, 0, 10));
        RealDialogsSeams seams;
        runEntry(u"import"_s);
        frmImport *page = existingPage<frmImport>();
        QVERIFY(page);
        QTRY_VERIFY(page->isVisible() && page->optLast->isChecked());
        QCOMPARE(page->progress->maximum(), 20);
        const auto windowState = [&] {  // as the window manager keeps it
            QProcess xprop;
            xprop.start(u"xprop"_s, {u"-id"_s, QString::number(page->winId()), u"_NET_WM_STATE"_s});
            return xprop.waitForFinished(5000) ? xprop.readAllStandardOutput() : QByteArray();
        };
        QTRY_VERIFY(windowState().contains("_NET_WM_STATE_ABOVE"));
        QVERIFY(doAccessibleAction(page->optAll, Action::pressAction()) || doAccessibleAction(page->optAll, Action::toggleAction()));
        QTRY_VERIFY(page->optAll->isChecked());
        ClosedDialog shown;
        closeNextMessageBox(&shown);
        press(page->OKButton);
        QTRY_COMPARE_WITH_TIMEOUT(seams.exitCodes, QList<int>{0}, 30000);
        QVERIFY(shown.text == u"Import Faxes from FaxConsole successfully."_s && shown.title == mCommon::ProgramTitle);
        QVERIFY(itemCount(mail::FolderOutbox) == 10 && itemCount(mail::FolderInbox) == 10);
    }

    // Without a viewer the real box comes and the page is active again, ready for another press; Cancel deletes the preview.
    void previewWithoutAViewerOnTheDesktop() {
        RealDialogsSeams seams;
        registerTiffViewer(QString());
        jobToAnn(coverBase() + u"/server/general.svg"_s, true).FaxSubject = u"On the desktop"_s;
        frmFinish &page = activePage<frmFinish>();
        QCOMPARE(messageAfter(page.btnPreview, &page), u"Please install tiff viewer."_s);
        const QString file = faxJob().PreviewFile;
        QVERIFY(QFile::exists(file) && page.btnPreview->isEnabled() && faxJob().PreviewMode == VbFalse);
        press(page.CancelButton);
        QTRY_COMPARE(seams.exitCodes, QList<int>{0});
        QVERIFY(!QFile::exists(file));
    }
};

QTEST_MAIN(TestDesktopPages)
#include "tst_desktop_pages.moc"
