// The fax service on a real HylaFAX server with two software modems (the fax lab): a fax sent
// with the console goes out on one modem and comes in on the other; devices, cancel, a server
// that is away while jobs wait, a number that never answers, and a call answered by hand. The
// service, its console and the server are the real programs; the test only reads their results.
// The stopped lab leaves no process behind.
#include "FaxTestSupport.h"
#include "HylaFaxLab.h"
#include "TestSupport.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QScopeGuard>

using namespace sendmere::faxtest;
using namespace Qt::StringLiterals;
using sendmere::test::HylaFaxLab;
using sendmere::test::eventually;

namespace {

QString send(const QString &number, const QString &body, const QStringList &extra = {}) {
    const ConsoleRun run = runConsole(QStringList{u"send"_s, u"--to"_s, number} + extra + QStringList{body});
    if (run.code != 0)
        qWarning() << "send failed:" << run.err;
    return run.code == 0 ? run.out.trimmed() : QString();
}

QString job(const QString &id, const QString &field) {
    return qdbus_cast<QVariantMap>(busCall(u"GetJob"_s, {id}).arguments().value(0)).value(field).toString();
}

}  // namespace

class TestFaxHylaFax : public QObject {
    Q_OBJECT

    HylaFaxLab m_lab;

    QString numberB() const { return m_lab.modems().at(1).number; }
    // The server's job files (qN in sendq and doneq) that carry tag; any other file there is no job.
    qsizetype serverJobsTagged(const QString &tag) {
        static const QRegularExpression jobFile(u"^q[0-9]+$"_s);
        qsizetype count = 0;
        for (const QString &queue : {u"/sendq"_s, u"/doneq"_s})
            for (const QFileInfo &file : QDir(m_lab.spool() + queue).entryInfoList(QDir::Files))
                count += jobFile.match(file.fileName()).hasMatch() && sendmere::test::readFile(file.filePath()).contains(tag.toUtf8());
        return count;
    }
    void configure(int retries) {
        writeConfig(u"[Line]\nBackend=hylafax\nServer=%1\nUser=fax\nPollSeconds=1\n[Schedule]\nRetries=%2\nRetryIntervalSeconds=15\n"_s
                        .arg(m_lab.server())
                        .arg(retries));
    }

private Q_SLOTS:
    void initTestCase() {
        SENDMERE_START_HYLAFAX_LAB(m_lab);
        configure(2);
    }

    // A failed check says no more than its values, and QtTest cuts a long message: the
    // service's log and the lab's report go to the log whole.
    void cleanup() {
        if (QTest::currentTestFailed())
            qWarning().noquote() << readLog() << m_lab.report();
    }

    void cleanupTestCase() {
        if (serviceRunning())
            killService();
        const QString dir = m_lab.dir();
        QVERIFY2(m_lab.stop(), qPrintable(m_lab.reason()));
        QVERIFY2(eventually([&] { return !m_lab.run(u"pgrep"_s, {u"-af"_s, dir}); }, 10000), qPrintable(m_lab.output()));
        QCOMPARE(QDir(m_lab.spool() + u"/lock"_s).entryList(QDir::Files), QStringList());
    }

    // Both modems are devices; a 2-page fax crosses from one to the other and reaches both
    // archives with the server's page count.
    void sendReachesTheOtherModem() {
        const ConsoleRun devices = runConsole({u"devices"_s, u"--json"_s});
        QStringList names, expected{m_lab.modems().at(0).device, m_lab.modems().at(1).device};
        for (const auto &d : QJsonDocument::fromJson(devices.out.toUtf8()).array())
            names << d.toObject().value(u"DeviceName"_s).toString();
        expected.sort();
        QVERIFY2(names == expected, qPrintable(devices.out + devices.err));

        QElapsedTimer clock;
        clock.start();
        const QString id = send(numberB(), writePdf(u"two.pdf"_s, 2));
        QVERIFY(!id.isEmpty());
        QVERIFY(eventually([&] { return !findId(listing(u"sent"_s), id).isEmpty(); }, 120000));
        qInfo("one 2-page fax across the lab: %.1f s from send to the sent archive", clock.elapsed() / 1000.0);
        QCOMPARE(findId(listing(u"sent"_s), id).value(u"Pages"_s).toInt(), 2);
        QVERIFY(eventually([&] { return listing(u"received"_s).size() == 1; }, 30000));
        const QJsonObject received = listing(u"received"_s).first().toObject();
        QCOMPARE(received.value(u"Pages"_s).toInt(), 2);
        const QString image = QDir::tempPath() + u"/received.tiff"_s;
        QCOMPARE(runConsole({u"tiff"_s, received.value(u"Id"_s).toString(), image}).code, 0);
        QCOMPARE(tiffPages(image), 2);
        // Sent as drawn, at fine resolution: a job that left the server to reformat its pages
        // arrives at 98 lines per inch.
        QCOMPARE(qRound(sendmere::render::readTiffPage(image, 1).dotsPerMeterY() * 0.0254), qRound(sendmere::render::FaxDpiY));
        QCOMPARE(m_lab.receivedFaxes().size(), 1);
    }

    void cancelRemovesTheServersJob() {
        const QString at = QDateTime::currentDateTime().addSecs(3600).toString(u"yyyy-MM-ddTHH:mm"_s);
        const QString id = send(numberB(), writeTextFile(u"later.txt"_s, u"later\n"_s), {u"--at"_s, at});
        QVERIFY(!id.isEmpty());
        QVERIFY(eventually([&] { return !job(id, u"ServerJobId"_s).isEmpty(); }, 30000));
        const QString tag = job(id, u"LineTag"_s);
        QCOMPARE(serverJobsTagged(tag), 1);
        QCOMPARE(runConsole({u"cancel"_s, id}).code, 0);
        QVERIFY(eventually([&] { return findId(listing(u"queue"_s), id).isEmpty(); }, 30000));
        QCOMPARE(serverJobsTagged(tag), 0);
    }

    // The server (hfaxd, with the processes that serve open sessions) is away while two jobs
    // wait: they say why, and once it is back each goes out exactly once.
    void serverAwayThenBack() {
        QVERIFY2(m_lab.takeDown(u"hfaxd"_s), qPrintable(m_lab.reason()));
        bool back = false;
        const auto bringBackAnyway = qScopeGuard([&] {  // the tests after this one need the server
            if (!back)
                m_lab.bringUp(u"hfaxd"_s);
        });
        const qsizetype receivedBefore = m_lab.receivedFaxes().size();
        // Both to one number: the lab's two modems would otherwise call each other at once.
        const QString a = send(numberB(), writeTextFile(u"a.txt"_s, u"first\n"_s));
        const QString b = send(numberB(), writeTextFile(u"b.txt"_s, u"second\n"_s));
        QVERIFY(!a.isEmpty() && !b.isEmpty());
        const QString reason = u"fax server %1 unreachable: "_s.arg(m_lab.server());
        for (const QString &unsent : {a, b})
            QVERIFY(eventually([&] { return job(unsent, u"ExtendedStatus"_s).startsWith(reason); }, 20000));
        QCOMPARE(job(a, u"Status"_s).toInt(), 1);
        const QString tagA = job(a, u"LineTag"_s), tagB = job(b, u"LineTag"_s);
        back = m_lab.bringUp(u"hfaxd"_s);
        QVERIFY2(back, qPrintable(m_lab.reason()));
        QVERIFY(eventually([&] { return !findId(listing(u"sent"_s), a).isEmpty() && !findId(listing(u"sent"_s), b).isEmpty(); }, 200000));
        QCOMPARE(serverJobsTagged(tagA), 1);
        QCOMPARE(serverJobsTagged(tagB), 1);
        eventually([&] { return m_lab.receivedFaxes().size() == receivedBefore + 2; }, 30000);
        QCOMPARE(m_lab.receivedFaxes().size(), receivedBefore + 2);
    }

    // Line B unplugged: a fax to it ends with the server's reason. A received fax deleted before
    // the service restarts is not fetched from the server again.
    void numberThatNeverAnswers() {
        QVERIFY(eventually([&] { return listing(u"received"_s).size() == m_lab.receivedFaxes().size(); }, 60000));  // all fetched
        const QString deleted = listing(u"received"_s).at(0)[u"Id"_s].toString();
        QCOMPARE(runConsole({u"delete"_s, u"received"_s, deleted}).code, 0);
        const qsizetype kept = listing(u"received"_s).size();
        killService();
        configure(0);
        QVERIFY2(m_lab.takeDown(u"iaxmodem-b"_s), qPrintable(m_lab.reason()));
        const auto plugBackIn = qScopeGuard([&] { m_lab.bringUp(u"iaxmodem-b"_s); });
        const QString id = send(numberB(), writeTextFile(u"n.txt"_s, u"nobody\n"_s));
        QVERIFY(!id.isEmpty());
        QVERIFY(eventually([&] { return QList<int>({8, 128}).contains(job(id, u"Status"_s).toInt()); }, 150000));
        QVERIFY2(job(id, u"ExtendedStatus"_s).contains(u"answer"_s, Qt::CaseInsensitive), qPrintable(job(id, u"ExtendedStatus"_s)));
        QVERIFY(findId(listing(u"sent"_s), id).isEmpty());
        QCOMPARE(listing(u"received"_s).size(), kept);
    }

    // A call from the lab's own client rings on a modem that waits for a client to answer; the
    // service announces it, the console answers it through the server (as its administrator,
    // with the credentials file's account token), and the fax lands in the received archive.
    void ringingCallAnsweredThroughTheServer() {
        // The 2-page fax of sendReachesTheOtherModem is sent again: an image the modems take as it is.
        QVERIFY2(!m_lab.receivedFaxes().isEmpty(), "needs the fax of sendReachesTheOtherModem");
        const QString document = m_lab.receivedFaxes().first();
        QList<HylaFaxLab::Modem> modems = m_lab.modems();
        std::ranges::sort(modems, {}, &HylaFaxLab::Modem::device);
        const HylaFaxLab::Modem called = modems.at(0), caller = modems.at(1);  // device 1 answers
        const QString netrc = configHome() + u"/sendmere/netrc"_s;
        writeFile(netrc, u"machine 127.0.0.1 login fax account %1\n"_s.arg(m_lab.adminPassword()).toUtf8());
        QVERIFY(QFile::setPermissions(netrc, QFile::ReadOwner | QFile::WriteOwner));
        const auto ringsBeforeAnswer = [&](const QString &n) {
            return m_lab.run(u"/usr/sbin/faxconfig"_s, {u"-q"_s, m_lab.spool(), u"-m"_s, called.id, u"RingsBeforeAnswer"_s, n});
        };
        QVERIFY2(ringsBeforeAnswer(u"0"_s), qPrintable(m_lab.reason()));
        const auto answerAgain = qScopeGuard([&] { ringsBeforeAnswer(u"1"_s); });
        const qsizetype serverHadBefore = m_lab.receivedFaxes().size();
        const QJsonArray before = listing(u"received"_s);
        QVERIFY(runConsole({u"answer"_s}).code != 0);  // nothing rings yet

        QElapsedTimer clock;
        clock.start();
        QVERIFY2(m_lab.run(u"sendfax"_s, {u"-n"_s, u"-m"_s, u"-h"_s, caller.id + u'@' + m_lab.server(), u"-d"_s, called.number, document}),
                 qPrintable(m_lab.reason()));
        // Each try before the ring is noticed is refused, the first after it answers, once.
        ConsoleRun answered;
        QVERIFY2(eventually([&] { return (answered = runConsole({u"answer"_s})).code == 0; }, 60000), qPrintable(answered.err));
        QVERIFY(runConsole({u"answer"_s}).code != 0);  // the call is answered already
        qInfo("the call rang and was answered %.1f s after sendfax", clock.elapsed() / 1000.0);
        QVERIFY(answered.out.contains(called.device));
        QVERIFY(readLog().contains(u"a call rings on %1"_s.arg(called.device)));
        QVERIFY(eventually([&] { return m_lab.receivedFaxes().size() == serverHadBefore + 1; }, 60000));  // the server has it
        QVERIFY(eventually([&] { return listing(u"received"_s).size() == before.size() + 1; }, 30000));
        qInfo("and %.1f s until the fax is in the received archive", clock.elapsed() / 1000.0);
        for (const auto &r : listing(u"received"_s))
            if (findId(before, r.toObject().value(u"Id"_s).toString()).isEmpty())
                QCOMPARE(r.toObject().value(u"Pages"_s).toInt(), 2);
    }
};

QTEST_MAIN(TestFaxHylaFax)
#include "tst_faxhylafax.moc"
