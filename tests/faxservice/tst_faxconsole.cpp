// The fax console sendmere-fax as a user or a script runs it: the real binary, the real
// service it starts, and its text and JSON output.
#include "FaxTestSupport.h"
#include "RegistryStore.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using namespace sendmere;
using namespace sendmere::faxtest;

namespace {

// Runs a command that must end with the exit code and name textPart on its error output.
void expectFailure(const QStringList &args, int code, const QString &textPart, const QString &program = consolePath())
{
    const ConsoleRun run = runConsole(args, program);
    QCOMPARE(run.code, code);
    QVERIFY2(run.err.contains(textPart), qPrintable(run.err));
}

}  // namespace

class TestFaxConsole : public QObject {
    Q_OBJECT

private:
    QString m_sentId;

private Q_SLOTS:
    void initTestCase()
    {
        writeConfig(QStringLiteral("[Transmission]\nSecondsPerPage=0\nDialDelaySeconds=0.3\n"));
        registry::RegistryStore store;
        const QString userInfo = QStringLiteral("Software\\Microsoft\\Fax\\UserInfo");
        QVERIFY(store.setValue(registry::Root::CurrentUser, userInfo, QStringLiteral("FullName"), registry::RegValue::string(QStringLiteral("Dana Console"))));
        QVERIFY(store.setValue(registry::Root::CurrentUser, userInfo, QStringLiteral("FaxNumber"), registry::RegValue::string(QStringLiteral("5550177"))));
        QVERIFY(QFileInfo(consolePath()).isExecutable());
    }

    // As other command-line tools of the system: help and version on the output with status 0,
    // a usage error in one line and a pointer to the help with status 2, "--opt=value" and
    // "--"; words the service would refuse are refused before it is even started.
    void usageAsCommandLineToolsHaveIt()
    {
        QVERIFY(!serviceRunning());
        for (const QString &help : {QStringLiteral("--help"), QStringLiteral("-h"), QStringLiteral("help")}) {
            const ConsoleRun run = runConsole({help});
            QCOMPARE(run.code, 0);
            QVERIFY2(run.out.startsWith(QStringLiteral("usage: sendmere-fax COMMAND")), qPrintable(run.out));
            QVERIFY(run.out.contains(QStringLiteral("  list queue|sent|received [--json]\n")));
            QCOMPARE(run.err, QString());
        }
        const ConsoleRun version = runConsole({QStringLiteral("--version")});
        QCOMPARE(version.code, 0);
        QCOMPARE(version.out, QStringLiteral("sendmere-fax %1\n").arg(QStringLiteral(SENDMERE_VERSION_STRING)));
        for (const QString &command : {QStringLiteral("send"), QStringLiteral("list"), QStringLiteral("tiff"), QStringLiteral("watch")}) {
            const ConsoleRun run = runConsole({command, QStringLiteral("--help")});
            QCOMPARE(run.code, 0);
            QVERIFY2(run.out.startsWith(QStringLiteral("usage: sendmere-fax ") + command), qPrintable(run.out));
        }
        const QString tryHelp = QStringLiteral("Try 'sendmere-fax --help' for more information.\n");
        const auto oneLine = [&](const QStringList &args, const QString &problem) {
            const ConsoleRun run = runConsole(args);
            QCOMPARE(run.code, 2);
            QCOMPARE(run.err, QStringLiteral("sendmere-fax: ") + problem + u'\n' + tryHelp);
            QCOMPARE(run.out, QString());
        };
        oneLine({QStringLiteral("frobnicate")}, QStringLiteral("unknown command frobnicate"));
        oneLine({}, QStringLiteral("no command given"));
        oneLine({QStringLiteral("list"), QStringLiteral("bogus")}, QStringLiteral("list bogus: give queue, sent or received"));
        oneLine({QStringLiteral("tiff"), QStringLiteral("1000"), QString()}, QStringLiteral("tiff needs an ID and a PATH"));
        oneLine({QStringLiteral("list"), QStringLiteral("queue"), QStringLiteral("--json=yes")}, QStringLiteral("--json takes no value"));
        const QString file = writeTextFile(QStringLiteral("u.txt"), QStringLiteral("u\n"));
        expectFailure({QStringLiteral("send"), QStringLiteral("--to"), QStringLiteral("abc"), file}, 2, QStringLiteral("--to abc"));
        expectFailure({QStringLiteral("send"), QStringLiteral("--to=abc"), file}, 2, QStringLiteral("cannot be dialled"));
        expectFailure({QStringLiteral("send"), QStringLiteral("--to"), QStringLiteral("1"), QStringLiteral("--at"),
                       QStringLiteral("1970-01-01T00:00"), file}, 2, QStringLiteral("that time has passed"));
        expectFailure({QStringLiteral("ring"), QStringLiteral("--from"), QStringLiteral("5").repeated(5000), file}, 2, QStringLiteral("at most 20"));
        QVERIFY(!serviceRunning());

    }

    // The first command on a fresh machine starts the service; the fax reaches the sent and,
    // by loopback, the received archive, and its image is a Class F G4 TIFF.
    void sendReachesBothArchives()
    {
        QVERIFY(!serviceRunning());
        const ConsoleRun sent = runConsole({QStringLiteral("send"), QStringLiteral("--to"), QStringLiteral("5550100"), QStringLiteral("--cover"),
                                     QStringLiteral("general"), QStringLiteral("--subject"), QStringLiteral("Hello"), QStringLiteral("--priority"),
                                     QStringLiteral("high"), writePdf(QStringLiteral("some.pdf"), 2)});
        QVERIFY2(sent.code == 0, qPrintable(sent.err));
        m_sentId = sent.out.trimmed();
        QVERIFY(!m_sentId.isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(!findId(listing(QStringLiteral("sent")), m_sentId).isEmpty(), 10000);

        const ConsoleRun show = runConsole({QStringLiteral("show"), m_sentId, QStringLiteral("--json")});
        QCOMPARE(show.code, 0);
        const QJsonObject record = QJsonDocument::fromJson(show.out.toUtf8()).object();
        QCOMPARE(record.value(QStringLiteral("Folder")).toString(), QStringLiteral("sent"));
        QCOMPARE(record.value(QStringLiteral("Subject")).toString(), QStringLiteral("Hello"));
        QCOMPARE(record.value(QStringLiteral("Pages")).toInt(), 3);
        QCOMPARE(record.value(QStringLiteral("Priority")).toInt(), 2);
        QCOMPARE(record.value(QStringLiteral("Sender")).toObject().value(QStringLiteral("Name")).toString(), QStringLiteral("Dana Console"));
        QVERIFY(QDateTime::fromString(record.value(QStringLiteral("TransmissionEnd")).toString(), Qt::ISODate).isValid());

        const QJsonArray received = listing(QStringLiteral("received"));
        QCOMPARE(received.size(), 1);
        QCOMPARE(received.at(0).toObject().value(QStringLiteral("CallerId")).toString(), QStringLiteral("5550177"));

        QTemporaryDir dir;
        const QString tiff = dir.filePath(QStringLiteral("fax.tiff"));
        QCOMPARE(runConsole({QStringLiteral("tiff"), m_sentId, tiff}).code, 0);
        QCOMPARE(tiffPages(tiff), 3);  // its Class F tags are checked where the writer is tested

        const ConsoleRun queue = runConsole({QStringLiteral("list"), QStringLiteral("queue")});
        QCOMPARE(queue.code, 0);
        QVERIFY(queue.out.startsWith(QStringLiteral("Id")));
        QCOMPARE(queue.out.trimmed().count(u'\n'), 0);  // the header alone: the queue is empty
    }

    void watchPrintsEventsInOrder()
    {
        QProcess watch;
        watch.start(consolePath(), {QStringLiteral("watch"), QStringLiteral("--json"), QStringLiteral("--count"), QStringLiteral("6")});
        QByteArray said;
        QTRY_VERIFY_WITH_TIMEOUT((said += watch.readAllStandardError()).contains("watching"), 10000);
        const ConsoleRun sent = runConsole({QStringLiteral("send"), QStringLiteral("--to"), QStringLiteral("5550100"),
                                     writeTextFile(QStringLiteral("w.txt"), QStringLiteral("watched\n"))});
        QCOMPARE(sent.code, 0);
        const QString id = sent.out.trimmed();
        QVERIFY(watch.waitForFinished(15000));
        QStringList events;
        for (const QByteArray &line : watch.readAllStandardOutput().split('\n')) {
            const QJsonObject event = QJsonDocument::fromJson(line).object();
            if (!event.isEmpty())
                events << event.value(QStringLiteral("event")).toString() + u' ' + event.value(QStringLiteral("id")).toString();
        }
        QCOMPARE(events.mid(0, 5), (QStringList{QStringLiteral("outgoing-job-added ") + id, QStringLiteral("outgoing-job-changed ") + id,
                                                QStringLiteral("outgoing-job-changed ") + id, QStringLiteral("outgoing-job-removed ") + id,
                                                QStringLiteral("outgoing-message-added ") + id}));
        QVERIFY(events.value(5).startsWith(QStringLiteral("incoming-message-added ")));
    }

    // The session ends while a long fax renders: the console says the service is gone and
    // ends; it never waits on a bus that has gone away. A bus and a home of its own keep the
    // other tests' service out of it.
    void consoleEndsWithItsSessionBus()
    {
        QTemporaryDir home;
        QProcess bus;
        bus.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
        QVERIFY(bus.waitForReadyRead(10000));
        const QString address = QString::fromUtf8(bus.readLine()).trimmed();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), address);
        for (const char *var : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME"})
            env.insert(QString::fromLatin1(var), home.filePath(QString::fromLatin1(var)));
        QProcess console;
        console.setProcessEnvironment(env);
        console.start(consolePath(), {QStringLiteral("send"), QStringLiteral("--to"), QStringLiteral("5550100"),
                                      writeTextFile(QStringLiteral("long.txt"), QStringLiteral("a line of the long fax\n").repeated(30000))});
        // Once the fax's image is being written, the console is waiting on its submission.
        const QDir queue(home.filePath(QStringLiteral("XDG_DATA_HOME/sendmere/fax/queue")));
        QTRY_VERIFY_WITH_TIMEOUT(!queue.entryList({QStringLiteral("*.tiff.part*")}, QDir::Files).isEmpty(), 20000);
        bus.kill();
        QVERIFY(bus.waitForFinished());
        const bool ended = console.waitForFinished(30000);
        if (!ended)
            console.kill();
        QVERIFY2(ended, "the console still waits on a session bus that has ended");
        QCOMPARE(console.exitCode(), 1);
        QVERIFY2(console.readAllStandardError().contains("(error 462)"), "the console did not say that the service is unavailable");
    }

    void cancelDeleteAndErrors()
    {
        const QString at = QDateTime::currentDateTime().addSecs(7200).toString(QStringLiteral("yyyy-MM-ddTHH:mm"));
        const ConsoleRun later = runConsole({QStringLiteral("send"), QStringLiteral("--to"), QStringLiteral("5550100"), QStringLiteral("--at"), at,
                                      writeTextFile(QStringLiteral("l.txt"), QStringLiteral("later\n"))});
        QCOMPARE(later.code, 0);
        const QString id = later.out.trimmed();
        const QJsonObject job = findId(listing(QStringLiteral("queue")), id);
        QCOMPARE(job.value(QStringLiteral("Status")).toInt(), 1);
        QCOMPARE(job.value(QStringLiteral("StatusText")).toString(), QStringLiteral("pending"));
        QCOMPARE(runConsole({QStringLiteral("cancel"), id}).code, 0);
        QVERIFY(findId(listing(QStringLiteral("queue")), id).isEmpty());
        // A time of day that has passed today means that time tomorrow.
        const ConsoleRun tomorrow = runConsole({QStringLiteral("send"), QStringLiteral("--to"), QStringLiteral("5550100"), QStringLiteral("--at"),
                                                QTime::currentTime().addSecs(-120).toString(QStringLiteral("HH:mm")),
                                                writeTextFile(QStringLiteral("p.txt"), QStringLiteral("past\n"))});
        QCOMPARE(tomorrow.code, 0);
        const QJsonObject tomorrowJob = findId(listing(QStringLiteral("queue")), tomorrow.out.trimmed());
        const QDateTime tomorrowAt = QDateTime::fromString(tomorrowJob.value(QStringLiteral("ScheduledTime")).toString(), Qt::ISODate);
        QVERIFY2(tomorrowAt > QDateTime::currentDateTime().addSecs(20 * 3600), qPrintable(tomorrowAt.toString(Qt::ISODate)));
        QCOMPARE(runConsole({QStringLiteral("cancel"), tomorrow.out.trimmed()}).code, 0);
        expectFailure({QStringLiteral("cancel"), id}, 1, id);

        QCOMPARE(runConsole({QStringLiteral("delete"), QStringLiteral("sent"), m_sentId}).code, 0);
        QVERIFY(findId(listing(QStringLiteral("sent")), m_sentId).isEmpty());
        QCOMPARE(runConsole({QStringLiteral("show"), m_sentId}).code, 1);
        QCOMPARE(runConsole({QStringLiteral("delete"), QStringLiteral("received"), QStringLiteral("zzz")}).code, 1);

        const QString anyReceived = listing(QStringLiteral("received")).at(0).toObject().value(QStringLiteral("Id")).toString();
        expectFailure({QStringLiteral("tiff"), anyReceived, QStringLiteral("/no/such/dir/x.tiff")}, 1, QStringLiteral("/no/such/dir/x.tiff"));
        const QString missing = QDir::tempPath() + QStringLiteral("/missing.pdf");
        expectFailure({QStringLiteral("send"), QStringLiteral("--to"), QStringLiteral("1"), missing}, 1, missing);
        QCOMPARE(runConsole({QStringLiteral("frobnicate")}).code, 2);
        QCOMPARE(runConsole({QStringLiteral("send"), missing}).code, 2);
        QCOMPARE(runConsole({QStringLiteral("send"), QStringLiteral("--to"), QStringLiteral("1"), QStringLiteral("--priority"), QStringLiteral("urgent")}).code, 2);
        expectFailure({QStringLiteral("send"), QStringLiteral("--to"), QStringLiteral("1"), QStringLiteral("--cover"), QStringLiteral("nosuch")}, 2, QStringLiteral("nosuch"));
        // A file name that is not UTF-8 is named as such, not as missing; "tomorrow" is no time.
        expectFailure({QStringLiteral("-c"), QStringLiteral("cd \"$TMPDIR\" && n=$(printf 'caf\\351.txt') && echo x > \"$n\" && "
                                                        "exec \"$0\" send --to 1 \"$n\""), consolePath()},
                      2, QStringLiteral("not valid UTF-8"), QStringLiteral("/bin/sh"));
        expectFailure({QStringLiteral("send"), QStringLiteral("--to"), QStringLiteral("1"), QStringLiteral("--at"),
                       QStringLiteral("tomorrow"), writeTextFile(QStringLiteral("t.txt"), QStringLiteral("t\n"))}, 2, QStringLiteral("--at tomorrow"));
        QVERIFY(serviceRunning());
    }

    void ringAnswerAndDevices()
    {
        expectFailure({QStringLiteral("answer")}, 1, QStringLiteral("No call is ringing"));
        QCOMPARE(runConsole({QStringLiteral("ring"), QStringLiteral("--from"), QStringLiteral("5550123"),
                      writeTextFile(QStringLiteral("r.txt"), QStringLiteral("ring\n"))}).code, 0);
        QCOMPARE(runConsole({QStringLiteral("answer")}).code, 0);
        QTRY_VERIFY_WITH_TIMEOUT(listing(QStringLiteral("received")).last().toObject().value(QStringLiteral("CallerId")).toString()
                                     == QStringLiteral("5550123"), 10000);
        const QJsonArray devices = QJsonDocument::fromJson(runConsole({QStringLiteral("devices"), QStringLiteral("--json")}).out.toUtf8()).array();
        QCOMPARE(devices.size(), 1);
        QCOMPARE(devices.at(0).toObject().value(QStringLiteral("DeviceName")).toString(), QStringLiteral("Sendmere Virtual Modem"));
    }

    // "--to=N", and "--" before a file whose name starts with "-"; the table names the priority
    // in the option's words.
    void optionsWithEqualsAndAfterDoubleDash()
    {
        // "--to=N", and "--" before a file whose name starts with "-".
        const ConsoleRun dashed = runConsole({QStringLiteral("-c"), QStringLiteral("cd \"$TMPDIR\" && echo dash > ./-dash.txt && "
                                                                                  "exec \"$0\" send --to=5550142 --at=23:59 -- -dash.txt"),
                                              consolePath()},
                                             QStringLiteral("/bin/sh"));
        QCOMPARE(dashed.code, 0);
        const QJsonObject job = findId(listing(QStringLiteral("queue")), dashed.out.trimmed());
        QCOMPARE(job.value(QStringLiteral("Recipient")).toObject().value(QStringLiteral("FaxNumber")).toString(), QStringLiteral("5550142"));
        QCOMPARE(job.value(QStringLiteral("DocumentName")).toString(), QStringLiteral("-dash.txt"));
        // The table names the priority in the option's words.
        const QStringList table = runConsole({QStringLiteral("list"), QStringLiteral("queue")}).out.split(u'\n');
        QVERIFY2(table.first().contains(QStringLiteral("  Priority  ")), qPrintable(table.first()));
        const QStringList row = table.filter(dashed.out.trimmed());
        QCOMPARE(row.size(), 1);
        QVERIFY2(row.first().contains(QStringLiteral("  normal  ")), qPrintable(row.first()));
        QCOMPARE(runConsole({QStringLiteral("cancel"), dashed.out.trimmed()}).code, 0);
    }
};

QTEST_MAIN(TestFaxConsole)
#include "tst_faxconsole.moc"
