// The schedule and priority page and the finish page driven through their controls.
#include "TestSeams.h"
#include "TestSupport.h"
#include "WizardTestKit.h"
#include "wizard/frmCover.h"
#include "wizard/frmFinish.h"
#include "wizard/frmSend.h"

#include <QCheckBox>
#include <QDateTimeEdit>
#include <QLabel>
#include <QLocale>
#include <QPushButton>

using namespace sendmere;
using test::click;
using test::column;

namespace {

QList<bool> states(std::initializer_list<QCheckBox *> boxes) {
    QList<bool> checked;
    for (QCheckBox *box : boxes) checked << box->isChecked();
    return checked;
}

frmSend &openSchedule() { return test::shownPage<frmSend>(); }
frmFinish &openFinish() { return test::shownPage<frmFinish>(); }

}  // namespace

class TestSchedule : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() {
        test::clearErrorLog();
        test::useCoverPageDirectories(test::coverBase());
        ResetFaxJob();
    }
    void cleanup() { test::releaseAllPages(); }

    void firstVisitAndTheTwoGroups() {
        frmSend &page = openSchedule();
        QTRY_VERIFY(page.isActiveWindow());
        QCOMPARE(states({page.optSchNow, page.optSchDiscount, page.optSchTime}), (QList<bool>{true, false, false}));
        QCOMPARE(states({page.optPriorityHigh, page.optPriorityNormal, page.optPriorityLow}), (QList<bool>{false, true, false}));
        QVERIFY(!page.dtFaxSend->isEnabled());
        QCOMPARE(page.dtFaxSend->dateTime().toSecsSinceEpoch(), faxJob().DTFaxSend.toSecsSinceEpoch());

        click(page.optSchTime);
        QCOMPARE(states({page.optSchNow, page.optSchDiscount, page.optSchTime}), (QList<bool>{false, false, true}));
        QVERIFY(page.dtFaxSend->isEnabled());
        // A click on the checked box leaves the group as it is.
        click(page.optSchTime);
        QCOMPARE(states({page.optSchNow, page.optSchDiscount, page.optSchTime}), (QList<bool>{false, false, true}));
        click(page.optSchDiscount);
        QCOMPARE(states({page.optSchNow, page.optSchDiscount, page.optSchTime}), (QList<bool>{false, true, false}));
        QVERIFY(!page.dtFaxSend->isEnabled());

        click(page.optPriorityLow);
        click(page.optPriorityLow);
        QCOMPARE(states({page.optPriorityHigh, page.optPriorityNormal, page.optPriorityLow}), (QList<bool>{false, false, true}));
        click(page.optPriorityHigh);
        QCOMPARE(states({page.optPriorityHigh, page.optPriorityNormal, page.optPriorityLow}), (QList<bool>{true, false, false}));
        // The schedule group was not touched by the priority clicks.
        QCOMPARE(states({page.optSchNow, page.optSchDiscount, page.optSchTime}), (QList<bool>{false, true, false}));
    }

    void thePickerEditsTheTimeAndKeepsTheDate() {
        const QDateTime earlier(QDate::currentDate().addDays(-3), QTime(10, 15, 0));
        faxJob().DTFaxSend = earlier;
        faxJob().FaxSchedule = 1;
        frmSend &page = openSchedule();
        QTRY_VERIFY(page.isActiveWindow());
        QVERIFY(page.dtFaxSend->isEnabled());
        QCOMPARE(page.optSchTime->isChecked(), true);
        QCOMPARE(page.dtFaxSend->text(), QStringLiteral("10:15:00"));

        page.dtFaxSend->setFocus();
        page.dtFaxSend->setSelectedSection(QDateTimeEdit::HourSection);
        QTest::keyClicks(page.dtFaxSend, QStringLiteral("23"));
        QCOMPARE(page.dtFaxSend->text(), QStringLiteral("23:15:00"));
        // Stepping past the end of the day does not carry into the date.
        page.dtFaxSend->setSelectedSection(QDateTimeEdit::HourSection);
        QTest::keyClick(page.dtFaxSend, Qt::Key_Up);
        page.setGeometry(130, 110, 610, 470);
        QTest::mouseClick(page.btnNext, Qt::LeftButton);

        QCOMPARE(faxJob().DTFaxSend.date(), earlier.date());
        QCOMPARE(faxJob().DTFaxSend.time(), QTime(23, 15, 0));
        QCOMPARE(faxJob().FaxSchedule, 1);
        test::waitForPageGone(PageId::frmSend);
        frmFinish *finish = existingPage<frmFinish>();
        QVERIFY(finish && finish->isVisible());
        QCOMPARE(finish->geometry(), QRect(130, 110, 610, 470));
    }

    void finishShowsTheSummary() {
        test::setRecipients({QStringLiteral("Ann"), QStringLiteral("Bob")}, {QStringLiteral("111"), QStringLiteral("222")});
        FaxJob &job = faxJob();
        job.CoverPages.redim(2);
        job.CoverPages(1) = QStringLiteral("/srv/covers/general.svg");
        job.CoverPages(2) = QStringLiteral("/home/u/My.Fax.cov");
        job.CoverIndex = 1;
        job.FaxSubject = QStringLiteral("Figures");
        job.FaxSchedule = 2;
        frmFinish &page = openFinish();
        QTRY_VERIFY(page.isActiveWindow());
        QCOMPARE(column(page.lvRecipients, 0), (QStringList{QStringLiteral("Ann"), QStringLiteral("Bob")}));
        QCOMPARE(column(page.lvRecipients, 1), (QStringList{QStringLiteral("111"), QStringLiteral("222")}));
        QCOMPARE(page.lblCover->text(), QStringLiteral("My.Fax.cov"));
        QCOMPARE(page.lblSubject->text(), QStringLiteral("Figures"));
        QCOMPARE(page.lblSend->text(), QStringLiteral("Discount period"));
        QVERIFY(page.btnPreview->isEnabled());

        // A second activation rebuilds, never adds to, the list.
        job.CoverIndex = -1;
        job.FaxSubject.clear();
        job.FaxSchedule = 0;
        job.PreviewMode = VbTrue;
        test::activateFromOutsideThenFromAnotherPage(page, [&] { QCOMPARE(page.lblCover->text(), QStringLiteral("My.Fax.cov")); });
        QTRY_COMPARE(page.lblCover->text(), QStringLiteral("None"));
        QCOMPARE(page.lvRecipients->topLevelItemCount(), 2);
        QCOMPARE(page.lblSubject->text(), QString());
        QCOMPARE(page.lblSend->text(), QStringLiteral("Now"));
        QCOMPARE(job.PreviewMode, VbFalse);

        // The first template shows its own name; a template beyond the list is logged.
        job.CoverIndex = 0;
        page.Form_Activate();
        QCOMPARE(page.lblCover->text(), QStringLiteral("general.svg"));
        job.CoverIndex = 5;
        page.Form_Activate();
        QCOMPARE(test::errorLogLines().size(), 1);
        QVERIFY(test::errorLogLines().first().startsWith(QStringLiteral("9,\"Subscript out of range\",\"frmFinish.Form_Load\"")));
    }

    void timeToSendSubtractsTodaysMidnight() {
        const QLocale locale = QLocale::system();
        const QDate today = QDate::currentDate();
        // The time shows its seconds, as the picker edits them.
        QVERIFY(timeToSendText(QDateTime(today, QTime(14, 30, 45)), today).contains(QStringLiteral("30:45")));
        QVERIFY(timeToSendText(QDateTime(today.addDays(1), QTime(9, 0, 7)), today).contains(QStringLiteral(":00:07")));
        // Another day keeps a date near the end of 1899.
        QCOMPARE(timeToSendText(QDateTime(today.addDays(1), QTime(9, 0)), today),
                 locale.toString(QDate(1899, 12, 31), QLocale::ShortFormat) + QLatin1Char(' ') +
                     timeToSendText(QDateTime(today, QTime(9, 0)), today));
        QCOMPARE(timeToSendText(QDateTime(today.addDays(2), QTime(0, 0)), today),
                 locale.toString(QDate(1900, 1, 1), QLocale::ShortFormat));
        // Yesterday 18:00 is a quarter of a day before zero: the time part counts from midnight.
        QCOMPARE(timeToSendText(QDateTime(today.addDays(-1), QTime(18, 0)), today),
                 timeToSendText(QDateTime(today, QTime(6, 0)), today));
        QCOMPARE(timeToSendText(QDateTime(today.addDays(-2), QTime(12, 0)), today),
                 locale.toString(QDate(1899, 12, 29), QLocale::ShortFormat) + QLatin1Char(' ') +
                     timeToSendText(QDateTime(today, QTime(12, 0)), today));

        faxJob().FaxSchedule = 1;
        faxJob().DTFaxSend = QDateTime(today, QTime(14, 30, 15));
        frmFinish &page = openFinish();
        QTRY_VERIFY(page.lblSend->text().contains(QStringLiteral("30:15")));
    }

    void theWaysOutDeleteThePreview() {
        test::RecordingSeams seams;
        const QString preview = QDir::tempPath() + QStringLiteral("/fax20a4.tiff");
        test::writeFile(preview, "II*");
        faxJob().PreviewFile = preview;
        faxJob().CoverIndex = -1;
        frmFinish &page = openFinish();
        QTRY_VERIFY(page.isActiveWindow());
        QTest::mouseClick(page.btnBack, Qt::LeftButton);
        QVERIFY(!QFile::exists(preview));
        QVERIFY(faxJob().PreviewFile.isEmpty());
        test::waitForPageGone(PageId::frmFinish);
        QVERIFY(existingPage<frmSend>() && existingPage<frmSend>()->isVisible());

        // A preview that cannot be deleted is logged and kept; Cancel still ends the program.
        faxJob().PreviewFile = QDir::tempPath() + QStringLiteral("/gone.tiff");
        frmFinish &again = openFinish();
        QTRY_VERIFY(again.isActiveWindow());
        QTest::mouseClick(again.CancelButton, Qt::LeftButton);
        QCOMPARE(seams.recorded().exitCodes, QList<int>{0});
        QCOMPARE(faxJob().PreviewFile, QDir::tempPath() + QStringLiteral("/gone.tiff"));
        QCOMPARE(test::errorLogLines().size(), 1);
        QVERIFY(test::errorLogLines().first().startsWith(QStringLiteral("53,\"File not found\",\"frmFinish.FaxPreviewDelete\"")));
    }
};

QTEST_MAIN(TestSchedule)
#include "tst_schedule.moc"
