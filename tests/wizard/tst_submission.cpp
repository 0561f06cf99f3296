// The fax document GenerateFax fills, and the whole wizard from the "new" action to the
// fax service's queue.
#include "FaxRender.h"
#include "FaxTestSupport.h"
#include "FileLimits.h"
#include "TestSeams.h"
#include "TestSupport.h"
#include "WizardTestKit.h"
#include "app/Init.h"
#include "job/SenderInfo.h"
#include "platform/fax/FaxClient.h"
#include "send/mSend.h"
#include "session/mCommon.h"
#include "wizard/frmCover.h"
#include "wizard/frmFinish.h"
#include "wizard/frmNew.h"
#include "wizard/frmSend.h"

#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QProgressDialog>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>
#include <algorithm>

using namespace sendmere;
using test::click;

namespace {

QString serverDir() { return test::coverBase() + QStringLiteral("/server"); }
QString personalDir() { return test::coverBase() + QStringLiteral("/personal"); }

// A job as the wizard leaves it: two recipients, a server and a personal template.
void wizardJob() {
    test::setRecipients({QStringLiteral("Ann"), QStringLiteral("Bob")}, {QStringLiteral("111"), QStringLiteral("222")});
    FaxJob &job = faxJob();
    job.CoverPages.redim(2);
    job.CoverPages(1) = serverDir() + QStringLiteral("/general.svg");
    job.CoverPages(2) = personalDir() + QStringLiteral("/My.Fax.cov");
    job.FaxName = QStringLiteral("Doc");
    job.Note = QStringLiteral("See attached");
    job.FaxSubject = QStringLiteral("Figures");
    job.FaxPriority = 2;
    job.FaxSchedule = 1;
    job.UseCoverPage = VbTrue;
    // A new wizard: no document, and no body copy left from an earlier test's submission.
    job.PreviewFile.clear();
    job.TempBodyFile.clear();
    job.Attachments.reset();
    for (QString *field : {&job.SenderAddress, &job.SenderBillingCode, &job.SenderCompany, &job.SenderDepartment,
                           &job.SenderEmail, &job.SenderfaxNumber, &job.SenderFullName, &job.SenderHomePhone,
                           &job.SenderTitle, &job.SenderOffice, &job.SenderWorkPhone})
        field->clear();
}

QStringList queuedIds() {
    QStringList ids;
    const fax::FaxOutgoingJobs jobs = mCommon::GetFaxServer()->Folders().OutgoingQueue().GetJobs();
    for (int i = 1; i <= jobs.Count(); ++i) ids << jobs.Item(i).Id();
    return ids;
}

fax::FaxDocument &generated() {
    faxJob().FaxDoc = std::make_shared<fax::FaxDocument>();
    mSend::GenerateFax();
    return *faxJob().FaxDoc;
}

}  // namespace

class TestSubmission : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() {
        test::holdFaxJobsBack();
        test::useCoverPageDirectories(test::coverBase());
        render::ensureShippedCoverPages(serverDir());
    }
    void init() { test::clearErrorLog(); }
    void cleanup() { test::releaseAllPages(); }

    void generateFaxMapsTheJob() {
        wizardJob();
        faxJob().DTFaxSend = QDateTime(QDate(2030, 5, 6), QTime(7, 8, 9));
        faxJob().SenderFullName = QStringLiteral("Sam Sender");
        faxJob().SenderWorkPhone = QStringLiteral("555-0100");
        faxJob().FaxDoc = std::make_shared<fax::FaxDocument>();
        faxJob().FaxDoc->Sender.Company = QStringLiteral("Kept Company");
        mSend::GenerateFax();
        const fax::FaxDocument &doc = *faxJob().FaxDoc;
        QCOMPARE(doc.DocumentName, QStringLiteral("Doc"));
        QCOMPARE(doc.Note, QStringLiteral("See attached"));
        QCOMPARE(doc.Priority, 2);
        QCOMPARE(doc.Recipients.Count(), 2);
        QCOMPARE(doc.Recipients.Item(1).Name, QStringLiteral("Ann"));
        QCOMPARE(doc.Recipients.Item(1).FaxNumber, QStringLiteral("111"));
        QCOMPARE(doc.Recipients.Item(2).Name, QStringLiteral("Bob"));
        QCOMPARE(doc.Recipients.Item(2).FaxNumber, QStringLiteral("222"));
        // Each recipient up to the last can be changed in place; one past the last cannot.
        faxJob().FaxDoc->Recipients.Item(2).FaxNumber = QStringLiteral("223");
        QCOMPARE(doc.Recipients.Item(2).FaxNumber, QStringLiteral("223"));
        QCOMPARE(test::automationError([&] { faxJob().FaxDoc->Recipients.Item(3); }).number(), 9);
        faxJob().FaxDoc->Recipients.Item(2).FaxNumber = QStringLiteral("222");
        QCOMPARE(doc.ScheduleTime, QDateTime(QDate(2030, 5, 6), QTime(7, 8, 9)));
        QCOMPARE(doc.ScheduleType, 1);
        QCOMPARE(doc.CoverPageType, int(fax::CoverPageServer));
        QCOMPARE(doc.CoverPage, QStringLiteral("general.svg"));
        QCOMPARE(doc.Subject, QStringLiteral("Figures"));
        // No attachment: no body, no receipt attachment.
        QVERIFY(doc.Body.isEmpty());
        QVERIFY(!doc.AttachFaxToReceipt);
        // Sender fields only where the job holds something.
        QCOMPARE(doc.Sender.Name, QStringLiteral("Sam Sender"));
        QCOMPARE(doc.Sender.OfficePhone, QStringLiteral("555-0100"));
        QCOMPARE(doc.Sender.Company, QStringLiteral("Kept Company"));

        faxJob().CoverIndex = 1;
        QCOMPARE(generated().CoverPageType, int(fax::CoverPageLocal));
        QCOMPARE(generated().CoverPage, QStringLiteral("My.Fax.cov"));
        faxJob().UseCoverPage = VbFalse;
        QCOMPARE(generated().CoverPageType, int(fax::CoverPageNone));
        QCOMPARE(generated().CoverPage, QStringLiteral("My.Fax.cov"));
        QVERIFY(test::errorLogLines().isEmpty());
    }

    void onlyTheFirstAttachmentGoesAsACopy() {
        wizardJob();
        const QString dir = QDir::tempPath() + QStringLiteral("/docs");
        QDir().mkpath(dir);
        test::writeFile(dir + QStringLiteral("/first.txt"), "first\n");
        test::writeFile(QDir::tempPath() + QStringLiteral("/first.txt"), "stale copy\n");
        FaxJob &job = faxJob();
        job.Attachments.redim(3);
        job.Attachments(1) = dir + QStringLiteral("/first.txt");
        job.Attachments(2) = dir + QStringLiteral("/second.txt");
        job.Attachments(3) = dir + QStringLiteral("/third.txt");
        const fax::FaxDocument &doc = generated();
        QCOMPARE(job.TempBodyFile, mCommon::GetTempDir() + QStringLiteral("first.txt"));
        QCOMPARE(doc.Body, job.TempBodyFile);
        QVERIFY(doc.AttachFaxToReceipt);
        QFile copy(job.TempBodyFile);
        QVERIFY(copy.open(QIODevice::ReadOnly));
        QCOMPARE(copy.readAll(), QByteArray("first\n"));
        copy.close();

        mSend::RemovePreviewFile();
        QVERIFY(!QFile::exists(job.TempBodyFile));
        QVERIFY(QFile::exists(dir + QStringLiteral("/first.txt")));
        QVERIFY(test::errorLogLines().isEmpty());
        // Nothing left to delete: the failure is logged.
        mSend::RemovePreviewFile();
        QCOMPARE(test::errorLogLines().size(), 1);
        QVERIFY(test::errorLogLines().first().startsWith(QStringLiteral("53,\"File not found\",\"msend.RemovePreviewFile\"")));
    }

    // A document that already lies in the temporary directory is sent as it is and kept.
    void aDocumentInTheTemporaryDirectoryIsNeverDeleted() {
        wizardJob();
        const QString scanned = mCommon::GetTempDir() + QStringLiteral("scan.png");
        test::writeFile(scanned, "image");
        faxJob().TempBodyFile = QStringLiteral("/earlier/copy.pdf");
        faxJob().Attachments.redim(1);
        faxJob().Attachments(1) = scanned;
        const fax::FaxDocument &doc = generated();
        QCOMPARE(doc.Body, scanned);
        QVERIFY(doc.AttachFaxToReceipt);
        QCOMPARE(doc.Subject, QStringLiteral("Figures"));
        mSend::RemovePreviewFile();
        QVERIFY(QFile::exists(scanned));
        QCOMPARE(test::errorLogLines().size(), 1);
        QVERIFY(test::errorLogLines().first().contains(QStringLiteral("\"msend.RemovePreviewFile\"")));
    }

    void aTemplateBeyondTheListStopsTheFilling() {
        wizardJob();
        faxJob().CoverIndex = 2;
        faxJob().SenderFullName = QStringLiteral("Sam Sender");
        const fax::FaxDocument &doc = generated();
        QCOMPARE(doc.Recipients.Count(), 2);
        QCOMPARE(doc.ScheduleType, 1);
        QCOMPARE(doc.Priority, 2);
        QVERIFY(doc.CoverPage.isEmpty());
        QVERIFY(doc.Subject.isEmpty());
        QVERIFY(doc.Sender.Name.isEmpty());
        QCOMPARE(test::errorLogLines().size(), 1);
        QVERIFY(test::errorLogLines().first().startsWith(QStringLiteral("9,\"Subscript out of range\",\"msend.GenerateFax\"")));
    }

    // The page stays as it was, silent; the reason goes out to whoever tells the user.
    void aFailingSubmissionKeepsTheFinishPageOpen() {
        test::RecordingSeams seams;
        wizardJob();
        faxJob().RecipientNumber(2) = QString();  // the service refuses a recipient without a number
        frmFinish &page = test::shownPage<frmFinish>();
        QTRY_VERIFY(page.isActiveWindow());
        QSignalSpy failures(&page, &frmFinish::submissionFailed);
        QTest::mouseClick(page.OKButton, Qt::LeftButton);
        QTRY_VERIFY(!page.isSubmitting());
        QCOMPARE(failures.size(), 1);
        QVERIFY2(failures.first().first().toString().contains(QStringLiteral("fax number")), qPrintable(failures.first().first().toString()));
        QVERIFY(seams.recorded().exitCodes.isEmpty());
        QVERIFY(page.isVisible());
        QCOMPARE(page.cursor().shape(), Qt::ArrowCursor);
        QVERIFY(!page.submissionProgress());
        QVERIFY(seams.recorded().messages.isEmpty());

        // A body that cannot be rendered fails in the service, after the submission was taken.
        faxJob().RecipientNumber(2) = QStringLiteral("222");
        faxJob().FaxSchedule = 0;
        const QString broken = QDir::tempPath() + QStringLiteral("/docs/broken.pdf");
        QDir().mkpath(QFileInfo(broken).path());
        test::writeFile(broken, "%PDF-1.4 no pdf at all");
        faxJob().Attachments.redim(1);
        faxJob().Attachments(1) = broken;
        QTest::mouseClick(page.OKButton, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!page.isSubmitting(), 30000);
        QCOMPARE(failures.size(), 2);
        QVERIFY2(failures.last().first().toString().contains(QStringLiteral("broken.pdf")), qPrintable(failures.last().first().toString()));
        QVERIFY(page.isVisible());
        QVERIFY(seams.recorded().exitCodes.isEmpty());
        // The body copy stays for the next try, as after any failed submission.
        QVERIFY(QFile::exists(faxJob().TempBodyFile));
    }

    // Finish hands the submission to a thread of its own: the page's event loop runs all
    // through the render, a window-modal progress window of the page shows the service's
    // rising page count, the page shows it is busy and ignores a second Finish; at the end
    // each recipient has one job and the program ends.
    void finishRendersOffTheGuiThreadWithProgress() {
        test::RecordingSeams seams;
        wizardJob();
        faxJob().FaxSchedule = 0;
        faxJob().Attachments.redim(1);
        // Pages that take a while to draw: plain ones are all done before the progress is due.
        faxJob().Attachments(1) = faxtest::writeSlowPdf(QStringLiteral("long.pdf"), 1, 200);
        const QStringList before = queuedIds();
        frmFinish &page = test::shownPage<frmFinish>();
        QTRY_VERIFY(page.isActiveWindow());

        QElapsedTimer sinceTick;
        qint64 longestGapMs = 0;
        QList<int> counts;
        QTimer tick;
        connect(&tick, &QTimer::timeout, &page, [&] {
            longestGapMs = std::max(longestGapMs, sinceTick.restart());
            const QProgressDialog *progress = page.submissionProgress();
            if (progress && progress->isVisible() && progress->maximum() > 0 && (counts.isEmpty() || counts.last() != progress->value()))
                counts << progress->value();
        });
        QTest::mouseClick(page.OKButton, Qt::LeftButton);
        sinceTick.start();
        tick.start(10);
        QVERIFY(page.isSubmitting());
        QCOMPARE(page.cursor().shape(), Qt::BusyCursor);
        QVERIFY(page.submissionProgress());
        QCOMPARE(page.submissionProgress()->parentWidget(), &page);
        QCOMPARE(page.submissionProgress()->windowModality(), Qt::WindowModal);
        QTest::mouseClick(page.OKButton, Qt::LeftButton);  // a second Finish
        QTRY_VERIFY_WITH_TIMEOUT(!seams.recorded().exitCodes.isEmpty(), 180000);
        tick.stop();
        QCOMPARE(seams.recorded().exitCodes, QList<int>{0});
        qInfo("longest pause of the event loop: %lld ms; %lld counts shown", longestGapMs, qint64(counts.size()));
        QVERIFY2(longestGapMs < 1000, qPrintable(QString::number(longestGapMs)));  // a hang guard, no speed goal
        QVERIFY2(counts.size() >= 2, qPrintable(QString::number(counts.size())));
        QVERIFY(std::is_sorted(counts.begin(), counts.end()));
        QCOMPARE(queuedIds().size(), before.size() + 2);
        QVERIFY(!QFile::exists(faxJob().TempBodyFile));
        QVERIFY(seams.recorded().messages.isEmpty());
    }

    // Cancel in the progress window withdraws the fax: the page stays, ready for another
    // Finish, and nothing of the fax is queued, then or later.
    void cancelDuringTheRenderLeavesNoJob() {
        test::RecordingSeams seams;
        wizardJob();
        faxJob().FaxSchedule = 0;
        faxJob().Attachments.redim(1);
        faxJob().Attachments(1) = faxtest::writeSlowPdf(QStringLiteral("withdrawn.pdf"), 1, 150);
        const QStringList before = queuedIds();
        frmFinish &page = test::shownPage<frmFinish>();
        QTRY_VERIFY(page.isActiveWindow());
        QSignalSpy failures(&page, &frmFinish::submissionFailed);
        QTest::mouseClick(page.OKButton, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(page.submissionProgress() && page.submissionProgress()->isVisible() &&
                                     page.submissionProgress()->value() > 0, 60000);
        auto *cancel = page.submissionProgress()->findChild<QPushButton *>();
        QVERIFY(cancel);
        QTest::mouseClick(cancel, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!page.isSubmitting(), 10000);
        QVERIFY(page.isVisible());
        QVERIFY(failures.isEmpty());
        QVERIFY(seams.recorded().exitCodes.isEmpty());
        QCOMPARE(page.cursor().shape(), Qt::ArrowCursor);
        QTest::qWait(1500);  // a render that went on would queue its jobs meanwhile
        QCOMPARE(queuedIds(), before);
    }

    // Preview, then Finish while the preview cannot be deleted (its folder turned read-only, as
    // a viewer holding it would): the deletion is logged, and each fax goes out with the
    // preview as its body and no cover page of its own.
    void finishWithAPreviewThatStaysSendsThePreview() {
        test::RecordingSeams seams;
        wizardJob();
        const QString folder = QDir::tempPath() + QStringLiteral("/viewer");
        QVERIFY(QDir().mkpath(folder));
        const QString preview = folder + QStringLiteral("/fax20a4.tiff");
        QImage page1(1728, 1100, QImage::Format_Mono);
        page1.fill(1);
        QVERIFY(page1.save(preview, "TIFF"));
        faxJob().PreviewFile = preview;
        QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
        const QStringList before = queuedIds();
        {
            const test::ObeyFilePermissions asAUser;
            frmFinish &page = test::shownPage<frmFinish>();
            QTRY_VERIFY(page.isActiveWindow());
            QTest::mouseClick(page.OKButton, Qt::LeftButton);
            // The submission runs off the page's thread: the program ends once it is queued.
            QTRY_COMPARE_WITH_TIMEOUT(seams.recorded().exitCodes, QList<int>{0}, 30000);
        }
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QVERIFY(QFile::exists(preview));
        QVERIFY2(test::errorLogLines().first().contains(QStringLiteral("\"frmFinish.FaxPreviewDelete\"")),
                 qPrintable(test::errorLogLines().join(u'\n')));

        fax::FaxServer server;
        server.Connect(QString());
        const fax::FaxOutgoingJobs jobs = server.Folders().OutgoingQueue().GetJobs();
        QStringList sent;
        for (int i = 1; i <= jobs.Count(); ++i) {
            const fax::FaxOutgoingJob &job = jobs.Item(i);
            if (before.contains(job.Id())) continue;  // an earlier test's jobs
            sent << job.Recipient().FaxNumber;
            QCOMPARE(job.properties().value(QStringLiteral("CoverPageType")).toInt(), int(fax::CoverPageNone));
            QCOMPARE(job.Pages(), 1);  // the preview's one page, no cover page before it
        }
        sent.sort();
        QCOMPARE(sent, (QStringList{QStringLiteral("111"), QStringLiteral("222")}));
        // Besides the preview, only the body copy a fax without attachments never had is logged.
        const QStringList log = test::errorLogLines();
        QCOMPARE(log.size(), 2);
        QVERIFY2(log[1].contains(QStringLiteral("\"msend.RemovePreviewFile\"")), qPrintable(log[1]));
    }
};

QTEST_MAIN(TestSubmission)
#include "tst_submission.moc"
