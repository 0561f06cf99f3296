#pragma once
// A real Dovecot IMAP server for the mail tests: started in a private folder under /tmp
// (its mail processes run as nobody, which must reach the folder), listening on 127.0.0.1
// with free ports, one passwd-file user, special-use folders under names of their own, a
// self-signed certificate for STARTTLS and imaps. It runs in a process group of its own and
// is ended by that group's id when the object goes, and with the test process if that dies.
// It may be stopped and started again: the same ports and folder, the mail it held still there.
#include "TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <csignal>
#include <pwd.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace sendmere::mailtest {

inline quint16 freePort(const QHostAddress &on = QHostAddress::LocalHost) {
    QTcpServer probe;
    if (!probe.listen(on, 0)) return 0;
    return probe.serverPort();
}

class DovecotServer {
public:
    static constexpr const char *Program = "/usr/sbin/dovecot";
    static bool installed() { return QFileInfo(QLatin1String(Program)).isExecutable(); }

    // plainAddress: a further address (not loopback) where the server listens without TLS
    // on plainPort, for the test that no password goes there unencrypted.
    explicit DovecotServer(const QString &password = QStringLiteral("secret"), bool offerTls = true,
                           const QHostAddress &plainAddress = {})
        : m_dir(QStringLiteral("/tmp/sendmere-dovecot-XXXXXX")) {
        port = freePort();
        tlsPort = freePort();
        if (!plainAddress.isNull()) plainPort = freePort(plainAddress);
        const QString d = m_dir.path();
        const passwd *nobody = ::getpwnam("nobody");
        const uint uid = nobody ? nobody->pw_uid : 65534, gid = nobody ? nobody->pw_gid : 65534;
        QFile::setPermissions(d, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner | QFileDevice::ReadOther |
                                     QFileDevice::ExeOther);
        QDir().mkpath(d + QStringLiteral("/home"));
        if (::chown(QFile::encodeName(d + QStringLiteral("/home")).constData(), uid, gid) != 0) qWarning("cannot give the mail folder to nobody");
        test::writeFile(d + QStringLiteral("/passwd"), "fax:{PLAIN}" + password.toUtf8() + "\n");
        QProcess openssl;
        openssl.setStandardOutputFile(QProcess::nullDevice());
        openssl.setStandardErrorFile(QProcess::nullDevice());
        openssl.start(QStringLiteral("openssl"), {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("rsa:2048"),
                                                      QStringLiteral("-nodes"), QStringLiteral("-keyout"), d + QStringLiteral("/key.pem"),
                                                      QStringLiteral("-out"), d + QStringLiteral("/cert.pem"), QStringLiteral("-days"),
                                                      QStringLiteral("2"), QStringLiteral("-subj"), QStringLiteral("/CN=localhost"),
                                                      QStringLiteral("-addext"), QStringLiteral("subjectAltName=IP:127.0.0.1,DNS:localhost")});
        openssl.waitForFinished(30000);
        QString listeners = QStringLiteral("  inet_listener imap {\n    address = 127.0.0.1\n    port = %1\n  }\n"
                                           "  inet_listener imaps {\n    address = 127.0.0.1\n    port = %2\n    ssl = yes\n  }\n")
                                .arg(port)
                                .arg(tlsPort);
        if (plainPort)
            listeners += QStringLiteral("  inet_listener plain {\n    address = %1\n    port = %2\n  }\n").arg(plainAddress.toString()).arg(plainPort);
        const QString conf = QStringLiteral(
                                 "base_dir = %1/run\nstate_dir = %1/state\nlog_path = %1/dovecot.log\nprotocols = imap\n"
                                 "listen = *\nssl = %4\nssl_cert = <%1/cert.pem\nssl_key = <%1/key.pem\n"
                                 "disable_plaintext_auth = no\nauth_mechanisms = plain login\n"
                                 "default_login_user = dovenull\ndefault_internal_user = dovecot\nfirst_valid_uid = 1\n"
                                 "mail_uid = %2\nmail_gid = %3\n"
                                 "passdb {\n  driver = passwd-file\n  args = scheme=PLAIN username_format=%u %1/passwd\n}\n"
                                 "userdb {\n  driver = static\n  args = uid=%2 gid=%3 home=%1/home/%u\n}\n"
                                 "mail_location = maildir:~/Mail\n"
                                 "namespace inbox {\n  inbox = yes\n  separator = /\n"
                                 "  mailbox \"Sent Messages\" {\n    special_use = \\Sent\n    auto = create\n  }\n"
                                 "  mailbox Deleted {\n    special_use = \\Trash\n    auto = create\n  }\n}\n"
                                 "service imap-login {\n  chroot =\n%5}\nservice anvil {\n  chroot =\n}\n")
                                 .arg(d)
                                 .arg(uid)
                                 .arg(gid)
                                 .arg(offerTls ? QStringLiteral("yes") : QStringLiteral("no"), listeners);
        test::writeFile(d + QStringLiteral("/dovecot.conf"), conf.toUtf8());
    }
    ~DovecotServer() { stop(); }
    DovecotServer(const DovecotServer &) = delete;
    DovecotServer &operator=(const DovecotServer &) = delete;

    bool start() {
        m_process.setProgram(QLatin1String(Program));
        m_process.setArguments({QStringLiteral("-F"), QStringLiteral("-c"), m_dir.path() + QStringLiteral("/dovecot.conf")});
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.setChildProcessModifier([] {
            ::setpgid(0, 0);
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        });
        m_process.start();
        if (!m_process.waitForStarted()) return false;
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < 15000) {  // ready once it answers on its port
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, port);
            if (probe.waitForConnected(500) && probe.waitForReadyRead(2000)) return true;
            QThread::msleep(50);
        }
        qWarning("%s", test::readFile(m_dir.path() + QStringLiteral("/dovecot.log")).constData());
        return false;
    }
    // Ends every process of the server, those serving logged-in users included: the master
    // leaves them running, and a client that logs in again just before the master goes would
    // go on reading and writing mail on a server that is meant to be down.
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

    // Ends the server's processes that serve logged-in users, by their ids (the children of
    // this server named "dovecot/imap"): their clients' connections drop, the server stays.
    int dropConnections() {
        int ended = 0;
        const QString children = QString::fromLatin1(test::readFile(QStringLiteral("/proc/%1/task/%1/children").arg(m_process.processId())));
        for (const QString &pid : children.split(u' ', Qt::SkipEmptyParts)) {
            const QByteArray cmdline = test::readFile(QStringLiteral("/proc/%1/cmdline").arg(pid));
            if (cmdline.startsWith("dovecot/imap") && !cmdline.startsWith("dovecot/imap-login") && ::kill(pid.toInt(), SIGTERM) == 0) ++ended;
        }
        QThread::msleep(200);  // the connections close as the processes end
        return ended;
    }

    // Logs in as the user and runs the commands, each with its own tag; returns what the
    // server answered.
    QString run(const QList<QByteArray> &commands, const QByteArray &password = "secret") const {
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, port);
        if (!s.waitForConnected(5000)) return {};
        QByteArray all;
        const auto exchange = [&](const QByteArray &tag, const QByteArray &line) {
            s.write(tag + ' ' + line + "\r\n");
            QByteArray got;
            while (!got.contains("\r\n" + tag + ' ') && !got.startsWith(tag + ' ') && s.waitForReadyRead(5000)) got += s.readAll();
            all += got;
        };
        s.waitForReadyRead(5000);
        s.readAll();
        exchange("l", "LOGIN fax " + password);
        for (int i = 0; i < commands.size(); ++i) exchange("c" + QByteArray::number(i), commands[i]);
        exchange("z", "LOGOUT");
        return QString::fromUtf8(all);
    }

    QString log() const { return QString::fromUtf8(test::readFile(m_dir.path() + QStringLiteral("/dovecot.log"))); }

    quint16 port = 0, tlsPort = 0, plainPort = 0;

private:
    // Whether a process of the group still runs; a zombie that nobody reaps does not count.
    static bool groupRunning(pid_t group) {
        for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
            const QByteArray stat = test::readFile(QStringLiteral("/proc/%1/stat").arg(pid));
            const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
            if (fields.size() > 2 && fields[2].toInt() == group && fields[0] != "Z") return true;
        }
        return false;
    }

    QTemporaryDir m_dir;
    QProcess m_process;
};

}  // namespace sendmere::mailtest
