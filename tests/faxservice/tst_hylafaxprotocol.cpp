// The HylaFAX protocol's text as this client reads and writes it: replies written by hand
// (single, multi-line, malformed), the list lines in the formats the client asks for, the
// job parameters of a fax, and the [Line] settings of faxd.conf.
#include "FaxdConfig.h"
#include "HylaFaxProtocol.h"
#include "OutgoingFax.h"

#include <QtTest>

using namespace sendmere::faxd;
using namespace sendmere::faxd::hylafax;
using namespace Qt::StringLiterals;

namespace {

// Feeds the lines; the reply once complete, or nullopt when the lines end before it does.
std::optional<Reply> readAll(const QList<QByteArray> &lines) {
    ReplyReader reader;
    for (const QByteArray &line : lines)
        if (reader.addLine(line))
            return reader.take();
    return std::nullopt;
}

bool malformed(const std::function<void()> &call) {
    try {
        call();
    } catch (const LineError &e) {
        return e.kind() == LineError::Kind::Malformed;
    }
    return false;
}

QString n(int number) { return QString::number(number); }

// A parsed list line as "field,field,...", or "-" for a line that makes no sense.
QString job(const QString &line) {
    const auto j = parseJob(line);
    return !j ? u"-"_s : QStringList{j->id, j->state, n(j->pagesSent), n(j->pagesTotal), n(j->tries), n(j->maxTries), n(j->dials),
                                    n(j->maxDials), j->modem, j->tag, j->status, j->finished() ? u"finished"_s : u"open"_s}.join(u',');
}
QString fax(const QString &line) {
    const auto f = parseReceived(line);
    return !f ? u"-"_s : QStringList{f->file, n(f->pages), n(f->receiving), n(f->seconds), f->sender}.join(u',');
}
QString modem(const QString &line) {
    const auto m = parseModem(line);
    return !m ? u"-"_s : QStringList{m->name, n(m->running), m->number, m->localId, m->status}.join(u',');
}

}  // namespace

class TestHylaFaxProtocol : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void replies() {
        auto one = readAll({"220 faxserver server (HylaFAX (tm) Version 6.0.7) ready.\r"});
        QVERIFY(one && one->completed());
        QCOMPARE(one->code, 220);
        QCOMPARE(one->text(), u"faxserver server (HylaFAX (tm) Version 6.0.7) ready."_s);
        // Continuation lines with and without the code, ended by "CODE text".
        auto multi = readAll({"211-Status of the server:", "   Modem ttyIAX0 (5550100): Running and idle", "211-second", "211 End of status"});
        QVERIFY(multi && multi->code == 211);
        QCOMPARE(multi->lines, (QStringList{u"Status of the server:"_s, u"   Modem ttyIAX0 (5550100): Running and idle"_s, u"second"_s, u"End of status"_s}));
        // A line of another code inside a multi-line reply belongs to it.
        auto nested = readAll({"150-first", "226 not the end", "150 end"});
        QVERIFY(nested && nested->preliminary() && nested->code == 150);
        QCOMPARE(nested->lines.size(), 3);
        QVERIFY(!readAll({"211-open", "more"}));  // the lines end before the reply does
        QVERIFY(readAll({"331 Password required for fax."})->needsMore());
        QVERIFY(!readAll({"550 No such job."})->completed());
        QCOMPARE(readAll({"200"})->code, 200);
        for (const char *bad : {"hello", "", "20 ok", "600 what", "099 what", "200ok"})
            QVERIFY2(malformed([&] { ReplyReader().addLine(bad); }), bad);
    }

    void replyFields() {
        QCOMPARE(passivePort(*readAll({"227 Entering Passive Mode (127,0,0,1,157,227)"})), quint16(157 * 256 + 227));
        for (const char *bad : {"227 Entering Passive Mode", "227 (127,0,0,1,300,1)", "200 (127,0,0,1,4,1)", "227 (127,0,0,1,0,0)"})
            QVERIFY2(malformed([&] { passivePort(*readAll({bad})); }), bad);
        QCOMPARE(uploadedFile(*readAll({"150 FILE: /tmp/doc12.tif (Opening new data connection)."})), u"/tmp/doc12.tif"_s);
        QCOMPARE(uploadedFile(*readAll({"226 Transfer complete (FILE: /tmp/doc7.tif)."})), u"/tmp/doc7.tif"_s);
        QVERIFY_THROWS_EXCEPTION(LineError, uploadedFile(*readAll({"150 Opening new data connection."})));
        QCOMPARE(newJobId(*readAll({"200 New job created: jobid: 12 groupid: 12."})), u"12"_s);
        QVERIFY_THROWS_EXCEPTION(LineError, newJobId(*readAll({"200 New job created."})));
        QVERIFY_THROWS_EXCEPTION(LineError, newJobId(*readAll({"503 jobid: 12 refused"})));
        QCOMPARE(quoted(u"Ann \"the\" Example\\\n"_s), u"\"Ann the Example\""_s);
    }

    // The lines in the formats this client sets (JobFormat, ReceivedFormat, ModemFormat). A '|'
    // in a job's last field stays; the server writes the counts padded, with colons.
    void listLines() {
        const struct { QString (*parse)(const QString &); const char *line, *fields; } cases[] = {
            {job, "12|S|1/2|1/3|2/3|ttyIAX0|sendmere-a1-00ff|No answer from remote|retry", "12,S,1,2,1,3,2,3,ttyIAX0,sendmere-a1-00ff,No answer from remote|retry,open"},
            {job, "3|D|2/2|1/3|1/3|||", "3,D,2,2,1,3,1,3,,,,finished"},
            {job, "6|R| 0:2 | 0:3 | 0:12|any|sendmere-probe-4|", "6,R,0,2,0,3,0,12,any,sendmere-probe-4,,open"},
            {job, "3|D|2/2|1/3|1/3||", "-"}, {job, "x|D|2/2|1/3|1/3|||", "-"}, {job, "3|DD|2/2|1/3|1/3|||", "-"},
            {job, "3|D|a/2|1/3|1/3|||", "-"}, {job, "3|D|1/2/3|1/3|1/3|||", "-"}, {job, "Job Modem Dest", "-"},
            {fax, "fax000000004.tif|2| |00:01:05|5550100|", "fax000000004.tif,2,0,65,5550100"},
            {fax, "fax000000005.tif|0|*|0:00:03||", "fax000000005.tif,0,1,3,"},
            {fax, "../etc/passwd|1| |0:01||", "-"}, {fax, "a b.tif|1| |0:01||", "-"}, {fax, ".hidden|1| |0:01||", "-"},
            {fax, "fax1.tif|x| |0:01||", "-"}, {fax, "fax1.tif|1| |0:01|", "-"},
            {modem, "ttyIAX0|*|5550100|Sendmere Lab A|Running and idle", "ttyIAX0,1,5550100,Sendmere Lab A,Running and idle"},
            {modem, "|*|1|2|3", "-"}, {modem, "ttyIAX0|*|1|2", "-"}};
        for (const auto &c : cases)
            QCOMPARE(c.parse(QString::fromLatin1(c.line)), QString::fromLatin1(c.fields));
        int bad = 0;
        QCOMPARE(parseList<ServerJob>("1|P|0/1|0/1|0/1|||\r\ngarbage\n\n2|R|0/1|1/1|1/1|m||\n", parseJob, bad).size(), 2);
        QCOMPARE(bad, 1);
    }

    void jobParameters() {
        FaxdConfig config;
        config.retries = 2;
        config.retryIntervalSeconds = 90;
        const QDateTime now(QDate(2026, 3, 10), QTime(12, 0), Qt::UTC);
        auto job = JobRecord::fromProperties({{"Id", "1a"}, {"LineTag", "sendmere-1a-0001"}, {"Subject", "Offer"}, {"Priority", 2},
                                              {"ScheduledTime", now.addSecs(3600 + 10).toMSecsSinceEpoch()},
                                              {"Recipient", QVariantMap{{"FaxNumber", " 5550100 "}, {"Name", "Ann"}, {"Company", "Example Ltd"}}},
                                              {"Sender", QVariantMap{{"Name", "Bob"}}}});
        OutgoingFax fax = OutgoingFax::fromJob(job, "/spool/queue/1a.tiff", config);
        QCOMPARE((QStringList{fax.tag, fax.dialString, n(fax.maxTries), n(fax.maxDials)}), (QStringList{u"sendmere-1a-0001"_s, u"5550100"_s, u"3"_s, u"3"_s}));
        const auto params = sendmere::faxd::jobParameters(fax, now);
        const auto has = [&](const char *name, const char *value) {
            return sendmere::faxd::jobParameters(fax, now).contains(std::pair<QString, QString>(name, value));
        };
        // SENDTIME: 13:00:10 rounded up to the minute; LASTTIME: 3 h past it, 61 min away, rounded up.
        for (const auto &[name, value] : std::initializer_list<std::pair<const char *, const char *>>{
                 {"DIALSTRING", "5550100"}, {"TOUSER", "Ann"}, {"TOCOMPANY", "Example Ltd"}, {"FROMUSER", "Bob"}, {"REGARDING", "Offer"},
                 {"SCHEDPRI", "63"}, {"VRES", "196"}, {"SENDTIME", "202603101301"}, {"MAXTRIES", "3"}, {"MAXDIALS", "3"},
                 {"RETRYTIME", "0130"}, {"LASTTIME", "000402"}, {"NOTIFY", "none"}})
            QVERIFY2(has(name, value), name);
        // Due now (or a time in the past), normal and low priority, dials of their own.
        fax.sendTime = now.addSecs(-60);
        fax.priority = 1;
        QVERIFY(has("SENDTIME", "NOW") && has("LASTTIME", "000301"));
        fax.retrySeconds = 100000;  // beyond what the server takes
        QVERIFY(has("RETRYTIME", "9959"));
        fax.sendTime = now.addDays(2);
        QVERIFY(has("LASTTIME", "020301") && has("SCHEDPRI", "127"));
        fax.priority = 0;
        QVERIFY(has("SCHEDPRI", "191"));
        config.line.maxDials = 1;
        QCOMPARE(OutgoingFax::fromJob(job, {}, config).maxDials, 1);
        job.subject.clear();
        QCOMPARE(sendmere::faxd::jobParameters(OutgoingFax::fromJob(job, {}, config), now).size(), params.size() - 1);
    }

    void serverSetting() {
        const struct { const char *text, *host; int port; } cases[] = {  // no host: refused
            {"fax.example.org", "fax.example.org", 4559}, {"127.0.0.1:14559", "127.0.0.1", 14559}, {"h:1", "h", 1}, {"h:65535", "h", 65535},
            {"h:0", nullptr, 0}, {"h:65536", nullptr, 0}, {"h:fax", nullptr, 0}, {"", nullptr, 0}, {"fax server", nullptr, 0},
            {"[::1]:4560", "::1", 4560}};
        for (const auto &c : cases) {
            QString host;
            quint16 port = 0;
            QVERIFY2(parseServer(QString::fromLatin1(c.text), host, port) == (c.host != nullptr), c.text);
            QVERIFY2(!c.host || (host == QLatin1String(c.host) && port == c.port), c.text);
        }
    }

    void lineSection() {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"faxd.conf"_s);
        QCOMPARE(FaxdConfig::load(path).line.backend, LineConfig::Backend::Loopback);  // written with the defaults
        QCOMPARE(QSettings(path, QSettings::IniFormat).value(u"Line/Backend"_s).toString(), u"loopback"_s);
        // The [Line] text; what is read as "backend server user poll stall", or a part of the error (on the loopback).
        const struct { const char *text, *read; } cases[] = {
            {"Backend=HylaFAX\nServer=fax.example.org:4600\nUser=office\nPollSeconds=1\n", "hylafax fax.example.org:4600 office 1 300"},
            {"Backend=hylafax\n", "hylafax 127.0.0.1:4559 fax 3 300"},
            {"Backend=hylafax\nStallSeconds=45\n", "hylafax 127.0.0.1:4559 fax 3 45"},
            {"Backend=hylafax\nStallSeconds=0\n", "hylafax 127.0.0.1:4559 fax 3 1"},
            {"Backend=hylafax\nServer=fax:99999\n", "fax:99999"},
            {"Backend=modem\n", "modem"}};
        for (const auto &c : cases) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(QByteArray("[Line]\n") + c.text) > 0);
            f.close();
            const LineConfig line = FaxdConfig::load(path).line;
            const QString read = line.backend == LineConfig::Backend::Loopback ? line.error
                : u"hylafax %1 %2 %3 %4"_s.arg(line.serverName(), line.user).arg(line.pollSeconds).arg(line.stallSeconds) + line.error;
            QVERIFY2(line.backend == LineConfig::Backend::Loopback ? read.contains(QLatin1String(c.read)) : read == QLatin1String(c.read), qPrintable(read));
        }
    }
};

QTEST_GUILESS_MAIN(TestHylaFaxProtocol)
#include "tst_hylafaxprotocol.moc"
