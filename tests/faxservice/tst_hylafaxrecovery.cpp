// The HylaFAX line against a scripted server, for what a real server cannot be made to do on
// demand: cut the connection between JNEW and JSUBM, after JSUBM, or in an upload, or answer
// nonsense (each job reaches the server once); refusals, logins, a stalled job, a job the server
// forgot, a cancel across a restart. tst_faxhylafax runs the rest on a real server.
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
using namespace Qt::StringLiterals;
namespace faxbus = sendmere::faxbus;

namespace {

// A HylaFAX server as far as this client uses it, with faults to order. Jobs created but not
// submitted end with their session, as on the real server.
class ScriptedServer : public QObject {
public:
    struct Job { QString id, tag, state = u"P"_s; };
    enum class Fault { None, CutAtFirstJparm, CutAfterJsubm, CutInUpload, MalformedJnew, RefuseJsubm, RefuseResubmissionOnce };

    Fault fault = Fault::None;
    QList<Job> jobs;
    QStringList answered;       // modems told to answer
    QStringList resubmissions;  // "JSUSP|JSUBM ID at MS ms" for jobs already submitted
    int jsubms = 0, sessions = 0;
    QString password, adminPassword;  // asked for after USER; lets a session ANSWER after ADMIN
    QString modemStatus = u"Running and idle"_s;
    QElapsedTimer clock;

    ScriptedServer() {
        QVERIFY(m_control.listen(QHostAddress::LocalHost) && m_data.listen(QHostAddress::LocalHost));
        connect(&m_control, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *s = m_control.nextPendingConnection()) {
                ++sessions;
                s->setParent(this);
                s->write("220 scripted fax server ready.\r\n");
                connect(s, &QTcpSocket::readyRead, this, [this, s] {
                    while (s->canReadLine()) {
                        const QString line = QString::fromUtf8(s->readLine()).trimmed();
                        if (!answer(s, line.section(u' ', 0, 0).toUpper(), line.section(u' ', 1)))
                            return;
                    }
                });
                connect(s, &QTcpSocket::disconnected, this, [this, s] { m_current.remove(s); m_admins.remove(s); s->deleteLater(); });
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

private:
    bool once(Fault f) { return fault == f && (fault = Fault::None, true); }
    bool cut(QTcpSocket *s) {  // false: the session is over
        fault = Fault::None;
        if (m_dataSocket)
            m_dataSocket->abort();
        s->abort();
        return false;
    }
    void withData(std::function<void()> body) { m_dataSocket ? body() : void(m_afterData = std::move(body)); }  // once the data connection is there
    void setState(const QString &id, const QString &state) { std::ranges::for_each(jobs, [&](Job &j) { j.state = j.id == id ? state : j.state; }); }

    // One command; false once the session is cut.
    bool answer(QTcpSocket *s, const QString &verb, const QString &arg) {
        const auto say = [s](const QString &text) { return s->write(text.toUtf8() + "\r\n"), true; };
        const bool admin = m_admins.contains(s) || (verb == u"ADMIN" && arg == adminPassword);
        if (verb == u"USER") return say(password.isEmpty() ? u"230 User logged in."_s : u"331 Password required for fax."_s);
        if (verb == u"PASS") return say(arg == password ? u"230 User logged in."_s : u"530 Login incorrect."_s);
        if (verb == u"ADMIN" && admin) m_admins.insert(s);
        if (verb == u"ADMIN") return say(admin ? u"230 Administrative privileges established."_s : u"530 Login incorrect."_s);
        if (verb == u"ANSWER" && !admin) return say(u"500 ANSWER command requires administrator privileges."_s);
        if (verb == u"ANSWER") answered.append(arg);
        if (verb == u"ANSWER") return say(u"200 Modem %1 told to answer call as any."_s.arg(arg));
        if (verb == u"PASV") m_dataSocket = nullptr;
        if (verb == u"PASV") return say(u"227 Entering Passive Mode (127,0,0,1,%1,%2)"_s.arg(m_data.serverPort() / 256).arg(m_data.serverPort() % 256));
        if (verb == u"LIST") {
            say(u"150 Opening new data connection for \"%1\"."_s.arg(arg));
            withData([this, say, arg] {
                m_dataSocket->write(listing(arg));
                m_dataSocket->disconnectFromHost();
                say(u"226 Transfer complete."_s);
            });
            return true;
        }
        if (verb == u"STOT") {
            say(u"150 FILE: /tmp/doc1.tif (Opening new data connection)."_s);
            withData([this, s, say, data = m_dataSocket.get()] {
                const auto done = [s, say] { return s->state() == QAbstractSocket::ConnectedState && say(u"226 Transfer complete (FILE: /tmp/doc1.tif)."_s); };
                connect(data, &QTcpSocket::readyRead, this, [this, s, data] { data->readAll(); if (fault == Fault::CutInUpload) cut(s); });
                connect(data, &QTcpSocket::disconnected, this, done);
                if (data->state() != QAbstractSocket::ConnectedState)
                    done();
            });
            return true;
        }
        if (verb == u"JNEW" && once(Fault::MalformedJnew)) return say(u"hello there"_s);
        if (verb == u"JNEW") m_current[s].id = QString::number(++m_nextId);
        if (verb == u"JNEW") return say(u"200 New job created: jobid: %1 groupid: %1."_s.arg(m_nextId));
        if (verb == u"JPARM" && fault == Fault::CutAtFirstJparm) return cut(s);
        if (verb == u"JPARM" && arg.startsWith(u"JOBINFO")) m_current[s].tag = arg.section(u' ', 1).remove(u'"');
        if (verb == u"JPARM") return say(u"213 Set."_s);
        if ((verb == u"JSUSP" || verb == u"JSUBM") && !arg.isEmpty()) {  // a submitted job: suspended, then taken by a modem
            resubmissions.append(u"%1 %2 at %3 ms"_s.arg(verb, arg).arg(clock.elapsed()));
            if (verb == u"JSUBM" && once(Fault::RefuseResubmissionOnce)) return say(u"504 Job 1 is busy, try again."_s);
            setState(arg, verb == u"JSUSP" ? u"T"_s : u"R"_s);
            return say(u"200 Job resubmitted."_s);
        }
        if (verb == u"JSUBM" && once(Fault::RefuseJsubm)) return say(u"503 Invalid dialstring \"x\"."_s);
        if (verb == u"JSUBM") {
            ++jsubms;
            jobs.append(m_current.take(s));
            return fault == Fault::CutAfterJsubm ? cut(s) : say(u"200 Job %1 submitted."_s.arg(jobs.last().id));
        }
        if (verb == u"JKILL" || verb == u"JDELE") setState(arg, u"F"_s);
        if (verb == u"JDELE") jobs.removeIf([&](const Job &j) { return j.id == arg; });
        if (verb == u"JKILL" || verb == u"JDELE") return say(u"200 Job killed."_s);
        if (verb == u"QUIT") return say(u"221 Goodbye."_s), s->disconnectFromHost(), true;
        return say(u"200 Done."_s);  // TZONE, TYPE and the formats
    }

    QByteArray listing(const QString &dir) const {
        QString text;
        for (const Job &j : jobs)
            if ((dir == u"doneq" || dir == u"sendq") && (dir == u"doneq") == (j.state == u"D" || j.state == u"F"))
                text += u"%1|%2| 1:1 | 1:3 | 1:3|ttyLab|%3|\r\n"_s.arg(j.id, j.state, j.tag);
        return (text + (dir == u"status" ? u"ttyLab|*|5550100|Lab A|%1\n"_s.arg(modemStatus) : QString())).toUtf8();
    }

    QTcpServer m_control, m_data;
    QPointer<QTcpSocket> m_dataSocket;
    std::function<void()> m_afterData;
    QHash<QTcpSocket *, Job> m_current;  // created, not yet submitted
    QSet<QTcpSocket *> m_admins;
    int m_nextId = 0;
};

QString netrcPath() { return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + u"/sendmere/netrc"_s; }

void writeNetrc(const QByteArray &text) {
    QDir().mkpath(QFileInfo(netrcPath()).path());
    QFile file(netrcPath());
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size() && file.setPermissions(QFile::ReadOwner | QFile::WriteOwner));
}

JobRecord only(const HylaFaxLine &line) { return line.jobs().value(0); }

}  // namespace

#define VERIFY_SUBMITTED(line) QTRY_VERIFY_WITH_TIMEOUT(!only(line).serverJobId.isEmpty(), 20000)

class TestHylaFaxRecovery : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<ServiceLog> m_log;
    std::unique_ptr<Spool> m_spool;
    FaxdConfig m_config;
    int m_run = 0;

    // A fresh spool and a line to the server's port; one queued job, its image a real TIFF.
    std::unique_ptr<HylaFaxLine> startLine(quint16 port, bool withJob = true) {
        m_log = std::make_unique<ServiceLog>(m_dir.filePath(u"faxd%1.log"_s.arg(++m_run)));
        openSpool();
        m_config.line.backend = LineConfig::Backend::HylaFax;
        m_config.line.host = u"127.0.0.1"_s;
        m_config.line.port = port;
        m_config.line.pollSeconds = 0.2;
        auto line = newLine();
        if (withJob) {
            const qint64 id = m_spool->allocateId(), now = QDateTime::currentMSecsSinceEpoch();
            composeIncomingImage(m_dir.filePath(u"body.txt"_s), u"5550111"_s, m_spool->partPath(Folder::Queue, id));
            line->add({JobRecord::fromProperties({{"Id", idText(id)}, {"SubmissionId", u"s-%1"_s.arg(id)}, {"Subject", "Test"},
                                                  {"Status", status::Pending}, {"SubmissionTime", now}, {"OriginalScheduledTime", now},
                                                  {"ScheduledTime", now}, {"Pages", 1}, {"TSID", "5550111"}, {"Sender", QVariantMap{{"Name", "Bob"}}},
                                                  {"Recipient", QVariantMap{{"FaxNumber", "5550100"}, {"Name", "Ann"}}}})});
        }
        return line;
    }
    void openSpool() {
        m_spool.reset();
        m_spool = std::make_unique<Spool>(m_dir.filePath(u"spool%1"_s.arg(m_run)), *m_log);
        m_spool->open();
    }
    std::unique_ptr<HylaFaxLine> newLine() {
        auto line = std::make_unique<HylaFaxLine>(*m_spool, m_config, *m_log);
        line->load();
        return line;
    }

private Q_SLOTS:
    void initTestCase() {
        QFile body(m_dir.filePath(u"body.txt"_s));
        QVERIFY(m_dir.isValid() && body.open(QIODevice::WriteOnly) && body.write("A page for the scripted server.\n") > 0);
    }

    // Every cut and every nonsense reply ends with exactly one job on the server.
    void submittedOnceDespiteFaults_data() {
        QTest::addColumn<int>("fault");
        QTest::addColumn<bool>("forgetId");
        QTest::newRow("cut between JNEW and JSUBM") << int(ScriptedServer::Fault::CutAtFirstJparm) << false;
        QTest::newRow("cut after JSUBM, before its reply") << int(ScriptedServer::Fault::CutAfterJsubm) << false;
        QTest::newRow("cut in the middle of the upload") << int(ScriptedServer::Fault::CutInUpload) << false;
        QTest::newRow("nonsense reply to JNEW") << int(ScriptedServer::Fault::MalformedJnew) << false;
        QTest::newRow("no fault") << int(ScriptedServer::Fault::None) << false;
        QTest::newRow("killed before the spool heard the id") << int(ScriptedServer::Fault::None) << true;
    }

    void submittedOnceDespiteFaults() {
        QFETCH(int, fault);
        QFETCH(bool, forgetId);
        ScriptedServer server;
        server.fault = ScriptedServer::Fault(fault);
        auto line = startLine(server.port());
        VERIFY_SUBMITTED(*line);
        const JobRecord job = only(*line);
        QVERIFY(job.lineTag.startsWith(u"sendmere-"_s + job.idText()));
        QCOMPARE(server.jsubms, 1);
        QCOMPARE(std::ranges::count(server.jobs, job.lineTag, &ScriptedServer::Job::tag), 1);
        QCOMPARE(job.serverJobId, server.jobs.first().id);
        QVERIFY(server.sessions >= (fault == int(ScriptedServer::Fault::None) ? 1 : 2));
        // A restarted service follows the server's job from the spool and never submits it
        // again; one that ended between JSUBM and the spool's commit finds it by its tag.
        line.reset();
        QVariantMap properties = job.toProperties();
        if (forgetId)
            properties.remove("ServerJobId");
        m_spool->updateJob(properties);
        line = newLine();
        if (!forgetId)
            QCOMPARE(only(*line).serverJobId, server.jobs.first().id);
        QTRY_COMPARE_WITH_TIMEOUT(only(*line).serverJobId, server.jobs.first().id, 20000);
        server.jobs.first().state = u"D"_s;
        QTRY_VERIFY_WITH_TIMEOUT(line->jobs().isEmpty(), 10000);
        QCOMPARE(server.jsubms, 1);
        const auto sent = m_spool->messages(Folder::Sent, 0, 10);
        QCOMPARE(sent.size(), 1);
        QCOMPARE(sent.first().value("Pages").toInt(), 1);
        QCOMPARE(sent.first().value("Status").toInt(), status::Completed);
    }

    // A job that cannot go out fails with the server's refusal, or waits with the reason; a
    // password comes only from a credentials file that is private, and is used once it is.
    void jobThatCannotGoOutSaysWhy() {
        const QFile::Permissions mine = QFile::ReadOwner | QFile::WriteOwner;
        const struct { ScriptedServer::Fault fault; const char *password; QFile::Permissions netrc; int status; const char *reason; } cases[] = {
            {ScriptedServer::Fault::RefuseJsubm, "", mine, status::Failed, "Invalid dialstring"},
            {ScriptedServer::Fault::None, "s3cret", mine | QFile::ReadOther, status::Pending,
             "^fax server 127\\.0\\.0\\.1:%1 asks for the password of fax.*not private to its user"},
            {ScriptedServer::Fault::None, "changed", mine, status::Pending, "refused the login of fax"}};
        writeNetrc("machine 127.0.0.1 login fax password s3cret\n");
        for (const auto &c : cases) {
            ScriptedServer server;
            server.fault = c.fault;
            server.password = QString::fromLatin1(c.password);
            QVERIFY(QFile::setPermissions(netrcPath(), c.netrc));
            auto line = startLine(server.port());
            const QRegularExpression reason(QString::fromLatin1(c.reason).arg(server.port()));
            QTRY_VERIFY2_WITH_TIMEOUT(reason.match(only(*line).extendedStatus).hasMatch(), qPrintable(only(*line).extendedStatus), 20000);
            QCOMPARE(only(*line).status, c.status);
            QVERIFY(line->hasWork() == (c.status == status::Pending) && server.jsubms == 0 && server.jobs.isEmpty());
            if (c.netrc != mine) {
                QVERIFY(QFile::setPermissions(netrcPath(), mine));
                VERIFY_SUBMITTED(*line);
            }
        }
        QVERIFY(QFile::remove(netrcPath()));
    }

    // A ringing call is answered through the server as its administrator, with the admin
    // password from the credentials file's account token; without it, or refused, the caller
    // learns why. One announcement however often the call is listed.
    void answerAsTheServersAdministrator() {
        ScriptedServer server;
        server.adminPassword = u"adm1n"_s;
        auto line = startLine(server.port(), false);
        QSignalSpy rings(line.get(), &LineBackend::incomingCall);
        server.modemStatus = u"Listening to rings from modem"_s;
        QTRY_COMPARE_WITH_TIMEOUT(rings.size(), 1, 10000);
        QCOMPARE(rings.first().at(0).toInt(), 1);
        const auto answer = [&](const QByteArray &netrc) {
            writeNetrc(netrc);
            QStringList result;
            line->answer(1, [&](const QString &jobId, const QString &error, const QString &text) { result = {jobId, error, text}; });
            return QTest::qWaitFor([&] { return !result.isEmpty(); }, 10000) ? result : QStringList{{}, {}, u"no answer from the line"_s};
        };
        for (const auto &[netrc, reason] : {std::pair{"machine 127.0.0.1 login fax\n", "there is no admin password"},
                                            std::pair{"machine 127.0.0.1 login fax account wrong\n", "refused the admin password: 530 Login incorrect."}}) {
            const QStringList refused = answer(netrc);
            QVERIFY(refused.at(0).isEmpty() && refused.at(1) == faxbus::ErrorNoCall);
            QVERIFY2(refused.at(2).contains(QLatin1String(reason)), qPrintable(refused.join(u'|')));
        }
        QVERIFY(server.answered.isEmpty());
        const QStringList answered = answer("machine 127.0.0.1 login fax account adm1n\n");
        QVERIFY2(!answered.at(0).isEmpty() && answered.at(1).isEmpty(), qPrintable(answered.join(u'|')));
        QCOMPARE(server.answered, QStringList{u"ttyLab"_s});
        QCOMPARE(rings.size(), 1);
        QVERIFY(QFile::remove(netrcPath()));
    }

    // A cancel that the service was killed before the server confirmed goes on after the
    // restart and removes the server's job (JKILL, then JDELE).
    void cancelSurvivesARestart() {
        ScriptedServer server;
        auto line = startLine(server.port());
        VERIFY_SUBMITTED(*line);
        QVariantMap job = only(*line).toProperties();
        line.reset();
        job.insert("Status", status::Cancelling);
        m_spool->updateJob(job);
        openSpool();
        line = newLine();
        QCOMPARE(only(*line).status, status::Cancelling);
        QSignalSpy removed(line.get(), &LineBackend::jobRemoved);
        QTRY_COMPARE_WITH_TIMEOUT(removed.size(), 1, 10000);
        QVERIFY(line->jobs().isEmpty() && server.jobs.isEmpty());
    }

    // A job that the server keeps waiting for a modem while a modem is idle (its scheduler
    // missed its turn) is suspended and submitted again once StallSeconds have passed, also
    // when the server refuses the first submission; one that waits while the modem is busy
    // is left alone. A job that the server then no longer lists (its queue cleaned by hand) fails.
    void stalledJobIsSubmittedAgain() {
        ScriptedServer server;
        m_config.line.stallSeconds = 1;
        const auto restore = qScopeGuard([this] { m_config.line.stallSeconds = 300; });
        server.modemStatus = u"Sending job 7"_s;
        auto line = startLine(server.port());
        VERIFY_SUBMITTED(*line);
        const QString id = server.jobs.first().id;
        server.jobs.first().state = u"W"_s;
        server.fault = ScriptedServer::Fault::RefuseResubmissionOnce;
        QTest::qWait(2500);  // the modem is busy: nothing may happen meanwhile
        QVERIFY2(server.resubmissions.isEmpty(), qPrintable(server.resubmissions.join(u',')));
        server.clock.start();
        server.modemStatus = u"Running and idle"_s;
        QTRY_COMPARE_WITH_TIMEOUT(server.resubmissions.size(), 3, 10000);
        QVERIFY2(server.resubmissions.at(0).section(u' ', 3, 3).toLongLong() >= 1000, qPrintable(server.resubmissions.at(0)));  // not before StallSeconds
        QCOMPARE(server.resubmissions.replaceInStrings(QRegularExpression(u" at \\d+ ms$"_s), {}), (QStringList{u"JSUSP "_s + id, u"JSUBM "_s + id, u"JSUBM "_s + id}));
        QTRY_COMPARE_WITH_TIMEOUT(only(*line).status, status::InProgress, 10000);
        QCOMPARE(server.jsubms, 1);  // the same job, not a second one
        server.jobs.clear();
        QTRY_COMPARE_WITH_TIMEOUT(only(*line).status, status::Failed, 10000);
        QCOMPARE(only(*line).extendedStatus, u"The fax server 127.0.0.1:%1 no longer knows its job %2"_s.arg(server.port()).arg(id));
    }
};

QTEST_MAIN(TestHylaFaxRecovery)
#include "tst_hylafaxrecovery.moc"
