// The fax service on a real HylaFAX server with two software modems (the fax lab): a fax
// sent with the console goes out on one modem and comes in on the other; devices, cancel, a
// number that never answers, and a server that is away while jobs wait. The service, its
// console and the server are the real programs; the test only reads their results.
#include "FaxTestSupport.h"
#include "HylaFaxLab.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QScopeGuard>

using namespace sendmere::faxtest;
using sendmere::test::HylaFaxLab;
using sendmere::test::eventually;

namespace {

QString send(const QString &number, const QString &body, const QStringList &extra = {})
{
    const ConsoleRun run = runConsole(QStringList{QStringLiteral("send"), QStringLiteral("--to"), number} + extra + QStringList{body});
    if (run.code != 0)
        qWarning() << "send failed:" << run.err;
    return run.code == 0 ? run.out.trimmed() : QString();
}

QVariantMap job(const QString &id)
{
    return qdbus_cast<QVariantMap>(busCall(QStringLiteral("GetJob"), {id}).arguments().value(0));
}

// The server's job files (sendq, doneq) that carry tag.
int serverJobsTagged(const QString &spool, const QString &tag)
{
    int count = 0;
    for (const QString &queue : {QStringLiteral("/sendq"), QStringLiteral("/doneq")})
        for (QDirIterator it(spool + queue, {QStringLiteral("q*")}, QDir::Files); it.hasNext();) {
            QFile file(it.next());
            if (file.open(QIODevice::ReadOnly) && file.readAll().contains(tag.toUtf8()))
                ++count;
        }
    return count;
}

}  // namespace

class TestFaxHylaFax : public QObject {
    Q_OBJECT

    HylaFaxLab m_lab;

    void configure(int retries)
    {
        writeConfig(QStringLiteral("[Line]\nBackend=hylafax\nServer=%1\nUser=fax\nPollSeconds=1\n"
                                   "[Schedule]\nRetries=%2\nRetryIntervalSeconds=15\n")
                        .arg(m_lab.server())
                        .arg(retries));
    }

private Q_SLOTS:
    void initTestCase()
    {
        SENDMERE_START_HYLAFAX_LAB(m_lab);
        QCOMPARE(m_lab.modems().size(), 2);
        configure(2);
    }

    // A failed check says no more than its values, and QtTest cuts a long message: the
    // service's log and the lab's report go to the log whole.
    void cleanup()
    {
        if (QTest::currentTestFailed())
            qWarning().noquote() << readLog() << m_lab.logTail();
    }

    void cleanupTestCase()
    {
        if (serviceRunning())
            killService();
        m_lab.stop();
    }

    // Both modems are devices; a 2-page fax crosses from one to the other and reaches both
    // archives with the server's page count.
    void sendReachesTheOtherModem()
    {
        const ConsoleRun devices = runConsole({QStringLiteral("devices"), QStringLiteral("--json")});
        QVERIFY2(devices.code == 0, qPrintable(devices.err));
        QStringList names;
        for (const auto &d : QJsonDocument::fromJson(devices.out.toUtf8()).array())
            names << d.toObject().value(QStringLiteral("DeviceName")).toString();
        QStringList expected{m_lab.modems().at(0).device, m_lab.modems().at(1).device};
        expected.sort();
        QCOMPARE(names, expected);

        QElapsedTimer clock;
        clock.start();
        const QString id = send(m_lab.modems().at(1).number, writePdf(QStringLiteral("two.pdf"), 2));
        QVERIFY(!id.isEmpty());
        QVERIFY(eventually([&] { return !findId(listing(QStringLiteral("sent")), id).isEmpty(); }, 120000));
        qInfo("one 2-page fax across the lab: %.1f s from send to the sent archive", clock.elapsed() / 1000.0);
        QCOMPARE(findId(listing(QStringLiteral("sent")), id).value(QStringLiteral("Pages")).toInt(), 2);
        QVERIFY(eventually([&] { return listing(QStringLiteral("received")).size() == 1; }, 30000));
        const QJsonObject received = listing(QStringLiteral("received")).first().toObject();
        QCOMPARE(received.value(QStringLiteral("Pages")).toInt(), 2);
        qInfo("and %.1f s until its copy is in the received archive", clock.elapsed() / 1000.0);
        const QString image = QDir::tempPath() + QStringLiteral("/received.tiff");
        QCOMPARE(runConsole({QStringLiteral("tiff"), received.value(QStringLiteral("Id")).toString(), image}).code, 0);
        QCOMPARE(tiffPages(image), 2);
        // Sent as drawn, at fine resolution: a job that left the server to reformat its pages
        // arrives at 98 lines per inch.
        QCOMPARE(qRound(sendmere::render::readTiffPage(image, 1).dotsPerMeterY() * 0.0254), qRound(sendmere::render::FaxDpiY));
        QCOMPARE(m_lab.receivedFaxes().size(), 1);
    }

    void cancelRemovesTheServersJob()
    {
        const QString at = QDateTime::currentDateTime().addSecs(3600).toString(QStringLiteral("yyyy-MM-ddTHH:mm"));
        const QString id = send(m_lab.modems().at(1).number, writeTextFile(QStringLiteral("later.txt"), QStringLiteral("later\n")),
                                {QStringLiteral("--at"), at});
        QVERIFY(!id.isEmpty());
        QVERIFY(eventually([&] { return !job(id).value(QStringLiteral("ServerJobId")).toString().isEmpty(); }, 30000));
        const QString tag = job(id).value(QStringLiteral("LineTag")).toString();
        QCOMPARE(serverJobsTagged(m_lab.spool(), tag), 1);
        QCOMPARE(runConsole({QStringLiteral("cancel"), id}).code, 0);
        QVERIFY(eventually([&] { return findId(listing(QStringLiteral("queue")), id).isEmpty(); }, 30000));
        QCOMPARE(serverJobsTagged(m_lab.spool(), tag), 0);
    }

    // The server (hfaxd, with the processes that serve open sessions) is away while two jobs
    // wait: they say why, and once it is back each goes out exactly once.
    void serverAwayThenBack()
    {
        QVERIFY2(m_lab.takeDown(QStringLiteral("hfaxd")), qPrintable(m_lab.reason()));
        bool back = false;
        const auto bringBackAnyway = qScopeGuard([&] {  // the tests after this one need the server
            if (!back)
                m_lab.bringUp(QStringLiteral("hfaxd"));
        });
        const int receivedBefore = int(m_lab.receivedFaxes().size());
        // Both to one number: the lab's two modems would otherwise call each other at once.
        const QString a = send(m_lab.modems().at(1).number, writeTextFile(QStringLiteral("a.txt"), QStringLiteral("first\n")));
        const QString b = send(m_lab.modems().at(1).number, writeTextFile(QStringLiteral("b.txt"), QStringLiteral("second\n")));
        QVERIFY(!a.isEmpty() && !b.isEmpty());
        const QString reason = QStringLiteral("fax server %1 unreachable: ").arg(m_lab.server());
        for (const QString &unsent : {a, b})
            QVERIFY(eventually([&] { return job(unsent).value(QStringLiteral("ExtendedStatus")).toString().startsWith(reason); }, 20000));
        QCOMPARE(job(a).value(QStringLiteral("Status")).toInt(), 1);
        const QString tagA = job(a).value(QStringLiteral("LineTag")).toString(), tagB = job(b).value(QStringLiteral("LineTag")).toString();
        back = m_lab.bringUp(QStringLiteral("hfaxd"));
        QVERIFY2(back, qPrintable(m_lab.reason()));
        QVERIFY(eventually(
            [&] {
                const QJsonArray sent = listing(QStringLiteral("sent"));
                return !findId(sent, a).isEmpty() && !findId(sent, b).isEmpty();
            },
            200000));
        QCOMPARE(serverJobsTagged(m_lab.spool(), tagA), 1);
        QCOMPARE(serverJobsTagged(m_lab.spool(), tagB), 1);
        eventually([&] { return int(m_lab.receivedFaxes().size()) == receivedBefore + 2; }, 30000);
        QCOMPARE(int(m_lab.receivedFaxes().size()), receivedBefore + 2);
    }

    // Line B unplugged: a fax to it ends with the server's reason.
    void numberThatNeverAnswers()
    {
        killService();
        configure(0);
        QVERIFY2(m_lab.takeDown(QStringLiteral("iaxmodem-b")), qPrintable(m_lab.reason()));
        const auto plugBackIn = qScopeGuard([&] { m_lab.bringUp(QStringLiteral("iaxmodem-b")); });
        const QString id = send(m_lab.modems().at(1).number, writeTextFile(QStringLiteral("n.txt"), QStringLiteral("nobody\n")));
        QVERIFY(!id.isEmpty());
        QVERIFY(eventually([&] { return QList<int>({8, 128}).contains(job(id).value(QStringLiteral("Status")).toInt()); }, 150000));
        const QString extended = job(id).value(QStringLiteral("ExtendedStatus")).toString();
        QVERIFY2(extended.contains(QStringLiteral("answer"), Qt::CaseInsensitive), qPrintable(extended));
        QVERIFY(findId(listing(QStringLiteral("sent")), id).isEmpty());
    }

    // A call from the lab's own client rings on a modem that waits for a client to answer;
    // the service announces it, the console answers it through the server (as its
    // administrator, with the credentials file's account token), and the fax lands in the
    // received archive with its pages.
    void ringingCallAnsweredThroughTheServer()
    {
        // The fax that crossed the lab in sendReachesTheOtherModem is sent again: a 2-page
        // image the modems take as it is.
        QVERIFY2(!m_lab.receivedFaxes().isEmpty(), "needs the fax of sendReachesTheOtherModem");
        const QString document = m_lab.receivedFaxes().first();
        QList<HylaFaxLab::Modem> modems = m_lab.modems();
        std::sort(modems.begin(), modems.end(), [](const auto &a, const auto &b) { return a.device < b.device; });
        const HylaFaxLab::Modem called = modems.at(0), caller = modems.at(1);  // device 1 answers
        QFile netrc(configHome() + QStringLiteral("/sendmere/netrc"));
        QVERIFY(netrc.open(QIODevice::WriteOnly | QIODevice::Truncate));
        netrc.write(QStringLiteral("machine 127.0.0.1 login fax account %1\n").arg(m_lab.adminPassword()).toUtf8());
        netrc.close();
        QVERIFY(netrc.setPermissions(QFile::ReadOwner | QFile::WriteOwner));
        QVERIFY2(m_lab.configureModem(called, QStringLiteral("RingsBeforeAnswer"), QStringLiteral("0")), qPrintable(m_lab.reason()));
        const auto answerAgain = qScopeGuard([&] { m_lab.configureModem(called, QStringLiteral("RingsBeforeAnswer"), QStringLiteral("1")); });
        const qsizetype serverHadBefore = m_lab.receivedFaxes().size();
        QStringList before;
        for (const auto &r : listing(QStringLiteral("received")))
            before << r.toObject().value(QStringLiteral("Id")).toString();
        QCOMPARE(runConsole({QStringLiteral("answer")}).code == 0, false);  // nothing rings yet

        QElapsedTimer clock;
        clock.start();
        QProcess sendfax;
        sendfax.start(QStringLiteral("sendfax"), {QStringLiteral("-n"), QStringLiteral("-m"), QStringLiteral("-h"), caller.id + u'@' + m_lab.server(),
                                                  QStringLiteral("-d"), called.number, document});
        QVERIFY(sendfax.waitForFinished(30000));
        QVERIFY2(sendfax.exitCode() == 0, sendfax.readAllStandardError().constData());
        // Answered once: each try before the ring is noticed is refused, the first after it answers.
        ConsoleRun answered;
        for (QElapsedTimer wait; answered.code != 0 && (!wait.isValid() || wait.elapsed() < 60000); QTest::qWait(500)) {
            if (!wait.isValid())
                wait.start();
            answered = runConsole({QStringLiteral("answer")});
        }
        QVERIFY2(answered.code == 0, qPrintable(answered.err));
        QVERIFY(runConsole({QStringLiteral("answer")}).code != 0);  // the call is answered already
        qInfo("the call rang and was answered %.1f s after sendfax", clock.elapsed() / 1000.0);
        QVERIFY(answered.out.contains(called.device));
        QVERIFY(readLog().contains(QStringLiteral("a call rings on %1").arg(called.device)));
        eventually([&] { return m_lab.receivedFaxes().size() == serverHadBefore + 1; }, 60000);
        QCOMPARE(m_lab.receivedFaxes().size(), serverHadBefore + 1);  // the server has it
        QElapsedTimer wait;
        wait.start();
        while (listing(QStringLiteral("received")).size() == before.size() && wait.elapsed() < 30000)
            QTest::qWait(1000);
        QVERIFY2(listing(QStringLiteral("received")).size() == before.size() + 1, qPrintable(readLog()));
        qInfo("and %.1f s until the fax is in the received archive", clock.elapsed() / 1000.0);
        for (const auto &r : listing(QStringLiteral("received")))
            if (!before.contains(r.toObject().value(QStringLiteral("Id")).toString()))
                QCOMPARE(r.toObject().value(QStringLiteral("Pages")).toInt(), 2);
    }
};

QTEST_MAIN(TestFaxHylaFax)
#include "tst_faxhylafax.moc"
