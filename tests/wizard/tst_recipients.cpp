// The recipients page (the list, Add/Edit/Remove, the enabling rule, Next and Cancel, the swap to the cover page page), the schedule page
// and the finish page driven through their controls.
#include "TestSeams.h"
#include "WizardTestKit.h"
#include "wizard/frmCover.h"
#include "wizard/frmFinish.h"
#include "wizard/frmNew.h"
#include "wizard/frmSend.h"

#include <QtWidgets>

using namespace sendmere;
using namespace Qt::StringLiterals;
using test::column;

namespace {

template <typename T>
T &activePage() {
    T &page = test::shownPage<T>();
    if (!QTest::qWaitFor([&] { return page.isActiveWindow(); })) QTest::qFail("the page did not become active", __FILE__, __LINE__);
    return page;
}

frmNew &openPage(const QStringList &names, const QStringList &numbers) {
    test::setRecipients(names, numbers);
    frmNew &page = test::shownPage<frmNew>();
    if (!QTest::qWaitFor([&] { return page.isActiveWindow() && page.lvRecipients->topLevelItemCount() == names.size(); }))
        QTest::qFail("the recipients page did not become active", __FILE__, __LINE__);
    return page;
}

void typeRecipient(frmNew &page, const QString &name, const QString &number, QAbstractButton *then = nullptr) {
    QTest::keyClicks(page.txtTo, name);
    QTest::keyClicks(page.txtFaxNumber, number);
    if (then) QTest::mouseClick(then, Qt::LeftButton);
}

void selectRow(frmNew &page, int row) {
    QTreeWidgetItem *item = page.lvRecipients->topLevelItem(row);
    QTest::mouseClick(page.lvRecipients->viewport(), Qt::LeftButton, {}, page.lvRecipients->visualItemRect(item).center());
}

QString buttons(const frmNew &page) {  // which of Back, Add, Edit and Remove are on
    QString on;
    for (const QPushButton *button : {page.btnBack, page.cmdAdd, page.cmdEdit, page.cmdRemove}) on += button->isEnabled() ? u'1' : u'0';
    return on;
}

}  // namespace

class TestRecipients : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() {
        test::clearErrorLog();
        test::useCoverPageDirectories(test::coverBase());
        ResetFaxJob();
    }
    void cleanup() { test::releaseAllPages(); }

    // Add needs a name and a number, Edit and Remove a selected entry. A second activation rebuilds from the job: the typed text and the
    // selection go. Cancel stores nothing.
    void activationShowsTheJobAndTheButtonsFollowTheBoxes() {
        test::RecordingSeams seams;
        frmNew &page = openPage({u"Ann"_s, u"Bob"_s}, {u"111"_s, u"222"_s});
        QCOMPARE(column(page.lvRecipients, 0) + column(page.lvRecipients, 1), (QStringList{u"Ann"_s, u"Bob"_s, u"111"_s, u"222"_s}));
        QCOMPARE(buttons(page), u"0000"_s);
        QCOMPARE(page.findChild<QLabel *>(u"lblTo"_s)->buddy(), page.txtTo);
        QTest::keyClicks(page.txtTo, u"Cy"_s);
        QCOMPARE(buttons(page), u"0000"_s);
        QTest::keyClicks(page.txtFaxNumber, u"3"_s);
        QCOMPARE(buttons(page), u"0100"_s);
        selectRow(page, 1);
        QCOMPARE(buttons(page), u"0111"_s);
        test::activateFromOutsideThenFromAnotherPage(page, [&] { QCOMPARE(page.txtTo->text(), u"Cy"_s); });
        QTRY_VERIFY(page.txtTo->text().isEmpty());
        QCOMPARE(page.lvRecipients->topLevelItemCount(), 2);
        QVERIFY(!page.cmdRemove->isEnabled());
        typeRecipient(page, u"Cy"_s, u"333"_s, page.cmdAdd);
        QTest::mouseClick(page.btnCancel, Qt::LeftButton);
        QCOMPARE(seams.recorded().exitCodes, QList<int>{0});
        QCOMPARE(test::jobList(faxJob().RecipientName), (QStringList{u"Ann"_s, u"Bob"_s}));
        test::waitForPageGone(PageId::frmNew);
    }

    // One entry per name and number, the name's case counting; Edit copies the entry back and Add with a changed number adds a further
    // entry.
    void addKeepsOneEntryPerNameAndNumber() {
        frmNew &page = openPage({}, {});
        for (int twice = 0; twice < 2; ++twice) {
            typeRecipient(page, u"Ann"_s, u"111"_s, page.cmdAdd);
            QCOMPARE(page.lvRecipients->topLevelItemCount(), 1);
            QVERIFY(page.txtTo->text().isEmpty() && page.txtFaxNumber->text().isEmpty() && !page.cmdAdd->isEnabled());
        }
        typeRecipient(page, u"ann"_s, u"111"_s, page.cmdAdd);
        typeRecipient(page, u"Ann"_s, u"999"_s, page.cmdAdd);
        selectRow(page, 0);
        QTest::mouseClick(page.cmdEdit, Qt::LeftButton);
        QVERIFY(page.txtTo->text() == u"Ann"_s && page.txtFaxNumber->text() == u"111"_s);
        page.txtFaxNumber->clear();
        QTest::keyClicks(page.txtFaxNumber, u"112"_s);
        QTest::mouseClick(page.cmdAdd, Qt::LeftButton);
        QCOMPARE(column(page.lvRecipients, 0), (QStringList{u"Ann"_s, u"ann"_s, u"Ann"_s, u"Ann"_s}));
        QCOMPARE(column(page.lvRecipients, 1), (QStringList{u"111"_s, u"111"_s, u"999"_s, u"112"_s}));
        selectRow(page, 1);
        QTest::mouseClick(page.cmdRemove, Qt::LeftButton);
        QCOMPARE(column(page.lvRecipients, 0) + column(page.lvRecipients, 1),
                 (QStringList{u"Ann"_s, u"Ann"_s, u"Ann"_s, u"111"_s, u"999"_s, u"112"_s}));
        const bool selected = !page.lvRecipients->selectedItems().isEmpty();
        QVERIFY(page.cmdRemove->isEnabled() == selected && page.cmdEdit->isEnabled() == selected);
    }

    // With an empty list Next asks for what is missing and stays; with a typed recipient it takes the recipient and swaps the page for the
    // cover page page in its place.
    void nextAsksForWhatIsMissingOrTakesTheTypedRecipient() {
        test::RecordingSeams seams;
        frmNew &page = openPage({}, {});
        QTest::mouseClick(page.btnNext, Qt::LeftButton);
        typeRecipient(page, {}, u"555"_s, page.btnNext);
        page.txtFaxNumber->clear();
        typeRecipient(page, u"Ann"_s, {}, page.btnNext);
        const QString name = u"Please enter the  recipient's name."_s;
        QCOMPARE(seams.recorded().texts(), (QStringList{name, name, u"Please enter the  recipient's fax number."_s}));
        QVERIFY(page.isVisible());
        QCOMPARE(faxJob().RecipientName.upperBound(), 0);

        page.setGeometry(120, 90, 640, 500);
        const QRect place = page.geometry();
        typeRecipient(page, {}, u"111"_s, page.btnNext);
        QCOMPARE(test::jobList(faxJob().RecipientName) + test::jobList(faxJob().RecipientNumber), (QStringList{u"Ann"_s, u"111"_s}));
        test::waitForPageGone(PageId::frmNew);
        frmCover *cover = existingPage<frmCover>();
        QVERIFY(cover && cover->isVisible() && cover->geometry() == place && seams.recorded().messages.size() == 3);
    }

    // The picker edits the time of day and keeps the date: stepping past the end of the day does not carry into it. (The two groups of
    // boxes are the desktop test's.)
    void thePickerEditsTheTimeAndKeepsTheDate() {
        frmSend &fresh = activePage<frmSend>();  // a first visit: now, normal, the picker off
        QVERIFY(fresh.optSchNow->isChecked() && fresh.optPriorityNormal->isChecked() && !fresh.dtFaxSend->isEnabled());
        test::releaseAllPages();
        const QDateTime earlier(QDate::currentDate().addDays(-3), QTime(10, 15, 0));
        faxJob().DTFaxSend = earlier;
        faxJob().FaxSchedule = 1;
        frmSend &page = activePage<frmSend>();
        QVERIFY(page.dtFaxSend->isEnabled() && page.optSchTime->isChecked() && page.dtFaxSend->text() == u"10:15:00"_s);
        page.dtFaxSend->setFocus();
        page.dtFaxSend->setSelectedSection(QDateTimeEdit::HourSection);
        QTest::keyClicks(page.dtFaxSend, u"23"_s);
        QCOMPARE(page.dtFaxSend->text(), u"23:15:00"_s);
        page.dtFaxSend->setSelectedSection(QDateTimeEdit::HourSection);
        QTest::keyClick(page.dtFaxSend, Qt::Key_Up);
        page.setGeometry(130, 110, 610, 470);
        QTest::mouseClick(page.btnNext, Qt::LeftButton);
        QVERIFY(faxJob().DTFaxSend == QDateTime(earlier.date(), QTime(23, 15, 0)) && faxJob().FaxSchedule == 1);
        test::waitForPageGone(PageId::frmSend);
        frmFinish *finish = existingPage<frmFinish>();
        QVERIFY(finish && finish->isVisible() && finish->geometry() == QRect(130, 110, 610, 470));
    }

    // A second activation rebuilds, never adds to, the list. The first template shows its own name; a template beyond the list is logged.
    void finishShowsTheSummary() {
        test::setRecipients({u"Ann"_s, u"Bob"_s}, {u"111"_s, u"222"_s});
        FaxJob &job = faxJob();
        job.CoverPages.redim(2);
        job.CoverPages(1) = u"/srv/covers/general.svg"_s;
        job.CoverPages(2) = u"/home/u/My.Fax.cov"_s;
        std::tie(job.CoverIndex, job.FaxSubject, job.FaxSchedule) = std::tuple(1, u"Figures"_s, 2);
        frmFinish &page = activePage<frmFinish>();
        const auto summary = [&] {
            return QStringList{test::column(page.lvRecipients, 0).join(u','), test::column(page.lvRecipients, 1).join(u','),
                               page.lblCover->text(), page.lblSubject->text(), page.lblSend->text()};
        };
        QCOMPARE(summary(), (QStringList{u"Ann,Bob"_s, u"111,222"_s, u"My.Fax.cov"_s, u"Figures"_s, u"Discount period"_s}));
        QVERIFY(page.btnPreview->isEnabled());

        std::tie(job.CoverIndex, job.FaxSubject, job.FaxSchedule, job.PreviewMode) = std::tuple(-1, QString(), 0, VbTrue);
        test::activateFromOutsideThenFromAnotherPage(page, [&] { QCOMPARE(page.lblCover->text(), u"My.Fax.cov"_s); });
        QTRY_COMPARE(page.lblCover->text(), u"None"_s);
        QCOMPARE(summary(), (QStringList{u"Ann,Bob"_s, u"111,222"_s, u"None"_s, QString(), u"Now"_s}));
        QCOMPARE(job.PreviewMode, VbFalse);  // a fresh visit previews afresh

        job.CoverIndex = 0;
        page.Form_Activate();
        QCOMPARE(page.lblCover->text(), u"general.svg"_s);
        job.CoverIndex = 5;
        page.Form_Activate();
        QVERIFY(test::logged({u"9,\"Subscript out of range\",\"frmFinish.Form_Load\""_s}));
    }

    // The time to send is a count of days since the end of 1899 with today as zero: the time of day counts from midnight, with its seconds,
    // and a day before or after today shows its date near the end of 1899.
    void timeToSendSubtractsTodaysMidnight() {
        const QDate today = QDate::currentDate();
        const auto text = [&](int days, QTime time) { return timeToSendText(QDateTime(today.addDays(days), time), today); };
        const auto date = [](int year, int month, int day) { return QLocale::system().toString(QDate(year, month, day), QLocale::ShortFormat); };
        QVERIFY(text(0, QTime(14, 30, 45)).contains(u"30:45"_s) && text(1, QTime(9, 0, 7)).contains(u":00:07"_s));
        QCOMPARE(text(1, QTime(9, 0)), date(1899, 12, 31) + u' ' + text(0, QTime(9, 0)));
        QCOMPARE(text(2, QTime(0, 0)), date(1900, 1, 1));
        QCOMPARE(text(-1, QTime(18, 0)), text(0, QTime(6, 0)));  // a quarter of a day before zero
        QCOMPARE(text(-2, QTime(12, 0)), date(1899, 12, 29) + u' ' + text(0, QTime(12, 0)));

        std::tie(faxJob().FaxSchedule, faxJob().DTFaxSend) = std::tuple(1, QDateTime(today, QTime(14, 30, 15)));
        QTRY_VERIFY(test::shownPage<frmFinish>().lblSend->text().contains(u"30:15"_s));
    }

    // Back deletes the preview; a preview that cannot be deleted is logged and kept, and Cancel still ends the program.
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

QTEST_MAIN(TestRecipients)
#include "tst_recipients.moc"
