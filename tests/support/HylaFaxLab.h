#pragma once
// A private fax server for tests: HylaFAX with two software modems that fax each other on
// 127.0.0.1 (tests/support/hylafax-lab.sh, whose comments say how it works), in a folder of
// its own, on free ports. The lab ends its daemons by their process ids when it goes out of
// scope, also when a test fails; if the test process dies instead, a watcher of the script
// ends them and removes the folder.
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QDeadlineTimer>
#include <QTest>
#include <algorithm>
#include <functional>
#include <memory>

namespace sendmere::test {

class HylaFaxLab {
public:
    struct Modem {
        QString id;      // the server's name of the modem: status/<id>, etc/config.<id>, JPARM MODEM
        QString device;  // its tty, as the server's modem list (LIST status, %m) shows it
        QString number;  // its number; a fax to either number goes out on one modem and rings the other
    };

    HylaFaxLab() = default;
    ~HylaFaxLab();
    HylaFaxLab(const HylaFaxLab &) = delete;
    HylaFaxLab &operator=(const HylaFaxLab &) = delete;

    // Builds the spool, starts iaxmodem, faxq, hfaxd and the faxgettys and waits until both
    // modems wait for calls (10-20 s). False with reason() when it could not; packagesMissing()
    // then tells a machine without the packages (skip) from a failure (fail). After stop(),
    // starts the same server again: same folder, port and modems, its queues as they were.
    bool start();
    // Ends the daemons and the watcher; false with reason() when the script failed.
    bool stop();
    // Ends one daemon of the running lab and starts it again, e.g. "hfaxd" for a server that
    // goes away while faxq keeps its queue; also "faxq", "faxgetty-a"/"-b", "iaxmodem-a"/"-b".
    // "iaxmodem-b" takes faxgetty-b with it: line B unplugged, a fax to it ends "No answer
    // from remote" after about 45 s; bringUp("iaxmodem-b") plugs it in again.
    bool takeDown(const QString &daemon);
    bool bringUp(const QString &daemon);

    bool running() const { return m_running; }
    bool packagesMissing() const { return m_packagesMissing; }
    QString reason() const { return m_reason; }

    quint16 port() const { return m_port; }
    QString server() const;                // "127.0.0.1:PORT", as faxd.conf and sendfax -h take it
    QList<Modem> modems() const { return m_modems; }
    QString spool() const { return m_spool; }
    QString dir() const;                   // the lab's folder: spool/, logs/, dev/, lab.env
    QString passwordUser() const { return m_passwordUser; }  // a login that needs password()
    QString password() const { return m_password; }
    QString adminPassword() const { return m_adminPassword; }  // ADMIN: ANSWER, others' jobs
    // Changes a setting of a running modem's faxgetty until the lab stops (faxconfig -m).
    // False with reason(). RingsBeforeAnswer 0: calls ring until the server's ANSWER (which
    // needs ADMIN adminPassword() and a call already ringing). A call left unanswered ends
    // for the caller after 45 s, but the called iaxmodem misses the hang-up and its modem
    // stays in that call; use takeDown("iaxmodem-b") for a number that does not answer.
    bool configureModem(const Modem &modem, const QString &parameter, const QString &value);
    // Received faxes in the spool's recvq, as absolute paths, oldest first.
    QStringList receivedFaxes() const;
    // The server's view (faxstat), the queued jobs, the daemons with their helper processes,
    // the tails of the daemon logs and the last session log, for a failure message.
    QString logTail() const;

    static QString scriptPath();

private:
    bool runScript(const QStringList &arguments, int timeoutMs);
    bool readEnvironment();

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_spool, m_reason, m_passwordUser, m_password, m_adminPassword;
    QList<Modem> m_modems;
    quint16 m_port = 0;
    bool m_running = false;
    bool m_packagesMissing = false;
};

// Whether condition came to hold within ms of wall time, tried about once a second. QTRY
// counts only its own sleeps, not the time its condition takes: with a condition that runs
// the fax console (a second each under ASan) a two-minute wait lasted over half an hour, and
// QtTest's function limit ended the test before it could report the logs.
inline bool eventually(const std::function<bool()> &condition, int ms) {
    const QDeadlineTimer deadline(ms);
    while (!condition()) {
        if (deadline.hasExpired()) return false;
        QTest::qWait(int(std::clamp<qint64>(deadline.remainingTime(), 1, 1000)));
    }
    return true;
}

}  // namespace sendmere::test

// Starts lab inside a test function: skips the test where the packages are not installed,
// fails it with the script's reason otherwise.
#define SENDMERE_START_HYLAFAX_LAB(lab)                                  \
    do {                                                                 \
        if (!(lab).start()) {                                            \
            if ((lab).packagesMissing())                                 \
                QSKIP(qPrintable((lab).reason()));                       \
            QFAIL(qPrintable(QStringLiteral("fax lab did not start: ") + (lab).reason())); \
        }                                                                \
    } while (false)
