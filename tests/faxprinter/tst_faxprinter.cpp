// The "Sendmere Fax" printer as a user meets it: a real cupsd started here in a private folder
// (CupsServer.h), the printer added as the package adds it, and documents printed with `lp`.
// A printed document reaches the printing user's spool folder as a PDF only they can read, an
// unknown user's job is refused, and the session's part opens the fax wizard with it. The
// backend alone is checked for everything that must keep it inside the spool.
#include "CupsServer.h"
#include "PrintedDocuments.h"
#include "TestSeams.h"

#include <QFileInfo>

using namespace sendmere;
using namespace sendmere::test;
using namespace Qt::StringLiterals;

namespace {
const QString UnknownUser = u"no-such-user-of-sendmere"_s;
QStringList filesIn(const QString &folder) { return QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name); }
}  // namespace

class TestFaxPrinter : public QObject {
    Q_OBJECT
    CupsServer m_cups;

    QString document(const QString &name, const QString &text) {
        writeTextPdf(m_cups.path(u"documents/"_s + name), text);
        return m_cups.path(u"documents/"_s + name);
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY2(m_cups.start(), qPrintable(m_cups.errorLog()));
        const Ran added = m_cups.addPrinter();
        QVERIFY2(added.code == 0, qPrintable(added.err));
        QVERIFY(m_cups.lpstat({u"-v"_s, Queue}).out.contains(u"sendmere-fax:"_s + m_cups.faxSpool()));
    }

    // Printed by the user of the session, the document opens the wizard, taken out of the spool
    // into a file only the user reads; the folder does not exist before the first print.
    void aPrintedDocumentOpensTheWizard() {
        test::RecordingSeams seams;
        const QList<QStringList> &started = seams.recorded().started;
        const QString kept = QDir::tempPath() + u"/printed"_s, mine = m_cups.faxSpool() + u'/' + myName();
        QVERIFY(!QFileInfo::exists(mine));
        PrintedDocuments printed(mine, kept);
        printed.start();
        const Ran lp = m_cups.print(document(u"Invoice 42.pdf"_s, u"Invoice 42"_s));
        QVERIFY2(lp.code == 0, qPrintable(lp.err));
        QVERIFY2(QTest::qWaitFor([&] { return started.size() == 1; }, 30000), qPrintable(m_cups.jobLog()));
        const QString taken = kept + u"/Invoice 42.pdf"_s;
        QCOMPARE(started.constFirst(), (QStringList{PrintedDocuments::wizardProgram(), u"new;;;;%1#"_s.arg(taken)}));
        QVERIFY(test::readFile(taken).startsWith("%PDF-"));
        QCOMPARE(stateOf(taken).mode, 0600u);
        QCOMPARE(filesIn(mine), QStringList());

        // Once the folder is watched, a delivered document opens the wizard within 2 s. What is
        // no plain file of the user (a link planted there) or not whole yet is left alone, and
        // the command line's separators never reach the wizard.
        QVERIFY(QFile::link(u"/etc/hostname"_s, mine + u"/planted.pdf"_s));
        test::writeFile(mine + u"/.job-900.part"_s, "%PDF-1.4 half written");
        test::writeFile(mine + u"/.job-901.part"_s, "%PDF-1.4 whole");
        QVERIFY(QFile::rename(mine + u"/.job-901.part"_s, mine + u"/a;b#c.pdf"_s));
        QVERIFY(QTest::qWaitFor([&] { return started.size() == 2; }, 2000));
        QCOMPARE(started.at(1).at(1), u"new;;;;%1/a_b_c.pdf#"_s.arg(kept));
        QTest::qWait(300);
        QCOMPARE(started.size(), 2);
        QCOMPARE(filesIn(mine), QStringList({u".job-900.part"_s, u"planted.pdf"_s}));
        QVERIFY(stateOf(mine + u"/planted.pdf"_s).link);
        QFile::remove(mine + u"/planted.pdf"_s);
        QFile::remove(mine + u"/.job-900.part"_s);

        // The same name again is kept beside the first.
        QVERIFY(m_cups.print(document(u"Invoice 42.pdf"_s, u"Invoice 42 again"_s)).code == 0);
        QVERIFY(QTest::qWaitFor([&] { return started.size() == 3; }, 30000));
        QCOMPARE(started.at(2).at(1), u"new;;;;%1/Invoice 42 (2).pdf#"_s.arg(kept));

        // A printer set up while the session runs: its spool appears later and is found.
        const QTemporaryDir dir;
        PrintedDocuments later(dir.filePath(u"spool/me"_s), dir.filePath(u"kept"_s));
        later.start();
        QTest::qWait(200);
        QVERIFY(QDir().mkpath(dir.filePath(u"spool/me"_s)));
        writeTextPdf(dir.filePath(u"spool/me/late.pdf"_s), u"late"_s);
        QVERIFY(QTest::qWaitFor([&] { return started.size() == 4; }, 8000));
        QCOMPARE(started.at(3).at(1), u"new;;;;%1#"_s.arg(dir.filePath(u"kept/late.pdf"_s)));
    }

    // Each user's documents in a folder of their own that only they can open; an unknown user's
    // job is cancelled and the printer goes on with the next.
    void printingDeliversToThePrintingUser() {
        if (const struct passwd *nobody = ::getpwnam("nobody"); ::geteuid() == 0) {  // only root prints as another user
            QVERIFY(nobody);
            const Ran lp = m_cups.print(document(u"report.pdf"_s, u"Quarterly report"_s), {u"-t"_s, u"Quarterly report"_s},
                                        {u"setpriv"_s, u"--reuid=%1"_s.arg(nobody->pw_uid), u"--regid=%1"_s.arg(nobody->pw_gid), u"--clear-groups"_s});
            QVERIFY2(lp.code == 0, qPrintable(lp.err));
            QVERIFY(m_cups.waitUntilIdle());
            const QString folder = m_cups.faxSpool() + u"/nobody"_s, delivered = folder + u"/Quarterly report.pdf"_s;
            QVERIFY2(test::readFile(delivered).startsWith("%PDF-"), qPrintable(m_cups.jobLog()));
            QCOMPARE(stateOf(folder).owner, nobody->pw_uid);
            QCOMPARE(stateOf(folder).mode, 0700u);
            QCOMPARE(stateOf(delivered).owner, nobody->pw_uid);
            QCOMPARE(stateOf(delivered).mode, 0600u);
        }

        QVERIFY(m_cups.print(document(u"unknown.pdf"_s, u"from nobody known"_s), {u"-U"_s, UnknownUser}).code == 0);
        QVERIFY(m_cups.waitUntilIdle());
        QVERIFY(!QFileInfo::exists(m_cups.faxSpool() + u'/' + UnknownUser));
        QVERIFY2(m_cups.errorLog().contains(u"the user \\\"%1\\\" is not known"_s.arg(UnknownUser)), qPrintable(m_cups.jobLog()));
        QVERIFY(m_cups.lpstat({u"-p"_s, Queue}).out.contains(u"enabled"_s));
        const QString mine = m_cups.faxSpool() + u'/' + myName();
        QDir(mine).removeRecursively();
        QVERIFY(m_cups.print(document(u"after.pdf"_s, u"after the refused one"_s)).code == 0);
        QVERIFY(m_cups.waitUntilIdle());
        QVERIFY2(QFileInfo::exists(mine + u"/after.pdf"_s), qPrintable(m_cups.jobLog()));
        QCOMPARE(stateOf(mine + u"/after.pdf"_s).mode, 0600u);
        QCOMPARE(stateOf(mine).mode, 0700u);
    }

    // The backend as CUPS calls it, without CUPS: what it offers, how it names documents, and
    // that nothing makes it write anywhere but into a private folder of the user.
    void theBackendKeepsToTheSpool() {
        const QTemporaryDir dir;
        const QString root = dir.filePath(u"spool"_s), mine = root + u'/' + myName(), pdf = dir.filePath(u"in.pdf"_s);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"DEVICE_URI"_s, u"sendmere-fax:"_s + root);
        writeTextPdf(pdf, u"page"_s);
        const auto deliver = [&](const QString &user, const QString &title, const QString &file = {}) {
            return runTool(QStringLiteral(SENDMERE_FAX_BACKEND), {u"7"_s, user, title, u"1"_s, QString(), file.isEmpty() ? pdf : file}, env);
        };
        const Ran offered = runTool(QStringLiteral(SENDMERE_FAX_BACKEND), {});
        QCOMPARE(offered.code, 0);
        QCOMPARE(offered.out, u"direct sendmere-fax \"Sendmere Fax\" \"Sendmere Fax\"\n"_s);
        QCOMPARE(runTool(QStringLiteral(SENDMERE_FAX_BACKEND), {u"7"_s, myName()}).code, 1);

        // Titles become names without a ".pdf" of their own, the command line's separators or a
        // leading dot; a document never replaces another, and a long title is cut before a
        // character that would not fit whole.
        const QString names[][2] = {{u"report.pdf"_s, u"report.pdf"_s},
                                    {u"report.pdf"_s, u"report (2).pdf"_s},
                                    {u"Memo.PDF"_s, u"Memo.pdf"_s},
                                    {u"../a;b#c"_s, u"_a_b_c.pdf"_s},
                                    {u". hidden ."_s, u"hidden.pdf"_s},
                                    {QString(), u"Print job 7.pdf"_s},
                                    {u"Angebot für Müller"_s, u"Angebot für Müller.pdf"_s},
                                    {QString(79, u'x') + u"ü"_s, QString(79, u'x') + u".pdf"_s}};
        for (const auto &[title, name] : names) {
            const Ran delivered = deliver(myName(), title);
            QCOMPARE(delivered.code, 0);
            QVERIFY2(delivered.err.contains(u" as "_s + name + u'\n'), qPrintable(title + u" -> "_s + delivered.err));
            QCOMPARE(stateOf(mine + u'/' + name).mode, 0600u);
        }
        // Not a PDF: refused, and nothing is left behind.
        test::writeFile(dir.filePath(u"note.txt"_s), "just text");
        const Ran notPdf = deliver(myName(), u"note"_s, dir.filePath(u"note.txt"_s));
        QCOMPARE(notPdf.code, 5);
        QVERIFY(notPdf.err.contains(u"not a PDF"_s));
        QCOMPARE(filesIn(mine).size(), qsizetype(std::size(names)));

        // Unknown users, and names that would lead out of the spool.
        for (const QString &user : {UnknownUser, u"../"_s + myName(), u".."_s}) {
            const Ran refused = deliver(user, u"x"_s);
            QCOMPARE(refused.code, 5);
            QVERIFY2(refused.err.startsWith(u"ERROR: the user"_s), qPrintable(refused.err));
        }
        // The user's folder replaced by a link to elsewhere: refused, nothing written there.
        const QString elsewhere = dir.filePath(u"elsewhere"_s);
        QDir().mkpath(elsewhere);
        QDir(mine).removeRecursively();
        QVERIFY(QFile::link(elsewhere, mine));
        QCOMPARE(deliver(myName(), u"x"_s).code, 5);
        QCOMPARE(filesIn(elsewhere), QStringList());
        QFile::remove(mine);
        // A spool root that others may write: nothing is delivered.
        QVERIFY(::chmod(QFile::encodeName(root).constData(), 0777) == 0);
        QCOMPARE(deliver(myName(), u"x"_s).code, 1);
        QVERIFY(!QFileInfo::exists(mine));
        QVERIFY(::chmod(QFile::encodeName(root).constData(), 0755) == 0);
        if (::geteuid() == 0) {  // a folder of the user's name that belongs to someone else is not the user's
            QVERIFY(QDir().mkpath(root + u"/nobody"_s));
            const Ran foreign = deliver(u"nobody"_s, u"x"_s);
            QCOMPARE(foreign.code, 5);
            QVERIFY(foreign.err.contains(u"belongs to another user"_s));
            QCOMPARE(filesIn(root + u"/nobody"_s), QStringList());
        }
    }

    // The package's scripts against the running scheduler: removal takes the printer away,
    // installation adds it (once, however often it runs) ready to print, and a purge also takes
    // the spool; without a scheduler the installation says how to add it later.
    void thePackageAddsAndRemovesThePrinter() {
        const QString spool = m_cups.path(u"package-spool"_s);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"CUPS_SERVER"_s, m_cups.server());
        env.insert(u"SENDMERE_FAX_SPOOL"_s, spool);
        env.insert(u"SENDMERE_FAX_PPD"_s, QStringLiteral(SENDMERE_FAX_PPD));
        const auto script = [&](const char *name, const QString &action, const QProcessEnvironment &with) {
            return runTool(u"sh"_s, {QStringLiteral(SENDMERE_PACKAGE_SCRIPTS "/") + QLatin1String(name), action}, with);
        };
        const auto printerThere = [&] { return m_cups.lpstat({u"-v"_s, Queue}).code == 0; };
        QCOMPARE(script("prerm", u"upgrade"_s, env).code, 0);
        QVERIFY(printerThere());
        QCOMPARE(script("prerm", u"remove"_s, env).code, 0);
        QVERIFY(!printerThere());
        for (int run = 0; run < 2; ++run) {
            const Ran installed = script("postinst", u"configure"_s, env);
            QVERIFY2(installed.code == 0 && installed.err.isEmpty(), qPrintable(installed.err));
        }
        QCOMPARE(m_cups.lpstat({u"-v"_s}).out.trimmed(), u"device for SendmereFax: sendmere-fax:%1"_s.arg(spool));
        QVERIFY(m_cups.lpstat({u"-p"_s, Queue}).out.contains(u"enabled"_s));
        QCOMPARE(stateOf(spool).mode, 0755u);
        QVERIFY(m_cups.print(document(u"installed.pdf"_s, u"printed after the installation"_s)).code == 0);
        QVERIFY(m_cups.waitUntilIdle());
        QVERIFY2(QFileInfo::exists(spool + u'/' + myName() + u"/installed.pdf"_s), qPrintable(m_cups.jobLog()));
        QCOMPARE(script("postrm", u"remove"_s, env).code, 0);
        QVERIFY(QFileInfo::exists(spool));
        QCOMPARE(script("postrm", u"purge"_s, env).code, 0);
        QVERIFY(!printerThere());
        QVERIFY(!QFileInfo::exists(spool));

        QProcessEnvironment noScheduler = env;
        noScheduler.insert(u"CUPS_SERVER"_s, u"127.0.0.1:1"_s);
        const Ran without = script("postinst", u"configure"_s, noScheduler);
        QCOMPARE(without.code, 0);
        QVERIFY2(without.err.contains(u"CUPS is not running"_s) && without.err.contains(u"lpadmin -p SendmereFax"_s), qPrintable(without.err));
    }
};

QTEST_MAIN(TestFaxPrinter)
#include "tst_faxprinter.moc"
