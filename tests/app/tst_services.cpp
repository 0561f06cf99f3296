// The shared services: the error log, the failure helpers, the fax job, temporary files,
// the sender information store and the default-mail-client switch.
#include "TestSupport.h"
#include "app/Init.h"
#include "job/FaxJob.h"
#include "job/SenderInfo.h"
#include "platform/Failures.h"
#include "services/CWinReg.h"
#include "session/mCommon.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QtTest>

using namespace sendmere;

class TestServices : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() { test::clearErrorLog(); }

    void errorLogRecordsAreAppendedInTheirFormat() {
        WriteErrorLog(91, QStringLiteral("Object variable, \"or\" With block"), QStringLiteral("msend.GenerateFax"));
        WriteErrorLog(-2147221233, QStringLiteral("Not found"), QStringLiteral("frmCover.Click"));
        // Texts that look like place holders are written as they are.
        WriteErrorLog(53, QStringLiteral("File a%1b%5 not found"), QStringLiteral("mod.%2A"));
        QFile file(QCoreApplication::applicationDirPath() + QStringLiteral("/Errors.log"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        const QList<QByteArray> lines = bytes.split('\n');
        QCOMPARE(lines.size(), 4);  // three records, each ended by CR LF
        QVERIFY(bytes.endsWith("#\r\n"));
        const QRegularExpression first(QStringLiteral(
            R"(^91,"Object variable, "or" With block","msend\.GenerateFax","ver",1,#\d{4}-\d\d-\d\d \d\d:\d\d:\d\d#\r$)"));
        QVERIFY2(first.match(QString::fromUtf8(lines[0])).hasMatch(), lines[0].constData());
        QVERIFY(lines[1].startsWith("-2147221233,\"Not found\",\"frmCover.Click\",\"ver\",1,#"));
        const QDateTime stamp = QDateTime::fromString(QString::fromUtf8(lines[1].mid(lines[1].indexOf('#') + 1, 19)),
                                                      QStringLiteral("yyyy-MM-dd hh:mm:ss"));
        QVERIFY(qAbs(stamp.secsTo(QDateTime::currentDateTime())) < 5);
        QVERIFY2(lines[2].startsWith("53,\"File a%1b%5 not found\",\"mod.%2A\",\"ver\",1,#20"), lines[2].constData());
        // Its records carry paths and numbers: the user's alone.
        QCOMPARE(QFileInfo(file.fileName()).permissions() & ~(QFile::ReadUser | QFile::WriteUser), QFile::ReadOwner | QFile::WriteOwner);
    }

    // Where the program's folder takes no records, they go to the user's state folder.
    void errorLogFallsBackWhenTheProgramFolderRefuses() {
        const QString blocked = QCoreApplication::applicationDirPath() + QStringLiteral("/Errors.log");
        QVERIFY(QDir().mkdir(blocked));  // a folder in the log's place cannot be appended to
        WriteErrorLog(5, QStringLiteral("Invalid procedure call or argument"), QStringLiteral("mCommon.Start"));
        QDir().rmdir(blocked);
        QFile fallback(qEnvironmentVariable("XDG_STATE_HOME") + QStringLiteral("/sendmere/Errors.log"));
        QVERIFY(fallback.open(QIODevice::ReadOnly));
        QVERIFY(fallback.readAll().startsWith("5,\"Invalid procedure call or argument\",\"mCommon.Start\""));
        QCOMPARE(fallback.permissions() & ~(QFile::ReadUser | QFile::WriteUser), QFile::ReadOwner | QFile::WriteOwner);
        const auto folder = QFileInfo(QFileInfo(fallback.fileName()).path()).permissions();
        QCOMPARE(folder & ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }

    void failureHelpers() {
        QVERIFY(!logFailures(QStringLiteral("mod.Proc"), [] { throw AutomationError(53, QStringLiteral("File not found")); }));
        QVERIFY(!logFailures(QStringLiteral("mod.Other"), [] { throw std::runtime_error("disk on fire"); }));
        QVERIFY(logFailures(QStringLiteral("mod.Fine"), [] {}));
        const QStringList lines = test::errorLogLines();
        QCOMPARE(lines.size(), 2);
        QVERIFY(lines[0].startsWith(QStringLiteral("53,\"File not found\",\"mod.Proc\"")));
        QVERIFY(lines[1].startsWith(QStringLiteral("440,\"disk on fire\",\"mod.Other\"")));

        ResumeNext steps;
        int ran = 0;
        steps.step([&] { ++ran; throw AutomationError(13, QStringLiteral("Type mismatch")); });
        steps.step([&] { ++ran; });
        steps.step([&] { ++ran; throw AutomationError::subscriptOutOfRange(); });
        QCOMPARE(ran, 3);
        QCOMPARE(steps.number(), 9);
        steps.logAndClear(QStringLiteral("frmNew.cmdAddress"));
        QVERIFY(!steps.failed());
        QVERIFY(test::errorLogLines().last().startsWith(QStringLiteral("9,\"Subscript out of range\",\"frmNew.cmdAddress\"")));
    }

    void faxJobListsAndReset() {
        IndexedList<QString> never;
        QCOMPARE(never.upperBound(), -1);
        QVERIFY_THROWS_EXCEPTION(AutomationError, never(0));

        FaxJob &job = faxJob();
        job.SenderFullName = QStringLiteral("Kept Sender");
        job.UseCoverPage = VbTrue;
        job.FaxSubject = QStringLiteral("old");
        job.RecipientName.redim(3);
        ResetFaxJob();
        QCOMPARE(job.RecipientName.upperBound(), 0);
        QCOMPARE(job.RecipientNumber.upperBound(), 0);
        QCOMPARE(job.Attachments.upperBound(), 0);
        QCOMPARE(job.CoverPages.upperBound(), 0);
        QCOMPARE(job.FaxPriority, 1);
        QCOMPARE(job.FaxSchedule, 0);
        QCOMPARE(job.CoverIndex, qint16(0));
        QVERIFY(job.FaxSubject.isEmpty());
        QVERIFY(qAbs(job.DTFaxSend.secsTo(QDateTime::currentDateTime())) <= 1);
        QCOMPARE(job.SenderFullName, QStringLiteral("Kept Sender"));
        QCOMPARE(job.UseCoverPage, VbTrue);

        job.RecipientName.redimPreserve(2);
        job.RecipientName(2) = QStringLiteral("Bob");
        job.RecipientName.redimPreserve(3);
        QCOMPARE(job.RecipientName(2), QStringLiteral("Bob"));
        QVERIFY_THROWS_EXCEPTION(AutomationError, (void)job.RecipientName(4));  // logged as 9, see failureHelpers
    }

    void temporaryFiles() {
        const QString dir = mCommon::GetTempDir();
        QCOMPARE(dir, QDir::tempPath() + QLatin1Char('/'));
        const QString first = mCommon::GetTempFile();
        const QString second = mCommon::GetTempFile();
        QVERIFY(first != second);
        for (const QString &path : {first, second}) {
            QVERIFY(QFileInfo(path).isFile());
            QCOMPARE(QFileInfo(path).size(), 0);
            QCOMPARE(QFileInfo(path).absolutePath() + QLatin1Char('/'), dir);
            QVERIFY2(QRegularExpression(QStringLiteral("^Fax[0-9A-F]{1,4}\\.tmp$")).match(QFileInfo(path).fileName()).hasMatch(),
                     qPrintable(path));
        }
        QVERIFY(FileExists(first));
        QVERIFY(!FileExists(dir));
        QVERIFY(!FileExists(first + QStringLiteral(".missing")));
        QVERIFY(test::errorLogLines().isEmpty());
    }

    void senderInformationRoundTrip() {
        // A first run creates the key and clears every field.
        FaxJob &job = faxJob();
        job.SenderFullName = QStringLiteral("stale");
        GetSenderInfo();
        QVERIFY(job.SenderFullName.isEmpty());
        CWinReg reg;
        QVERIFY(reg.OpenKey(reg.HKEY_CURRENT_USER(), QStringLiteral("Software\\Microsoft\\Fax\\UserInfo"), false));
        reg.CloseKey();

        job.SenderAddress = QStringLiteral("1 Quay Street");
        job.SenderBillingCode = QStringLiteral("B-7");
        job.SenderCompany = QStringLiteral("Harbour \"Works\"");
        job.SenderEmail = QStringLiteral("ann@example.org");
        job.SenderFullName = QStringLiteral("Ann Ørsted");
        job.SenderWorkPhone = QStringLiteral("555-0102");
        const FaxJob saved = job;
        SetSenderInfo();
        QVERIFY(reg.OpenKey(reg.HKEY_CURRENT_USER(), QStringLiteral("Software\\Microsoft\\Fax\\UserInfo"), false));
        QCOMPARE(reg.GetStringValue(QStringLiteral("MailBox")), QStringLiteral("ann@example.org"));
        QCOMPARE(reg.GetStringValue(QStringLiteral("OfficePhone")), QStringLiteral("555-0102"));
        reg.CloseKey();

        job.SenderAddress.clear();
        job.SenderFullName = QStringLiteral("changed");
        GetSenderInfo();
        QCOMPARE(job.SenderAddress, saved.SenderAddress);
        QCOMPARE(job.SenderCompany, saved.SenderCompany);
        QCOMPARE(job.SenderFullName, saved.SenderFullName);
        QCOMPARE(job.SenderWorkPhone, saved.SenderWorkPhone);
        QCOMPARE(job.SenderBillingCode, saved.SenderBillingCode);
        QVERIFY(test::errorLogLines().isEmpty());
    }

    void defaultMailClientSwitch() {
        const QString clients = QStringLiteral("SOFTWARE\\Clients\\Mail");
        const auto setDefault = [](const QString &key, const QString &value) {
            CWinReg reg;
            return reg.OpenKey(reg.HKEY_LOCAL_MACHINE(), key, true) && reg.SetStringValue(QString(), value);
        };
        const auto defaultClient = [&] {
            CWinReg reg;
            return reg.OpenKey(reg.HKEY_LOCAL_MACHINE(), clients, false) ? reg.GetStringValue(QString()) : QString();
        };
        QVERIFY(setDefault(clients, QStringLiteral("Other Mail")));
        mCommon::SetDefaultMailClient(true);
        QCOMPARE(defaultClient(), QStringLiteral("Microsoft Outlook"));
        mCommon::SetDefaultMailClient(false);
        QCOMPARE(defaultClient(), QStringLiteral("Other Mail"));

        // While the messaging session cannot be made, every call asks for it again: the
        // switch is made once, and ShutDown puts the user's choice back all the same.
        CWinReg classes;
        QVERIFY(classes.OpenKey(classes.HKEY_CLASSES_ROOT(), QStringLiteral("MAPI.Session\\CLSID"), false));
        const QString sessionClass = classes.GetStringValue(QString());
        QVERIFY(classes.DeleteValue(QString()));
        classes.CloseKey();
        for (int call = 0; call < 3; ++call) QVERIFY(mCommon::GetCdoSession() == nullptr);
        QCOMPARE(defaultClient(), QStringLiteral("Microsoft Outlook"));
        mCommon::ShutDown();
        QCOMPARE(defaultClient(), QStringLiteral("Other Mail"));
        mCommon::ShutDown();  // nothing more to put back
        QCOMPARE(defaultClient(), QStringLiteral("Other Mail"));
        QVERIFY(classes.OpenKey(classes.HKEY_CLASSES_ROOT(), QStringLiteral("MAPI.Session\\CLSID"), false));
        QVERIFY(classes.SetStringValue(QString(), sessionClass));
        classes.CloseKey();

        // Without the mail client's registration the switch does nothing.
        QVERIFY(setDefault(clients + QStringLiteral("\\Microsoft Outlook"), QString()));
        mCommon::SetDefaultMailClient(true);
        QCOMPARE(defaultClient(), QStringLiteral("Other Mail"));
    }

    // With the mail client and its messaging session unregistered, no mail client can be
    // reached: the getters return nothing, and Start logs its stop.
    void connectionsWithoutMailClient() {
        CWinReg classes;
        for (const char *component : {"Outlook.Application", "MAPI.Session"}) {
            QVERIFY(classes.OpenKey(classes.HKEY_CLASSES_ROOT(), QLatin1String(component) + QStringLiteral("\\CLSID"), false));
            QVERIFY(classes.DeleteValue(QString()));
            classes.CloseKey();
        }
        QVERIFY(mCommon::GetOutlookApp() == nullptr);
        QVERIFY(mCommon::GetMailNamespace() == nullptr);
        QVERIFY(mCommon::GetCdoSession() == nullptr);
        QVERIFY(test::errorLogLines().isEmpty());
        mCommon::ShutDown();
        QVERIFY(test::errorLogLines().isEmpty());
        mCommon::Start(false);
        const QStringList lines = test::errorLogLines();
        QCOMPARE(lines.size(), 1);
        QVERIFY(lines[0].startsWith(QStringLiteral("91,\"Object variable or With block variable not set\",\"mCommon.Start\"")));
    }

    // The local fax service starts by itself; with no call ringing, "recv" has nothing to
    // answer and logs the failure (the answered call is the bridge tests').
    void faxDeviceProbeAndAnswer() {
        QVERIFY(mCommon::CheckFaxDevice());
        QVERIFY(!mCommon::GetFaxName().isEmpty());
        QVERIFY(test::errorLogLines().isEmpty());
        runEntry(QStringLiteral("recv"));
        const QStringList lines = test::errorLogLines();
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines[0].contains(QStringLiteral(",\"Sendmere.FaxRecv\",\"ver\",")), qPrintable(lines[0]));
    }
};

QTEST_MAIN(TestServices)
#include "tst_services.moc"
