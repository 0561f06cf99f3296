#pragma once
// A real Dovecot for the mail tests, in a private folder under /tmp (its mail processes run as nobody, who must reach it), on 127.0.0.1
// with free ports: one passwd-file user, special-use folders under names of their own, a self-signed certificate for STARTTLS and imaps. It
// runs in a process group of its own, ended by the group's id when the object goes and with the test process; stopped and started again it
// keeps its ports and the mail it held.
#include "ImapReader.h"
#include "TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <csignal>
#include <pwd.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace sendmere::mailtest {

using namespace Qt::StringLiterals;

inline quint16 freePort(const QHostAddress &on = QHostAddress::LocalHost) {
    QTcpServer probe;
    return probe.listen(on, 0) ? probe.serverPort() : 0;
}

class DovecotServer {
public:
    static constexpr const char *Program = "/usr/sbin/dovecot";
    static bool installed() { return QFileInfo(QLatin1String(Program)).isExecutable(); }

    // plainAddress: a further address (not loopback) served without TLS on plainPort.
    explicit DovecotServer(const QString &password = u"secret"_s, bool offerTls = true, const QHostAddress &plainAddress = {})
        : m_dir(u"/tmp/sendmere-dovecot-XXXXXX"_s) {
        port = freePort(), tlsPort = freePort();
        if (!plainAddress.isNull()) plainPort = freePort(plainAddress);
        const QString d = m_dir.path();
        const passwd *nobody = ::getpwnam("nobody");
        const uint uid = nobody ? nobody->pw_uid : 65534, gid = nobody ? nobody->pw_gid : 65534;
        QFile::setPermissions(d, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                     QFileDevice::ExeOther);
        QDir().mkpath(d + u"/home"_s);
        if (::chown(QFile::encodeName(d + u"/home"_s).constData(), uid, gid) != 0) qWarning("cannot give the mail folder to nobody");
        test::writeFile(d + u"/passwd"_s, "fax:{PLAIN}" + password.toUtf8() + "\n");
        QProcess openssl;  // its output is read by nobody
        openssl.start(u"openssl"_s, u"req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost -addext "
                                    "subjectAltName=IP:127.0.0.1,DNS:localhost -keyout %1/key.pem -out %1/cert.pem"_s.arg(d).split(u' '));
        openssl.waitForFinished(30000);
        QString listeners = u"  inet_listener imap {\n    address = 127.0.0.1\n    port = %1\n  }\n"
                            "  inet_listener imaps {\n    address = 127.0.0.1\n    port = %2\n    ssl = yes\n  }\n"_s.arg(port).arg(tlsPort);
        if (plainPort) listeners += u"  inet_listener plain {\n    address = %1\n    port = %2\n  }\n"_s.arg(plainAddress.toString()).arg(plainPort);
        const QString conf =
            u"base_dir = %1/run\nstate_dir = %1/state\nlog_path = %1/dovecot.log\nprotocols = imap\nlisten = *\n"
            "ssl = %4\nssl_cert = <%1/cert.pem\nssl_key = <%1/key.pem\ndisable_plaintext_auth = no\nauth_mechanisms = plain login\n"
            "default_login_user = dovenull\ndefault_internal_user = dovecot\nfirst_valid_uid = 1\nmail_uid = %2\nmail_gid = %3\n"
            "passdb {\n  driver = passwd-file\n  args = scheme=PLAIN username_format=%u %1/passwd\n}\n"
            "userdb {\n  driver = static\n  args = uid=%2 gid=%3 home=%1/home/%u\n}\nmail_location = maildir:~/Mail\n"
            "namespace inbox {\n  inbox = yes\n  separator = /\n  mailbox \"Sent Messages\" {\n    special_use = \\Sent\n    auto = create\n  }\n"
            "  mailbox Deleted {\n    special_use = \\Trash\n    auto = create\n  }\n}\n"
            "service imap-login {\n  chroot =\n%5}\nservice anvil {\n  chroot =\n}\n"_s.arg(d).arg(uid).arg(gid).arg(offerTls ? u"yes"_s : u"no"_s, listeners);
        test::writeFile(d + u"/dovecot.conf"_s, conf.toUtf8());
    }
    ~DovecotServer() { stop(); }
    DovecotServer(const DovecotServer &) = delete;
    DovecotServer &operator=(const DovecotServer &) = delete;

    bool start() {
        m_process.setProgram(QLatin1String(Program));
        m_process.setArguments({u"-F"_s, u"-c"_s, m_dir.path() + u"/dovecot.conf"_s});
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.setChildProcessModifier([] {
            ::setpgid(0, 0);
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        });
        m_process.start();
        if (!m_process.waitForStarted()) return false;
        for (QDeadlineTimer deadline(15000); !deadline.hasExpired(); QThread::msleep(50)) {  // ready once it greets on its port
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, port);
            if (probe.waitForConnected(500) && probe.waitForReadyRead(2000)) return true;
        }
        qWarning("%s", qPrintable(log()));
        return false;
    }
    // Ends every process of the server, those serving logged-in users too: the master leaves them running, and a client that logged in just
    // before it went would go on using mail on a server that is meant to be down.
    void stop() {
        if (m_process.state() == QProcess::NotRunning) return;
        const pid_t group = pid_t(m_process.processId());
        ::kill(-group, SIGTERM);
        if (!m_process.waitForFinished(10000)) m_process.kill(), m_process.waitForFinished(5000);
        QElapsedTimer waited;
        waited.start();
        while (groupRunning(group) && waited.elapsed() < 15000) {
            if (waited.elapsed() > 10000) ::kill(-group, SIGKILL);
            QThread::msleep(20);
        }
    }

    // Ends the processes that serve logged-in users ("dovecot/imap" children of the master) and
    // waits until they are gone: their clients' connections drop, the server stays.
    int dropConnections() {
        QStringList ended;
        const QByteArray children = test::readFile(u"/proc/%1/task/%1/children"_s.arg(m_process.processId()));
        for (const QByteArray &pid : children.simplified().split(' ')) {
            const QByteArray cmdline = test::readFile(u"/proc/%1/cmdline"_s.arg(QLatin1String(pid)));
            if (cmdline.startsWith("dovecot/imap") && !cmdline.startsWith("dovecot/imap-login") && ::kill(pid.toInt(), SIGTERM) == 0)
                ended << QLatin1String(pid);
        }
        for (QDeadlineTimer deadline(10000); !deadline.hasExpired() && std::ranges::any_of(ended, [](const QString &p) { return live(statOf(p)); });)
            QThread::msleep(20);
        return int(ended.size());
    }

    // Logs in as the user and runs the commands; returns what the server answered to each.
    QString run(const QList<QByteArray> &commands, const QByteArray &password = "secret") const {
        ImapReader reader(port, "fax " + password);
        QByteArray all;
        for (const QByteArray &command : commands) {
            QByteArray untagged;
            const QByteArray status = reader.command(command, &untagged);
            all += untagged + status + "\r\n";
        }
        return QString::fromUtf8(all);
    }

    // Gives the user a copy of the Maildir at path as its mail; before start.
    bool holdMail(const QString &path) {
        const QString home = m_dir.path() + u"/home"_s;
        return QDir().mkpath(home + u"/fax"_s) && QProcess::execute(u"cp"_s, {u"-a"_s, path, home + u"/fax/Mail"_s}) == 0 &&
               QProcess::execute(u"chown"_s, {u"-R"_s, u"--reference="_s + home, home}) == 0;
    }

    QString log() const { return QString::fromUtf8(test::readFile(m_dir.path() + u"/dovecot.log"_s)); }

    quint16 port = 0, tlsPort = 0, plainPort = 0;

private:
    // The fields of /proc/PID/stat after the command name: state first, the group third.
    static QList<QByteArray> statOf(const QString &pid) {
        const QByteArray stat = test::readFile(u"/proc/%1/stat"_s.arg(pid));
        return stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    }
    static bool live(const QList<QByteArray> &fields) { return fields.size() > 2 && fields[0] != "Z"; }  // a zombie does not count
    static bool groupRunning(pid_t group) {
        const QStringList pids = QDir(u"/proc"_s).entryList(QDir::Dirs);
        return std::ranges::any_of(pids, [group](const QString &pid) {
            const QList<QByteArray> fields = statOf(pid);
            return live(fields) && fields[2].toInt() == group;
        });
    }

    QTemporaryDir m_dir;
    QProcess m_process;
};

}  // namespace sendmere::mailtest
