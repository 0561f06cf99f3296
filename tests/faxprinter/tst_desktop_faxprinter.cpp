// The "Sendmere Fax" printer on a private cupsd: `lp` to the wizard on a real X server and on to
// the queue, the backend kept inside the spool, and the package's scripts.
#include "DesktopKit.h"
#include "FaxRender.h"
#include "PrintedDocuments.h"
#include "TestSeams.h"
#include "WizardTestKit.h"
#include "app/Init.h"
#include "platform/fax/FaxClient.h"
#include "wizard/frmCover.h"
#include "wizard/frmFinish.h"
#include "wizard/frmNew.h"
#include "wizard/frmSend.h"

#include <QAccessible>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTcpServer>
#include <QTreeWidget>
#include <csignal>
#include <pwd.h>
#include <sys/stat.h>

using namespace sendmere;
using namespace sendmere::test;
using namespace Qt::StringLiterals;

namespace {

const QString Queue = u"SendmereFax"_s, UnknownUser = u"no-such-user-of-sendmere"_s;
QString myName() { return QString::fromLocal8Bit(::getpwuid(::geteuid())->pw_name); }
QStringList filesIn(const QString &folder) { return QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name); }

struct FileState {
    uint owner = 0, mode = 0;
};
FileState stateOf(const QString &path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? FileState{st.st_uid, st.st_mode & 07777} : FileState{};
}

// A PDF readable by everyone: the print client may run as another user.
QString printable(const QString &path, int pages = 1) {
    writePdf(path, pages);
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    return path;
}

// A cupsd of the test's own in one folder CUPS's user may pass through, on a free local port.
class CupsServer {
public:
    ~CupsServer() {
        if (m_cupsd.state() == QProcess::NotRunning) return;
        ::kill(pid_t(m_cupsd.processId()), SIGTERM);
        if (!m_cupsd.waitForFinished(10000)) ::kill(pid_t(m_cupsd.processId()), SIGKILL), m_cupsd.waitForFinished(5000);
    }
    QString path(const QString &relative) const { return m_root.filePath(relative); }
    QString server() const { return u"127.0.0.1:%1"_s.arg(m_port); }
    QString faxSpool() const { return path(u"faxspool"_s); }
    QString errorLog() const { return QString::fromLocal8Bit(readFile(path(u"log/error_log"_s))); }
    QString jobLog() const { return errorLog().split(u'\n').filter(u"[Job "_s).join(u'\n').right(3000); }

    bool start() {
        for (const char *dir : {"conf/ppd", "serverbin/backend", "spool/tmp", "cache", "state", "log", "faxspool", "documents"})
            if (!QDir().mkpath(path(QString::fromLatin1(dir)))) return false;
        ::chmod(QFile::encodeName(m_root.path()).constData(), 0755);
        for (const char *dir : {"filter", "daemon", "notifier", "monitor", "driver", "cgi-bin"})
            QFile::link(u"/usr/lib/cups/"_s + QLatin1String(dir), path(u"serverbin/"_s + QLatin1String(dir)));
        // As the package installs it: only its owner may run it, so CUPS runs it as root.
        const QString backend = path(u"serverbin/backend/sendmere-fax"_s);
        if (!QFile::copy(QStringLiteral(SENDMERE_FAX_BACKEND), backend)) return false;
        QFile::setPermissions(backend, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost, 0)) return false;
        m_port = probe.serverPort();
        probe.close();
        writeFile(path(u"conf/cups-files.conf"_s),
                  u"ServerRoot %1/conf\nServerBin %1/serverbin\nRequestRoot %1/spool\nTempDir %1/spool/tmp\nCacheDir %1/cache\n"
                  "StateDir %1/state\nAccessLog %1/log/access_log\nErrorLog %1/log/error_log\nPageLog %1/log/page_log\n"
                  "DataDir /usr/share/cups\nFileDevice No\nSandboxing Relaxed\n"_s.arg(m_root.path()).toLocal8Bit());
        writeFile(path(u"conf/cupsd.conf"_s), u"Listen 127.0.0.1:%1\nLogLevel info\nBrowsing No\nWebInterface No\nDefaultAuthType None\n"
                                              "<Location />\nOrder allow,deny\nAllow all\n</Location>\n<Policy default>\n<Limit All>\n"
                                              "Order deny,allow\n</Limit>\n</Policy>\n"_s.arg(m_port).toLocal8Bit());
        m_cupsd.start(u"cupsd"_s, {u"-f"_s, u"-c"_s, path(u"conf/cupsd.conf"_s), u"-s"_s, path(u"conf/cups-files.conf"_s)});
        return m_cupsd.waitForStarted() &&
               QTest::qWaitFor([this] { return lpstat({u"-r"_s}).out.contains(u"scheduler is running"_s); }, 20000);
    }
    ProgramRun lpstat(const QStringList &arguments) const { return runProgram(u"lpstat"_s, QStringList{u"-h"_s, server()} + arguments); }
    // The printer as the package's postinst adds it.
    ProgramRun addPrinter() const {
        return runProgram(u"lpadmin"_s, {u"-h"_s, server(), u"-p"_s, Queue, u"-E"_s, u"-v"_s, u"sendmere-fax:"_s + faxSpool(), u"-P"_s,
                                      QStringLiteral(SENDMERE_FAX_PPD), u"-D"_s, u"Sendmere Fax"_s, u"-o"_s, u"printer-error-policy=abort-job"_s});
    }
    // `lp` as a user would run it; prefix runs it as someone else.
    ProgramRun print(const QString &file, const QStringList &options = {}, const QStringList &prefix = {}) const {
        const QStringList command = prefix + QStringList{u"lp"_s, u"-h"_s, server(), u"-d"_s, Queue} + options + QStringList{file};
        return runProgram(command.constFirst(), command.mid(1));
    }
    bool waitUntilIdle() const { return QTest::qWaitFor([this] { return lpstat({u"-o"_s, Queue}).out.trimmed().isEmpty(); }, 60000); }

private:
    QTemporaryDir m_root{u"/tmp/sendmere-cups-XXXXXX"_s};
    QProcess m_cupsd;
    quint16 m_port = 0;
};

}  // namespace

class TestDesktopFaxPrinter : public QObject {
    Q_OBJECT
    CupsServer m_cups;
    QString document(const QString &name) { return printable(m_cups.path(u"documents/"_s + name)); }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY2(m_cups.start(), qPrintable(m_cups.errorLog()));
        const ProgramRun added = m_cups.addPrinter();
        QVERIFY2(added.code == 0, qPrintable(added.err));
    }

    // The printed document, kept where only the user reads it, opens the wizard; Finish queues it.
    void printingOpensTheWizardAndFinishSendsIt() {
        holdFaxJobsBack();
        RecordingSeams seams;
        const QString kept = QDir::tempPath() + u"/printed"_s, mine = m_cups.faxSpool() + u'/' + myName();
        QVERIFY(!QFileInfo::exists(mine));  // made by the first print
        PrintedDocuments printed(mine, kept);
        printed.start();
        QVERIFY(m_cups.print(printable(m_cups.path(u"documents/Quarterly report.pdf"_s), 2)).code == 0);
        QVERIFY2(QTest::qWaitFor([&] { return seams.recorded().started.size() == 1; }, 30000), qPrintable(m_cups.jobLog()));
        const QString attachment = kept + u"/Quarterly report.pdf"_s;
        QCOMPARE(seams.recorded().started.constFirst(), (QStringList{PrintedDocuments::wizardProgram(), u"new;;;;%1#"_s.arg(attachment)}));
        QCOMPARE(stateOf(attachment).mode, 0600u);
        QCOMPARE(filesIn(mine), QStringList());

        faxJob().UseCoverPage = VbFalse;  // as in a new process: the flag outlives a job reset
        const auto press = [](QWidget *control) { QVERIFY(doAccessibleAction(control, QAccessibleActionInterface::pressAction())); };
        QTimer::singleShot(0, [&] {
            frmNew *recipients = existingPage<frmNew>();
            if (!recipients || !QTest::qWaitFor([&] { return recipients->isActiveWindow(); })) return;
            QVERIFY(setAccessibleText(recipients->txtTo, u"Ann"_s));
            QVERIFY(setAccessibleText(recipients->txtFaxNumber, u"111"_s));
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

        // Links and partial files are left alone, separators never reach the wizard, names get a number.
        const QList<QStringList> &started = seams.recorded().started;
        QVERIFY(QFile::link(u"/etc/hostname"_s, mine + u"/planted.pdf"_s));
        writeFile(mine + u"/.job-900.part"_s, "%PDF-1.4 half written");
        writeFile(mine + u"/.job-901.part"_s, "%PDF-1.4 whole");
        QVERIFY(QFile::rename(mine + u"/.job-901.part"_s, mine + u"/a;b#c.pdf"_s));
        QVERIFY(QTest::qWaitFor([&] { return started.size() == 2; }, 2000));
        QCOMPARE(started.at(1).at(1), u"new;;;;%1/a_b_c.pdf#"_s.arg(kept));
        QVERIFY(m_cups.print(document(u"Quarterly report.pdf"_s)).code == 0);
        QVERIFY2(QTest::qWaitFor([&] { return started.size() == 3; }, 30000), qPrintable(m_cups.jobLog()));
        QCOMPARE(started.at(2).at(1), u"new;;;;%1/Quarterly report (2).pdf#"_s.arg(kept));
        QCOMPARE(filesIn(mine), QStringList({u".job-900.part"_s, u"planted.pdf"_s}));
        QVERIFY(QFileInfo(mine + u"/planted.pdf"_s).isSymLink());
        QVERIFY(QDir(mine).removeRecursively());

        const QTemporaryDir dir;
        PrintedDocuments later(dir.filePath(u"spool/me"_s), dir.filePath(u"kept"_s));
        later.start();
        QTest::qWait(200);
        QVERIFY(QDir().mkpath(dir.filePath(u"spool/me"_s)));
        printable(dir.filePath(u"spool/me/late.pdf"_s));
        QVERIFY(QTest::qWaitFor([&] { return started.size() == 4; }, 8000));
        QCOMPARE(started.at(3).at(1), u"new;;;;%1#"_s.arg(dir.filePath(u"kept/late.pdf"_s)));
    }

    // The backend run as CUPS runs it: its names, and nothing written outside the user's own folder.
    void theBackendKeepsToTheSpool() {
        const QTemporaryDir dir;
        const QString root = dir.filePath(u"spool"_s), mine = root + u'/' + myName(), pdf = printable(dir.filePath(u"in.pdf"_s));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"DEVICE_URI"_s, u"sendmere-fax:"_s + root);
        const auto deliver = [&](const QString &user, const QString &title, const QString &file = {}) {
            return runProgram(QStringLiteral(SENDMERE_FAX_BACKEND), {u"7"_s, user, title, u"1"_s, QString(), file.isEmpty() ? pdf : file}, env);
        };
        const ProgramRun offered = runProgram(QStringLiteral(SENDMERE_FAX_BACKEND), {});
        QCOMPARE(std::pair(offered.code, offered.out), std::pair(0, u"direct sendmere-fax \"Sendmere Fax\" \"Sendmere Fax\"\n"_s));
        QCOMPARE(runProgram(QStringLiteral(SENDMERE_FAX_BACKEND), {u"7"_s, myName()}).code, 1);

        // No double ".pdf", separators or leading dot; no document replaced; long titles cut whole.
        const QString names[][2] = {{u"report.pdf"_s, u"report.pdf"_s},         {u"report.pdf"_s, u"report (2).pdf"_s},
                                    {u"Memo.PDF"_s, u"Memo.pdf"_s},             {u"../a;b#c"_s, u"_a_b_c.pdf"_s},
                                    {u". hidden ."_s, u"hidden.pdf"_s},         {QString(), u"Print job 7.pdf"_s},
                                    {u"Angebot für Müller"_s, u"Angebot für Müller.pdf"_s}, {QString(79, u'x') + u"ü"_s, QString(79, u'x') + u".pdf"_s}};
        for (const auto &[title, name] : names) {
            const ProgramRun delivered = deliver(myName(), title);
            QCOMPARE(delivered.code, 0);
            QVERIFY2(delivered.err.contains(u" as "_s + name + u'\n'), qPrintable(title + u" -> "_s + delivered.err));
            QCOMPARE(stateOf(mine + u'/' + name).mode, 0600u);
        }
        QCOMPARE(stateOf(mine).mode, 0700u);
        // Not a PDF: refused, and nothing is left behind.
        writeFile(dir.filePath(u"note.txt"_s), "just text");
        const ProgramRun notPdf = deliver(myName(), u"note"_s, dir.filePath(u"note.txt"_s));
        QVERIFY(notPdf.code == 5 && notPdf.err.contains(u"not a PDF"_s));
        QCOMPARE(filesIn(mine).size(), qsizetype(std::size(names)));

        // Unknown users and names leading out of the spool: the job is cancelled (5), the printer goes on.
        for (const QString &user : {UnknownUser, u"../"_s + myName(), u".."_s}) {
            const ProgramRun refused = deliver(user, u"x"_s);
            QVERIFY2(refused.code == 5 && refused.err.startsWith(u"ERROR: the user"_s), qPrintable(refused.err));
        }
        QVERIFY(!QFileInfo::exists(root + u'/' + UnknownUser));
        // The user's folder replaced by a link to elsewhere: refused, nothing written there.
        const QString elsewhere = dir.filePath(u"elsewhere"_s);
        QVERIFY(QDir().mkpath(elsewhere) && QDir(mine).removeRecursively() && QFile::link(elsewhere, mine));
        QCOMPARE(deliver(myName(), u"x"_s).code, 5);
        QVERIFY(filesIn(elsewhere).isEmpty() && QFile::remove(mine));
        // A spool root that others may write: nothing is delivered.
        QVERIFY(::chmod(QFile::encodeName(root).constData(), 0777) == 0);
        QVERIFY(deliver(myName(), u"x"_s).code == 1 && !QFileInfo::exists(mine));
        QVERIFY(::chmod(QFile::encodeName(root).constData(), 0755) == 0);
        // As root: another user's folder and document are theirs; a folder someone else owns is not.
        if (const struct passwd *nobody = ::getpwnam("nobody"); ::geteuid() == 0 && nobody) {
            const QString folder = root + u"/nobody"_s, delivered = folder + u"/Quarterly report.pdf"_s;
            QVERIFY(::chmod(QFile::encodeName(dir.path()).constData(), 0755) == 0);  // the user may pass through, as to the spool
            QCOMPARE(deliver(u"nobody"_s, u"Quarterly report"_s).code, 0);
            QCOMPARE(std::tuple(stateOf(folder).owner, stateOf(folder).mode), std::tuple(nobody->pw_uid, 0700u));
            QCOMPARE(std::tuple(stateOf(delivered).owner, stateOf(delivered).mode), std::tuple(nobody->pw_uid, 0600u));
            QVERIFY(QDir(folder).removeRecursively() && QDir().mkpath(folder));
            const ProgramRun foreign = deliver(u"nobody"_s, u"x"_s);
            QVERIFY(foreign.code == 5 && foreign.err.contains(u"belongs to another user"_s));
            QCOMPARE(filesIn(folder), QStringList());
        }
    }

    // Removal, installation (once, however often it runs), purge; without a scheduler, a hint.
    void thePackageAddsAndRemovesThePrinter() {
        const QString spool = m_cups.path(u"package-spool"_s);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"CUPS_SERVER"_s, m_cups.server());
        env.insert(u"SENDMERE_FAX_SPOOL"_s, spool);
        env.insert(u"SENDMERE_FAX_PPD"_s, QStringLiteral(SENDMERE_FAX_PPD));
        const auto script = [&](const char *name, const QString &action) {
            return runProgram(u"sh"_s, {QStringLiteral(SENDMERE_PACKAGE_SCRIPTS "/") + QLatin1String(name), action}, env);
        };
        const auto printerThere = [&] { return m_cups.lpstat({u"-v"_s, Queue}).code == 0; };
        QVERIFY(script("prerm", u"upgrade"_s).code == 0 && printerThere());
        QVERIFY(script("prerm", u"remove"_s).code == 0 && !printerThere());
        for (int run = 0; run < 2; ++run) {
            const ProgramRun installed = script("postinst", u"configure"_s);
            QVERIFY2(installed.code == 0 && installed.err.isEmpty(), qPrintable(installed.err));
        }
        QCOMPARE(m_cups.lpstat({u"-v"_s}).out.trimmed(), u"device for SendmereFax: sendmere-fax:%1"_s.arg(spool));
        QVERIFY(m_cups.lpstat({u"-p"_s, Queue}).out.contains(u"enabled"_s));
        QCOMPARE(stateOf(spool).mode, 0755u);
        QVERIFY(m_cups.print(document(u"installed.pdf"_s)).code == 0);
        QVERIFY(m_cups.waitUntilIdle());
        QVERIFY2(QFileInfo::exists(spool + u'/' + myName() + u"/installed.pdf"_s), qPrintable(m_cups.jobLog()));
        QVERIFY(script("postrm", u"remove"_s).code == 0 && QFileInfo::exists(spool));
        QVERIFY(script("postrm", u"purge"_s).code == 0 && !printerThere() && !QFileInfo::exists(spool));
        env.insert(u"CUPS_SERVER"_s, u"127.0.0.1:1"_s);
        const ProgramRun without = script("postinst", u"configure"_s);
        QVERIFY2(without.code == 0 && without.err.contains(u"CUPS is not running"_s) && without.err.contains(u"lpadmin -p SendmereFax"_s), qPrintable(without.err));
    }
};

QTEST_MAIN(TestDesktopFaxPrinter)
#include "tst_desktop_faxprinter.moc"
