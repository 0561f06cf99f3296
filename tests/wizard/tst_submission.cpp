// The fax document GenerateFax fills, and the Finish page's submission to the fax service.
#include "FaxRender.h"
#include "FileLimits.h"
#include "TestSeams.h"
#include "WizardTestKit.h"
#include "platform/fax/FaxClient.h"
#include "send/mSend.h"
#include "session/mCommon.h"
#include "wizard/frmFinish.h"

#include <QtWidgets>

using namespace sendmere;
using namespace Qt::StringLiterals;

namespace {

QString serverDir() { return test::coverBase() + u"/server"_s; }

// A job as the wizard leaves it: two recipients, two templates, no sender, no earlier body copy.
void wizardJob(const QStringList &attachments = {}) {
    test::setRecipients({u"Ann"_s, u"Bob"_s}, {u"111"_s, u"222"_s});
    FaxJob &job = faxJob();
    job.CoverPages.redim(2);
    job.CoverPages(1) = serverDir() + u"/general.svg"_s;
    job.CoverPages(2) = test::coverBase() + u"/personal/My.Fax.cov"_s;
    std::tie(job.FaxName, job.Note, job.FaxSubject, job.FaxPriority, job.FaxSchedule) = std::tuple(u"Doc"_s, u"See attached"_s, u"Figures"_s, 2, 1);
    job.UseCoverPage = VbTrue;
    job.PreviewFile.clear();
    job.TempBodyFile.clear();
    job.Attachments.redim(int(attachments.size()));
    for (int i = 1; i <= attachments.size(); ++i) job.Attachments(i) = attachments[i - 1];
    for (QString *field : {&job.SenderAddress, &job.SenderBillingCode, &job.SenderCompany, &job.SenderDepartment, &job.SenderEmail,
                           &job.SenderfaxNumber, &job.SenderFullName, &job.SenderHomePhone, &job.SenderTitle, &job.SenderOffice, &job.SenderWorkPhone})
        field->clear();
}

// What GenerateFax filled in, as name|note|priority|recipients|schedule|cover|subject|body|receipt|sender.
QString summary(const fax::FaxDocument &doc) {
    QStringList recipients;
    for (int i = 1; i <= doc.Recipients.Count(); ++i) recipients << doc.Recipients.Item(i).Name + u' ' + doc.Recipients.Item(i).FaxNumber;
    const char *types[] = {"none", "local", "server"};
    return QStringList{doc.DocumentName, doc.Note, QString::number(doc.Priority), recipients.join(u','),
                       QString::number(doc.ScheduleType), QLatin1String(types[doc.CoverPageType]) + u' ' + doc.CoverPage,
                       doc.Subject, doc.Body, doc.AttachFaxToReceipt ? u"receipt"_s : QString(), doc.Sender.Name}
        .join(u'|');
}

fax::FaxDocument &generated() {
    faxJob().FaxDoc = std::make_shared<fax::FaxDocument>();
    mSend::GenerateFax();
    return *faxJob().FaxDoc;
}

// The queued jobs as "id number cover-page-type pages".
QStringList queued() {
    fax::FaxServer server;
    server.Connect(QString());
    QStringList jobs;
    const fax::FaxOutgoingJobs list = server.Folders().OutgoingQueue().GetJobs();
    for (int i = 1; i <= list.Count(); ++i)
        jobs << u"%1 %2 %3 %4"_s.arg(list.Item(i).Id(), list.Item(i).Recipient().FaxNumber)
                    .arg(list.Item(i).properties().value(u"CoverPageType"_s).toInt()).arg(list.Item(i).Pages());
    return jobs;
}

frmFinish &finishPage() {
    frmFinish &page = test::shownPage<frmFinish>();
    if (!QTest::qWaitFor([&] { return page.isActiveWindow(); })) QTest::qFail("the page did not become active", __FILE__, __LINE__);
    return page;
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

    // No attachment: no body and no receipt attachment; sender fields only where the job holds something.
    void generateFaxMapsTheJob() {
        wizardJob();
        faxJob().DTFaxSend = QDateTime(QDate(2030, 5, 6), QTime(7, 8, 9));
        faxJob().SenderFullName = u"Sam Sender"_s;
        faxJob().SenderWorkPhone = u"555-0100"_s;
        faxJob().FaxDoc = std::make_shared<fax::FaxDocument>();
        faxJob().FaxDoc->Sender.Company = u"Kept Company"_s;
        mSend::GenerateFax();
        fax::FaxDocument &doc = *faxJob().FaxDoc;
        QCOMPARE(summary(doc), u"Doc|See attached|2|Ann 111,Bob 222|1|server general.svg|Figures|||Sam Sender"_s);
        QCOMPARE(doc.ScheduleTime.toString(Qt::ISODate) + u'|' + doc.Sender.OfficePhone + u'|' + doc.Sender.Company,
                 u"2030-05-06T07:08:09|555-0100|Kept Company"_s);
        // Each recipient up to the last can be changed in place; one past the last cannot.
        doc.Recipients.Item(2).FaxNumber = u"223"_s;
        QCOMPARE(doc.Recipients.Item(2).FaxNumber, u"223"_s);
        QCOMPARE(test::automationError([&] { doc.Recipients.Item(3); }).number(), 9);

        faxJob().CoverIndex = 1;
        QCOMPARE(summary(generated()).section(u'|', 5, 5), u"local My.Fax.cov"_s);
        faxJob().UseCoverPage = VbFalse;
        QCOMPARE(summary(generated()).section(u'|', 5, 5), u"none My.Fax.cov"_s);
        QVERIFY(test::errorLogLines().isEmpty());

        // A template beyond the list stops the filling there: no cover page, subject, body nor sender.
        faxJob().CoverIndex = 2;
        faxJob().UseCoverPage = VbTrue;
        const QString beyond = summary(generated());
        QCOMPARE(beyond.section(u'|', 2, 4), u"2|Ann 111,Bob 222|1"_s);
        QVERIFY2(beyond.section(u'|', 5).endsWith(u" ||||"_s), qPrintable(beyond));
        QVERIFY(test::logged({u"9,\"Subscript out of range\",\"msend.GenerateFax\""_s}));
    }

    // Only the first attachment goes, as a copy RemovePreviewFile deletes; one in the temporary directory is kept.
    void theBodyAndItsCopy() {
        const QString dir = QDir::tempPath() + u"/docs"_s;
        test::writeFile(dir + u"/first.txt"_s, "first\n");
        test::writeFile(QDir::tempPath() + u"/first.txt"_s, "stale copy\n");
        wizardJob({dir + u"/first.txt"_s, dir + u"/second.txt"_s, dir + u"/third.txt"_s});
        FaxJob &job = faxJob();
        QCOMPARE(summary(generated()).section(u'|', 7), mCommon::GetTempDir() + u"first.txt|receipt|"_s);
        QVERIFY(job.TempBodyFile == mCommon::GetTempDir() + u"first.txt"_s && test::readFile(job.TempBodyFile) == "first\n");
        mSend::RemovePreviewFile();
        QVERIFY(!QFile::exists(job.TempBodyFile) && QFile::exists(dir + u"/first.txt"_s));
        mSend::RemovePreviewFile();  // nothing left to delete: the failure is logged
        QVERIFY(test::logged({u"53,\"File not found\",\"msend.RemovePreviewFile\""_s}));

        const QString scanned = mCommon::GetTempDir() + u"scan.png"_s;
        test::writeFile(scanned, "image");
        wizardJob({scanned});
        job.TempBodyFile = u"/earlier/copy.pdf"_s;
        QCOMPARE(summary(generated()).section(u'|', 6), u"Figures|"_s + scanned + u"|receipt|"_s);
        mSend::RemovePreviewFile();  // a body in the temporary directory is the user's scan, not a copy
        QVERIFY(QFile::exists(scanned));
        QVERIFY(test::logged({u"53,\"File not found\""_s, u"\"msend.RemovePreviewFile\""_s}));
    }

    // The page stays, silent; the reason goes to whoever tells the user. A body that cannot be rendered fails in the service, after the
    // submission was taken; meanwhile the page is busy.
    void aFailingSubmissionKeepsTheFinishPageOpen() {
        test::RecordingSeams seams;
        wizardJob();
        faxJob().RecipientNumber(2) = QString();  // the service refuses a recipient without a number
        frmFinish &page = finishPage();
        QSignalSpy failures(&page, &frmFinish::submissionFailed);
        QTest::mouseClick(page.OKButton, Qt::LeftButton);
        QTRY_VERIFY(!page.isSubmitting());
        QCOMPARE(failures.size(), 1);
        QVERIFY2(failures.first().first().toString().contains(u"fax number"_s), qPrintable(failures.first().first().toString()));
        QVERIFY(page.isVisible() && !page.submissionProgress() && page.cursor().shape() == Qt::ArrowCursor);

        std::tie(faxJob().RecipientNumber(2), faxJob().FaxSchedule) = std::tuple(u"222"_s, 0);
        const QString broken = QDir::tempPath() + u"/docs/broken.pdf"_s;
        test::writeFile(broken, "%PDF-1.4 no pdf at all");
        faxJob().Attachments.redim(1);
        faxJob().Attachments(1) = broken;
        QTest::mouseClick(page.OKButton, Qt::LeftButton);
        QVERIFY(page.isSubmitting() && page.submissionProgress());
        QCOMPARE(page.cursor().shape(), Qt::BusyCursor);
        QTest::mouseClick(page.OKButton, Qt::LeftButton);  // a second Finish while busy is ignored
        QTRY_VERIFY_WITH_TIMEOUT(!page.isSubmitting(), 30000);
        QCOMPARE(failures.size(), 2);
        QVERIFY2(failures.last().first().toString().contains(u"broken.pdf"_s), qPrintable(failures.last().first().toString()));
        QVERIFY(page.isVisible() && seams.recorded().exitCodes.isEmpty() && seams.recorded().messages.isEmpty());
        QVERIFY(QFile::exists(faxJob().TempBodyFile));  // the body copy stays for the next try
    }

    // Finish while the preview cannot be deleted (a read-only folder, as a viewer holding it): the deletion is logged, and each fax goes
    // out with the preview as its body and no cover page.
    void finishWithAPreviewThatStaysSendsThePreview() {
        test::RecordingSeams seams;
        wizardJob();
        const QString folder = QDir::tempPath() + u"/viewer"_s, preview = folder + u"/fax20a4.tiff"_s;
        QVERIFY(QDir().mkpath(folder));
        QImage page1(1728, 1100, QImage::Format_Mono);
        page1.fill(1);
        QVERIFY(page1.save(preview, "TIFF"));
        faxJob().PreviewFile = preview;
        QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
        const QStringList before = queued();
        {
            const test::ObeyFilePermissions asAUser;
            QTest::mouseClick(finishPage().OKButton, Qt::LeftButton);
            // The submission runs off the page's thread: the program ends once it is queued.
            QTRY_COMPARE_WITH_TIMEOUT(seams.recorded().exitCodes, QList<int>{0}, 30000);
        }
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QVERIFY(QFile::exists(preview));
        // Besides the preview, only the body copy a fax without attachments never had is logged.
        QVERIFY(test::logged({u"\"frmFinish.FaxPreviewDelete\""_s, u"\"msend.RemovePreviewFile\""_s}));
        QStringList sent;
        for (const QString &job : queued())
            if (!before.contains(job)) sent << job.section(u' ', 1);  // not an earlier test's jobs
        sent.sort();
        QCOMPARE(sent, (QStringList{u"111 0 1"_s, u"222 0 1"_s}));  // no cover page: the preview's one page
    }
};

QTEST_MAIN(TestSubmission)
#include "tst_submission.moc"
