#include "HylaFaxLab.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>

namespace sendmere::test {
namespace {

constexpr int ScriptExitPackagesMissing = 2;
constexpr int StartTimeoutMs = 180'000;
constexpr int StopTimeoutMs = 60'000;

// The daemons switch to the fax user before they enter the spool, so every folder above the
// lab must be open to others. A test's own temporary folder often is not.
bool openToOthers(const QString &path) {
    for (QDir dir(path);; ) {
        if (!(QFileInfo(dir.absolutePath()).permissions() & QFile::ExeOther))
            return false;
        if (dir.isRoot() || !dir.cdUp())
            return true;
    }
}

QString labParent() {
    const QString temp = QDir::tempPath();
    return openToOthers(temp) ? temp : QStringLiteral("/tmp");
}

QString tailOf(const QString &path, int lines) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList all = QString::fromLocal8Bit(file.readAll()).split(u'\n');
    return all.mid(qMax(0, all.size() - lines)).join(u'\n');
}

}  // namespace

HylaFaxLab::~HylaFaxLab() {
    if (m_running && !stop())
        qWarning("fax lab: %s", qPrintable(m_reason));
}

QString HylaFaxLab::scriptPath() {
    const QString source = qEnvironmentVariable("SENDMERE_SOURCE_DIR");
    return source.isEmpty() ? QStringLiteral(SENDMERE_HYLAFAX_LAB_SCRIPT)
                            : source + QStringLiteral("/tests/support/hylafax-lab.sh");
}

QString HylaFaxLab::dir() const { return m_dir ? m_dir->path() : QString(); }

QString HylaFaxLab::server() const { return QStringLiteral("127.0.0.1:%1").arg(m_port); }

bool HylaFaxLab::start() {
    if (m_running)
        return true;
    m_packagesMissing = false;
    if (!m_dir)
        m_dir = std::make_unique<QTemporaryDir>(labParent() + QStringLiteral("/sendmere-faxlab-XXXXXX"));
    if (!m_dir->isValid()) {
        m_reason = QStringLiteral("cannot create a folder for the lab: %1").arg(m_dir->errorString());
        return false;
    }
    // The script watches this process: should it die without stop(), the lab goes too.
    const QString owner = QString::number(QCoreApplication::applicationPid());
    if (!runScript({QStringLiteral("start"), dir(), owner}, StartTimeoutMs))
        return false;
    m_running = true;
    return readEnvironment();
}

bool HylaFaxLab::stop() {
    if (!m_running)
        return true;
    m_running = false;
    return runScript({QStringLiteral("stop"), dir()}, StopTimeoutMs);
}

bool HylaFaxLab::takeDown(const QString &daemon) {
    if (!m_running) {
        m_reason = QStringLiteral("the lab is not running");
        return false;
    }
    return runScript({QStringLiteral("down"), dir(), daemon}, StopTimeoutMs);
}

bool HylaFaxLab::bringUp(const QString &daemon) {
    if (!m_running) {
        m_reason = QStringLiteral("the lab is not running");
        return false;
    }
    return runScript({QStringLiteral("up"), dir(), daemon}, StartTimeoutMs);
}

bool HylaFaxLab::runScript(const QStringList &arguments, int timeoutMs) {
    const QString script = scriptPath();
    if (!QFileInfo(script).isExecutable()) {
        m_reason = QStringLiteral("%1 is missing or not executable").arg(script);
        return false;
    }
    QProcess process;
    process.start(script, arguments);
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        m_reason = QStringLiteral("%1 %2 did not finish in %3 s")
                       .arg(script, arguments.value(0)).arg(timeoutMs / 1000);
        return false;
    }
    if (process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return true;
    m_packagesMissing = process.exitStatus() == QProcess::NormalExit && process.exitCode() == ScriptExitPackagesMissing;
    m_reason = QString::fromLocal8Bit(process.readAllStandardError()).trimmed();
    if (m_reason.isEmpty())
        m_reason = QStringLiteral("%1 %2 failed").arg(script, arguments.value(0));
    return false;
}

// lab.env: NAME=value lines that the script wrote for shells and for this class.
bool HylaFaxLab::readEnvironment() {
    QFile file(dir() + QStringLiteral("/lab.env"));
    if (!file.open(QIODevice::ReadOnly)) {
        m_reason = QStringLiteral("the lab wrote no lab.env in %1").arg(dir());
        return false;
    }
    QHash<QString, QString> values;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const qsizetype equals = line.indexOf('=');
        if (equals > 0)
            values.insert(QString::fromUtf8(line.left(equals)), QString::fromUtf8(line.mid(equals + 1)));
    }
    m_port = values.value(QStringLiteral("HYLAFAX_PORT")).toUShort();
    m_spool = values.value(QStringLiteral("SPOOL"));
    m_passwordUser = values.value(QStringLiteral("LAB_PASSWORD_USER"));
    m_password = values.value(QStringLiteral("LAB_PASSWORD"));
    m_adminPassword = values.value(QStringLiteral("LAB_ADMIN_PASSWORD"));
    m_modems.clear();
    for (const char *suffix : {"A", "B"})
        m_modems.append({values.value(QLatin1String("MODEM_") + QLatin1String(suffix)), values.value(QLatin1String("DEVICE_") + QLatin1String(suffix)),
                         values.value(QLatin1String("NUMBER_") + QLatin1String(suffix))});
    if (m_port == 0 || m_spool.isEmpty() || m_modems.first().id.isEmpty() || m_modems.last().id.isEmpty()) {
        m_reason = QStringLiteral("lab.env in %1 lacks the port, spool or modems").arg(dir());
        return false;
    }
    return true;
}

bool HylaFaxLab::configureModem(const Modem &modem, const QString &parameter, const QString &value) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("/usr/sbin/faxconfig"), {QStringLiteral("-q"), m_spool, QStringLiteral("-m"), modem.id, parameter, value});
    if (process.waitForFinished(30'000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return true;
    m_reason = QStringLiteral("faxconfig %1 %2 on %3 failed: %4")
                   .arg(parameter, value, modem.id, QString::fromLocal8Bit(process.readAll()).trimmed());
    return false;
}

QStringList HylaFaxLab::receivedFaxes() const {
    QStringList paths;
    const QDir recvq(m_spool + QStringLiteral("/recvq"));
    for (const QFileInfo &info : recvq.entryInfoList({QStringLiteral("*.tif")}, QDir::Files, QDir::Name))
        paths.append(info.absoluteFilePath());
    return paths;
}

QString HylaFaxLab::logTail() const {
    QStringList parts;
    // The server's own view: scheduler, modems and jobs.
    QProcess faxstat;
    faxstat.setProcessChannelMode(QProcess::MergedChannels);
    faxstat.start(QStringLiteral("faxstat"), {QStringLiteral("-h"), server(), QStringLiteral("-s"), QStringLiteral("-d"), QStringLiteral("-a")});
    if (faxstat.waitForFinished(30'000))
        parts.append(QStringLiteral("--- faxstat\n") + QString::fromLocal8Bit(faxstat.readAll()));
    const QDir sendq(m_spool + QStringLiteral("/sendq"));
    for (const QFileInfo &info : sendq.entryInfoList({QStringLiteral("q*")}, QDir::Files, QDir::Name))
        parts.append(QStringLiteral("--- sendq/%1\n%2").arg(info.fileName(), tailOf(info.absoluteFilePath(), 60)));
    // Each daemon leads a session of its own, which also holds the helpers it runs (a
    // document converter, faxsend): a helper that runs for minutes shows here.
    QStringList daemonSessions;
    QFile pids(dir() + QStringLiteral("/pids"));
    if (pids.open(QIODevice::ReadOnly))
        for (const QByteArray &line : pids.readAll().split('\n'))
            if (!line.isEmpty())
                daemonSessions << QString::fromLatin1(line.split(' ').first());
    if (!daemonSessions.isEmpty()) {
        QProcess ps;
        ps.setProcessChannelMode(QProcess::MergedChannels);
        ps.start(QStringLiteral("ps"), {QStringLiteral("-o"), QStringLiteral("pid,sid,etime,stat,args"), QStringLiteral("--sid"), daemonSessions.join(u',')});
        if (ps.waitForFinished(10'000))
            parts.append(QStringLiteral("--- processes\n") + QString::fromLocal8Bit(ps.readAll()));
    }
    const QDir logs(dir() + QStringLiteral("/logs"));
    for (const QFileInfo &info : logs.entryInfoList({QStringLiteral("*.log")}, QDir::Files, QDir::Name))
        parts.append(QStringLiteral("--- %1\n%2").arg(info.fileName(), tailOf(info.absoluteFilePath(), 10)));
    const QDir sessions(m_spool + QStringLiteral("/log"));
    const QFileInfoList sessionLogs = sessions.entryInfoList({QStringLiteral("c*")}, QDir::Files, QDir::Name);
    if (!sessionLogs.isEmpty())
        parts.append(QStringLiteral("--- %1\n%2").arg(sessionLogs.last().fileName(), tailOf(sessionLogs.last().absoluteFilePath(), 30)));
    return parts.join(u'\n');
}

}  // namespace sendmere::test
