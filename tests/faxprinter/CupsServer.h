#pragma once
// What the fax printer's tests share: a cupsd of the test's own, `lp` and friends run against
// it, the state of a file as the backend left it, and a PDF written for printing.
#include "TestSupport.h"

#include <QDir>
#include <QPainter>
#include <QPdfWriter>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <pwd.h>
#include <sys/stat.h>

namespace sendmere::test {

using namespace Qt::StringLiterals;

inline const QString Queue = u"SendmereFax"_s;
inline QString myName() { return QString::fromLocal8Bit(::getpwuid(::geteuid())->pw_name); }

struct Ran {
    int code = -1;
    QString out, err;
};

inline Ran runTool(const QString &program, const QStringList &arguments, const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment()) {
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program, arguments);
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return {-1, {}, u"did not finish"_s};
    }
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1, QString::fromLocal8Bit(process.readAllStandardOutput()),
            QString::fromLocal8Bit(process.readAllStandardError())};
}

struct FileState {
    uint owner = 0, mode = 0;
    bool link = false;
};

inline FileState stateOf(const QString &path) {
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0) return {};
    return {st.st_uid, st.st_mode & 07777, S_ISLNK(st.st_mode)};
}

// A one-page PDF with a line of text, readable by everyone (the print client may run as another user).
inline void writeTextPdf(const QString &path, const QString &text) {
    {
        QPdfWriter pdf(path);
        QPainter(&pdf).drawText(QPointF(200, 400), text);
    }
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
}

// A cupsd of the test's own, ended by its process id: its configuration, spool, state and logs
// in one folder that CUPS's own user may pass through (the filters run as that user), the
// system's filters and the project's backend in its ServerBin, on a free port of 127.0.0.1.
class CupsServer {
public:
    ~CupsServer() { stop(); }

    QString path(const QString &relative) const { return m_root.filePath(relative); }
    QString server() const { return u"127.0.0.1:%1"_s.arg(m_port); }
    QString faxSpool() const { return path(u"faxspool"_s); }
    QString errorLog() const { return QString::fromLocal8Bit(test::readFile(path(u"log/error_log"_s))); }
    // The last lines about jobs, for a failure's message.
    QString jobLog() const { return errorLog().split(u'\n').filter(u"[Job "_s).join(u'\n').right(3000); }

    bool start() {
        if (!m_root.isValid() || !layOut()) return false;
        m_cupsd.start(u"cupsd"_s, {u"-f"_s, u"-c"_s, path(u"conf/cupsd.conf"_s), u"-s"_s, path(u"conf/cups-files.conf"_s)});
        return m_cupsd.waitForStarted() &&
               QTest::qWaitFor([this] { return lpstat({u"-r"_s}).out.contains(u"scheduler is running"_s); }, 20000);
    }
    void stop() {
        if (m_cupsd.state() == QProcess::NotRunning) return;
        ::kill(pid_t(m_cupsd.processId()), SIGTERM);
        if (!m_cupsd.waitForFinished(10000)) {
            ::kill(pid_t(m_cupsd.processId()), SIGKILL);
            m_cupsd.waitForFinished(5000);
        }
    }

    Ran lpstat(const QStringList &arguments) const { return runTool(u"lpstat"_s, QStringList{u"-h"_s, server()} + arguments); }
    // The printer as the package's postinst adds it.
    Ran addPrinter() const {
        return runTool(u"lpadmin"_s, {u"-h"_s, server(), u"-p"_s, Queue, u"-E"_s, u"-v"_s, u"sendmere-fax:"_s + faxSpool(), u"-P"_s,
                                      QStringLiteral(SENDMERE_FAX_PPD), u"-D"_s, u"Sendmere Fax"_s, u"-o"_s, u"printer-error-policy=abort-job"_s});
    }
    // `lp` as a user would run it; prefix runs it as someone else.
    Ran print(const QString &file, const QStringList &options = {}, const QStringList &prefix = {}) const {
        const QStringList command = prefix + QStringList{u"lp"_s, u"-h"_s, server(), u"-d"_s, Queue} + options + QStringList{file};
        return runTool(command.constFirst(), command.mid(1));
    }
    bool waitUntilIdle() const {
        return QTest::qWaitFor([this] { return lpstat({u"-o"_s, Queue}).out.trimmed().isEmpty(); }, 60000);
    }

private:
    bool layOut() {
        for (const char *dir : {"conf/ppd", "serverbin/backend", "spool/tmp", "cache", "state", "log", "faxspool", "documents"})
            if (!QDir().mkpath(path(QString::fromLatin1(dir)))) return false;
        ::chmod(QFile::encodeName(m_root.path()).constData(), 0755);
        for (const char *dir : {"filter", "daemon", "notifier", "monitor", "driver", "cgi-bin"})
            QFile::link(u"/usr/lib/cups/"_s + QLatin1String(dir), path(u"serverbin/"_s + QLatin1String(dir)));
        // As the package installs it: only its owner may run it, so CUPS runs it as root.
        const QString backend = path(u"serverbin/backend/sendmere-fax"_s);
        if (!QFile::copy(QStringLiteral(SENDMERE_FAX_BACKEND), backend)) return false;
        QFile::setPermissions(backend, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost, 0)) return false;
        m_port = probe.serverPort();
        probe.close();
        test::writeFile(path(u"conf/cups-files.conf"_s),
                        u"ServerRoot %1/conf\nServerBin %1/serverbin\nRequestRoot %1/spool\nTempDir %1/spool/tmp\nCacheDir %1/cache\n"
                        "StateDir %1/state\nAccessLog %1/log/access_log\nErrorLog %1/log/error_log\nPageLog %1/log/page_log\n"
                        "DataDir /usr/share/cups\nFileDevice No\nSandboxing Relaxed\n"_s.arg(m_root.path()).toLocal8Bit());
        test::writeFile(path(u"conf/cupsd.conf"_s),
                        u"Listen 127.0.0.1:%1\nLogLevel info\nBrowsing No\nWebInterface No\nDefaultAuthType None\n<Location />\n"
                        "Order allow,deny\nAllow all\n</Location>\n<Policy default>\n<Limit All>\nOrder deny,allow\n</Limit>\n"
                        "</Policy>\n"_s.arg(m_port).toLocal8Bit());
        return true;
    }

    QTemporaryDir m_root{u"/tmp/sendmere-cups-XXXXXX"_s};
    QProcess m_cupsd;
    quint16 m_port = 0;
};

}  // namespace sendmere::test
