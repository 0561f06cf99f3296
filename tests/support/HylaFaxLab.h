#pragma once
// A private fax server for tests (hylafax-lab.sh): HylaFAX with two software modems that fax
// each other on 127.0.0.1, in a folder of its own on free ports. Its daemons end with the lab,
// or, should the test process die, by the script's watcher, which removes the folder too.
#include <QDeadlineTimer>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <functional>
#include <memory>

namespace sendmere::test {

class HylaFaxLab {
public:
    struct Modem {
        QString id, device, number;  // the server's name (etc/config.<id>), its tty, its number (rung by the other modem)
    };

    HylaFaxLab() = default;
    ~HylaFaxLab();
    Q_DISABLE_COPY_MOVE(HylaFaxLab)

    // Returns once both modems wait for calls (10-20 s); false with reason(), and with packagesMissing().
    bool start();
    bool stop();
    // The script's down and up: "hfaxd" is a server that goes away while faxq keeps its queue,
    // "iaxmodem-b" unplugs line B (a fax to it ends "No answer" after about 45 s).
    bool takeDown(const QString &daemon) { return run(scriptPath(), {QStringLiteral("down"), dir(), daemon}); }
    bool bringUp(const QString &daemon) { return run(scriptPath(), {QStringLiteral("up"), dir(), daemon}, 180'000); }
    // Runs a program (faxconfig, sendfax) to its end; output() is what it wrote, reason() why it failed.
    bool run(const QString &program, const QStringList &arguments, int timeoutMs = 60'000);
    // The server's view, its queue, the daemons and their logs, for a failure message.
    QString report() { return run(scriptPath(), {QStringLiteral("report"), dir()}) ? m_output : m_reason; }

    bool packagesMissing() const { return m_packagesMissing; }
    QString reason() const { return m_reason; }
    QString output() const { return m_output; }
    QString server() const { return QStringLiteral("127.0.0.1:%1").arg(m_port); }  // as faxd.conf and sendfax -h take it
    QList<Modem> modems() const { return m_modems; }
    QString spool() const { return m_spool; }
    QString dir() const { return m_dir ? m_dir->path() : QString(); }
    QString adminPassword() const { return m_adminPassword; }  // ADMIN's: ANSWER, others' jobs
    QStringList receivedFaxes() const;                         // recvq's, oldest first
    static QString scriptPath();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_spool, m_reason, m_output, m_adminPassword;
    QList<Modem> m_modems;
    quint16 m_port = 0;
    bool m_running = false, m_packagesMissing = false;
};

// Whether condition came to hold within ms of wall time, tried about once a second. QTRY
// counts only its own sleeps: with a slow condition (the fax console under ASan) a two-minute
// wait lasted over half an hour, and QtTest ended the test before it could report the logs.
inline bool eventually(const std::function<bool()> &condition, int ms) {
    for (const QDeadlineTimer deadline(ms); !condition(); QTest::qWait(int(std::clamp<qint64>(deadline.remainingTime(), 1, 1000))))
        if (deadline.hasExpired())
            return false;
    return true;
}

}  // namespace sendmere::test

// Starts lab in a test function: skips the test where the packages are missing, fails it otherwise.
#define SENDMERE_START_HYLAFAX_LAB(lab)                                                    \
    do {                                                                                   \
        if (const bool started = (lab).start(); !started && (lab).packagesMissing())       \
            QSKIP(qPrintable((lab).reason()));                                             \
        else if (!started)                                                                 \
            QFAIL(qPrintable(QStringLiteral("fax lab did not start: ") + (lab).reason())); \
    } while (false)
