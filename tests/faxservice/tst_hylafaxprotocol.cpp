// The HylaFAX protocol's text as this client reads and writes it: replies written by hand
// (single, multi-line, malformed), the list lines in the formats the client asks for, the
// job parameters of a fax, and the [Line] settings of faxd.conf.
#include "FaxdConfig.h"
#include "HylaFaxProtocol.h"
#include "OutgoingFax.h"

#include <QtTest>

using namespace sendmere::faxd;
using namespace sendmere::faxd::hylafax;

namespace {

// Feeds the lines; the reply once complete, or nullopt when the lines end before it does.
std::optional<Reply> readAll(const QList<QByteArray> &lines)
{
    ReplyReader reader;
    for (const QByteArray &line : lines)
        if (reader.addLine(line))
            return reader.take();
    return std::nullopt;
}

}  // namespace

class TestHylaFaxProtocol : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void replies()
    {
        auto one = readAll({"220 faxserver server (HylaFAX (tm) Version 6.0.7) ready.\r"});
        QVERIFY(one);
        QCOMPARE(one->code, 220);
        QVERIFY(one->completed());
        QCOMPARE(one->text(), QStringLiteral("faxserver server (HylaFAX (tm) Version 6.0.7) ready."));

        // Multi-line: continuation lines with and without the code, ended by "CODE text".
        auto multi = readAll({"211-Status of the server:", "   Modem ttyIAX0 (5550100): Running and idle", "211-second",
                              "211 End of status"});
        QVERIFY(multi);
        QCOMPARE(multi->code, 211);
        QCOMPARE(multi->lines, (QStringList{"Status of the server:", "   Modem ttyIAX0 (5550100): Running and idle", "second", "End of status"}));

        // A line of another code inside a multi-line reply belongs to it.
        auto nested = readAll({"150-first", "226 not the end", "150 end"});
        QVERIFY(nested);
        QCOMPARE(nested->code, 150);
        QVERIFY(nested->preliminary());
        QCOMPARE(nested->lines.size(), 3);

        // The lines end before the reply does.
        QVERIFY(!readAll({"211-open", "more"}));

        QVERIFY(readAll({"331 Password required for fax."})->needsMore());
        QVERIFY(!readAll({"550 No such job."})->completed());
        QCOMPARE(readAll({"200"})->code, 200);
    }

    void malformedReplies_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::newRow("text") << QByteArray("hello");
        QTest::newRow("empty") << QByteArray("");
        QTest::newRow("two digits") << QByteArray("20 ok");
        QTest::newRow("code 600") << QByteArray("600 what");
        QTest::newRow("code 099") << QByteArray("099 what");
        QTest::newRow("no separator") << QByteArray("200ok");
    }

    void malformedReplies()
    {
        QFETCH(QByteArray, line);
        ReplyReader reader;
        try {
            reader.addLine(line);
            QFAIL("no error");
        } catch (const LineError &e) {
            QCOMPARE(e.kind(), LineError::Kind::Malformed);
        }
    }

    void replyFields()
    {
        QCOMPARE(passivePort(*readAll({"227 Entering Passive Mode (127,0,0,1,157,227)"})), quint16(157 * 256 + 227));
        for (const QByteArray &bad : {QByteArray("227 Entering Passive Mode"), QByteArray("227 (127,0,0,1,300,1)"),
                                      QByteArray("200 (127,0,0,1,4,1)"), QByteArray("227 (127,0,0,1,0,0)")}) {
            try {
                passivePort(*readAll({bad}));
                QFAIL(bad.constData());
            } catch (const LineError &e) {
                QCOMPARE(e.kind(), LineError::Kind::Malformed);
            }
        }
        QCOMPARE(uploadedFile(*readAll({"150 FILE: /tmp/doc12.tif (Opening new data connection)."})), QStringLiteral("/tmp/doc12.tif"));
        QCOMPARE(uploadedFile(*readAll({"226 Transfer complete (FILE: /tmp/doc7.tif)."})), QStringLiteral("/tmp/doc7.tif"));
        QVERIFY_THROWS_EXCEPTION(LineError, uploadedFile(*readAll({"150 Opening new data connection."})));
        QCOMPARE(newJobId(*readAll({"200 New job created: jobid: 12 groupid: 12."})), QStringLiteral("12"));
        QVERIFY_THROWS_EXCEPTION(LineError, newJobId(*readAll({"200 New job created."})));
        QVERIFY_THROWS_EXCEPTION(LineError, newJobId(*readAll({"503 jobid: 12 refused"})));
        QCOMPARE(quoted(QStringLiteral("Ann \"the\" Example\\\n")), QStringLiteral("\"Ann the Example\""));
    }

    // The lines in the formats this client sets (JobFormat, ReceivedFormat, ModemFormat).
    void listLines()
    {
        auto job = parseJob(QStringLiteral("12|S|1/2|1/3|2/3|ttyIAX0|sendmere-a1-00ff|No answer from remote|retry"));
        QVERIFY(job);
        QCOMPARE(job->id, QStringLiteral("12"));
        QCOMPARE(job->state, QChar(u'S'));
        QCOMPARE(job->pagesSent, 1);
        QCOMPARE(job->pagesTotal, 2);
        QCOMPARE(job->tries, 1);
        QCOMPARE(job->maxTries, 3);
        QCOMPARE(job->dials, 2);
        QCOMPARE(job->maxDials, 3);
        QCOMPARE(job->modem, QStringLiteral("ttyIAX0"));
        QCOMPARE(job->tag, QStringLiteral("sendmere-a1-00ff"));
        QCOMPARE(job->status, QStringLiteral("No answer from remote|retry"));  // a '|' in the last field stays
        QVERIFY(!job->finished());
        QVERIFY(parseJob(QStringLiteral("3|D|2/2|1/3|1/3|||"))->finished());
        // As the server writes it: colons, padded.
        auto real = parseJob(QStringLiteral("6|R| 0:2 | 0:3 | 0:12|any|sendmere-probe-4|"));
        QVERIFY(real);
        QCOMPARE(real->pagesTotal, 2);
        QCOMPARE(real->maxTries, 3);
        QCOMPARE(real->maxDials, 12);
        QCOMPARE(real->modem, QStringLiteral("any"));
        QVERIFY(real->status.isEmpty());
        for (const QString &bad : {QStringLiteral("3|D|2/2|1/3|1/3||"), QStringLiteral("x|D|2/2|1/3|1/3|||"),
                                   QStringLiteral("3|DD|2/2|1/3|1/3|||"), QStringLiteral("3|D|a/2|1/3|1/3|||"),
                                   QStringLiteral("3|D|1/2/3|1/3|1/3|||"), QStringLiteral("Job Modem Dest")})
            QVERIFY2(!parseJob(bad), qPrintable(bad));

        auto fax = parseReceived(QStringLiteral("fax000000004.tif|2| |00:01:05|5550100|"));
        QVERIFY(fax);
        QCOMPARE(fax->file, QStringLiteral("fax000000004.tif"));
        QCOMPARE(fax->pages, 2);
        QVERIFY(!fax->receiving);
        QCOMPARE(fax->seconds, 65);
        QCOMPARE(fax->sender, QStringLiteral("5550100"));
        QVERIFY(parseReceived(QStringLiteral("fax000000005.tif|0|*|0:00:03||"))->receiving);
        for (const QString &bad : {QStringLiteral("../etc/passwd|1| |0:01||"), QStringLiteral("a b.tif|1| |0:01||"),
                                   QStringLiteral(".hidden|1| |0:01||"), QStringLiteral("fax1.tif|x| |0:01||"),
                                   QStringLiteral("fax1.tif|1| |0:01|")})
            QVERIFY2(!parseReceived(bad), qPrintable(bad));

        auto modem = parseModem(QStringLiteral("ttyIAX0|*|5550100|Sendmere Lab A|Running and idle"));
        QVERIFY(modem);
        QCOMPARE(modem->name, QStringLiteral("ttyIAX0"));
        QVERIFY(modem->running);
        QCOMPARE(modem->number, QStringLiteral("5550100"));
        QCOMPARE(modem->localId, QStringLiteral("Sendmere Lab A"));
        QCOMPARE(modem->status, QStringLiteral("Running and idle"));
        QVERIFY(!parseModem(QStringLiteral("|*|1|2|3")));
        QVERIFY(!parseModem(QStringLiteral("ttyIAX0|*|1|2")));

        int bad = 0;
        const auto jobs = parseList<ServerJob>("1|P|0/1|0/1|0/1|||\r\ngarbage\n\n2|R|0/1|1/1|1/1|m||\n", parseJob, bad);
        QCOMPARE(jobs.size(), 2);
        QCOMPARE(bad, 1);
    }

    void jobParameters()
    {
        FaxdConfig config;
        config.retries = 2;
        config.retryIntervalSeconds = 90;
        const QDateTime now(QDate(2026, 3, 10), QTime(12, 0), Qt::UTC);
        auto job = sendmere::faxd::JobRecord::fromProperties({{"Id", "1a"},
                        {"LineTag", "sendmere-1a-0001"},
                        {"Subject", "Offer"},
                        {"Priority", 2},
                        {"ScheduledTime", now.addSecs(3600 + 10).toMSecsSinceEpoch()},
                        {"Recipient", QVariantMap{{"FaxNumber", " 5550100 "}, {"Name", "Ann"}, {"Company", "Example Ltd"}}},
                        {"Sender", QVariantMap{{"Name", "Bob"}}}});
        OutgoingFax fax = OutgoingFax::fromJob(job, "/spool/queue/1a.tiff", config);
        QCOMPARE(fax.tag, QStringLiteral("sendmere-1a-0001"));
        QCOMPARE(fax.dialString, QStringLiteral("5550100"));
        QCOMPARE(fax.maxTries, 3);
        QCOMPARE(fax.maxDials, 3);
        auto params = sendmere::faxd::jobParameters(fax, now);
        auto value = [&](const QString &name) {
            for (const auto &[n, v] : params)
                if (n == name)
                    return v;
            return QStringLiteral("<none>");
        };
        QCOMPARE(value("DIALSTRING"), QStringLiteral("5550100"));
        QCOMPARE(value("TOUSER"), QStringLiteral("Ann"));
        QCOMPARE(value("TOCOMPANY"), QStringLiteral("Example Ltd"));
        QCOMPARE(value("FROMUSER"), QStringLiteral("Bob"));
        QCOMPARE(value("REGARDING"), QStringLiteral("Offer"));
        QCOMPARE(value("SCHEDPRI"), QStringLiteral("63"));
        QCOMPARE(value("VRES"), QStringLiteral("196"));
        QCOMPARE(value("SENDTIME"), QStringLiteral("202603101301"));  // 13:00:10 rounded up to the minute
        QCOMPARE(value("MAXTRIES"), QStringLiteral("3"));
        QCOMPARE(value("MAXDIALS"), QStringLiteral("3"));
        QCOMPARE(value("RETRYTIME"), QStringLiteral("0130"));
        QCOMPARE(value("LASTTIME"), QStringLiteral("000402"));  // 3 h past the send time, 61 min away, rounded up
        QCOMPARE(value("NOTIFY"), QStringLiteral("none"));

        // Due now (or a time in the past), normal and low priority, dials of their own.
        fax.sendTime = now.addSecs(-60);
        fax.priority = 1;
        QCOMPARE(sendmere::faxd::jobParameters(fax, now).contains(std::pair<QString, QString>("SENDTIME", "NOW")), true);
        QCOMPARE(sendmere::faxd::jobParameters(fax, now).contains(std::pair<QString, QString>("LASTTIME", "000301")), true);
        fax.retrySeconds = 100000;  // beyond what the server takes
        QCOMPARE(sendmere::faxd::jobParameters(fax, now).contains(std::pair<QString, QString>("RETRYTIME", "9959")), true);
        fax.sendTime = now.addDays(2);
        QCOMPARE(sendmere::faxd::jobParameters(fax, now).contains(std::pair<QString, QString>("LASTTIME", "020301")), true);
        QCOMPARE(sendmere::faxd::jobParameters(fax, now).contains(std::pair<QString, QString>("SCHEDPRI", "127")), true);
        fax.priority = 0;
        QCOMPARE(sendmere::faxd::jobParameters(fax, now).contains(std::pair<QString, QString>("SCHEDPRI", "191")), true);
        config.line.maxDials = 1;
        QCOMPARE(OutgoingFax::fromJob(job, {}, config).maxDials, 1);
        job.subject.clear();
        QCOMPARE(sendmere::faxd::jobParameters(OutgoingFax::fromJob(job, {}, config), now).size(), params.size() - 1);
    }

    void serverSetting_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::newRow("host only") << "fax.example.org" << true << "fax.example.org" << 4559;
        QTest::newRow("host and port") << "127.0.0.1:14559" << true << "127.0.0.1" << 14559;
        QTest::newRow("lowest port") << "h:1" << true << "h" << 1;
        QTest::newRow("highest port") << "h:65535" << true << "h" << 65535;
        QTest::newRow("port 0") << "h:0" << false << "" << 0;
        QTest::newRow("port too high") << "h:65536" << false << "" << 0;
        QTest::newRow("port not a number") << "h:fax" << false << "" << 0;
        QTest::newRow("empty") << "" << false << "" << 0;
        QTest::newRow("spaces inside") << "fax server" << false << "" << 0;
        QTest::newRow("bracketed v6") << "[::1]:4560" << true << "::1" << 4560;
    }

    void serverSetting()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QString host;
        quint16 port = 0;
        QCOMPARE(parseServer(text, host, port), valid);
        if (valid) {
            QTEST(host, "host");
            QTEST(int(port), "port");
        }
    }

    void lineSection()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("faxd.conf"));
        // Written with the defaults: the loopback.
        QCOMPARE(FaxdConfig::load(path).line.backend, LineConfig::Backend::Loopback);
        QCOMPARE(QSettings(path, QSettings::IniFormat).value(QStringLiteral("Line/Backend")).toString(), QStringLiteral("loopback"));
        auto write = [&](const QString &text) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            f.write(text.toUtf8());
        };
        write(QStringLiteral("[Line]\nBackend=HylaFAX\nServer=fax.example.org:4600\nUser=office\nPollSeconds=1\n"));
        LineConfig line = FaxdConfig::load(path).line;
        QCOMPARE(line.backend, LineConfig::Backend::HylaFax);
        QCOMPARE(line.serverName(), QStringLiteral("fax.example.org:4600"));
        QCOMPARE(line.user, QStringLiteral("office"));
        QCOMPARE(line.pollSeconds, 1.0);
        QCOMPARE(line.stallSeconds, 300.0);
        QVERIFY(line.error.isEmpty());
        write(QStringLiteral("[Line]\nBackend=hylafax\nStallSeconds=45\n"));
        QCOMPARE(FaxdConfig::load(path).line.stallSeconds, 45.0);
        write(QStringLiteral("[Line]\nBackend=hylafax\nStallSeconds=0\n"));
        QCOMPARE(FaxdConfig::load(path).line.stallSeconds, 1.0);
        write(QStringLiteral("[Line]\nBackend=hylafax\nServer=fax:99999\n"));
        line = FaxdConfig::load(path).line;
        QCOMPARE(line.backend, LineConfig::Backend::Loopback);
        QVERIFY2(line.error.contains(QStringLiteral("fax:99999")), qPrintable(line.error));
        write(QStringLiteral("[Line]\nBackend=modem\n"));
        line = FaxdConfig::load(path).line;
        QCOMPARE(line.backend, LineConfig::Backend::Loopback);
        QVERIFY2(line.error.contains(QStringLiteral("modem")), qPrintable(line.error));
        write(QStringLiteral("[Line]\nBackend=hylafax\n"));
        line = FaxdConfig::load(path).line;
        QCOMPARE(line.serverName(), QStringLiteral("127.0.0.1:4559"));
        QCOMPARE(line.user, QStringLiteral("fax"));
    }
};

QTEST_GUILESS_MAIN(TestHylaFaxProtocol)
#include "tst_hylafaxprotocol.moc"
