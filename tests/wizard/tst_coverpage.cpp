// The cover page page driven through its controls, the template listing from the
// registry-named directories, IsServerCoverPage and the template thumbnail.
#include "FaxRender.h"
#include "TestSeams.h"
#include "TestSupport.h"
#include "WizardTestKit.h"
#include "app/Init.h"
#include "send/CoverPageDirectories.h"
#include "send/mPicture.h"
#include "send/mRender.h"
#include "wizard/frmCover.h"
#include "wizard/frmNew.h"
#include "wizard/frmSend.h"
#include "wizard/frmSender.h"

#include <QDirIterator>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTextEdit>

using namespace sendmere;
using test::click;
using test::jobList;

namespace {

QString base() { return test::coverBase(); }
QString serverDir() { return base() + QStringLiteral("/server"); }
QString personalDir() { return base() + QStringLiteral("/personal"); }

frmCover &freshCoverPage() {
    test::releaseAllPages();
    frmCover &page = sendmere::page<frmCover>();
    page.showPage();
    return page;
}

void startJob(const QStringList &attachments = {}) {
    test::setRecipients({QStringLiteral("Ann")}, {QStringLiteral("111")});
    FaxJob &job = faxJob();
    job.UseCoverPage = VbFalse;
    job.Attachments.redim(int(attachments.size()));
    for (int i = 1; i <= attachments.size(); ++i) job.Attachments(i) = attachments[i - 1];
}

bool coverControlsEnabled(const frmCover &page) {
    return page.cbCover->isEnabled() && page.txtSubject->isEnabled() && page.rtbNote->isEnabled() &&
           page.lblCover->isEnabled() && page.lblSubject->isEnabled() && page.lblNote->isEnabled();
}

QStringList filesUnder(const QString &dir) {
    QStringList files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) files << it.next();
    return files;
}

}  // namespace

class TestCoverPage : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() { test::clearErrorLog(); }
    void cleanup() { test::releaseAllPages(); }

    // Seeding a fresh machine's registry ships the templates, as the program does.
    void initTestCase() { shipCoverPagesWhenSeeded(); }

    // Runs first, on the registry as a fresh machine has it.
    void aFreshMachineListsTheShippedTemplates() {
        startJob();
        frmCover &page = freshCoverPage();
        QTRY_VERIFY(page.isActiveWindow());
        const QStringList entries = test::comboTexts(page.cbCover);
        for (const char *shipped : {"general", "confidential", "urgent", "fyi"})
            QVERIFY2(entries.contains(QLatin1String(shipped)), shipped);
        const QString server = ServerCoverPageDirectory();
        QVERIFY(server.endsWith(QStringLiteral("/sendmere/coverpages")));
        QVERIFY(jobList(faxJob().CoverPages).first().startsWith(server + QLatin1Char('/')));
        // The personal directory exists from the start, empty: listing it is no failure.
        QVERIFY(QFileInfo(PersonalCoverPageDirectory()).isDir());
        QVERIFY(test::errorLogLines().isEmpty());

        // Listing never writes: a deleted template stays deleted, a read-only folder is listed.
        QVERIFY(QFile::remove(server + QStringLiteral("/fyi.svg")));
        QVERIFY(QFile::setPermissions(server, QFile::ReadOwner | QFile::ExeOwner));
        QVERIFY(!test::comboTexts(freshCoverPage().cbCover).contains(QStringLiteral("fyi")));
        QCOMPARE(test::comboTexts(sendmere::page<frmCover>().cbCover).size(), entries.size() - 1);
        QVERIFY(!QFile::exists(server + QStringLiteral("/fyi.svg")));
        QVERIFY(QFile::setPermissions(server, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QVERIFY(test::errorLogLines().isEmpty());

        // A mistyped folder is not made: the listing fails there and lists nothing.
        test::setRegistryString(CWinReg::HKEY_LOCAL_MACHINE(), test::FaxSetup, QStringLiteral("ServerCoverPageDir"),
                                QStringLiteral("coverpagez"));
        QCOMPARE(freshCoverPage().cbCover->count(), 0);
        QVERIFY(!QFileInfo::exists(server + QLatin1Char('z')));
        QVERIFY(!test::errorLogLines().isEmpty());
        QVERIFY(test::errorLogLines().first().startsWith(QStringLiteral("76,\"Path not found\",\"frmCover.GetCoverPages\"")));
    }

    void listingFollowsTheRegistryAndStopsAtANameWithoutADot() {
        test::useCoverPageDirectories(base());
        test::writeFile(serverDir() + QStringLiteral("/generic.cov"), test::coverTemplate(QStringLiteral("Generic")));
        test::writeFile(personalDir() + QStringLiteral("/My.Fax.cov"), test::coverTemplate(QStringLiteral("Mine")));
        test::writeFile(personalDir() + QStringLiteral("/Nodot"), "x");
        test::writeFile(personalDir() + QStringLiteral("/Zed.cov"), test::coverTemplate(QStringLiteral("Zed")));
        startJob();
        frmCover &page = freshCoverPage();
        QTRY_VERIFY(page.isActiveWindow());

        // Exactly what the folders hold; the personal listing stops at "Nodot".
        const QStringList entries = test::comboTexts(page.cbCover);
        QCOMPARE(entries, (QStringList{QStringLiteral("generic"), QStringLiteral("My(Personal)")}));
        const QStringList paths = jobList(faxJob().CoverPages);
        QCOMPARE(paths, (QStringList{serverDir() + QStringLiteral("/generic.cov"), personalDir() + QStringLiteral("/My.Fax.cov")}));
        QCOMPARE(test::errorLogLines().size(), 1);
        QVERIFY(test::errorLogLines().first().startsWith(
            QStringLiteral("5,\"Invalid procedure call or argument\",\"frmCover.GetCoverPages\"")));

        // First visit: box unticked, cover page controls off, entry 0 chosen and drawn.
        QCOMPARE(page.cbCover->currentIndex(), 0);
        QVERIFY(!page.chkCover->isChecked());
        QVERIFY(!coverControlsEnabled(page));
        QVERIFY(!page.Picture1->pixmap().isNull());
        QCOMPARE(page.Picture1->pixmap().size(), page.Picture1->size());

        click(page.chkCover);
        QVERIFY(coverControlsEnabled(page));
        page.cbCover->setCurrentIndex(1);
        Q_EMIT page.cbCover->activated(1);
        QVERIFY(!page.Picture1->pixmap().isNull());
        QCOMPARE(test::errorLogLines().size(), 1);

        // A template that cannot be drawn shows no picture, not the one before it.
        test::writeFile(serverDir() + QStringLiteral("/generic.cov"), "not a drawing");
        page.cbCover->setCurrentIndex(0);
        Q_EMIT page.cbCover->activated(0);
        QVERIFY(page.Picture1->pixmap().isNull());
        QCOMPARE(test::errorLogLines().size(), 2);
        QVERIFY(test::errorLogLines().last().contains(QStringLiteral("\"frmCover.Click\"")));
        test::writeFile(serverDir() + QStringLiteral("/generic.cov"), test::coverTemplate(QStringLiteral("Generic")));
        QFile::remove(personalDir() + QStringLiteral("/Nodot"));
        QFile::remove(personalDir() + QStringLiteral("/Zed.cov"));
    }

    void nextChecksWhatTheFaxCarries() {
        test::RecordingSeams seams;
        test::useCoverPageDirectories(base());
        startJob();
        frmCover &page = freshCoverPage();
        QTRY_VERIFY(page.isActiveWindow());

        // Unticked, no attachment.
        QTest::mouseClick(page.cmdNext, Qt::LeftButton);
        // Ticked, template chosen, no subject and no note.
        click(page.chkCover);
        QTest::mouseClick(page.cmdNext, Qt::LeftButton);
        QCOMPARE(seams.recorded().texts(),
                 (QStringList{QStringLiteral("Please add attachment."), QStringLiteral("Please enter text in the Note and/or Subject field.")}));
        QVERIFY(page.isVisible());

        // A note alone is enough; the rich text box gives its plain text.
        page.rtbNote->setHtml(QStringLiteral("<b>Call</b> me"));
        page.setGeometry(150, 100, 620, 480);
        QTest::mouseClick(page.cmdNext, Qt::LeftButton);
        QCOMPARE(seams.recorded().messages.size(), 2);
        const FaxJob &job = faxJob();
        QCOMPARE(job.Note, QStringLiteral("Call me"));
        QCOMPARE(job.UseCoverPage, VbTrue);
        QCOMPARE(job.CoverIndex, qint16(0));
        QCOMPARE(job.Attachments.upperBound(), 0);
        frmSend *send = existingPage<frmSend>();
        QVERIFY(send && send->isVisible());
        QCOMPARE(send->geometry(), QRect(150, 100, 620, 480));
        QVERIFY(!page.isVisible());
        QVERIFY(existingPage<frmCover>() == &page);  // hidden, not unloaded
        QVERIFY2(test::errorLogLines().isEmpty(), qPrintable(test::errorLogLines().join(u'\n')));
    }

    void attachmentsAndTheBrowseDialog() {
        test::RecordingSeams seams;
        test::useCoverPageDirectories(base());
        const QString report = QDir::tempPath() + QStringLiteral("/report.txt");
        test::writeFile(report, "hello\n");
        startJob({QStringLiteral("/a.doc"), QStringLiteral("/b.doc")});
        frmCover &page = freshCoverPage();
        QTRY_VERIFY(page.isActiveWindow());
        // Two attachments: the box shows none, and leaving stores none.
        QVERIFY(page.txtAttachment->text().isEmpty());

        QTest::mouseClick(page.cmdBrowse, Qt::LeftButton);  // cancelled
        QVERIFY(page.txtAttachment->text().isEmpty());
        seams.recorded().nextFileName = report;
        QTest::mouseClick(page.cmdBrowse, Qt::LeftButton);
        QCOMPARE(seams.recorded().dialogTitles, (QStringList{QStringLiteral("Attach"), QStringLiteral("Attach")}));
        QCOMPARE(page.txtAttachment->text(), report);

        // Unticked with an attachment: Next goes on, without a cover page.
        QTest::mouseClick(page.cmdNext, Qt::LeftButton);
        QVERIFY(seams.recorded().messages.isEmpty());
        QCOMPARE(jobList(faxJob().Attachments), QStringList{report});
        QCOMPARE(faxJob().UseCoverPage, VbFalse);

        // A path to a missing file passes the check but is dropped.
        page.showPage();
        QTRY_VERIFY(page.isActiveWindow());
        QCOMPARE(page.txtAttachment->text(), report);
        page.txtAttachment->clear();
        QTest::keyClicks(page.txtAttachment, QStringLiteral("/no/such/file.pdf"));
        QTest::mouseClick(page.cmdNext, Qt::LeftButton);
        QVERIFY(seams.recorded().messages.isEmpty());
        QCOMPARE(faxJob().Attachments.upperBound(), 0);
    }

    void backAndSenderInformationKeepThePage() {
        test::RecordingSeams seams;
        test::useCoverPageDirectories(base());
        test::writeFile(personalDir() + QStringLiteral("/Mine.cov"), test::coverTemplate(QStringLiteral("Mine")));
        startJob();
        frmCover &page = freshCoverPage();
        QTRY_VERIFY(page.isActiveWindow());
        click(page.chkCover);
        page.cbCover->setCurrentIndex(1);
        QTest::keyClicks(page.txtSubject, QStringLiteral("Quarterly figures"));

        // Sender Information opens beside this page; closing it brings this page back.
        QTest::mouseClick(page.cmdSender, Qt::LeftButton);
        frmSender *sender = existingPage<frmSender>();
        QVERIFY(sender && sender->isVisible() && page.isVisible());
        QTRY_VERIFY(sender->isActiveWindow());
        QTest::mouseClick(sender->btnCancel, Qt::LeftButton);
        test::waitForPageGone(PageId::frmSender);
        // Activation shows the stored job again: what was not stored is replaced.
        QTRY_VERIFY(page.isActiveWindow());
        QTRY_VERIFY(page.txtSubject->text().isEmpty());
        QVERIFY(!page.chkCover->isChecked());
        QVERIFY(!page.txtSubject->isEnabled());

        click(page.chkCover);
        QTest::keyClicks(page.txtSubject, QStringLiteral("Quarterly figures"));
        page.cbCover->setCurrentIndex(1);
        QTest::mouseClick(page.cmdBack, Qt::LeftButton);
        frmNew *recipients = existingPage<frmNew>();
        QVERIFY(recipients && recipients->isVisible());
        QCOMPARE(recipients->geometry(), page.geometry());
        QVERIFY(!page.isVisible());
        QCOMPARE(faxJob().FaxSubject, QStringLiteral("Quarterly figures"));
        QCOMPARE(faxJob().CoverIndex, qint16(1));

        QTRY_COMPARE(recipients->lvRecipients->topLevelItemCount(), 1);
        QTest::mouseClick(recipients->btnNext, Qt::LeftButton);
        QTRY_VERIFY(page.isActiveWindow());
        QCOMPARE(page.txtSubject->text(), QStringLiteral("Quarterly figures"));
        QCOMPARE(page.cbCover->currentIndex(), 1);
        QVERIFY(page.chkCover->isChecked());

        QTest::mouseClick(page.cmdCancel, Qt::LeftButton);
        QCOMPARE(seams.recorded().exitCodes, QList<int>{0});
        QVERIFY(test::errorLogLines().isEmpty());
    }

    void noTemplateAtAllLeavesTheBoxAlone() {
        // A server directory that cannot even be made.
        const QString blocker = QDir::tempPath() + QStringLiteral("/a-file");
        test::writeFile(blocker, "x");
        test::setRegistryString(CWinReg::HKEY_LOCAL_MACHINE(), test::ShellFolders, QStringLiteral("Common AppData"), blocker);
        startJob();
        faxJob().UseCoverPage = VbTrue;
        frmCover &page = freshCoverPage();
        QTRY_VERIFY(page.isActiveWindow());
        QCOMPARE(page.cbCover->count(), 0);
        QVERIFY(!page.chkCover->isChecked());
        const QStringList log = test::errorLogLines();
        QCOMPARE(log.size(), 2);
        QVERIFY(log[0].contains(QStringLiteral("\"frmCover.GetCoverPages\"")));
        QVERIFY(log[1].startsWith(QStringLiteral("380,\"Invalid property value\",\"frmCover.Form_Load\"")));
        test::useCoverPageDirectories(base());
    }

    void thumbnailScalesAndKeepsAPaletteOnlyWhereTheSourceHasOne() {
        test::useCoverPageDirectories(base());
        const QString tmp = QDir::tempPath();
        const QStringList before = filesUnder(tmp);
        const QImage page = mRender::RenderCoverPage(serverDir() + QStringLiteral("/generic.cov"));
        QVERIFY(!page.isNull());
        QCOMPARE(filesUnder(tmp), before);

        const mPicture::Picture thumb = mPicture::DCToPicture(page, 124, 164);
        QCOMPARE(thumb.bitmap.size(), QSize(124, 164));
        QVERIFY(thumb.palette.isEmpty());
        QVERIFY(thumb.bitmap.format() != QImage::Format_Indexed8);
        // Something was drawn: not every pixel is white.
        QVERIFY(thumb.bitmap.convertToFormat(QImage::Format_Grayscale8) != QImage(124, 164, QImage::Format_Grayscale8).convertToFormat(QImage::Format_Grayscale8));

        QList<QRgb> grey;
        for (int i = 0; i < 256; ++i) grey << qRgb(i, i, i);
        const QImage indexed = page.convertToFormat(QImage::Format_Indexed8, grey);
        const mPicture::Picture paletted = mPicture::DCToPicture(indexed, 62, 82);
        QCOMPARE(paletted.bitmap.format(), QImage::Format_Indexed8);
        QCOMPARE(paletted.bitmap.colorTable(), grey);
        QCOMPARE(paletted.palette, grey);

        const QImage sixteen = page.convertToFormat(QImage::Format_Indexed8, grey.mid(0, 16));
        const mPicture::Picture small = mPicture::DCToPicture(sixteen, 62, 82);
        QVERIFY(small.palette.isEmpty());
        QVERIFY(small.bitmap.format() != QImage::Format_Indexed8);
    }

    // The thumbnail shows the sample values: a template drawn with them by hand matches it.
    void thumbnailCarriesTheSampleValues() {
        const QString path = QDir::tempPath() + QStringLiteral("/fields.svg");
        test::writeFile(path, test::coverTemplate(QStringLiteral("Fields")));
        render::CoverPageFields expected;
        expected.recipientName = QStringLiteral("RecName");
        expected.recipientFaxNumber = QStringLiteral("12354");
        expected.senderName = QStringLiteral("Sender");
        expected.subject = QStringLiteral("Subject");
        expected.pageCount = 2;
        const QImage drawn = mRender::RenderCoverPage(path);
        QCOMPARE(drawn, render::drawCoverPage(path, expected, drawn.size()));
        expected.pageCount = 3;
        QVERIFY(drawn != render::drawCoverPage(path, expected, drawn.size()));
    }
};

QTEST_MAIN(TestCoverPage)
#include "tst_coverpage.moc"
