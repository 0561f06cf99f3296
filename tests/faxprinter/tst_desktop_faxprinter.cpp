// Print to fax from any application, on a real X server: a PDF printed with `lp` to the
// "Sendmere Fax" printer of a real cupsd reaches the session's part, which opens the wizard
// with it as the attachment; the user adds a recipient, goes through the pages with
// accessibility actions, and Finish queues the printed document as the fax.
#include "CupsServer.h"
#include "DesktopKit.h"
#include "FaxRender.h"
#include "PrintedDocuments.h"
#include "TestSeams.h"
#include "WizardTestKit.h"
#include "app/Init.h"
#include "platform/fax/FaxClient.h"
#include "services/FormPage.h"
#include "wizard/frmCover.h"
#include "wizard/frmFinish.h"
#include "wizard/frmNew.h"
#include "wizard/frmSend.h"

#include <QAccessible>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

using namespace sendmere;
using namespace Qt::StringLiterals;

class TestDesktopFaxPrinter : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void printingOpensTheWizardAndFinishSendsIt() {
        test::holdFaxJobsBack();
        test::CupsServer cups;
        QVERIFY2(cups.start(), qPrintable(cups.errorLog()));
        QVERIFY(cups.addPrinter().code == 0);

        test::RecordingSeams seams;
        const QString kept = QDir::tempPath() + u"/printed"_s;
        PrintedDocuments printed(cups.faxSpool() + u'/' + test::myName(), kept);
        printed.start();
        const QString report = cups.path(u"documents/Quarterly report.pdf"_s);
        test::writePdf(report, 2);
        QFile::setPermissions(report, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
        QVERIFY(cups.print(report).code == 0);
        QVERIFY2(QTest::qWaitFor([&] { return seams.recorded().started.size() == 1; }, 30000), qPrintable(cups.jobLog()));
        const QString attachment = kept + u"/Quarterly report.pdf"_s;
        QCOMPARE(seams.recorded().started.constFirst().at(1), u"new;;;;%1#"_s.arg(attachment));
        cups.stop();

        // The wizard as that start opens it, driven without a mouse.
        faxJob().UseCoverPage = VbFalse;  // as in a new process: the flag outlives a job reset
        const auto press = [](QWidget *control) {
            QVERIFY(test::doAccessibleAction(control, QAccessibleActionInterface::pressAction()));
        };
        QTimer::singleShot(0, [&] {
            frmNew *recipients = existingPage<frmNew>();
            if (!recipients || !QTest::qWaitFor([&] { return recipients->isActiveWindow(); })) return;
            QVERIFY(test::setAccessibleText(recipients->txtTo, u"Ann"_s));
            QVERIFY(test::setAccessibleText(recipients->txtFaxNumber, u"111"_s));
            press(recipients->cmdAdd);
            QTRY_COMPARE(recipients->lvRecipients->topLevelItemCount(), 1);
            press(recipients->btnNext);
        });
        runEntry(seams.recorded().started.constFirst().at(1));

        QTRY_VERIFY(existingPage<frmCover>() && existingPage<frmCover>()->isActiveWindow());
        QCOMPARE(existingPage<frmCover>()->txtAttachment->text(), attachment);
        press(existingPage<frmCover>()->cmdNext);
        QTRY_VERIFY(existingPage<frmSend>() && existingPage<frmSend>()->isActiveWindow());
        press(existingPage<frmSend>()->btnNext);
        QTRY_VERIFY(existingPage<frmFinish>() && existingPage<frmFinish>()->isActiveWindow());
        press(existingPage<frmFinish>()->OKButton);
        QTRY_COMPARE_WITH_TIMEOUT(seams.recorded().exitCodes, QList<int>{0}, 60000);

        // The fax is the printed document: both its pages, to the recipient chosen.
        fax::FaxServer server;
        server.Connect(QString());
        const fax::FaxOutgoingJobs jobs = server.Folders().OutgoingQueue().GetJobs();
        QCOMPARE(jobs.Count(), 1);
        QCOMPARE(QStringList({jobs.Item(1).Recipient().Name, jobs.Item(1).Recipient().FaxNumber}), QStringList({u"Ann"_s, u"111"_s}));
        QCOMPARE(jobs.Item(1).Pages(), 2);
        const QString image = QDir::tempPath() + u"/printed.tiff"_s;
        jobs.Item(1).CopyTiff(image);
        QCOMPARE(render::tiffPageCount(image), 2);
        server.Disconnect();
    }
};

QTEST_MAIN(TestDesktopFaxPrinter)
#include "tst_desktop_faxprinter.moc"
