// The cover page page driven through its controls, the template listing from the registry-named directories, and the template thumbnail, on
// a screen scaled by 2.
#include "FaxRender.h"
#include "TestSeams.h"
#include "WizardTestKit.h"
#include "send/CoverPageDirectories.h"
#include "send/mPicture.h"
#include "send/mRender.h"
#include "wizard/frmCover.h"
#include "wizard/frmNew.h"
#include "wizard/frmSend.h"

#include <QtWidgets>

using namespace sendmere;
using namespace Qt::StringLiterals;
using test::click;
using test::jobList;

namespace {

QString serverDir() { return test::coverBase() + u"/server"_s; }
QString personalDir() { return test::coverBase() + u"/personal"_s; }

// A job of one recipient, no cover page, and these attachments; its cover page page shown afresh.
frmCover &freshCoverPage(const QStringList &attachments = {}) {
    test::setRecipients({u"Ann"_s}, {u"111"_s});
    faxJob().UseCoverPage = VbFalse;
    faxJob().Attachments.redim(int(attachments.size()));
    for (int i = 1; i <= attachments.size(); ++i) faxJob().Attachments(i) = attachments[i - 1];
    test::releaseAllPages();
    frmCover &page = test::shownPage<frmCover>();
    if (!QTest::qWaitFor([&] { return page.isActiveWindow(); })) QTest::qFail("the page did not become active", __FILE__, __LINE__);
    return page;
}

void choose(frmCover &page, int index) {
    page.cbCover->setCurrentIndex(index);
    Q_EMIT page.cbCover->activated(index);
}

bool coverControlsEnabled(const frmCover &page) {
    return page.cbCover->isEnabled() && page.txtSubject->isEnabled() && page.rtbNote->isEnabled() &&
           page.lblCover->isEnabled() && page.lblSubject->isEnabled() && page.lblNote->isEnabled();
}

}  // namespace

class TestCoverPage : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { shipCoverPagesWhenSeeded(); }  // a fresh machine's registry ships the templates
    void init() { test::clearErrorLog(); }
    void cleanup() { test::releaseAllPages(); }

    // Runs first, on the registry as a fresh machine has it. The personal directory exists from the start, empty: listing it is no failure.
    // Listing never writes: a deleted template stays deleted, a read-only folder is listed, a mistyped folder is not made.
    void aFreshMachineListsTheShippedTemplates() {
        const QStringList entries = test::comboTexts(freshCoverPage().cbCover);
        for (const char *shipped : {"general", "confidential", "urgent", "fyi"}) QVERIFY2(entries.contains(QLatin1String(shipped)), shipped);
        const QString server = ServerCoverPageDirectory();
        QVERIFY(server.endsWith(u"/sendmere/coverpages"_s) && jobList(faxJob().CoverPages).first().startsWith(server + u'/'));
        QVERIFY(QFileInfo(PersonalCoverPageDirectory()).isDir());
        QVERIFY(QFile::remove(server + u"/fyi.svg"_s));
        QVERIFY(QFile::setPermissions(server, QFile::ReadOwner | QFile::ExeOwner));
        const QStringList fewer = test::comboTexts(freshCoverPage().cbCover);
        QVERIFY(QFile::setPermissions(server, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QVERIFY(fewer.size() == entries.size() - 1 && !fewer.contains(u"fyi"_s) && !QFile::exists(server + u"/fyi.svg"_s));
        QVERIFY(test::errorLogLines().isEmpty());

        // No template at all: the box stays unticked, though the job asks for a cover page.
        test::setRegistryString(CWinReg::HKEY_LOCAL_MACHINE(), test::FaxSetup, u"ServerCoverPageDir"_s, u"coverpagez"_s);
        test::releaseAllPages();
        faxJob().UseCoverPage = VbTrue;
        frmCover &none = test::shownPage<frmCover>();
        QTRY_VERIFY(none.isActiveWindow());
        QVERIFY(none.cbCover->count() == 0 && !none.chkCover->isChecked());
        QVERIFY(!QFileInfo::exists(server + u'z'));
        QVERIFY(test::logged({u"76,\"Path not found\",\"frmCover.GetCoverPages\""_s, u"380,\"Invalid property value\""_s}));
    }

    // Exactly what the folders hold; the personal listing stops at a name without a dot. On the first visit the box is unticked, the cover
    // page controls are off and entry 0 is drawn; a template that cannot be drawn shows no picture, not the one before it.
    void listingFollowsTheRegistryAndStopsAtANameWithoutADot() {
        test::useCoverPageDirectories(test::coverBase());
        test::writeFile(serverDir() + u"/generic.cov"_s, test::coverTemplate(u"Generic"_s));
        test::writeFile(personalDir() + u"/My.Fax.cov"_s, test::coverTemplate(u"Mine"_s));
        test::writeFile(personalDir() + u"/Nodot"_s, "x");
        test::writeFile(personalDir() + u"/Zed.cov"_s, test::coverTemplate(u"Zed"_s));
        frmCover &page = freshCoverPage();
        QCOMPARE(test::comboTexts(page.cbCover), (QStringList{u"generic"_s, u"My(Personal)"_s}));
        QCOMPARE(jobList(faxJob().CoverPages), (QStringList{serverDir() + u"/generic.cov"_s, personalDir() + u"/My.Fax.cov"_s}));
        QVERIFY(page.cbCover->currentIndex() == 0 && !page.chkCover->isChecked() && !coverControlsEnabled(page));
        // Drawn in the screen's own pixels, as sharp as the text beside it, not a small picture blown up.
        QVERIFY(page.Picture1->pixmap().devicePixelRatio() == 2.0 && page.Picture1->pixmap().size() == page.Picture1->size() * 2);

        click(page.chkCover);
        QVERIFY(coverControlsEnabled(page));
        choose(page, 1);
        QVERIFY(!page.Picture1->pixmap().isNull());
        test::writeFile(serverDir() + u"/generic.cov"_s, "not a drawing");
        choose(page, 0);
        QVERIFY(page.Picture1->pixmap().isNull());
        QVERIFY(test::logged({u"5,\"Invalid procedure call or argument\",\"frmCover.GetCoverPages\""_s, u"\"frmCover.Click\""_s}));
        test::writeFile(serverDir() + u"/generic.cov"_s, test::coverTemplate(u"Generic"_s));
        for (const QString &name : {u"/Nodot"_s, u"/Zed.cov"_s}) QFile::remove(personalDir() + name);
    }

    // Unticked it asks for an attachment, ticked for a note or a subject; a note alone is enough, as the rich text box's plain text. Next
    // hides the page in the next page's place.
    void nextChecksWhatTheFaxCarries() {
        test::RecordingSeams seams;
        test::useCoverPageDirectories(test::coverBase());
        frmCover &page = freshCoverPage();
        QTest::mouseClick(page.cmdNext, Qt::LeftButton);
        click(page.chkCover);
        QTest::mouseClick(page.cmdNext, Qt::LeftButton);
        QCOMPARE(seams.recorded().texts(),
                 (QStringList{u"Please add attachment."_s, u"Please enter text in the Note and/or Subject field."_s}));
        QVERIFY(page.isVisible());
        page.rtbNote->setHtml(u"<b>Call</b> me"_s);
        page.setGeometry(150, 100, 620, 480);
        QTest::mouseClick(page.cmdNext, Qt::LeftButton);
        QCOMPARE(seams.recorded().messages.size(), 2);
        QVERIFY(faxJob().Note == u"Call me"_s && faxJob().UseCoverPage == VbTrue && faxJob().CoverIndex == 0 && faxJob().Attachments.upperBound() == 0);
        frmSend *send = existingPage<frmSend>();
        QVERIFY(send && send->isVisible() && !page.isVisible() && send->geometry() == QRect(150, 100, 620, 480));
        QVERIFY(existingPage<frmCover>() == &page);  // hidden, not unloaded
        QVERIFY(test::errorLogLines().isEmpty());
    }

    // Two attachments: the box shows none. Browse, cancelled, then choosing a file; unticked with an attachment Next goes on without a
    // cover page; a path to a missing file passes the check but is dropped.
    void attachmentsAndTheBrowseDialog() {
        test::RecordingSeams seams;
        test::useCoverPageDirectories(test::coverBase());
        const QString report = QDir::tempPath() + u"/report.txt"_s;
        test::writeFile(report, "hello\n");
        frmCover &page = freshCoverPage({u"/a.doc"_s, u"/b.doc"_s});
        QVERIFY(page.txtAttachment->text().isEmpty());
        QTest::mouseClick(page.cmdBrowse, Qt::LeftButton);
        QVERIFY(page.txtAttachment->text().isEmpty());
        seams.recorded().nextFileName = report;
        QTest::mouseClick(page.cmdBrowse, Qt::LeftButton);
        QCOMPARE(seams.recorded().dialogTitles, (QStringList{u"Attach"_s, u"Attach"_s}));
        QCOMPARE(page.txtAttachment->text(), report);
        QTest::mouseClick(page.cmdNext, Qt::LeftButton);
        QVERIFY(jobList(faxJob().Attachments) == QStringList{report} && faxJob().UseCoverPage == VbFalse);

        page.showPage();
        QTRY_VERIFY(page.isActiveWindow());
        QCOMPARE(page.txtAttachment->text(), report);
        page.txtAttachment->clear();
        QTest::keyClicks(page.txtAttachment, u"/no/such/file.pdf"_s);
        QTest::mouseClick(page.cmdNext, Qt::LeftButton);
        QVERIFY(seams.recorded().messages.isEmpty() && faxJob().Attachments.upperBound() == 0);
    }

    // Sender Information opens beside this page; closing it brings this page back, and the activation shows the stored job again: what was
    // not stored is replaced. Back stores the page and swaps it for the recipients page; Next there brings it back as it was.
    void backAndSenderInformationKeepThePage() {
        test::RecordingSeams seams;
        test::useCoverPageDirectories(test::coverBase());
        test::writeFile(personalDir() + u"/Mine.cov"_s, test::coverTemplate(u"Mine"_s));
        frmCover &page = freshCoverPage();
        const auto fill = [&] {
            click(page.chkCover);
            page.cbCover->setCurrentIndex(1);
            QTest::keyClicks(page.txtSubject, u"Quarterly figures"_s);
        };
        fill();
        QTest::mouseClick(page.cmdSender, Qt::LeftButton);
        frmSender *sender = existingPage<frmSender>();
        QVERIFY(sender && sender->isVisible() && page.isVisible());
        QTRY_VERIFY(sender->isActiveWindow());
        QTest::mouseClick(sender->btnCancel, Qt::LeftButton);
        test::waitForPageGone(PageId::frmSender);
        QTRY_VERIFY(page.isActiveWindow());
        QTRY_VERIFY(page.txtSubject->text().isEmpty());
        QVERIFY(!page.chkCover->isChecked() && !page.txtSubject->isEnabled());

        fill();
        QTest::mouseClick(page.cmdBack, Qt::LeftButton);
        frmNew *recipients = existingPage<frmNew>();
        QVERIFY(recipients && recipients->isVisible() && !page.isVisible() && recipients->geometry() == page.geometry());
        QVERIFY(faxJob().FaxSubject == u"Quarterly figures"_s && faxJob().CoverIndex == 1);
        QTRY_COMPARE(recipients->lvRecipients->topLevelItemCount(), 1);
        QTest::mouseClick(recipients->btnNext, Qt::LeftButton);
        QTRY_VERIFY(page.isActiveWindow());
        QVERIFY(page.txtSubject->text() == u"Quarterly figures"_s && page.cbCover->currentIndex() == 1 && page.chkCover->isChecked());
        QTest::mouseClick(page.cmdCancel, Qt::LeftButton);
        QVERIFY(seams.recorded().exitCodes == QList<int>{0} && test::errorLogLines().isEmpty());
    }

    // Drawn without a file left behind and scaled; it shows the sample values: a template drawn with them by hand matches.
    void theThumbnail() {
        const auto tempFiles = [] {
            QStringList files;
            for (QDirIterator it(QDir::tempPath(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();) files << it.next();
            return files;
        };
        const QStringList before = tempFiles();
        const QImage page = mRender::RenderCoverPage(serverDir() + u"/generic.cov"_s);
        QVERIFY(!page.isNull() && tempFiles() == before);
        const mPicture::Picture thumb = mPicture::DCToPicture(page, 124, 164);
        QCOMPARE(thumb.bitmap.size(), QSize(124, 164));
        QImage white(thumb.bitmap.size(), thumb.bitmap.format());
        white.fill(Qt::white);
        QVERIFY(thumb.bitmap != white);  // something was drawn

        const QString path = QDir::tempPath() + u"/fields.svg"_s;
        test::writeFile(path, test::coverTemplate(u"Fields"_s));
        render::CoverPageFields expected;
        expected.recipientName = u"RecName"_s;
        expected.recipientFaxNumber = u"12354"_s;
        expected.senderName = u"Sender"_s;
        expected.subject = u"Subject"_s;
        expected.pageCount = 2;
        const QImage drawn = mRender::RenderCoverPage(path);
        QCOMPARE(drawn, render::drawCoverPage(path, expected, drawn.size()));
        expected.pageCount = 3;
        QVERIFY(drawn != render::drawCoverPage(path, expected, drawn.size()));
    }
};

int main(int argc, char *argv[]) {
    qputenv("QT_SCALE_FACTOR", "2");  // before the application reads it
    QApplication app(argc, argv);
    TestCoverPage test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_coverpage.moc"
