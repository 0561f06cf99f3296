// The wizard's pages on a real X server: real message boxes and file dialogs, closed from the
// keyboard; controls operated through their accessibility actions, as assistive tools do.
#include "DesktopKit.h"
#include "TestSupport.h"
#include "WizardTestKit.h"
#include "FaxRender.h"
#include "app/Init.h"
#include "job/SenderInfo.h"
#include "platform/fax/FaxClient.h"
#include "wizard/frmCover.h"
#include "wizard/frmFinish.h"
#include "wizard/frmNew.h"
#include "wizard/frmSend.h"

#include <QAccessible>
#include <QApplication>
#include <QFontMetrics>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTextEdit>
#include <QTimer>

using namespace sendmere;
using test::doAccessibleAction;

namespace {

QString base() { return test::coverBase(); }

template <typename Page>
Page &shownPage() {
    Page &page = sendmere::page<Page>();
    page.showPage();
    if (!QTest::qWaitFor([&] { return page.isActiveWindow(); })) qWarning("the page never became active");
    return page;
}

void oneRecipientJob() {
    test::setRecipients({QStringLiteral("Ann")}, {QStringLiteral("111")});
    faxJob().UseCoverPage = VbFalse;
}

// The accessible name a screen reader announces, and the captions that label it.
QString accessibleName(QWidget *widget) { return QAccessible::queryAccessibleInterface(widget)->text(QAccessible::Name); }
bool labelledBy(QWidget *widget, QWidget *caption) {
    for (const auto &[other, relation] : QAccessible::queryAccessibleInterface(widget)->relations(QAccessible::Label))
        if (other->object() == caption) return true;
    return false;
}

}  // namespace

class TestDesktopPages : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() {
        test::holdFaxJobsBack();
        test::useCoverPageDirectories(base());
        test::writeFile(base() + QStringLiteral("/server/general.svg"), test::coverTemplate(QStringLiteral("General")));
        test::writeFile(base() + QStringLiteral("/server/urgent.svg"), test::coverTemplate(QStringLiteral("Urgent")));
    }
    void init() { test::clearErrorLog(); }
    void cleanup() { test::releaseAllPages(); }

    // A page's own message box coming and going is no activation: what was typed stays.
    void recipientsKeepWhatWasTypedBehindTheirMessageBox() {
        test::RealDialogsSeams seams;
        ResetFaxJob();
        frmNew &recipients = shownPage<frmNew>();
        recipients.txtTo->setFocus();
        QTest::keyClicks(recipients.txtTo, QStringLiteral("Ann"));
        test::ClosedDialog shown;
        test::closeNextMessageBox(&shown);
        QVERIFY(doAccessibleAction(recipients.btnNext, QAccessibleActionInterface::pressAction()));
        QTRY_COMPARE(shown.text, QStringLiteral("Please enter the  recipient's fax number."));
        QTRY_VERIFY(recipients.isActiveWindow());
        QTest::qWait(100);  // the window system's own activation events have arrived
        QCOMPARE(recipients.txtTo->text(), QStringLiteral("Ann"));
        QVERIFY(seams.exitCodes.isEmpty());
    }

    // The tick, the template and the typed attachment survive the page's message box; a file
    // chosen in the real file dialog stays in the box, whose filter reads as written once.
    void coverPageKeepsItsChoicesBehindItsDialogs() {
        test::RealDialogsSeams seams;
        oneRecipientJob();
        frmCover &cover = shownPage<frmCover>();
        QVERIFY(!cover.chkCover->isChecked());
        QVERIFY(doAccessibleAction(cover.chkCover, QAccessibleActionInterface::toggleAction()));
        QVERIFY(cover.chkCover->isChecked());
        cover.cbCover->setFocus();
        QTest::keyClick(cover.cbCover, Qt::Key_Down);  // from "general" to "urgent"
        QCOMPARE(cover.cbCover->currentText(), QStringLiteral("urgent"));
        cover.txtAttachment->setFocus();
        QTest::keyClicks(cover.txtAttachment, QStringLiteral("typed.txt"));

        test::ClosedDialog shown;
        test::closeNextMessageBox(&shown);
        QVERIFY(doAccessibleAction(cover.cmdNext, QAccessibleActionInterface::pressAction()));
        QTRY_COMPARE(shown.text, QStringLiteral("Please enter text in the Note and/or Subject field."));
        QTRY_VERIFY(cover.isActiveWindow());
        QTest::qWait(100);
        QVERIFY(cover.chkCover->isChecked());
        QCOMPARE(cover.cbCover->currentText(), QStringLiteral("urgent"));
        QCOMPARE(cover.txtAttachment->text(), QStringLiteral("typed.txt"));

        const QString document = QDir::tempPath() + QStringLiteral("/letter.txt");
        test::writeFile(document, "Dear Ann");
        QStringList filters;
        test::chooseInNextFileDialog(document, [&](QWidget *dialog) {
            filters = test::comboTexts(dialog->findChild<QComboBox *>(QStringLiteral("fileTypeCombo")));
        });
        QVERIFY(doAccessibleAction(cover.cmdBrowse, QAccessibleActionInterface::pressAction()));
        QTRY_VERIFY(!filters.isEmpty());
        QTRY_COMPARE(cover.txtAttachment->text(), document);
        QTRY_VERIFY(cover.isActiveWindow());
        QTest::qWait(100);
        QCOMPARE(cover.txtAttachment->text(), document);
        QCOMPARE(filters, (QStringList{QStringLiteral("Documents ( *.doc,  *.pdf, *.txt, *.rtf, *.xls, *.xlw)"),
                                       QStringLiteral("Images (*.bmp, *.jpg, *.gif, *.tif)"), QStringLiteral("All (*.*)")}));
        QVERIFY(cover.chkCover->isChecked());
        QVERIFY2(test::errorLogLines().isEmpty(), qPrintable(test::errorLogLines().join(u'\n')));
    }

    // The help box leaves room for its title beside the window manager's icon and buttons,
    // so that its title bar reads "Sendmere", not "...".
    void helpBoxIsWideEnoughForItsTitle() {
        test::RealDialogsSeams seams;
        test::ClosedDialog shown;
        int width = 0, needed = 0;
        test::closeNextMessageBox(&shown, [&](QWidget *box) {
            width = box->width();
            QFont titleFont = QApplication::font("QMdiSubWindowTitleBar");
            titleFont.setBold(true);
            // A window menu icon and three buttons of about 24 px, and the bar's margins.
            needed = QFontMetrics(titleFont).horizontalAdvance(box->windowTitle()) + 4 * 24 + 32;
        });
        Init().FaxHelp();
        QCOMPARE(shown.title, QStringLiteral("Sendmere"));
        QCOMPARE(shown.text, QStringLiteral("Help"));
        QVERIFY2(width >= needed, qPrintable(QStringLiteral("%1 px wide, %2 px needed").arg(width).arg(needed)));
        QVERIFY(seams.exitCodes.isEmpty());
    }

    // The boxes acting as options follow every change of value, not only mouse clicks.
    void scheduleOptionsFollowKeyboardAndAccessibility() {
        oneRecipientJob();
        frmSend &schedule = shownPage<frmSend>();
        QVERIFY(schedule.optPriorityNormal->isChecked());
        QVERIFY(doAccessibleAction(schedule.optPriorityHigh, QAccessibleActionInterface::setFocusAction()));
        QTRY_VERIFY(schedule.optPriorityHigh->hasFocus());
        QVERIFY(doAccessibleAction(schedule.optPriorityHigh, QAccessibleActionInterface::toggleAction()));
        QVERIFY(schedule.optPriorityHigh->isChecked());
        QVERIFY(!schedule.optPriorityNormal->isChecked());
        QVERIFY(!schedule.optPriorityLow->isChecked());
        // Toggling the chosen one off leaves it chosen.
        QVERIFY(doAccessibleAction(schedule.optPriorityHigh, QAccessibleActionInterface::toggleAction()));
        QVERIFY(schedule.optPriorityHigh->isChecked());
        schedule.optPriorityLow->setFocus();
        QTest::keyClick(schedule.optPriorityLow, Qt::Key_Space);
        QVERIFY(schedule.optPriorityLow->isChecked());
        QVERIFY(!schedule.optPriorityHigh->isChecked());

        QVERIFY(doAccessibleAction(schedule.optSchTime, QAccessibleActionInterface::toggleAction()));
        QVERIFY(schedule.dtFaxSend->isEnabled());
        QVERIFY(!schedule.optSchNow->isChecked());
        QVERIFY(doAccessibleAction(schedule.optSchDiscount, QAccessibleActionInterface::toggleAction()));
        QVERIFY(!schedule.dtFaxSend->isEnabled());
        QVERIFY(!schedule.optSchTime->isChecked());
        QVERIFY(schedule.optSchDiscount->isChecked());
    }

    // The whole wizard with accessibility actions and the keyboard only, no mouse: the jobs
    // queued in the fax service are what was chosen on the way.
    void wizardWithoutAMouseQueuesTheChosenJobs() {
        test::RealDialogsSeams seams;
        QDir().mkpath(QDir::homePath() + QStringLiteral("/Documents"));
        const QString report = QDir::homePath() + QStringLiteral("/Documents/report.pdf");
        test::writePdf(report, 2);
        faxJob().UseCoverPage = VbFalse;  // as in a new process: the flag outlives a job reset
        // The sender's details are never typed: the new document takes them from the registry.
        faxJob().SenderFullName = QStringLiteral("Sam Sender");
        faxJob().SenderfaxNumber = QStringLiteral("555-0199");
        SetSenderInfo();
        faxJob().SenderFullName.clear();
        faxJob().SenderfaxNumber.clear();
        const auto press = [](QWidget *control) {
            QVERIFY(doAccessibleAction(control, QAccessibleActionInterface::pressAction()));
        };
        const auto type = [](QWidget *box, const QString &text) { QVERIFY(test::setAccessibleText(box, text)); };

        QTimer::singleShot(0, [&] {
            frmNew *recipients = existingPage<frmNew>();
            if (!recipients || !QTest::qWaitFor([&] { return recipients->isActiveWindow(); })) return;
            type(recipients->txtTo, QStringLiteral("Bob"));
            type(recipients->txtFaxNumber, QStringLiteral("222"));
            press(recipients->cmdAdd);
            QTRY_COMPARE(recipients->lvRecipients->topLevelItemCount(), 2);
            press(recipients->btnNext);
        });
        runEntry(QStringLiteral("new;;Ann#;111#;%1#").arg(report));

        frmCover *cover = existingPage<frmCover>();
        QVERIFY(cover);
        QTRY_VERIFY(cover->isActiveWindow());
        QCOMPARE(cover->txtAttachment->text(), report);
        QVERIFY(doAccessibleAction(cover->chkCover, QAccessibleActionInterface::toggleAction()));
        QVERIFY(cover->chkCover->isChecked());
        // The template: open the list through its action, then the keyboard.
        QVERIFY(doAccessibleAction(cover->cbCover, QAccessibleActionInterface::showMenuAction()));
        QTRY_VERIFY(cover->cbCover->view()->isVisible());
        QTest::keyClick(cover->cbCover->view(), Qt::Key_Down);
        QTest::keyClick(cover->cbCover->view(), Qt::Key_Return);
        QTRY_VERIFY(!cover->cbCover->view()->isVisible());
        QCOMPARE(cover->cbCover->currentIndex(), 1);
        const QString chosen = cover->cbCover->currentText();
        type(cover->txtSubject, QStringLiteral("Quarterly report"));
        type(cover->rtbNote, QStringLiteral("Please call back"));
        press(cover->cmdNext);

        frmSend *schedule = nullptr;
        QTRY_VERIFY((schedule = existingPage<frmSend>()) && schedule->isActiveWindow());
        QVERIFY(doAccessibleAction(schedule->optPriorityHigh, QAccessibleActionInterface::toggleAction()));
        QVERIFY(doAccessibleAction(schedule->optSchDiscount, QAccessibleActionInterface::toggleAction()));
        press(schedule->btnNext);

        frmFinish *finish = nullptr;
        QTRY_VERIFY((finish = existingPage<frmFinish>()) && finish->isActiveWindow());
        // A screen reader reads the summary's values, each labelled by its caption.
        QCOMPARE(accessibleName(finish->lblSubject), QStringLiteral("Quarterly report"));
        QCOMPARE(accessibleName(finish->lblCover), chosen + QStringLiteral(".svg"));
        QCOMPARE(accessibleName(finish->lblSend), QStringLiteral("Discount period"));
        QVERIFY(labelledBy(finish->lblSubject, finish->lblSubj));
        QVERIFY(labelledBy(finish->lblCover, finish->lblCovPage));
        QVERIFY(labelledBy(finish->lblSend, finish->lblTime));
        press(finish->OKButton);
        QTRY_COMPARE(seams.exitCodes, QList<int>{0});
        QVERIFY(!QFile::exists(faxJob().TempBodyFile));  // the body's copy goes, the report stays
        QVERIFY(QFile::exists(report));

        fax::FaxServer server;
        server.Connect(QString());
        const fax::FaxOutgoingJobs jobs = server.Folders().OutgoingQueue().GetJobs();
        QCOMPARE(jobs.Count(), 2);
        QStringList recipients;
        for (int i = 1; i <= jobs.Count(); ++i) {
            const fax::FaxOutgoingJob &job = jobs.Item(i);
            recipients << job.Recipient().Name + QLatin1Char(' ') + job.Recipient().FaxNumber;
            QCOMPARE(job.Subject(), QStringLiteral("Quarterly report"));
            QCOMPARE(job.Priority(), 2);  // high
            QCOMPARE(job.properties().value(QStringLiteral("ScheduleType")).toInt(), 2);  // discount period
            QCOMPARE(job.properties().value(QStringLiteral("CoverPageType")).toInt(), int(fax::CoverPageServer));
            QCOMPARE(job.Sender().Name, QStringLiteral("Sam Sender"));
            QCOMPARE(job.Sender().FaxNumber, QStringLiteral("555-0199"));
            QCOMPARE(job.Pages(), 3);  // the cover page and both pages of the report
            const QString image = QDir::tempPath() + QStringLiteral("/job%1.tiff").arg(i);
            job.CopyTiff(image);
            QCOMPARE(render::tiffPageCount(image), 3);
        }
        recipients.sort();
        QCOMPARE(recipients, (QStringList{QStringLiteral("Ann 111"), QStringLiteral("Bob 222")}));
        server.Disconnect();
        QVERIFY2(test::errorLogLines().isEmpty(), qPrintable(test::errorLogLines().join(u'\n')));
    }
};

QTEST_MAIN(TestDesktopPages)
#include "tst_desktop_pages.moc"
