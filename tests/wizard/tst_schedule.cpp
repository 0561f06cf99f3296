// The schedule and priority page and the finish page driven through their controls.
#include "TestSeams.h"
#include "WizardTestKit.h"
#include "wizard/frmFinish.h"
#include "wizard/frmSend.h"

#include <QtWidgets>

using namespace sendmere;
using namespace Qt::StringLiterals;
using test::click;

namespace {

// Which box of each group is checked, as "schedule/priority": now, discount or time; high, normal or low.
QString groups(const frmSend &page) {
    const auto checked = [](std::initializer_list<std::pair<QCheckBox *, const char *>> boxes) {
        QStringList names;
        for (const auto &[box, name] : boxes) if (box->isChecked()) names << QLatin1String(name);
        return names.join(u'+');
    };
    return checked({{page.optSchNow, "now"}, {page.optSchDiscount, "discount"}, {page.optSchTime, "time"}}) + u'/' +
           checked({{page.optPriorityHigh, "high"}, {page.optPriorityNormal, "normal"}, {page.optPriorityLow, "low"}});
}

template <typename T>
T &activePage() {
    T &page = test::shownPage<T>();
    if (!QTest::qWaitFor([&] { return page.isActiveWindow(); })) QTest::qFail("the page did not become active", __FILE__, __LINE__);
    return page;
}

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

    // Each group keeps one box checked: a click on the checked box leaves it, and a click in one
    // group leaves the other. The picker is on only for a time of the user's.
    void firstVisitAndTheTwoGroups() {
        frmSend &page = activePage<frmSend>();
        QCOMPARE(groups(page), u"now/normal"_s);
        QVERIFY(!page.dtFaxSend->isEnabled());
        QCOMPARE(page.dtFaxSend->dateTime().toSecsSinceEpoch(), faxJob().DTFaxSend.toSecsSinceEpoch());
        const std::pair<QCheckBox *, const char *> clicks[] = {{page.optSchTime, "time/normal"}, {page.optSchTime, "time/normal"},
                                                               {page.optSchDiscount, "discount/normal"}, {page.optPriorityLow, "discount/low"},
                                                               {page.optPriorityLow, "discount/low"}, {page.optPriorityHigh, "discount/high"}};
        for (const auto &[box, after] : clicks) {
            click(box);
            QCOMPARE(groups(page), QLatin1String(after));
            QCOMPARE(page.dtFaxSend->isEnabled(), groups(page).startsWith(u"time"_s));
        }
    }

    // The picker edits the time of day and keeps the date: stepping past the end of the day
    // does not carry into it.
    void thePickerEditsTheTimeAndKeepsTheDate() {
        const QDateTime earlier(QDate::currentDate().addDays(-3), QTime(10, 15, 0));
        faxJob().DTFaxSend = earlier;
        faxJob().FaxSchedule = 1;
        frmSend &page = activePage<frmSend>();
        QVERIFY(page.dtFaxSend->isEnabled() && page.optSchTime->isChecked());
        QCOMPARE(page.dtFaxSend->text(), u"10:15:00"_s);
        page.dtFaxSend->setFocus();
        page.dtFaxSend->setSelectedSection(QDateTimeEdit::HourSection);
        QTest::keyClicks(page.dtFaxSend, u"23"_s);
        QCOMPARE(page.dtFaxSend->text(), u"23:15:00"_s);
        page.dtFaxSend->setSelectedSection(QDateTimeEdit::HourSection);
        QTest::keyClick(page.dtFaxSend, Qt::Key_Up);
        page.setGeometry(130, 110, 610, 470);
        QTest::mouseClick(page.btnNext, Qt::LeftButton);
        QCOMPARE(faxJob().DTFaxSend, QDateTime(earlier.date(), QTime(23, 15, 0)));
        QCOMPARE(faxJob().FaxSchedule, 1);
        test::waitForPageGone(PageId::frmSend);
        frmFinish *finish = existingPage<frmFinish>();
        QVERIFY(finish && finish->isVisible());
        QCOMPARE(finish->geometry(), QRect(130, 110, 610, 470));
    }

    // A second activation rebuilds, never adds to, the list. The first template shows its own
    // name; a template beyond the list is logged.
    void finishShowsTheSummary() {
        test::setRecipients({u"Ann"_s, u"Bob"_s}, {u"111"_s, u"222"_s});
        FaxJob &job = faxJob();
        job.CoverPages.redim(2);
        job.CoverPages(1) = u"/srv/covers/general.svg"_s;
        job.CoverPages(2) = u"/home/u/My.Fax.cov"_s;
        job.CoverIndex = 1;
        job.FaxSubject = u"Figures"_s;
        job.FaxSchedule = 2;
        frmFinish &page = activePage<frmFinish>();
        const auto summary = [&] {
            return QStringList{test::column(page.lvRecipients, 0).join(u','), test::column(page.lvRecipients, 1).join(u','),
                               page.lblCover->text(), page.lblSubject->text(), page.lblSend->text()};
        };
        QCOMPARE(summary(), (QStringList{u"Ann,Bob"_s, u"111,222"_s, u"My.Fax.cov"_s, u"Figures"_s, u"Discount period"_s}));
        QVERIFY(page.btnPreview->isEnabled());

        job.CoverIndex = -1;
        job.FaxSubject.clear();
        job.FaxSchedule = 0;
        job.PreviewMode = VbTrue;
        test::activateFromOutsideThenFromAnotherPage(page, [&] { QCOMPARE(page.lblCover->text(), u"My.Fax.cov"_s); });
        QTRY_COMPARE(page.lblCover->text(), u"None"_s);
        QCOMPARE(summary(), (QStringList{u"Ann,Bob"_s, u"111,222"_s, u"None"_s, QString(), u"Now"_s}));
        QCOMPARE(job.PreviewMode, VbFalse);

        job.CoverIndex = 0;
        page.Form_Activate();
        QCOMPARE(page.lblCover->text(), u"general.svg"_s);
        job.CoverIndex = 5;
        page.Form_Activate();
        QVERIFY(test::logged({u"9,\"Subscript out of range\",\"frmFinish.Form_Load\""_s}));
    }

    // The time to send is a count of days since the end of 1899 with today as zero: the time
    // of day counts from midnight, with its seconds, and a day before or after today shows its
    // date near the end of 1899.
    void timeToSendSubtractsTodaysMidnight() {
        const QDate today = QDate::currentDate();
        const auto text = [&](int days, QTime time) { return timeToSendText(QDateTime(today.addDays(days), time), today); };
        const auto date = [](int year, int month, int day) {
            return QLocale::system().toString(QDate(year, month, day), QLocale::ShortFormat);
        };
        QVERIFY(text(0, QTime(14, 30, 45)).contains(u"30:45"_s));
        QVERIFY(text(1, QTime(9, 0, 7)).contains(u":00:07"_s));
        QCOMPARE(text(1, QTime(9, 0)), date(1899, 12, 31) + u' ' + text(0, QTime(9, 0)));
        QCOMPARE(text(2, QTime(0, 0)), date(1900, 1, 1));
        QCOMPARE(text(-1, QTime(18, 0)), text(0, QTime(6, 0)));  // a quarter of a day before zero
        QCOMPARE(text(-2, QTime(12, 0)), date(1899, 12, 29) + u' ' + text(0, QTime(12, 0)));

        faxJob().FaxSchedule = 1;
        faxJob().DTFaxSend = QDateTime(today, QTime(14, 30, 15));
        frmFinish &page = test::shownPage<frmFinish>();
        QTRY_VERIFY(page.lblSend->text().contains(u"30:15"_s));
    }

    // Back deletes the preview; a preview that cannot be deleted is logged and kept, and
    // Cancel still ends the program.
    void theWaysOutDeleteThePreview() {
        test::RecordingSeams seams;
        const QString preview = QDir::tempPath() + u"/fax20a4.tiff"_s;
        test::writeFile(preview, "II*");
        faxJob().PreviewFile = preview;
        faxJob().CoverIndex = -1;
        QTest::mouseClick(activePage<frmFinish>().btnBack, Qt::LeftButton);
        QVERIFY(!QFile::exists(preview) && faxJob().PreviewFile.isEmpty());
        test::waitForPageGone(PageId::frmFinish);
        QVERIFY(existingPage<frmSend>() && existingPage<frmSend>()->isVisible());

        faxJob().PreviewFile = QDir::tempPath() + u"/gone.tiff"_s;
        QTest::mouseClick(activePage<frmFinish>().CancelButton, Qt::LeftButton);
        QCOMPARE(seams.recorded().exitCodes, QList<int>{0});
        QCOMPARE(faxJob().PreviewFile, QDir::tempPath() + u"/gone.tiff"_s);
        QVERIFY(test::logged({u"53,\"File not found\",\"frmFinish.FaxPreviewDelete\""_s}));
    }
};

QTEST_MAIN(TestSchedule)
#include "tst_schedule.moc"
