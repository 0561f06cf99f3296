// The fax document GenerateFax fills, and the whole wizard from the "new" action to the
// fax service's queue.
#include "FaxRender.h"
#include "TestSeams.h"
#include "TestSupport.h"
#include "WizardTestKit.h"
#include "app/Init.h"
#include "app/mCommon.h"
#include "job/SenderInfo.h"
#include "platform/fax/FaxClient.h"
#include "send/mSend.h"
#include "wizard/frmCover.h"
#include "wizard/frmFinish.h"
#include "wizard/frmNew.h"
#include "wizard/frmSend.h"

#include <QPushButton>

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
    job.PreviewFile.clear();
    for (QString *field : {&job.SenderAddress, &job.SenderBillingCode, &job.SenderCompany, &job.SenderDepartment,
                           &job.SenderEmail, &job.SenderfaxNumber, &job.SenderFullName, &job.SenderHomePhone,
                           &job.SenderTitle, &job.SenderOffice, &job.SenderWorkPhone})
        field->clear();
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

    void aFailingSubmissionKeepsTheFinishPageOpen() {
        test::RecordingSeams seams;
        wizardJob();
        faxJob().RecipientNumber(2) = QString();  // the service refuses a recipient without a number
        frmFinish &page = test::shownPage<frmFinish>();
        QTRY_VERIFY(page.isActiveWindow());
        QTest::mouseClick(page.OKButton, Qt::LeftButton);
        QVERIFY(seams.recorded().exitCodes.isEmpty());
        QVERIFY(page.isVisible());
        QVERIFY(seams.recorded().messages.isEmpty());
    }
};

QTEST_MAIN(TestSubmission)
#include "tst_submission.moc"
