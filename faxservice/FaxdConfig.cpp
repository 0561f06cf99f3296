#include "FaxdConfig.h"

#include <QDir>
#include <QFileInfo>
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

}  // namespace

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
    return c;
}

}  // namespace sendmere::faxd
