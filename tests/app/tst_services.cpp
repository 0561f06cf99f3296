// The shared services: the error log, the failure helpers, the fax job, temporary files, the sender information store and the
// default-mail-client switch.
#include "TestSupport.h"
#include "app/Init.h"
#include "job/FaxJob.h"
#include "job/SenderInfo.h"
#include "platform/Failures.h"
#include "services/CWinReg.h"
#include "session/mCommon.h"

#include <QtTest>

using namespace sendmere;
using namespace Qt::StringLiterals;

namespace {

const QFile::Permissions UserOnly = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser;

// Sets or clears the registered class of a component (the mail client, its messaging session).
void registerComponent(const QString &component, const QString &classId) {
    CWinReg classes;
    QVERIFY(classes.OpenKey(classes.HKEY_CLASSES_ROOT(), component + u"\\CLSID"_s, false));
    QVERIFY(classId.isEmpty() ? classes.DeleteValue(QString()) : classes.SetStringValue(QString(), classId));
}

}  // namespace

class TestServices : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() { test::clearErrorLog(); }

    void errorLogRecordsAndTheirFallback() {
        WriteErrorLog(91, u"Object variable, \"or\" With block"_s, u"msend.GenerateFax"_s);
        WriteErrorLog(-2147221233, u"Not found"_s, u"frmCover.Click"_s);
        WriteErrorLog(53, u"File a%1b%5 not found"_s, u"mod.%2A"_s);  // place holders are written as they are
        QFile file(QCoreApplication::applicationDirPath() + u"/Errors.log"_s);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        const QList<QByteArray> lines = bytes.split('\n');
        QCOMPARE(lines.size(), 4);  // three records, each ended by CR LF
        QVERIFY(bytes.endsWith("#\r\n"));
        const QRegularExpression first(
            uR"(^91,"Object variable, "or" With block","msend\.GenerateFax","ver",1,#\d{4}-\d\d-\d\d \d\d:\d\d:\d\d#\r$)"_s);
        QVERIFY2(first.match(QString::fromUtf8(lines[0])).hasMatch(), lines[0].constData());
        QVERIFY(lines[1].startsWith("-2147221233,\"Not found\",\"frmCover.Click\",\"ver\",1,#"));
        const QDateTime stamp = QDateTime::fromString(QString::fromUtf8(lines[1].mid(lines[1].indexOf('#') + 1, 19)), u"yyyy-MM-dd hh:mm:ss"_s);
        QVERIFY(qAbs(stamp.secsTo(QDateTime::currentDateTime())) < 5);
        QVERIFY2(lines[2].startsWith("53,\"File a%1b%5 not found\",\"mod.%2A\",\"ver\",1,#20"), lines[2].constData());
        // Its records carry paths and numbers: the user's alone.
        QCOMPARE(file.permissions() | QFile::ReadUser | QFile::WriteUser, UserOnly);

        // Where the program's folder takes no records, they go to the user's state folder.
        QVERIFY(file.remove() && QDir().mkdir(file.fileName()));  // a folder in the log's place cannot be appended to
        WriteErrorLog(5, u"Invalid procedure call or argument"_s, u"mCommon.Start"_s);
        QDir().rmdir(file.fileName());
        QFile fallback(qEnvironmentVariable("XDG_STATE_HOME") + u"/sendmere/Errors.log"_s);
        QVERIFY(fallback.open(QIODevice::ReadOnly));
        QVERIFY(fallback.readAll().startsWith("5,\"Invalid procedure call or argument\",\"mCommon.Start\""));
        QCOMPARE(fallback.permissions() | QFile::ReadUser | QFile::WriteUser, UserOnly);
        QCOMPARE(QFile::permissions(QFileInfo(fallback.fileName()).path()) | QFile::ReadUser | QFile::WriteUser | QFile::ExeUser,
                 UserOnly | QFile::ExeOwner | QFile::ExeUser);
    }

    void failureHelpers() {
        QVERIFY(!logFailures(u"mod.Proc"_s, [] { throw AutomationError(53, u"File not found"_s); }));
        QVERIFY(!logFailures(u"mod.Other"_s, [] { throw std::runtime_error("disk on fire"); }));
        QVERIFY(logFailures(u"mod.Fine"_s, [] {}));
        const QStringList lines = test::errorLogLines();
        QVERIFY(lines.size() == 2 && lines[0].startsWith(u"53,\"File not found\",\"mod.Proc\""_s));
        QVERIFY(lines[1].startsWith(u"440,\"disk on fire\",\"mod.Other\""_s));

        ResumeNext steps;  // each step runs; the last failure is the one logged
        int ran = 0;
        for (const int number : {13, 0, 9})
            steps.step([&] {
                ++ran;
                if (number) throw AutomationError(number, number == 9 ? u"Subscript out of range"_s : u"Type mismatch"_s);
            });
        QVERIFY(ran == 3 && steps.number() == 9);
        steps.logAndClear(u"frmNew.cmdAddress"_s);
        QVERIFY(!steps.failed());
        QVERIFY(test::errorLogLines().last().startsWith(u"9,\"Subscript out of range\",\"frmNew.cmdAddress\""_s));
    }

    // A reset empties the lists and puts the wizard's defaults back; the sender and the cover page flag outlive it. Temporary files are
    // new, empty and in the temporary directory.
    void faxJobResetAndTemporaryFiles() {
        FaxJob &job = faxJob();
        job.SenderFullName = u"Kept Sender"_s;
        job.UseCoverPage = VbTrue;
        job.FaxSubject = u"old"_s;
        job.RecipientName.redim(3);
        ResetFaxJob();
        for (const auto *list : {&job.RecipientName, &job.RecipientNumber, &job.Attachments, &job.CoverPages}) QCOMPARE(list->upperBound(), 0);
        QVERIFY(job.FaxPriority == 1 && job.FaxSchedule == 0 && job.CoverIndex == 0 && job.FaxSubject.isEmpty());
        QVERIFY(qAbs(job.DTFaxSend.secsTo(QDateTime::currentDateTime())) <= 1);
        QVERIFY(job.SenderFullName == u"Kept Sender"_s && job.UseCoverPage == VbTrue);
        const QString dir = mCommon::GetTempDir(), first = mCommon::GetTempFile(), second = mCommon::GetTempFile();
        QVERIFY(dir == QDir::tempPath() + u'/' && first != second);
        for (const QString &path : {first, second}) QVERIFY(QFileInfo(path).size() == 0 && QFileInfo(path).absolutePath() + u'/' == dir);
        QVERIFY(FileExists(first) && !FileExists(dir) && !FileExists(first + u".missing"_s));
        QVERIFY(test::errorLogLines().isEmpty());
    }

    // Every field of the sender has its registry value; a first run creates the key and clears every field.
    void senderInformationRoundTrip() {
        FaxJob &job = faxJob();
        job.SenderFullName = u"stale"_s;
        GetSenderInfo();
        QVERIFY(job.SenderFullName.isEmpty());
        const std::pair<const char *, QString FaxJob::*> fields[] = {
            {"Address", &FaxJob::SenderAddress}, {"BillingCode", &FaxJob::SenderBillingCode}, {"Company", &FaxJob::SenderCompany},
            {"Department", &FaxJob::SenderDepartment}, {"MailBox", &FaxJob::SenderEmail}, {"FaxNumber", &FaxJob::SenderfaxNumber},
            {"FullName", &FaxJob::SenderFullName}, {"HomePhone", &FaxJob::SenderHomePhone}, {"Title", &FaxJob::SenderTitle},
            {"Office", &FaxJob::SenderOffice}, {"OfficePhone", &FaxJob::SenderWorkPhone}};
        for (const auto &[name, field] : fields) job.*field = u"%1 \"Ørsted\""_s.arg(QLatin1String(name));
        SetSenderInfo();
        CWinReg reg;
        QVERIFY(reg.OpenKey(reg.HKEY_CURRENT_USER(), u"Software\\Microsoft\\Fax\\UserInfo"_s, false));
        for (const auto &[name, field] : fields) {
            QCOMPARE(reg.GetStringValue(QLatin1String(name)), job.*field);
            job.*field = u"changed"_s;
        }
        GetSenderInfo();
        for (const auto &[name, field] : fields) QCOMPARE(job.*field, u"%1 \"Ørsted\""_s.arg(QLatin1String(name)));
        QVERIFY(test::errorLogLines().isEmpty());
    }

    // While the messaging session cannot be made, every call asks for it again: the switch is made once, and ShutDown puts the user's
    // choice back all the same. Without the mail client's registration the switch does nothing.
    void defaultMailClientSwitch() {
        const QString clients = u"SOFTWARE\\Clients\\Mail"_s;
        const auto setDefault = [](const QString &key, const QString &value) {
            CWinReg reg;
            return reg.OpenKey(reg.HKEY_LOCAL_MACHINE(), key, true) && reg.SetStringValue(QString(), value);
        };
        const auto defaultClient = [&] {
            CWinReg reg;
            return reg.OpenKey(reg.HKEY_LOCAL_MACHINE(), clients, false) ? reg.GetStringValue(QString()) : QString();
        };
        QVERIFY(setDefault(clients, u"Other Mail"_s));
        mCommon::SetDefaultMailClient(true);
        QCOMPARE(defaultClient(), u"Microsoft Outlook"_s);
        mCommon::SetDefaultMailClient(false);
        QCOMPARE(defaultClient(), u"Other Mail"_s);

        CWinReg classes;
        QVERIFY(classes.OpenKey(classes.HKEY_CLASSES_ROOT(), u"MAPI.Session\\CLSID"_s, false));
        const QString sessionClass = classes.GetStringValue(QString());
        registerComponent(u"MAPI.Session"_s, {});
        for (int call = 0; call < 3; ++call) QVERIFY(mCommon::GetCdoSession() == nullptr);
        QCOMPARE(defaultClient(), u"Microsoft Outlook"_s);
        for (int call = 0; call < 2; ++call) {  // the second has nothing more to put back
            mCommon::ShutDown();
            QCOMPARE(defaultClient(), u"Other Mail"_s);
        }
        registerComponent(u"MAPI.Session"_s, sessionClass);
        QVERIFY(setDefault(clients + u"\\Microsoft Outlook"_s, QString()));
        mCommon::SetDefaultMailClient(true);
        QCOMPARE(defaultClient(), u"Other Mail"_s);
    }

    // With the mail client and its messaging session unregistered, no mail client can be reached: the getters return nothing, and Start
    // logs its stop.
    void connectionsWithoutMailClient() {
        registerComponent(u"Outlook.Application"_s, {});
        registerComponent(u"MAPI.Session"_s, {});
        QVERIFY(!mCommon::GetOutlookApp() && !mCommon::GetMailNamespace() && !mCommon::GetCdoSession());
        mCommon::ShutDown();
        QVERIFY(test::errorLogLines().isEmpty());
        mCommon::Start(false);
        const QStringList lines = test::errorLogLines();
        QVERIFY(lines.size() == 1 && lines[0].startsWith(u"91,\"Object variable or With block variable not set\",\"mCommon.Start\""_s));
    }

    // The local fax service starts by itself; with no call ringing, "recv" has nothing to answer and logs the failure (the answered call is
    // the bridge tests').
    void faxDeviceProbeAndAnswer() {
        QVERIFY(mCommon::CheckFaxDevice() && !mCommon::GetFaxName().isEmpty());
        QVERIFY(test::errorLogLines().isEmpty());
        runEntry(u"recv"_s);
        const QStringList lines = test::errorLogLines();
        QVERIFY2(lines.size() == 1 && lines[0].contains(u",\"Sendmere.FaxRecv\",\"ver\","_s), qPrintable(lines.join(u'\n')));
    }
};

QTEST_MAIN(TestServices)
#include "tst_services.moc"
