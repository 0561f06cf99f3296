#pragma once
// The service's settings, from $XDG_CONFIG_HOME/sendmere/faxd.conf (written with the
// defaults when it is missing).
#include <QList>
#include <QString>
#include <QStringList>
#include <QTime>

namespace sendmere::faxd {

struct DeviceConfig {
    int id = 1;
    QString name;
    QString csid, tsid;
    QStringList busyNumbers;  // numbers that never answer: their jobs go through the retries
};

struct FaxdConfig {
    double secondsPerPage = 2.0;    // transmission speed of the virtual modem
    double dialDelaySeconds = 3.0;  // from dialling to the first page
    QTime discountStart{20, 0};
    QTime discountEnd{7, 0};
    int retries = 3;
    double retryIntervalSeconds = 600;
    double ringSeconds = 120;       // how long a simulated call rings before it is missed
    double idleExitMinutes = 10;    // the service ends when nothing was to do for this long
    double renderSeconds = 100;     // a submission's render is given up after this long
    double lockWaitSeconds = 10;    // how long a starting service waits for one that is ending
    QList<DeviceConfig> devices;

    static QString defaultPath();
    // Reads path; writes the defaults there first when the file does not exist.
    static FaxdConfig load(const QString &path);
};

}  // namespace sendmere::faxd
