// The recipients page driven through its controls: the list, Add/Edit/Remove, the enabling
// rule, Next and Cancel, and the page swap to the cover page page.
#include "TestSeams.h"
#include "WizardTestKit.h"
#include "wizard/frmCover.h"
#include "wizard/frmNew.h"

#include <QtWidgets>

using namespace sendmere;
using namespace Qt::StringLiterals;
using test::column;

namespace {

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

// Which of Back, Add, Edit and Remove are on.
QString buttons(const frmNew &page) {
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
    }
    void cleanup() { test::releaseAllPages(); }

    // Add needs a name and a number, Edit and Remove a selected entry. A second activation
    // rebuilds from the job: the typed text and the selection go.
    void activationShowsTheJobAndTheButtonsFollowTheBoxes() {
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
    }

    // One entry per name and number, the name's case counting; Edit copies the entry back and
    // Add with a changed number adds a further entry.
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

    // With an empty list Next asks for what is missing and stays; with a typed recipient it
    // takes the recipient and swaps the page for the cover page page in its place.
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
        QVERIFY(cover && cover->isVisible());
        QCOMPARE(cover->geometry(), place);
        QCOMPARE(seams.recorded().messages.size(), 3);
    }

    void cancelEndsTheProgramWithoutStoring() {
        test::RecordingSeams seams;
        frmNew &page = openPage({u"Ann"_s}, {u"111"_s});
        typeRecipient(page, u"Bob"_s, u"222"_s, page.cmdAdd);
        QTest::mouseClick(page.btnCancel, Qt::LeftButton);
        QCOMPARE(seams.recorded().exitCodes, QList<int>{0});
        QCOMPARE(test::jobList(faxJob().RecipientName), QStringList{u"Ann"_s});
        test::waitForPageGone(PageId::frmNew);
    }
};

QTEST_MAIN(TestRecipients)
#include "tst_recipients.moc"
