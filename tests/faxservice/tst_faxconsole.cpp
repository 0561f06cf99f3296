// The fax console sendmere-fax as a user or a script runs it: the real binary, the service it starts, its text and JSON output.
#include "FaxTestSupport.h"
#include "RegistryStore.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace sendmere;
using namespace sendmere::faxtest;

namespace {

// Runs a command that must end with the exit code and name textPart on its error output.
void expectFailure(const QStringList &args, int code, const QString &textPart, const QString &program = consolePath()) {
    const ConsoleRun run = runConsole(args, program);
    QCOMPARE(run.code, code);
    QVERIFY2(run.err.contains(textPart), qPrintable(run.err));
}

// "sendmere-fax send ARGS": the job id it prints, empty when it failed.
QString send(const QStringList &args) {
    const ConsoleRun run = runConsole(QStringList{u"send"_s} + args);
    return run.code == 0 ? run.out.trimmed() : QString();
}

}  // namespace

class TestFaxConsole : public QObject {
    Q_OBJECT

    QString m_sentId;

private Q_SLOTS:
    void initTestCase() {
        writeConfig(u"[Transmission]\nSecondsPerPage=0\nDialDelaySeconds=0.3\n"_s);
        registry::RegistryStore store;
        const QString userInfo = u"Software\\Microsoft\\Fax\\UserInfo"_s;
        QVERIFY(store.setValue(registry::Root::CurrentUser, userInfo, u"FullName"_s, registry::RegValue::string(u"Dana Console"_s)));
        QVERIFY(store.setValue(registry::Root::CurrentUser, userInfo, u"FaxNumber"_s, registry::RegValue::string(u"5550177"_s)));
    }

    // Help and version with status 0; a usage error in one line with a pointer to the help, status 2, before any service starts.
    void usageAsCommandLineToolsHaveIt() {
        QVERIFY(!serviceRunning());
        for (const QString &help : {u"--help"_s, u"-h"_s, u"help"_s}) {
            const ConsoleRun run = runConsole({help});
            QCOMPARE(run.code, 0);
            QVERIFY2(run.out.startsWith(u"usage: sendmere-fax COMMAND"_s) && run.out.contains(u"  list queue|sent|received [--json]\n"_s), qPrintable(run.out));
            QCOMPARE(run.err, QString());
        }
        const ConsoleRun version = runConsole({u"--version"_s});
        QCOMPARE(version.code, 0);
        QCOMPARE(version.out, u"sendmere-fax %1\n"_s.arg(QStringLiteral(SENDMERE_VERSION_STRING)));
        for (const QString &command : {u"send"_s, u"list"_s, u"tiff"_s, u"watch"_s}) {
            const ConsoleRun run = runConsole({command, u"--help"_s});
            QVERIFY2(run.code == 0 && run.out.startsWith(u"usage: sendmere-fax "_s + command), qPrintable(run.out));
        }
        const QList<std::pair<QStringList, QString>> usageErrors{{{u"frobnicate"_s}, u"unknown command frobnicate"_s},
                                                                 {{}, u"no command given"_s},
                                                                 {{u"list"_s, u"bogus"_s}, u"list bogus: give queue, sent or received"_s},
                                                                 {{u"tiff"_s, u"1000"_s, QString()}, u"tiff needs an ID and a PATH"_s},
                                                                 {{u"list"_s, u"queue"_s, u"--json=yes"_s}, u"--json takes no value"_s}};
        for (const auto &[args, problem] : usageErrors) {
            const ConsoleRun run = runConsole(args);
            QCOMPARE(run.code, 2);
            QCOMPARE(run.err, u"sendmere-fax: %1\nTry 'sendmere-fax --help' for more information.\n"_s.arg(problem));
            QCOMPARE(run.out, QString());
        }
        const QString file = writeTextFile(u"u.txt"_s, u"u\n"_s);
        const QList<std::pair<QStringList, QString>> refused{{{u"send"_s, u"--to"_s, u"abc"_s, file}, u"--to abc"_s},
                                                             {{u"send"_s, u"--to=abc"_s, file}, u"cannot be dialled"_s},
                                                             {{u"send"_s, u"--to"_s, u"1"_s, u"--at"_s, u"1970-01-01T00:00"_s, file}, u"that time has passed"_s},
                                                             {{u"send"_s, u"--to"_s, u"1"_s, u"--at"_s, u"tomorrow"_s, file}, u"--at tomorrow"_s},
                                                             {{u"send"_s, u"--to"_s, u"1"_s, u"--priority"_s, u"urgent"_s}, u"--priority urgent: give low"_s},
                                                             {{u"send"_s, file}, u"send needs --to NUMBER"_s},
                                                             {{u"ring"_s, u"--from"_s, u"5"_s.repeated(5000), file}, u"at most 20"_s}};
        for (const auto &[args, text] : refused)
            expectFailure(args, 2, text);
        // A file name that is not UTF-8 is named as such, not as missing.
        expectFailure({u"-c"_s, u"cd \"$TMPDIR\" && n=$(printf 'caf\\351.txt') && echo x > \"$n\" && exec \"$0\" send --to 1 \"$n\""_s, consolePath()}, 2,
                      u"not valid UTF-8"_s, u"/bin/sh"_s);
        QVERIFY(!serviceRunning());
    }

    // The first command starts the service; the fax reaches both archives, from the sender of the user's settings.
    void sendReachesBothArchives() {
        QVERIFY(!serviceRunning());
        m_sentId = send({u"--to"_s, u"5550100"_s, u"--cover"_s, u"general"_s, u"--subject"_s, u"Hello"_s, u"--priority"_s, u"high"_s, writePdf(u"some.pdf"_s, 2)});
        QVERIFY(!m_sentId.isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(!findId(listing(u"sent"_s), m_sentId).isEmpty(), 10000);
        const ConsoleRun show = runConsole({u"show"_s, m_sentId, u"--json"_s});
        QCOMPARE(show.code, 0);
        const QJsonObject r = QJsonDocument::fromJson(show.out.toUtf8()).object();
        QCOMPARE(u"%1 %2 %3 %4 %5"_s.arg(r[u"Folder"_s].toString(), r[u"Subject"_s].toString(), r[u"Sender"_s][u"Name"_s].toString())
                     .arg(r[u"Pages"_s].toInt()).arg(r[u"Priority"_s].toInt()),
                 u"sent Hello Dana Console 3 2"_s);
        QVERIFY(QDateTime::fromString(r[u"TransmissionEnd"_s].toString(), Qt::ISODate).isValid());
        QCOMPARE(listing(u"received"_s).at(0)[u"CallerId"_s].toString(), u"5550177"_s);
    }

    void watchPrintsEventsInOrder() {
        QProcess watch;
        watch.start(consolePath(), {u"watch"_s, u"--json"_s, u"--count"_s, u"6"_s});
        QByteArray said;
        QTRY_VERIFY_WITH_TIMEOUT((said += watch.readAllStandardError()).contains("watching"), 10000);
        const QString id = send({u"--to"_s, u"5550100"_s, writeTextFile(u"w.txt"_s, u"watched\n"_s)});
        QVERIFY(watch.waitForFinished(15000));
        QStringList events;
        for (const QByteArray &line : watch.readAllStandardOutput().split('\n'))
            if (const QJsonObject event = QJsonDocument::fromJson(line).object(); !event.isEmpty())
                events << event[u"event"_s].toString() + u' ' + event[u"id"_s].toString();
        QCOMPARE(events.mid(0, 5), (QStringList{u"outgoing-job-added "_s + id, u"outgoing-job-changed "_s + id, u"outgoing-job-changed "_s + id,
                                                u"outgoing-job-removed "_s + id, u"outgoing-message-added "_s + id}));
        QVERIFY(events.value(5).startsWith(u"incoming-message-added "_s));
    }

    // The session bus ends while a long fax renders: the console says the service is gone and ends (on a bus and home of its own).
    void consoleEndsWithItsSessionBus() {
        QTemporaryDir home;
        QProcess bus, console;
        QProcessEnvironment env = startPrivateBus(bus);
        for (const char *var : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME"})
            env.insert(QString::fromLatin1(var), home.filePath(QString::fromLatin1(var)));
        console.setProcessEnvironment(env);
        console.start(consolePath(), {u"send"_s, u"--to"_s, u"5550100"_s, writeTextFile(u"long.txt"_s, u"a line of the long fax\n"_s.repeated(30000))});
        // Once the fax's image is being written, the console is waiting on its submission.
        const QDir queue(home.filePath(u"XDG_DATA_HOME/sendmere/fax/queue"_s));
        QTRY_VERIFY_WITH_TIMEOUT(!queue.entryList({u"*.tiff.part*"_s}, QDir::Files).isEmpty(), 20000);
        bus.kill();
        QVERIFY(bus.waitForFinished());
        QVERIFY2(console.waitForFinished(30000), "the console still waits on a session bus that has ended");
        QCOMPARE(console.exitCode(), 1);
        QVERIFY2(console.readAllStandardError().contains("(error 462)"), "the console did not say that the service is unavailable");
    }

    // cancel, delete, show, tiff and their errors; "--to=N" and "--"; a time of day that has passed today means tomorrow.
    void cancelDeleteAndErrors() {
        const ConsoleRun dashed = runConsole({u"-c"_s, u"cd \"$TMPDIR\" && echo dash > ./-dash.txt && exec \"$0\" send --to=5550142 --at=23:59 -- -dash.txt"_s,
                                              consolePath()}, u"/bin/sh"_s);
        QCOMPARE(dashed.code, 0);
        const QString id = dashed.out.trimmed();
        const QJsonObject job = findId(listing(u"queue"_s), id);
        QCOMPARE(job[u"Recipient"_s][u"FaxNumber"_s].toString() + u' ' + job[u"DocumentName"_s].toString(), u"5550142 -dash.txt"_s);
        QCOMPARE(job[u"Status"_s].toInt(), 1);
        QCOMPARE(job[u"StatusText"_s].toString(), u"pending"_s);
        const QStringList table = runConsole({u"list"_s, u"queue"_s}).out.split(u'\n');  // names the priority in the option's words
        QVERIFY2(table.first().contains(u"  Priority  "_s), qPrintable(table.first()));
        QCOMPARE(table.filter(id).size(), 1);
        QVERIFY2(table.filter(id).first().contains(u"  normal  "_s), qPrintable(table.filter(id).first()));
        QCOMPARE(runConsole({u"cancel"_s, id}).code, 0);
        QVERIFY(findId(listing(u"queue"_s), id).isEmpty());
        expectFailure({u"cancel"_s, id}, 1, id);

        const QString past = QTime::currentTime().addSecs(-120).toString(u"HH:mm"_s);
        const QString tomorrow = send({u"--to"_s, u"5550100"_s, u"--at"_s, past, writeTextFile(u"p.txt"_s, u"past\n"_s)});
        const QDateTime at = QDateTime::fromString(findId(listing(u"queue"_s), tomorrow)[u"ScheduledTime"_s].toString(), Qt::ISODate);
        QVERIFY2(at > QDateTime::currentDateTime().addSecs(20 * 3600), qPrintable(at.toString(Qt::ISODate)));
        QCOMPARE(runConsole({u"cancel"_s, tomorrow}).code, 0);

        QCOMPARE(runConsole({u"delete"_s, u"sent"_s, m_sentId}).code, 0);
        QVERIFY(findId(listing(u"sent"_s), m_sentId).isEmpty());
        QCOMPARE(runConsole({u"show"_s, m_sentId}).code, 1);
        QCOMPARE(runConsole({u"delete"_s, u"received"_s, u"zzz"_s}).code, 1);
        const QString anyReceived = listing(u"received"_s).at(0)[u"Id"_s].toString(), missing = QDir::tempPath() + u"/missing.pdf"_s;
        expectFailure({u"tiff"_s, anyReceived, u"/no/such/dir/x.tiff"_s}, 1, u"/no/such/dir/x.tiff"_s);
        expectFailure({u"send"_s, u"--to"_s, u"1"_s, missing}, 1, missing);
        expectFailure({u"send"_s, u"--to"_s, u"1"_s, u"--cover"_s, u"nosuch"_s}, 2, u"--cover nosuch: no such"_s);
    }

    void ringAnswerAndDevices() {
        expectFailure({u"answer"_s}, 1, u"No call is ringing"_s);
        QCOMPARE(runConsole({u"ring"_s, u"--from"_s, u"5550123"_s, writeTextFile(u"r.txt"_s, u"ring\n"_s)}).code, 0);
        QCOMPARE(runConsole({u"answer"_s}).code, 0);
        QTRY_COMPARE_WITH_TIMEOUT(listing(u"received"_s).last()[u"CallerId"_s].toString(), u"5550123"_s, 10000);
        const QJsonArray devices = QJsonDocument::fromJson(runConsole({u"devices"_s, u"--json"_s}).out.toUtf8()).array();
        QCOMPARE(devices.size(), 1);
        QCOMPARE(devices.at(0)[u"DeviceName"_s].toString(), u"Sendmere Virtual Modem"_s);
    }
};

QTEST_MAIN(TestFaxConsole)
#include "tst_faxconsole.moc"
