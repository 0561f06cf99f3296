#include "FaxdConfig.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>

namespace sendmere::faxd {

namespace {

void writeDefaults(QSettings &s)
{
    const FaxdConfig d;
    s.beginGroup(QStringLiteral("Transmission"));
    s.setValue(QStringLiteral("SecondsPerPage"), d.secondsPerPage);
    s.setValue(QStringLiteral("DialDelaySeconds"), d.dialDelaySeconds);
    s.endGroup();
    s.beginGroup(QStringLiteral("Schedule"));
    s.setValue(QStringLiteral("DiscountStart"), d.discountStart.toString(QStringLiteral("HH:mm")));
    s.setValue(QStringLiteral("DiscountEnd"), d.discountEnd.toString(QStringLiteral("HH:mm")));
    s.setValue(QStringLiteral("Retries"), d.retries);
    s.setValue(QStringLiteral("RetryIntervalSeconds"), d.retryIntervalSeconds);
    s.endGroup();
    s.beginGroup(QStringLiteral("Service"));
    s.setValue(QStringLiteral("RingSeconds"), d.ringSeconds);
    s.setValue(QStringLiteral("IdleExitMinutes"), d.idleExitMinutes);
    s.setValue(QStringLiteral("RenderSeconds"), d.renderSeconds);
    s.setValue(QStringLiteral("LockWaitSeconds"), d.lockWaitSeconds);
    s.endGroup();
    s.beginGroup(QStringLiteral("Line"));
    s.setValue(QStringLiteral("Backend"), QStringLiteral("loopback"));
    s.setValue(QStringLiteral("Server"), d.line.serverName());
    s.setValue(QStringLiteral("User"), d.line.user);
    s.endGroup();
    s.beginGroup(QStringLiteral("Device1"));
    s.setValue(QStringLiteral("Name"), QStringLiteral("Sendmere Virtual Modem"));
    s.setValue(QStringLiteral("CSID"), QStringLiteral("Sendmere"));
    s.setValue(QStringLiteral("TSID"), QStringLiteral("Sendmere"));
    s.setValue(QStringLiteral("BusyNumbers"), QString());
    s.endGroup();
    s.sync();
}

QTime readTime(const QSettings &s, const QString &key, QTime fallback)
{
    const QTime t = QTime::fromString(s.value(key).toString(), QStringLiteral("H:mm"));
    return t.isValid() ? t : fallback;
}

QList<DeviceConfig> readDevices(QSettings &s)
{
    QList<DeviceConfig> devices;
    const QStringList groups = s.childGroups();
    for (int n = 1; n <= 16; ++n) {
        const QString group = QStringLiteral("Device%1").arg(n);
        if (!groups.contains(group))
            continue;
        s.beginGroup(group);
        DeviceConfig d;
        d.id = n;
        d.name = s.value(QStringLiteral("Name"), QStringLiteral("Sendmere Virtual Modem %1").arg(n)).toString();
        d.csid = s.value(QStringLiteral("CSID"), QStringLiteral("Sendmere")).toString();
        d.tsid = s.value(QStringLiteral("TSID"), QStringLiteral("Sendmere")).toString();
        for (const QString &number : s.value(QStringLiteral("BusyNumbers")).toString().split(u',', Qt::SkipEmptyParts))
            d.busyNumbers.append(number.trimmed());
        s.endGroup();
        devices.append(d);
    }
    if (devices.isEmpty())
        devices.append(DeviceConfig{1, QStringLiteral("Sendmere Virtual Modem"), QStringLiteral("Sendmere"),
                                    QStringLiteral("Sendmere"), {}});
    return devices;
}

LineConfig readLine(const QSettings &s)
{
    LineConfig line;
    const QString backend = s.value(QStringLiteral("Line/Backend"), QStringLiteral("loopback")).toString().trimmed().toLower();
    const QString server = s.value(QStringLiteral("Line/Server"), line.serverName()).toString().trimmed();
    line.user = s.value(QStringLiteral("Line/User"), line.user).toString().trimmed();
    line.pollSeconds = qBound(0.2, s.value(QStringLiteral("Line/PollSeconds"), line.pollSeconds).toDouble(), 300.0);
    line.maxDials = qBound(0, s.value(QStringLiteral("Line/MaxDials"), line.maxDials).toInt(), 100);
    line.stallSeconds = qBound(1.0, s.value(QStringLiteral("Line/StallSeconds"), line.stallSeconds).toDouble(), 86400.0);
    if (backend == QStringLiteral("hylafax")) {
        line.backend = LineConfig::Backend::HylaFax;
        if (!parseServer(server, line.host, line.port)) {
            line.backend = LineConfig::Backend::Loopback;
            line.error = QStringLiteral("[Line] Server=%1 is no host[:port]; the loopback line is used").arg(server);
        } else if (line.user.isEmpty()) {
            line.user = QStringLiteral("fax");
        }
    } else if (backend != QStringLiteral("loopback")) {
        line.error = QStringLiteral("[Line] Backend=%1 is unknown (loopback or hylafax); the loopback line is used").arg(backend);
    }
    return line;
}

}  // namespace

bool parseServer(const QString &text, QString &host, quint16 &port)
{
    const QString t = text.trimmed();
    const qsizetype colon = t.lastIndexOf(u':');
    QString name = colon >= 0 ? t.left(colon) : t;
    port = 4559;
    if (colon >= 0) {
        bool ok = false;
        const uint number = t.mid(colon + 1).toUInt(&ok);
        if (!ok || number == 0 || number > 65535)
            return false;
        port = quint16(number);
    }
    if (name.startsWith(u'[') && name.endsWith(u']'))
        name = name.mid(1, name.size() - 2);
    static const QRegularExpression valid(QStringLiteral("^[A-Za-z0-9._:-]+$"));
    if (name.isEmpty() || !valid.match(name).hasMatch())
        return false;
    host = name;
    return true;
}

QString FaxdConfig::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
           + QStringLiteral("/sendmere/faxd.conf");
}

FaxdConfig FaxdConfig::load(const QString &path)
{
    const bool existed = QFileInfo::exists(path);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSettings s(path, QSettings::IniFormat);
    if (!existed)
        writeDefaults(s);
    FaxdConfig c;
    c.secondsPerPage = qMax(0.0, s.value(QStringLiteral("Transmission/SecondsPerPage"), c.secondsPerPage).toDouble());
    c.dialDelaySeconds = qMax(0.0, s.value(QStringLiteral("Transmission/DialDelaySeconds"), c.dialDelaySeconds).toDouble());
    c.discountStart = readTime(s, QStringLiteral("Schedule/DiscountStart"), c.discountStart);
    c.discountEnd = readTime(s, QStringLiteral("Schedule/DiscountEnd"), c.discountEnd);
    c.retries = qMax(0, s.value(QStringLiteral("Schedule/Retries"), c.retries).toInt());
    c.retryIntervalSeconds = qMax(0.0, s.value(QStringLiteral("Schedule/RetryIntervalSeconds"), c.retryIntervalSeconds).toDouble());
    c.ringSeconds = qMax(1.0, s.value(QStringLiteral("Service/RingSeconds"), c.ringSeconds).toDouble());
    c.idleExitMinutes = qMax(0.02, s.value(QStringLiteral("Service/IdleExitMinutes"), c.idleExitMinutes).toDouble());
    c.renderSeconds = qBound(0.1, s.value(QStringLiteral("Service/RenderSeconds"), c.renderSeconds).toDouble(), 3600.0);
    c.lockWaitSeconds = qBound(0.0, s.value(QStringLiteral("Service/LockWaitSeconds"), c.lockWaitSeconds).toDouble(), 600.0);
    c.devices = readDevices(s);
    c.line = readLine(s);
    return c;
}

}  // namespace sendmere::faxd
