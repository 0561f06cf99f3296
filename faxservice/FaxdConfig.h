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

// What transmits and receives: the loopback (the virtual modems above) or a HylaFAX server.
struct LineConfig {
    enum class Backend { Loopback, HylaFax };
    Backend backend = Backend::Loopback;
    QString host = QStringLiteral("127.0.0.1");
    quint16 port = 4559;
    QString user = QStringLiteral("fax");
    double pollSeconds = 3;       // how often the server's lists are read
    int maxDials = 0;             // 0: one dial per try
    // How long a job may wait for a modem while one of the server's modems is idle before it
    // is handed to the server's scheduler again. Longer than the server's own limit for
    // converting a document (180 s), during which a job also waits with the modem idle.
    double stallSeconds = 300;
    QString error;                // set when [Line] could not be read; the loopback is used then
    QString serverName() const { return QStringLiteral("%1:%2").arg(host).arg(port); }
};

// Reads "host[:port]"; false when it is no host name or the port is out of range.
bool parseServer(const QString &text, QString &host, quint16 &port);

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
    LineConfig line;

    static QString defaultPath();
    // Reads path; writes the defaults there first when the file does not exist.
    static FaxdConfig load(const QString &path);
};

}  // namespace sendmere::faxd
