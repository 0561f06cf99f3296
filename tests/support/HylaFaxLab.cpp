#include "HylaFaxLab.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>

namespace sendmere::test {

HylaFaxLab::~HylaFaxLab() {
    if (!stop())
        qWarning("fax lab: %s", qPrintable(m_reason));
}

QString HylaFaxLab::scriptPath() {
    const QString source = qEnvironmentVariable("SENDMERE_SOURCE_DIR");
    return source.isEmpty() ? QStringLiteral(SENDMERE_HYLAFAX_LAB_SCRIPT) : source + QStringLiteral("/tests/support/hylafax-lab.sh");
}

bool HylaFaxLab::start() {
    if (m_running)
        return true;
    // The daemons switch to the fax user: every folder above the lab must be open to others.
    QString parent = QDir::tempPath();
    for (QString path = parent; path.size() > 1; path = QFileInfo(path).path())
        if (!(QFileInfo(path).permissions() & QFile::ExeOther))
            parent = QStringLiteral("/tmp");
    if (!m_dir)
        m_dir = std::make_unique<QTemporaryDir>(parent + QStringLiteral("/sendmere-faxlab-XXXXXX"));
    m_packagesMissing = false;
    m_reason = QStringLiteral("cannot create a folder for the lab: ") + m_dir->errorString();
    // The script watches this process: should it die without stop(), the lab goes too.
    if (!m_dir->isValid() || !run(scriptPath(), {QStringLiteral("start"), dir(), QString::number(QCoreApplication::applicationPid())}, 180'000))
        return false;
    m_running = true;
    const QSettings env(dir() + QStringLiteral("/lab.env"), QSettings::IniFormat);
    const auto value = [&env](const QString &key) { return env.value(key).toString(); };
    m_port = value(QStringLiteral("HYLAFAX_PORT")).toUShort();
    m_spool = value(QStringLiteral("SPOOL"));
    m_adminPassword = value(QStringLiteral("LAB_ADMIN_PASSWORD"));
    m_modems.clear();
    for (const QLatin1String x : {QLatin1String("A"), QLatin1String("B")})
        m_modems.append({value(QLatin1String("MODEM_") + x), value(QLatin1String("DEVICE_") + x), value(QLatin1String("NUMBER_") + x)});
    m_reason = QStringLiteral("%1/lab.env lacks the port, spool or modems").arg(dir());
    return m_port != 0 && !m_spool.isEmpty() && !m_modems.first().id.isEmpty() && !m_modems.last().id.isEmpty();
}

bool HylaFaxLab::stop() {
    if (!m_running)
        return true;
    m_running = false;
    return run(scriptPath(), {QStringLiteral("stop"), dir()});
}

bool HylaFaxLab::run(const QString &program, const QStringList &arguments, int timeoutMs) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    const bool finished = process.waitForFinished(timeoutMs) && process.exitStatus() == QProcess::NormalExit;
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished();
    }
    m_output = QString::fromLocal8Bit(process.readAll()).trimmed();
    if (finished && process.exitCode() == 0)
        return true;
    m_packagesMissing = finished && program == scriptPath() && process.exitCode() == 2;
    m_reason = QStringLiteral("%1 %2 %3: %4")
                   .arg(program, arguments.value(0), finished ? QStringLiteral("failed") : QStringLiteral("did not finish in %1 s").arg(timeoutMs / 1000),
                        m_output.isEmpty() ? process.errorString() : m_output);
    return false;
}

QStringList HylaFaxLab::receivedFaxes() const {
    const QDir recvq(m_spool + QStringLiteral("/recvq"));
    return QStringList(recvq.entryList({QStringLiteral("*.tif")}, QDir::Files, QDir::Name)).replaceInStrings(QRegularExpression(QStringLiteral("^")), recvq.path() + u'/');
}

}  // namespace sendmere::test
