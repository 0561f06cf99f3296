// The recipients page driven through its controls: the list, Add/Edit/Remove, the enabling
// rule, Next and Cancel, and the page swap to the cover page page.
#include "TestSeams.h"
#include "TestSupport.h"
#include "WizardTestKit.h"
#include "app/Init.h"
#include "wizard/frmCover.h"
#include "wizard/frmNew.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

using namespace sendmere;
using test::column;
using test::jobList;

namespace {

using test::setRecipients;

frmNew &openPage() { return test::shownPage<frmNew>(); }

void typeRecipient(frmNew &page, const QString &name, const QString &number) {
    QTest::keyClicks(page.txtTo, name);
    QTest::keyClicks(page.txtFaxNumber, number);
}

void selectRow(frmNew &page, int row) {
    QTreeWidgetItem *item = page.lvRecipients->topLevelItem(row);
    QTest::mouseClick(page.lvRecipients->viewport(), Qt::LeftButton, {},
                      page.lvRecipients->visualItemRect(item).center());
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

    void activationShowsTheJobAndTheButtonsFollowTheBoxes() {
        setRecipients({QStringLiteral("Ann"), QStringLiteral("Bob")}, {QStringLiteral("111"), QStringLiteral("222")});
        frmNew &page = openPage();
        QTRY_COMPARE(page.lvRecipients->topLevelItemCount(), 2);
        QCOMPARE(column(page.lvRecipients, 0), (QStringList{QStringLiteral("Ann"), QStringLiteral("Bob")}));
        QCOMPARE(column(page.lvRecipients, 1), (QStringList{QStringLiteral("111"), QStringLiteral("222")}));
        QVERIFY(!page.btnBack->isEnabled());
        QVERIFY(!page.cmdAdd->isEnabled());
        QVERIFY(!page.cmdEdit->isEnabled());
        QVERIFY(!page.cmdRemove->isEnabled());
        QCOMPARE(page.findChild<QLabel *>(QStringLiteral("lblTo"))->buddy(), page.txtTo);

        QTest::keyClicks(page.txtTo, QStringLiteral("Cy"));
        QVERIFY(!page.cmdAdd->isEnabled());
        QTest::keyClicks(page.txtFaxNumber, QStringLiteral("3"));
        QVERIFY(page.cmdAdd->isEnabled());
        selectRow(page, 1);
        QVERIFY(page.cmdEdit->isEnabled());
        QVERIFY(page.cmdRemove->isEnabled());

        // A second activation rebuilds from the job: the typed text and the selection go.
        test::activateFromOutsideThenFromAnotherPage(page, [&] { QCOMPARE(page.txtTo->text(), QStringLiteral("Cy")); });
        QTRY_VERIFY(page.txtTo->text().isEmpty());
        QCOMPARE(page.lvRecipients->topLevelItemCount(), 2);
        QVERIFY(!page.cmdRemove->isEnabled());
    }

    void addKeepsOneEntryPerNameAndNumber() {
        setRecipients({}, {});
        frmNew &page = openPage();
        QTRY_VERIFY(page.isActiveWindow());
        typeRecipient(page, QStringLiteral("Ann"), QStringLiteral("111"));
        QTest::mouseClick(page.cmdAdd, Qt::LeftButton);
        QCOMPARE(page.lvRecipients->topLevelItemCount(), 1);
        QVERIFY(page.txtTo->text().isEmpty() && page.txtFaxNumber->text().isEmpty());
        QVERIFY(!page.cmdAdd->isEnabled());

        typeRecipient(page, QStringLiteral("Ann"), QStringLiteral("111"));
        QTest::mouseClick(page.cmdAdd, Qt::LeftButton);
        QCOMPARE(page.lvRecipients->topLevelItemCount(), 1);
        QVERIFY(page.txtTo->text().isEmpty() && page.txtFaxNumber->text().isEmpty());

        typeRecipient(page, QStringLiteral("ann"), QStringLiteral("111"));
        QTest::mouseClick(page.cmdAdd, Qt::LeftButton);
        typeRecipient(page, QStringLiteral("Ann"), QStringLiteral("999"));
        QTest::mouseClick(page.cmdAdd, Qt::LeftButton);
        QCOMPARE(column(page.lvRecipients, 0),
                 (QStringList{QStringLiteral("Ann"), QStringLiteral("ann"), QStringLiteral("Ann")}));

        // Edit copies the entry back; Add with a changed number adds a further entry.
        selectRow(page, 0);
        QTest::mouseClick(page.cmdEdit, Qt::LeftButton);
        QCOMPARE(page.txtTo->text(), QStringLiteral("Ann"));
        QCOMPARE(page.txtFaxNumber->text(), QStringLiteral("111"));
        page.txtFaxNumber->clear();
        QTest::keyClicks(page.txtFaxNumber, QStringLiteral("112"));
        QTest::mouseClick(page.cmdAdd, Qt::LeftButton);
        QCOMPARE(column(page.lvRecipients, 1),
                 (QStringList{QStringLiteral("111"), QStringLiteral("111"), QStringLiteral("999"), QStringLiteral("112")}));

        selectRow(page, 1);
        QTest::mouseClick(page.cmdRemove, Qt::LeftButton);
        QCOMPARE(column(page.lvRecipients, 0),
                 (QStringList{QStringLiteral("Ann"), QStringLiteral("Ann"), QStringLiteral("Ann")}));
        const bool selected = !page.lvRecipients->selectedItems().isEmpty();
        QCOMPARE(page.cmdRemove->isEnabled(), selected);
        QCOMPARE(page.cmdEdit->isEnabled(), selected);
    }

    void nextWithAnEmptyListAsksForWhatIsMissing() {
        test::RecordingSeams seams;
        setRecipients({}, {});
        frmNew &page = openPage();
        QTRY_VERIFY(page.isActiveWindow());

        QTest::mouseClick(page.btnNext, Qt::LeftButton);
        QTest::keyClicks(page.txtFaxNumber, QStringLiteral("555"));
        QTest::mouseClick(page.btnNext, Qt::LeftButton);
        page.txtFaxNumber->clear();
        QTest::keyClicks(page.txtTo, QStringLiteral("Ann"));
        QTest::mouseClick(page.btnNext, Qt::LeftButton);

        const QString name = QStringLiteral("Please enter the  recipient's name.");
        QCOMPARE(seams.recorded().texts(), (QStringList{name, name, QStringLiteral("Please enter the  recipient's fax number.")}));
        QVERIFY(page.isVisible());
        QCOMPARE(faxJob().RecipientName.upperBound(), 0);
    }

    void nextTakesTheTypedRecipientAndSwapsPages() {
        test::RecordingSeams seams;
        setRecipients({}, {});
        frmNew &page = openPage();
        QTRY_VERIFY(page.isActiveWindow());
        page.setGeometry(120, 90, 640, 500);
        const QRect place = page.geometry();
        typeRecipient(page, QStringLiteral("Ann"), QStringLiteral("111"));
        QTest::mouseClick(page.btnNext, Qt::LeftButton);

        QCOMPARE(jobList(faxJob().RecipientName), QStringList{QStringLiteral("Ann")});
        QCOMPARE(jobList(faxJob().RecipientNumber), QStringList{QStringLiteral("111")});
        test::waitForPageGone(PageId::frmNew);
        frmCover *cover = existingPage<frmCover>();
        QVERIFY(cover && cover->isVisible());
        QCOMPARE(cover->geometry(), place);
        QVERIFY(seams.recorded().messages.isEmpty());
    }

    void cancelEndsTheProgramWithoutStoring() {
        test::RecordingSeams seams;
        setRecipients({QStringLiteral("Ann")}, {QStringLiteral("111")});
        frmNew &page = openPage();
        QTRY_COMPARE(page.lvRecipients->topLevelItemCount(), 1);
        typeRecipient(page, QStringLiteral("Bob"), QStringLiteral("222"));
        QTest::mouseClick(page.cmdAdd, Qt::LeftButton);
        QTest::mouseClick(page.btnCancel, Qt::LeftButton);
        QCOMPARE(seams.recorded().exitCodes, QList<int>{0});
        QCOMPARE(jobList(faxJob().RecipientName), QStringList{QStringLiteral("Ann")});
        test::waitForPageGone(PageId::frmNew);
    }
};

QTEST_MAIN(TestRecipients)
#include "tst_recipients.moc"
