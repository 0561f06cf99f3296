// The HylaFAX line against a scripted server, for the faults a real server cannot be made to
// produce on demand: a connection cut between JNEW and JSUBM, after JSUBM before its reply,
// in the middle of an upload, and a reply that makes no sense. Each job must reach the server
// exactly once. Also: a refused job fails with the server's text, a server that is not there
// leaves the job waiting with the reason, and the server's done and received faxes reach the
// archives (a received one once, also after it was deleted).
#include "FaxComposer.h"
#include "FaxdConfig.h"
#include "HylaFaxLine.h"
#include "OutgoingQueue.h"
#include "ServiceLog.h"
#include "Spool.h"

#include <QElapsedTimer>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

using namespace sendmere::faxd;
namespace faxbus = sendmere::faxbus;

namespace {

// A HylaFAX server as far as this client uses it, with faults to order. Jobs created but not
// submitted are dropped with their session, as the real server does.
class ScriptedServer : public QObject {
public:
    struct Job {
        QString id, tag, state = QStringLiteral("P"), status;
        int pages = 1;
    };
    enum class Fault { None, CutAtFirstJparm, CutAfterJsubm, CutInUpload, MalformedJnew, RefuseJsubm, RefuseResubmissionOnce };

    Fault fault = Fault::None;
    QList<Job> jobs;
    QStringList received;  // recvq files
    QByteArray receivedImage;
    int jsubms = 0, sessions = 0;
    QString password;  // asked for after USER when set
    QString adminPassword;  // ADMIN with it lets a session answer calls
    QStringList answered;   // the modems told to answer
    QString modemStatus = QStringLiteral("Running and idle");
    QStringList resubmissions;  // JSUSP and JSUBM of jobs already submitted, with the time
    QElapsedTimer clock;

    ScriptedServer()
    {
        QVERIFY(m_control.listen(QHostAddress::LocalHost));
        QVERIFY(m_data.listen(QHostAddress::LocalHost));
        connect(&m_control, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *s = m_control.nextPendingConnection()) {
                ++sessions;
                s->setParent(this);
                s->write("220 scripted fax server ready.\r\n");
                connect(s, &QTcpSocket::readyRead, this, [this, s] { readCommands(s); });
                connect(s, &QTcpSocket::disconnected, this, [this, s] {
                    m_current.remove(s);  // an unsubmitted job ends with its session
                    m_admins.remove(s);
                    s->deleteLater();
                });
            }
        });
        connect(&m_data, &QTcpServer::newConnection, this, [this] {
            m_dataSocket = m_data.nextPendingConnection();
            m_dataSocket->setParent(this);
            if (m_afterData)
                std::exchange(m_afterData, {})();
        });
    }
    quint16 port() const { return m_control.serverPort(); }
    int jobsTagged(const QString &tag) const
    {
        return int(std::count_if(jobs.begin(), jobs.end(), [&](const Job &j) { return j.tag == tag; }));
    }

private:
    void readCommands(QTcpSocket *s)
    {
        while (s->canReadLine()) {
            const QString line = QString::fromUtf8(s->readLine()).trimmed();
            const QString verb = line.section(u' ', 0, 0).toUpper();
            const QString arg = line.section(u' ', 1);
            if (!answer(s, verb, arg))
                return;
        }
    }

    void cut(QTcpSocket *s)
    {
        fault = Fault::None;
        if (m_dataSocket)
            m_dataSocket->abort();
        s->abort();
    }

    // Runs body once the client's data connection is there.
    void withData(std::function<void()> body)
    {
        if (m_dataSocket)
            body();
        else
            m_afterData = std::move(body);
    }

    bool answer(QTcpSocket *s, const QString &verb, const QString &arg)
    {
        if (verb == u"USER")
            s->write(password.isEmpty() ? "230 User logged in.\r\n" : "331 Password required for fax.\r\n");
        else if (verb == u"PASS")
            s->write(arg == password ? "230 User logged in.\r\n" : "530 Login incorrect.\r\n");
        else if (verb == u"ADMIN") {
            if (arg == adminPassword)
                m_admins.insert(s);
            s->write(m_admins.contains(s) ? "230 Administrative privileges established.\r\n" : "530 Login incorrect.\r\n");
        } else if (verb == u"ANSWER") {
            if (!m_admins.contains(s)) {
                s->write("500 ANSWER command requires administrator privileges.\r\n");
                return true;
            }
            answered.append(arg);
            s->write(QStringLiteral("200 Modem %1 told to answer call as any.\r\n").arg(arg).toUtf8());
        } else if (verb == u"PASV") {
            m_dataSocket = nullptr;
            const quint16 p = m_data.serverPort();
            s->write(QStringLiteral("227 Entering Passive Mode (127,0,0,1,%1,%2)\r\n").arg(p / 256).arg(p % 256).toUtf8());
        } else if (verb == u"LIST") {
            s->write("150 Opening new data connection for \"" + arg.toUtf8() + "\".\r\n");
            withData([this, s, arg] {
                m_dataSocket->write(listing(arg));
                m_dataSocket->disconnectFromHost();
                s->write("226 Transfer complete.\r\n");
            });
        } else if (verb == u"RETR") {
            s->write("150 Opening new data connection for \"" + arg.toUtf8() + "\".\r\n");
            withData([this, s] {
                m_dataSocket->write(receivedImage);
                m_dataSocket->disconnectFromHost();
                s->write("226 Transfer complete.\r\n");
            });
        } else if (verb == u"STOT") {
            s->write("150 FILE: /tmp/doc1.tif (Opening new data connection).\r\n");
            withData([this, s] {
                QTcpSocket *data = m_dataSocket;
                connect(data, &QTcpSocket::readyRead, this, [this, s, data] {
                    data->readAll();
                    if (fault == Fault::CutInUpload)
                        cut(s);
                });
                connect(data, &QTcpSocket::disconnected, this, [s] {
                    if (s->state() == QAbstractSocket::ConnectedState)
                        s->write("226 Transfer complete (FILE: /tmp/doc1.tif).\r\n");
                });
                if (data->state() != QAbstractSocket::ConnectedState && s->state() == QAbstractSocket::ConnectedState)
                    s->write("226 Transfer complete (FILE: /tmp/doc1.tif).\r\n");
            });
        } else if (verb == u"JNEW") {
            if (fault == Fault::MalformedJnew) {
                fault = Fault::None;
                s->write("hello there\r\n");
                return true;
            }
            Job job;
            job.id = QString::number(++m_nextId);
            m_current[s] = job;
            s->write(QStringLiteral("200 New job created: jobid: %1 groupid: %1.\r\n").arg(m_nextId).toUtf8());
        } else if (verb == u"JPARM") {
            if (fault == Fault::CutAtFirstJparm) {
                cut(s);
                return false;
            }
            if (arg.startsWith(u"JOBINFO"))
                m_current[s].tag = arg.section(u' ', 1).remove(u'"');
            s->write("213 Set.\r\n");
        } else if ((verb == u"JSUSP" || verb == u"JSUBM") && !arg.isEmpty()) {
            // Suspended, then submitted again: the scheduler takes it and a modem sends it.
            resubmissions.append(QStringLiteral("%1 %2 at %3 ms").arg(verb, arg).arg(clock.elapsed()));
            if (verb == u"JSUBM" && fault == Fault::RefuseResubmissionOnce) {
                fault = Fault::None;
                s->write("504 Job 1 is busy, try again.\r\n");
                return true;
            }
            for (Job &j : jobs)
                if (j.id == arg)
                    j.state = verb == u"JSUSP" ? QStringLiteral("T") : QStringLiteral("R");
            s->write("200 Job resubmitted.\r\n");
        } else if (verb == u"JSUBM") {
            if (fault == Fault::RefuseJsubm) {
                fault = Fault::None;
                s->write("503 Invalid dialstring \"x\".\r\n");
                return true;
            }
            ++jsubms;
            jobs.append(m_current.take(s));
            if (fault == Fault::CutAfterJsubm) {
                cut(s);
                return false;
            }
            s->write(QStringLiteral("200 Job %1 submitted.\r\n").arg(jobs.last().id).toUtf8());
        } else if (verb == u"JKILL" || verb == u"JDELE") {
            for (Job &j : jobs)
                if (j.id == arg)
                    j.state = QStringLiteral("F");
            if (verb == u"JDELE")
                jobs.erase(std::remove_if(jobs.begin(), jobs.end(), [&](const Job &j) { return j.id == arg; }), jobs.end());
            s->write("200 Job killed.\r\n");
        } else if (verb == u"QUIT") {
            s->write("221 Goodbye.\r\n");
            s->disconnectFromHost();
        } else {
            s->write("200 Done.\r\n");  // TZONE, TYPE and the formats
        }
        return true;
    }

    QByteArray listing(const QString &dir) const
    {
        QByteArray text;
        if (dir == u"sendq" || dir == u"doneq")
            for (const Job &j : jobs)
                if ((dir == u"doneq") == (j.state == u"D" || j.state == u"F"))
                    text += QStringLiteral("%1|%2| %3:%3 | 1:3 | 1:3|ttyLab|%4|%5\r\n").arg(j.id, j.state).arg(j.pages).arg(j.tag, j.status).toUtf8();
        if (dir == u"recvq")
            for (const QString &f : received)
                text += QStringLiteral("%1|2| |00:00:40|5550199|\n").arg(f).toUtf8();
        if (dir == u"status")
            text += "ttyLab|*|5550100|Lab A|" + modemStatus.toUtf8() + "\n";
        return text;
    }

    QTcpServer m_control, m_data;
    QPointer<QTcpSocket> m_dataSocket;
    std::function<void()> m_afterData;
    QHash<QTcpSocket *, Job> m_current;
    QSet<QTcpSocket *> m_admins;
    int m_nextId = 0;
};

}  // namespace

class TestHylaFaxRecovery : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<ServiceLog> m_log;
    std::unique_ptr<Spool> m_spool;
    FaxdConfig m_config;
    int m_run = 0;

    // A fresh spool and a line to server port; one queued job, its image a real TIFF.
    std::unique_ptr<HylaFaxLine> startLine(quint16 port, bool withJob = true)
    {
        const QString root = m_dir.filePath(QStringLiteral("spool%1").arg(++m_run));
        m_log = std::make_unique<ServiceLog>(m_dir.filePath(QStringLiteral("faxd%1.log").arg(m_run)));
        m_spool = std::make_unique<Spool>(root, *m_log);
        m_spool->open();
        m_config.line.backend = LineConfig::Backend::HylaFax;
        m_config.line.host = QStringLiteral("127.0.0.1");
        m_config.line.port = port;
        m_config.line.pollSeconds = 0.2;
        auto line = std::make_unique<HylaFaxLine>(*m_spool, m_config, *m_log);
        line->load();
        if (withJob) {
            const qint64 id = m_spool->allocateId();
            composeIncomingImage(bodyPath(), QStringLiteral("5550111"), m_spool->partPath(Folder::Queue, id));
            line->add({JobRecord::fromProperties(jobProperties(id))});
        }
        return line;
    }

    QString bodyPath()
    {
        const QString path = m_dir.filePath(QStringLiteral("body.txt"));
        QFile f(path);
        if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
            f.write("A page for the scripted server.\n");
        return path;
    }

    static QVariantMap jobProperties(qint64 id)
    {
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        return {{"Id", idText(id)}, {"Subject", "Test"}, {"DocumentName", "t"}, {"Note", ""}, {"CoverPage", ""},
                {"CoverPageType", 0}, {"Priority", 1}, {"ScheduleType", 0}, {"AttachFaxToReceipt", false},
                {"Status", status::Pending}, {"ExtendedStatus", ""}, {"SubmissionTime", now}, {"OriginalScheduledTime", now},
                {"ScheduledTime", now}, {"TransmissionStart", 0}, {"TransmissionEnd", 0}, {"Pages", 1}, {"Retries", 0},
                {"Sender", QVariantMap{{"Name", "Bob"}}}, {"Recipient", QVariantMap{{"FaxNumber", "5550100"}, {"Name", "Ann"}}},
                {"CSID", ""}, {"TSID", "5550111"}, {"DeviceName", ""}, {"SubmissionId", QStringLiteral("s-%1").arg(id)}};
    }

    static QVariantMap onlyJob(const HylaFaxLine &line) { return line.jobs().value(0).toProperties(); }

private Q_SLOTS:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    // Every cut and every nonsense reply ends with exactly one job on the server.
    void submittedOnceDespiteFaults_data()
    {
        QTest::addColumn<int>("fault");
        QTest::newRow("cut between JNEW and JSUBM") << int(ScriptedServer::Fault::CutAtFirstJparm);
        QTest::newRow("cut after JSUBM, before its reply") << int(ScriptedServer::Fault::CutAfterJsubm);
        QTest::newRow("cut in the middle of the upload") << int(ScriptedServer::Fault::CutInUpload);
        QTest::newRow("nonsense reply to JNEW") << int(ScriptedServer::Fault::MalformedJnew);
        QTest::newRow("no fault") << int(ScriptedServer::Fault::None);
    }

    void submittedOnceDespiteFaults()
    {
        QFETCH(int, fault);
        ScriptedServer server;
        server.fault = ScriptedServer::Fault(fault);
        auto line = startLine(server.port());
        QTRY_VERIFY_WITH_TIMEOUT(!onlyJob(*line).value("ServerJobId").toString().isEmpty(), 20000);
        const QVariantMap job = onlyJob(*line);
        const QString tag = job.value("LineTag").toString();
        QVERIFY(tag.startsWith(QStringLiteral("sendmere-") + job.value("Id").toString()));
        QCOMPARE(server.jsubms, 1);
        QCOMPARE(server.jobsTagged(tag), 1);
        QCOMPARE(job.value("ServerJobId").toString(), server.jobs.first().id);
        QVERIFY(server.sessions >= (fault == int(ScriptedServer::Fault::None) ? 1 : 2));
        // The spool holds the server's job: a restarted service follows it, never submits again.
        line.reset();
        HylaFaxLine again(*m_spool, m_config, *m_log);
        again.load();
        QCOMPARE(onlyJob(again).value("ServerJobId").toString(), server.jobs.first().id);
        server.jobs.first().state = QStringLiteral("D");
        QTRY_VERIFY_WITH_TIMEOUT(again.jobs().isEmpty(), 10000);
        QCOMPARE(server.jsubms, 1);
        const auto sent = m_spool->messages(Folder::Sent, 0, 10);
        QCOMPARE(sent.size(), 1);
        QCOMPARE(sent.first().value("Pages").toInt(), 1);
        QCOMPARE(sent.first().value("Status").toInt(), status::Completed);
    }

    // A service killed after the server took the job, before the spool heard its id: the
    // next one finds the job by its tag.
    void foundByTagAfterACrash()
    {
        ScriptedServer server;
        auto line = startLine(server.port());
        QTRY_VERIFY_WITH_TIMEOUT(!onlyJob(*line).value("ServerJobId").toString().isEmpty(), 20000);
        QVariantMap job = onlyJob(*line);
        line.reset();
        job.remove("ServerJobId");  // as if the service ended between JSUBM and the spool's commit
        m_spool->updateJob(job);
        HylaFaxLine again(*m_spool, m_config, *m_log);
        again.load();
        QTRY_VERIFY_WITH_TIMEOUT(!onlyJob(again).value("ServerJobId").toString().isEmpty(), 20000);
        QCOMPARE(server.jsubms, 1);
        QCOMPARE(onlyJob(again).value("ServerJobId").toString(), server.jobs.first().id);
    }

    void refusedJobFailsWithTheServersText()
    {
        ScriptedServer server;
        server.fault = ScriptedServer::Fault::RefuseJsubm;
        auto line = startLine(server.port());
        QTRY_COMPARE_WITH_TIMEOUT(onlyJob(*line).value("Status").toInt(), status::Failed, 20000);
        QVERIFY2(onlyJob(*line).value("ExtendedStatus").toString().contains(QStringLiteral("Invalid dialstring")),
                 qPrintable(onlyJob(*line).value("ExtendedStatus").toString()));
        QCOMPARE(server.jsubms, 0);
        QVERIFY(server.jobs.isEmpty());
    }

    void unreachableServerLeavesTheJobQueued()
    {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const quint16 port = closed.serverPort();
        closed.close();
        auto line = startLine(port);
        const QString reason = QStringLiteral("fax server 127.0.0.1:%1 unreachable: ").arg(port);
        QTRY_VERIFY_WITH_TIMEOUT(onlyJob(*line).value("ExtendedStatus").toString().startsWith(reason), 10000);
        QCOMPARE(onlyJob(*line).value("Status").toInt(), status::Pending);
        QVERIFY(line->hasWork());
    }

    // A password comes from the credentials file, and only from one that is private.
    void passwordFromTheCredentialsFile()
    {
        ScriptedServer server;
        server.password = QStringLiteral("s3cret");
        const QString netrc = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/sendmere/netrc");
        QDir().mkpath(QFileInfo(netrc).absolutePath());
        QFile file(netrc);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("machine 127.0.0.1 login fax password s3cret\n");
        file.close();
        QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));
        auto line = startLine(server.port());
        QTRY_VERIFY_WITH_TIMEOUT(onlyJob(*line).value("ExtendedStatus").toString().contains(QStringLiteral("not private to its user")), 10000);
        QVERIFY(onlyJob(*line).value("ExtendedStatus").toString().startsWith(QStringLiteral("fax server 127.0.0.1:%1 asks for the password of fax").arg(server.port())));
        QCOMPARE(onlyJob(*line).value("Status").toInt(), status::Pending);
        QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner));
        QTRY_VERIFY_WITH_TIMEOUT(!onlyJob(*line).value("ServerJobId").toString().isEmpty(), 20000);
        // A wrong password: the server refuses the login, and the job waits saying so.
        line.reset();
        server.password = QStringLiteral("changed");
        auto second = startLine(server.port());
        QTRY_VERIFY_WITH_TIMEOUT(onlyJob(*second).value("ExtendedStatus").toString().contains(QStringLiteral("refused the login of fax")), 10000);
        QVERIFY(QFile::remove(netrc));
    }

    // A call is answered through the server as its administrator, with the admin password
    // from the credentials file's account token; without it, or refused, the caller learns why.
    void answerAsTheServersAdministrator()
    {
        ScriptedServer server;
        server.adminPassword = QStringLiteral("adm1n");
        const QString netrc = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/sendmere/netrc");
        QDir().mkpath(QFileInfo(netrc).absolutePath());
        auto writeNetrc = [&](const QByteArray &text) {
            QFile file(netrc);
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(text);
            file.close();
            QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner));
        };
        auto line = startLine(server.port(), false);
        QSignalSpy rings(line.get(), &LineBackend::incomingCall);
        int deviceCount = -1;
        line->devices([&](const QList<FaxDevice> &devices, const QString &, const QString &) { deviceCount = int(devices.size()); });
        QTRY_COMPARE_WITH_TIMEOUT(deviceCount, 1, 10000);
        // No call rings yet: an ANSWER now would be lost by the server.
        try {
            line->answer(1, [](const QString &, const QString &, const QString &) { QFAIL("answered without a call"); });
            QFAIL("answered without a call");
        } catch (const ServiceError &e) {
            QCOMPARE(e.name(), faxbus::ErrorNoCall);
        }
        server.modemStatus = QStringLiteral("Listening to rings from modem");
        QTRY_COMPARE_WITH_TIMEOUT(rings.size(), 1, 10000);
        QCOMPARE(rings.first().at(0).toInt(), 1);
        auto answer = [&] {
            std::optional<QStringList> result;
            line->answer(1, [&](const QString &jobId, const QString &errorName, const QString &errorText) {
                result = QStringList{jobId, errorName, errorText};
            });
            (void)QTest::qWaitFor([&] { return result.has_value(); }, 10000);
            return result.value_or(QStringList{QString(), QString(), QStringLiteral("no answer from the line")});
        };
        const QList<std::pair<QByteArray, QString>> refusals = {
            {"machine 127.0.0.1 login fax\n", QStringLiteral("there is no admin password")},
            {"machine 127.0.0.1 login fax account wrong\n", QStringLiteral("refused the admin password: 530 Login incorrect.")},
        };
        for (const auto &[text, reason] : refusals) {
            writeNetrc(text);
            const QStringList refused = answer();
            QVERIFY(refused.at(0).isEmpty());
            QCOMPARE(refused.at(1), faxbus::ErrorNoCall);
            QVERIFY2(refused.at(2).contains(reason), qPrintable(refused.at(2)));
        }
        QVERIFY(server.answered.isEmpty());
        writeNetrc("machine 127.0.0.1 login fax account adm1n\n");
        const QStringList answered = answer();
        QVERIFY2(!answered.at(0).isEmpty() && answered.at(1).isEmpty(), qPrintable(answered.join(u'|')));
        QCOMPARE(server.answered, QStringList{QStringLiteral("ttyLab")});
        try {  // one answer per call
            line->answer(1, [](const QString &, const QString &, const QString &) {});
            QFAIL("the call was answered twice");
        } catch (const ServiceError &e) {
            QCOMPARE(e.name(), faxbus::ErrorNoCall);
        }
        QCOMPARE(rings.size(), 1);  // one call, announced once however often it is listed
        QVERIFY(QFile::remove(netrc));
    }

    void serverFailureAndCancel()
    {
        ScriptedServer server;
        auto line = startLine(server.port());
        QTRY_VERIFY_WITH_TIMEOUT(!onlyJob(*line).value("ServerJobId").toString().isEmpty(), 20000);
        server.jobs.first().state = QStringLiteral("S");
        server.jobs.first().status = QStringLiteral("No answer from remote");
        QTRY_COMPARE_WITH_TIMEOUT(onlyJob(*line).value("Status").toInt(), status::Retrying, 10000);
        QCOMPARE(onlyJob(*line).value("ExtendedStatus").toString(), QStringLiteral("No answer from remote"));
        QSignalSpy removed(line.get(), &LineBackend::jobRemoved);
        line->cancel(idNumber(onlyJob(*line).value("Id").toString()));
        QCOMPARE(onlyJob(*line).value("Status").toInt(), status::Cancelling);
        QTRY_COMPARE_WITH_TIMEOUT(removed.size(), 1, 10000);
        QVERIFY(line->jobs().isEmpty());
        QVERIFY(server.jobs.isEmpty());  // JKILL, then JDELE
    }

    // A service killed between a cancel and the server's confirmation: the next one removes
    // the server's job, also after the spool was reopened.
    void cancelSurvivesARestart()
    {
        ScriptedServer server;
        auto line = startLine(server.port());
        QTRY_VERIFY_WITH_TIMEOUT(!onlyJob(*line).value("ServerJobId").toString().isEmpty(), 20000);
        QVariantMap job = onlyJob(*line);
        line.reset();
        job.insert("Status", status::Cancelling);
        m_spool->updateJob(job);
        m_spool.reset();
        m_spool = std::make_unique<Spool>(m_dir.filePath(QStringLiteral("spool%1").arg(m_run)), *m_log);
        m_spool->open();
        HylaFaxLine again(*m_spool, m_config, *m_log);
        again.load();
        QCOMPARE(onlyJob(again).value("Status").toInt(), status::Cancelling);
        QTRY_VERIFY_WITH_TIMEOUT(again.jobs().isEmpty(), 10000);
        QVERIFY(server.jobs.isEmpty());
    }

    // A job that the server no longer lists (its queue was cleaned by hand) fails saying so,
    // after a few polls, not at the first list that misses it.
    void jobTheServerForgot()
    {
        ScriptedServer server;
        auto line = startLine(server.port());
        QTRY_VERIFY_WITH_TIMEOUT(!onlyJob(*line).value("ServerJobId").toString().isEmpty(), 20000);
        const QString serverId = server.jobs.first().id;
        server.jobs.clear();
        QTRY_COMPARE_WITH_TIMEOUT(onlyJob(*line).value("Status").toInt(), status::Failed, 10000);
        QCOMPARE(onlyJob(*line).value("ExtendedStatus").toString(),
                 QStringLiteral("The fax server 127.0.0.1:%1 no longer knows its job %2").arg(server.port()).arg(serverId));
        QCOMPARE(server.jsubms, 1);  // not submitted again
    }

    // A job that the server keeps waiting for a modem while a modem is idle (its scheduler
    // missed its turn) is suspended and submitted again once StallSeconds have passed, also
    // when the server refuses the first submission; one that waits while the modem is busy
    // is left alone.
    void stalledJobIsSubmittedAgain()
    {
        ScriptedServer server;
        m_config.line.stallSeconds = 1;
        const auto restore = qScopeGuard([this] { m_config.line.stallSeconds = 300; });
        server.modemStatus = QStringLiteral("Sending job 7");
        auto line = startLine(server.port());
        QTRY_VERIFY_WITH_TIMEOUT(!onlyJob(*line).value("ServerJobId").toString().isEmpty(), 20000);
        const QString serverId = server.jobs.first().id;
        server.jobs.first().state = QStringLiteral("W");
        server.fault = ScriptedServer::Fault::RefuseResubmissionOnce;
        QTest::qWait(2500);
        QVERIFY2(server.resubmissions.isEmpty(), qPrintable(server.resubmissions.join(u',')));
        server.clock.start();
        server.modemStatus = QStringLiteral("Running and idle");
        QTRY_COMPARE_WITH_TIMEOUT(server.resubmissions.size(), 3, 10000);
        QVERIFY(server.resubmissions.at(0).startsWith(QStringLiteral("JSUSP %1 at").arg(serverId)));
        QVERIFY(server.resubmissions.at(1).startsWith(QStringLiteral("JSUBM %1 at").arg(serverId)));
        QVERIFY(server.resubmissions.at(2).startsWith(QStringLiteral("JSUBM %1 at").arg(serverId)));
        const qint64 after = server.resubmissions.at(0).section(u' ', 3, 3).toLongLong();
        QVERIFY2(after >= 1000, qPrintable(server.resubmissions.at(0)));  // not before StallSeconds
        QTRY_COMPARE_WITH_TIMEOUT(onlyJob(*line).value("Status").toInt(), status::InProgress, 10000);
        QCOMPARE(server.jsubms, 1);  // the same job, not a second one
    }

    void receivedFaxesComeInOnce()
    {
        ScriptedServer server;
        const QString image = m_dir.filePath(QStringLiteral("received.tiff"));
        composeIncomingImage(bodyPath(), QStringLiteral("5550199"), image);
        QFile f(image);
        QVERIFY(f.open(QIODevice::ReadOnly));
        server.receivedImage = f.readAll();
        server.received = {QStringLiteral("fax000000001.tif")};
        auto line = startLine(server.port(), false);
        QSignalSpy added(line.get(), &LineBackend::incomingMessageAdded);
        QTRY_COMPARE_WITH_TIMEOUT(added.size(), 1, 10000);
        const QString id = added.first().first().toString();
        const auto message = m_spool->message(Folder::Received, idNumber(id));
        QVERIFY(message);
        QCOMPARE(message->value("Pages").toInt(), 1);
        QCOMPARE(message->value("TSID").toString(), QStringLiteral("5550199"));
        QVERIFY(QFileInfo(m_spool->imagePath(Folder::Received, idNumber(id))).size() == server.receivedImage.size());
        // Deleted, and the service started again: it stays away.
        QVERIFY(m_spool->deleteMessage(Folder::Received, idNumber(id)));
        line.reset();
        HylaFaxLine again(*m_spool, m_config, *m_log);
        QSignalSpy addedAgain(&again, &LineBackend::incomingMessageAdded);
        again.load();
        QTest::qWait(1500);
        QCOMPARE(addedAgain.size(), 0);
    }
};

QTEST_MAIN(TestHylaFaxRecovery)
#include "tst_hylafaxrecovery.moc"
