// The "Sendmere Fax" printer as a user meets it: a real cupsd, started here in a private
// folder on a free port of 127.0.0.1 with the system's CUPS filters and the project's
// backend, the printer added as the package adds it, and documents printed with `lp`. A
// printed document reaches the printing user's spool folder as a PDF only they can read, an
// unknown user's job is refused, and the session's part opens the fax wizard with it. The
// backend alone is checked for everything that must keep it inside the spool.
#include "CupsServer.h"
#include "PrintedDocuments.h"
#include "TestSeams.h"

#include <QFileInfo>

using namespace sendmere;
using namespace sendmere::test;
using namespace Qt::StringLiterals;

class TestFaxPrinter : public QObject {
    Q_OBJECT
    std::unique_ptr<CupsServer> m_cups;

    QString document(const QString &name, const QString &text) {
        const QString file = m_cups->path(u"documents/"_s + name);
        writeTextPdf(file, text);
        return file;
    }

private Q_SLOTS:
    void initTestCase() {
        m_cups = std::make_unique<CupsServer>();
        QVERIFY2(m_cups->start(), qPrintable(m_cups->errorLog()));
        const Ran added = m_cups->addPrinter();
        QVERIFY2(added.code == 0, qPrintable(added.err));
        QVERIFY(m_cups->lpstat({u"-v"_s, Queue}).out.contains(u"sendmere-fax:"_s + m_cups->faxSpool()));
    }

    void cleanupTestCase() { m_cups.reset(); }

    // Printed by the user of the session, the document opens the wizard; the user's folder
    // does not exist before the first print.
    void aPrintedDocumentOpensTheWizard() {
        test::RecordingSeams seams;
        const QString kept = QDir::tempPath() + u"/printed"_s;
        const QString mine = m_cups->faxSpool() + u'/' + myName();
        QVERIFY(!QFileInfo::exists(mine));
        PrintedDocuments printed(mine, kept);
        printed.start();

        const Ran lp = m_cups->print(document(u"Invoice 42.pdf"_s, u"Invoice 42"_s));
        QVERIFY2(lp.code == 0, qPrintable(lp.err));
        QVERIFY2(QTest::qWaitFor([&] { return seams.recorded().started.size() == 1; }, 30000), qPrintable(m_cups->jobLog()));
        const QString taken = kept + u"/Invoice 42.pdf"_s;
        QCOMPARE(seams.recorded().started.constFirst(),
                 (QStringList{PrintedDocuments::wizardProgram(), u"new;;;;%1#"_s.arg(taken)}));
        QVERIFY(test::readFile(taken).startsWith("%PDF-"));
        QCOMPARE(stateOf(taken).mode, 0600u);
        QCOMPARE(QDir(mine).entryList(QDir::Files | QDir::Hidden), QStringList());

        // Once the folder is watched, a delivered document opens the wizard within 2 s. What
        // is no plain file of the user (a link planted there) is left alone, and the command
        // line's separators never reach the wizard.
        QVERIFY(QFile::link(u"/etc/hostname"_s, mine + u"/planted.pdf"_s));
        test::writeFile(mine + u"/.job-900.part"_s, "%PDF-1.4 half written");
        test::writeFile(mine + u"/.job-901.part"_s, "%PDF-1.4 whole");
        QVERIFY(QFile::rename(mine + u"/.job-901.part"_s, mine + u"/a;b#c.pdf"_s));
        QVERIFY(QTest::qWaitFor([&] { return seams.recorded().started.size() == 2; }, 2000));
        QCOMPARE(seams.recorded().started.at(1).at(1), u"new;;;;%1/a_b_c.pdf#"_s.arg(kept));
        QTest::qWait(300);
        QCOMPARE(seams.recorded().started.size(), 2);
        QVERIFY(stateOf(mine + u"/planted.pdf"_s).link);
        QVERIFY(QFileInfo::exists(mine + u"/.job-900.part"_s));
        QFile::remove(mine + u"/planted.pdf"_s);
        QFile::remove(mine + u"/.job-900.part"_s);

        // The same name again is kept beside the first.
        QVERIFY(m_cups->print(document(u"Invoice 42.pdf"_s, u"Invoice 42 again"_s)).code == 0);
        QVERIFY(QTest::qWaitFor([&] { return seams.recorded().started.size() == 3; }, 30000));
        QCOMPARE(seams.recorded().started.at(2).at(1), u"new;;;;%1/Invoice 42 (2).pdf#"_s.arg(kept));
    }

    // A printer set up while the session runs: its spool appears later and is found.
    void aSpoolThatAppearsLaterIsFound() {
        test::RecordingSeams seams;
        const QTemporaryDir dir;
        const QString mine = dir.filePath(u"spool/"_s + myName());
        PrintedDocuments printed(mine, dir.filePath(u"kept"_s));
        printed.start();
        QTest::qWait(200);
        QVERIFY(QDir().mkpath(mine));
        writeTextPdf(mine + u"/late.pdf"_s, u"late"_s);
        QVERIFY(QTest::qWaitFor([&] { return seams.recorded().started.size() == 1; }, 8000));
        QCOMPARE(seams.recorded().started.constFirst().at(1), u"new;;;;%1#"_s.arg(dir.filePath(u"kept/late.pdf"_s)));
    }

    // Each user's documents in a folder of their own that only they can open; an unknown
    // user's job is cancelled and the printer goes on with the next.
    void printingDeliversToThePrintingUser() {
        if (runningAsRoot()) {
            const struct passwd *nobody = ::getpwnam("nobody");
            QVERIFY(nobody);
            const Ran lp = m_cups->print(document(u"report.pdf"_s, u"Quarterly report"_s), {u"-t"_s, u"Quarterly report"_s},
                                         {u"setpriv"_s, u"--reuid=%1"_s.arg(nobody->pw_uid), u"--regid=%1"_s.arg(nobody->pw_gid),
                                          u"--clear-groups"_s});
            QVERIFY2(lp.code == 0, qPrintable(lp.err));
            QVERIFY(m_cups->waitUntilIdle());
            const QString folder = m_cups->faxSpool() + u"/nobody"_s;
            const QString delivered = folder + u"/Quarterly report.pdf"_s;
            QVERIFY2(QFileInfo::exists(delivered), qPrintable(m_cups->jobLog()));
            QCOMPARE(stateOf(folder).owner, nobody->pw_uid);
            QCOMPARE(stateOf(folder).mode, 0700u);
            QCOMPARE(stateOf(delivered).owner, nobody->pw_uid);
            QCOMPARE(stateOf(delivered).mode, 0600u);
            QVERIFY(test::readFile(delivered).startsWith("%PDF-"));
        }

        QVERIFY(m_cups->print(document(u"unknown.pdf"_s, u"from nobody known"_s), {u"-U"_s, UnknownUser}).code == 0);
        QVERIFY(m_cups->waitUntilIdle());
        QVERIFY(!QFileInfo::exists(m_cups->faxSpool() + u'/' + UnknownUser));
        QVERIFY2(m_cups->errorLog().contains(u"the user \\\"%1\\\" is not known"_s.arg(UnknownUser)), qPrintable(m_cups->jobLog()));
        QVERIFY(m_cups->lpstat({u"-p"_s, Queue}).out.contains(u"enabled"_s));

        const QString mine = m_cups->faxSpool() + u'/' + myName();
        QDir(mine).removeRecursively();
        QVERIFY(m_cups->print(document(u"after.pdf"_s, u"after the refused one"_s)).code == 0);
        QVERIFY(m_cups->waitUntilIdle());
        QVERIFY2(QFileInfo::exists(mine + u"/after.pdf"_s), qPrintable(m_cups->jobLog()));
        QCOMPARE(stateOf(mine + u"/after.pdf"_s).mode, 0600u);
        QCOMPARE(stateOf(mine).mode, 0700u);
    }

    // The backend as CUPS calls it, without CUPS: what it offers, and that nothing makes it
    // write anywhere but into a private folder of the user.
    void theBackendKeepsToTheSpool() {
        const QTemporaryDir dir;
        const QString root = dir.filePath(u"spool"_s);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"DEVICE_URI"_s, u"sendmere-fax:"_s + root);
        const QString backend = QStringLiteral(SENDMERE_FAX_BACKEND);
        const QString pdf = dir.filePath(u"in.pdf"_s);
        writeTextPdf(pdf, u"page"_s);
        auto deliver = [&](const QString &user, const QString &title, const QString &file) {
            return runTool(backend, {u"7"_s, user, title, u"1"_s, QString(), file}, env);
        };
        const QString mine = root + u'/' + myName();

        const Ran offered = runTool(backend, {});
        QCOMPARE(offered.code, 0);
        QCOMPARE(offered.out, u"direct sendmere-fax \"Sendmere Fax\" \"Sendmere Fax\"\n"_s);
        QCOMPARE(runTool(backend, {u"7"_s, myName()}).code, 1);

        // Titles become names without the command line's separators or a leading dot, and a
        // document never replaces another.
        QCOMPARE(deliver(myName(), u"report.pdf"_s, pdf).code, 0);
        QCOMPARE(deliver(myName(), u"report.pdf"_s, pdf).code, 0);
        QCOMPARE(deliver(myName(), u"../a;b#c"_s, pdf).code, 0);
        QCOMPARE(deliver(myName(), QString(), pdf).code, 0);
        QCOMPARE(deliver(myName(), u"Angebot für Müller"_s, pdf).code, 0);
        // A long title is cut before a character that would not fit whole.
        const QString longTitle = QString(79, u'x') + u"ü"_s;
        QCOMPARE(deliver(myName(), longTitle, pdf).code, 0);
        QStringList names = QDir(mine).entryList(QDir::Files | QDir::Hidden);
        names.sort();
        QStringList expected{u"Print job 7.pdf"_s,         u"_a_b_c.pdf"_s, u"report (2).pdf"_s, u"report.pdf"_s,
                             u"Angebot für Müller.pdf"_s, QString(79, u'x') + u".pdf"_s};
        expected.sort();
        QCOMPARE(names, expected);
        for (const QString &name : QDir(mine).entryList(QDir::Files)) QCOMPARE(stateOf(mine + u'/' + name).mode, 0600u);

        // Not a PDF: refused, and nothing is left behind.
        const QString text = dir.filePath(u"note.txt"_s);
        test::writeFile(text, "just text");
        const Ran notPdf = deliver(myName(), u"note"_s, text);
        QCOMPARE(notPdf.code, 5);
        QVERIFY(notPdf.err.contains(u"not a PDF"_s));
        QCOMPARE(QDir(mine).entryList(QDir::Files | QDir::Hidden).size(), 6);

        // Unknown users, and names that would lead out of the spool.
        for (const QString &user : {UnknownUser, u"../"_s + myName(), u".."_s}) {
            const Ran refused = deliver(user, u"x"_s, pdf);
            QCOMPARE(refused.code, 5);
            QVERIFY2(refused.err.startsWith(u"ERROR: the user"_s), qPrintable(refused.err));
        }

        // The user's folder replaced by a link to elsewhere: refused, nothing written there.
        const QString elsewhere = dir.filePath(u"elsewhere"_s);
        QDir().mkpath(elsewhere);
        QDir(mine).removeRecursively();
        QVERIFY(QFile::link(elsewhere, mine));
        QCOMPARE(deliver(myName(), u"x"_s, pdf).code, 5);
        QCOMPARE(QDir(elsewhere).entryList(QDir::Files | QDir::Hidden), QStringList());
        QFile::remove(mine);

        // A spool root that others may write: nothing is delivered.
        QVERIFY(::chmod(QFile::encodeName(root).constData(), 0777) == 0);
        const Ran open = deliver(myName(), u"x"_s, pdf);
        QCOMPARE(open.code, 1);
        QVERIFY(!QFileInfo::exists(mine));
        QVERIFY(::chmod(QFile::encodeName(root).constData(), 0755) == 0);

        if (runningAsRoot()) {
            // A folder of the user's name that belongs to someone else is not the user's.
            const QString nobodys = root + u"/nobody"_s;
            QVERIFY(QDir().mkpath(nobodys));
            const Ran foreign = deliver(u"nobody"_s, u"x"_s, pdf);
            QCOMPARE(foreign.code, 5);
            QVERIFY(foreign.err.contains(u"belongs to another user"_s));
            QCOMPARE(QDir(nobodys).entryList(QDir::Files | QDir::Hidden), QStringList());
        }
    }

    // The package's scripts against the running scheduler: removal takes the printer away,
    // installation adds it (once, however often it runs) ready to print, and a purge also
    // takes the spool; without a scheduler the installation says how to add it later.
    void thePackageAddsAndRemovesThePrinter() {
        const QString spool = m_cups->path(u"package-spool"_s);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"CUPS_SERVER"_s, m_cups->server());
        env.insert(u"SENDMERE_FAX_SPOOL"_s, spool);
        env.insert(u"SENDMERE_FAX_PPD"_s, QStringLiteral(SENDMERE_FAX_PPD));
        auto script = [&](const char *name, const QString &action, const QProcessEnvironment &with) {
            return runTool(u"sh"_s, {QStringLiteral(SENDMERE_PACKAGE_SCRIPTS "/") + QLatin1String(name), action}, with);
        };
        auto printerThere = [&] { return m_cups->lpstat({u"-v"_s, Queue}).code == 0; };

        QVERIFY(printerThere());
        QCOMPARE(script("prerm", u"upgrade"_s, env).code, 0);
        QVERIFY(printerThere());
        QCOMPARE(script("prerm", u"remove"_s, env).code, 0);
        QVERIFY(!printerThere());

        for (int run = 0; run < 2; ++run) {
            const Ran installed = script("postinst", u"configure"_s, env);
            QVERIFY2(installed.code == 0 && installed.err.isEmpty(), qPrintable(installed.err));
        }
        QCOMPARE(m_cups->lpstat({u"-v"_s}).out.trimmed(), u"device for SendmereFax: sendmere-fax:%1"_s.arg(spool));
        QVERIFY(m_cups->lpstat({u"-p"_s, Queue}).out.contains(u"enabled"_s));
        QCOMPARE(stateOf(spool).mode, 0755u);
        QVERIFY(m_cups->print(document(u"installed.pdf"_s, u"printed after the installation"_s)).code == 0);
        QVERIFY(m_cups->waitUntilIdle());
        QVERIFY2(QFileInfo::exists(spool + u'/' + myName() + u"/installed.pdf"_s), qPrintable(m_cups->jobLog()));

        QCOMPARE(script("postrm", u"remove"_s, env).code, 0);
        QVERIFY(QFileInfo::exists(spool));
        QCOMPARE(script("postrm", u"purge"_s, env).code, 0);
        QVERIFY(!printerThere());
        QVERIFY(!QFileInfo::exists(spool));

        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        QProcessEnvironment noScheduler = env;
        noScheduler.insert(u"CUPS_SERVER"_s, u"127.0.0.1:%1"_s.arg(probe.serverPort()));
        probe.close();
        const Ran without = script("postinst", u"configure"_s, noScheduler);
        QCOMPARE(without.code, 0);
        QVERIFY2(without.err.contains(u"CUPS is not running"_s) && without.err.contains(u"lpadmin -p SendmereFax"_s),
                 qPrintable(without.err));
    }
};

QTEST_MAIN(TestFaxPrinter)
#include "tst_faxprinter.moc"
