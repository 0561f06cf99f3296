// sendmere-mirror at work: the time from a fax being archived (sent and received over the
// loopback line of the real fax service) to its mail item existing, and the mirror's memory
// as the faxes add up. Runs on a private session bus with a fresh home.
// Usage: bench_mirror [--faxes N] [--single N] [--batch N] [--store maildir|imap]
//   (default: 1000 faxes, the first 20 one at a time, the others 10 at a time, the local store)
// The faxes sent one at a time, each once the items of the one before exist, give the
// latency of a fax on its own (min, median, 95th percentile, max) for Sent Items and Inbox
// items; the others keep the line busy and give the mirror's throughput. The mirror's
// resident memory is printed after every tenth of the faxes.
//
// The store is looked at through ItemProbe, which says whether a folder holds an item with
// a "FaxID": MaildirProbe reads the folder's files; with --store imap a real Dovecot is
// started on 127.0.0.1 in a private folder (ended by its process id with the benchmark),
// the mirror is pointed at it through "MailStore" and the netrc, and ImapProbe asks the
// server itself.
//
// Reading the memory figures: the first fax maps the code the mirror's work needs (about
// 2.5 MB of the libraries, once). What stays after that is the local store's index, one
// entry per item with its key, file name, message id, subject and "FaxID" and their hash
// entries: on this machine the heaps grew by about 2 kB per fax (a Sent Items and an Inbox
// item) over 200 faxes sent one at a time, so about 2 MB per 1,000 faxes, as the items grow
// on disk. The IMAP store keeps no such index: 300 faxes one at a time left the heaps where
// the first 30 had them (within 64 kB). Ten at a time the line here outruns the mirror (it
// has no transmission time), and the faxes not yet mirrored wait as events in the mirror's
// memory; most of that goes back once the mirror has caught up and idled, which the last
// line shows.
#include "../faxservice/PrivateBus.h"
#include "DovecotServer.h"
#include "ImapReader.h"
#include "RegistryStore.h"
#include "platform/fax/FaxClient.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QRegularExpression>
#include <QSet>
#include <QTcpSocket>
#include <QStandardPaths>
#include <QTextStream>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>

using namespace sendmere;

namespace {

// Whether a folder of the store holds the item of a fax; a folder is named as the probe
// names it.
class ItemProbe {
public:
    virtual ~ItemProbe() = default;
    virtual QString inbox() const = 0;
    virtual QString sentItems() const = 0;
    virtual bool has(const QString &folder, const QString &faxId) = 0;
};

// Reads each new message file of a Maildir folder once and remembers the "FaxID"s it saw.
class MaildirProbe final : public ItemProbe {
public:
    explicit MaildirProbe(QString root) : m_root(std::move(root)) {}
    QString inbox() const override { return m_root; }
    QString sentItems() const override { return m_root + QStringLiteral("/.Sent"); }
    bool has(const QString &folderPath, const QString &faxId) override {
        QSet<QString> &ids = m_ids[folderPath];
        if (ids.contains(faxId)) return true;
        for (const char *sub : {"new", "cur"}) {
            const QDir dir(folderPath + u'/' + QLatin1String(sub));
            for (const QString &name : dir.entryList(QDir::Files)) {
                const QString key = name.section(u':', 0, 0);
                if (m_read.contains(key)) continue;
                QFile file(dir.filePath(name));
                if (!file.open(QIODevice::ReadOnly)) continue;
                const QByteArray bytes = file.readAll();
                const qsizetype at = bytes.indexOf("X-Sendmere-User-Property: FaxID=");
                if (at < 0) continue;
                m_read.insert(key);
                ids.insert(QString::fromUtf8(bytes.mid(at + 32, bytes.indexOf('\n', at) - at - 32).trimmed()));
            }
        }
        return ids.contains(faxId);
    }

private:
    QString m_root;
    QHash<QString, QSet<QString>> m_ids;
    QSet<QString> m_read;
};

// One plain IMAP conversation per folder on the server the mirror writes to, each with its
// folder opened read-only (EXAMINE), so that looking sets no flag on the items. Every look
// fetches only the header that carries the "FaxID" of the messages new since the last one.
class ImapFolderWatch {
public:
    ImapFolderWatch(quint16 port, const QByteArray &login) : m_reader(port, login) {}
    bool ok() const { return m_reader.ok(); }
    QByteArray command(const QByteArray &line, QByteArray *untagged = nullptr) { return m_reader.command(line, untagged); }

    // The "FaxID"s of the folder's messages that arrived since the last look.
    QStringList newFaxIds() {
        QByteArray answer;
        // The NOOP lets the server tell of the messages others appended meanwhile.
        command("NOOP");
        if (command("UID FETCH " + QByteArray::number(m_nextUid) + ":* (UID BODY.PEEK[HEADER.FIELDS (X-Sendmere-User-Property)])",
                    &answer) != "OK")
            return {};
        static const QRegularExpression fetch(QStringLiteral("\\* \\d+ FETCH \\([^\\r\\n]*?UID (\\d+)"));
        static const QRegularExpression faxId(QStringLiteral("X-Sendmere-User-Property: FaxID=(\\S+)"),
                                              QRegularExpression::CaseInsensitiveOption);
        QStringList ids;
        const QString text = QString::fromUtf8(answer);
        QList<qsizetype> starts;
        QList<quint32> uids;
        for (auto it = fetch.globalMatch(text); it.hasNext();) {
            const QRegularExpressionMatch m = it.next();
            starts << m.capturedStart();
            uids << m.captured(1).toUInt();
        }
        for (qsizetype i = 0; i < starts.size(); ++i) {
            // "n:*" answers with the last message even when it is older than n.
            if (uids[i] < m_nextUid) continue;
            m_nextUid = uids[i] + 1;
            const qsizetype end = i + 1 < starts.size() ? starts[i + 1] : text.size();
            const QRegularExpressionMatch m = faxId.match(text.mid(starts[i], end - starts[i]));
            if (m.hasMatch()) ids << m.captured(1);
        }
        return ids;
    }

private:
    mailtest::ImapReader m_reader;
    quint32 m_nextUid = 1;
};

class ImapProbe final : public ItemProbe {
public:
    ImapProbe(quint16 port, const QByteArray &login) : m_port(port), m_login(login) {}

    // Finds the folder with the \Sent attribute (the mirror's Sent Items) and opens both.
    bool open() {
        mailtest::ImapReader lister(m_port, m_login);
        m_sent = lister.ok() ? lister.specialUse(QStringLiteral("\\Sent")) : QString();
        if (m_sent.isEmpty()) return false;
        for (const QString &folder : {inbox(), m_sent}) {
            auto watch = std::make_unique<ImapFolderWatch>(m_port, m_login);
            if (!watch->ok() || watch->command("EXAMINE \"" + folder.toUtf8() + '"') != "OK") return false;
            m_watches[folder] = std::move(watch);
        }
        return true;
    }
    QString inbox() const override { return QStringLiteral("INBOX"); }
    QString sentItems() const override { return m_sent; }
    bool has(const QString &folder, const QString &faxId) override {
        QSet<QString> &ids = m_ids[folder];
        if (ids.contains(faxId)) return true;
        const auto watch = m_watches.find(folder);
        if (watch == m_watches.end()) return false;
        for (const QString &id : watch->second->newFaxIds()) ids.insert(id);
        return ids.contains(faxId);
    }

private:
    quint16 m_port;
    QByteArray m_login;
    QString m_sent;
    std::map<QString, std::unique_ptr<ImapFolderWatch>> m_watches;
    QHash<QString, QSet<QString>> m_ids;
};

// Points the mirror at the server: the "MailStore" value and the password in the netrc,
// which must be private to the user.
bool useImapStore(quint16 port, const QString &password) {
    registry::RegistryStore registry;
    if (!registry.setValue(registry::Root::CurrentUser, QStringLiteral("Software\\Sendmere"), QStringLiteral("MailStore"),
                           registry::RegValue::string(QStringLiteral("imap://fax@127.0.0.1:%1").arg(port))))
        return false;
    const QString netrc = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/sendmere/netrc");
    QDir().mkpath(QFileInfo(netrc).path());
    QFile file(netrc);
    if (!file.open(QIODevice::WriteOnly) || file.write("machine 127.0.0.1 login fax password " + password.toUtf8() + "\n") < 0)
        return false;
    return file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

// A line of /proc/PID/status in kB: VmRSS (all resident), RssAnon (the heaps and stacks;
// the rest is mapped files, mostly the libraries' code).
qint64 statusKb(qint64 pid, const QByteArray &field) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(field + ':')) return line.mid(field.size() + 1).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

QString resident(qint64 pid) {
    return QStringLiteral("%1 kB (heaps %2 kB)").arg(statusKb(pid, "VmRSS")).arg(statusKb(pid, "RssAnon"));
}

struct Latencies {
    QList<double> ms;
    QString line(const char *what) const {
        QList<double> sorted = ms;
        std::sort(sorted.begin(), sorted.end());
        if (sorted.isEmpty()) return QStringLiteral("%1: no items").arg(QLatin1String(what));
        const auto at = [&](double q) { return sorted[qMin(sorted.size() - 1, qsizetype(q * double(sorted.size())))]; };
        return QStringLiteral("%1: %2 items, archived -> item: min %3 ms, median %4 ms, p95 %5 ms, max %6 ms")
            .arg(QLatin1String(what)).arg(sorted.size()).arg(sorted.first(), 0, 'f', 0).arg(at(0.5), 0, 'f', 0)
            .arg(at(0.95), 0, 'f', 0).arg(sorted.last(), 0, 'f', 0);
    }
};

struct Waiting {
    QString folder;
    QString faxId;
    QElapsedTimer since;
    Latencies *into;
};

}  // namespace

int main(int argc, char *argv[]) {
    const int rerun = rerunOnPrivateBus(argc, argv, true);
    if (rerun >= 0) return rerun;
    QCoreApplication app(argc, argv);
    int faxes = 1000, batch = 10, single = 20;
    QString store = QStringLiteral("maildir");
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--faxes")) faxes = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--batch")) batch = qMax(1, args[i + 1].toInt());
        else if (args[i] == QLatin1String("--single")) single = qMax(0, args[i + 1].toInt());
        else if (args[i] == QLatin1String("--store")) store = args[i + 1];
    }
    QTextStream out(stdout);
    if (store != QLatin1String("maildir") && store != QLatin1String("imap")) {
        out << "bench_mirror: unknown store \"" << store << "\" (maildir or imap)\n";
        return 2;
    }
    const QString mail = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/sendmere/Mail");
    std::unique_ptr<ItemProbe> probe = std::make_unique<MaildirProbe>(mail);
    std::unique_ptr<mailtest::DovecotServer> dovecot;
    if (store == QLatin1String("imap")) {
        if (!mailtest::DovecotServer::installed()) {
            out << "bench_mirror: Dovecot (dovecot-imapd) is not installed\n";
            return 2;
        }
        dovecot = std::make_unique<mailtest::DovecotServer>();
        auto imap = std::make_unique<ImapProbe>(dovecot->port, "fax secret");
        if (!dovecot->start() || !useImapStore(dovecot->port, QStringLiteral("secret")) || !imap->open()) {
            out << "bench_mirror: the IMAP server did not start or cannot be used\n";
            return 1;
        }
        probe = std::move(imap);
        out << "IMAP store on 127.0.0.1:" << dovecot->port << ", Sent Items in \"" << probe->sentItems() << "\"\n";
    }
    qputenv("SENDMERE_TEST_BIN_DIR", SENDMERE_BIN_DIR);
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/sendmere");
    QDir().mkpath(config);
    QFile conf(config + QStringLiteral("/faxd.conf"));
    if (!conf.open(QIODevice::WriteOnly) || conf.write("[Transmission]\nDialDelaySeconds=0\nSecondsPerPage=0\n") < 0) return 1;
    conf.close();
    const QString body = QDir::tempPath() + QStringLiteral("/bench-mirror-body.txt");
    QFile bodyFile(body);
    if (!bodyFile.open(QIODevice::WriteOnly) || bodyFile.write("A one-page fax for the mirror benchmark.\n") < 0) return 1;
    bodyFile.close();

    QProcess mirror;
    mirror.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    mirror.start(QStringLiteral(SENDMERE_BIN_DIR "/sendmere-mirror"), QStringList());
    auto *bus = QDBusConnection::sessionBus().interface();
    QElapsedTimer started;
    started.start();
    while (!bus->isServiceRegistered(QStringLiteral("org.sendmere.Fax")) && started.elapsed() < 60000) QThread::msleep(10);
    if (!mirror.waitForStarted() || !bus->isServiceRegistered(QStringLiteral("org.sendmere.Mirror"))) {
        out << "bench_mirror: the mirror or the fax service did not start\n";
        return 1;
    }
    out << "mirror up, resident " << resident(mirror.processId()) << "\n";
    out.flush();

    fax::FaxServer server;
    server.Connect(QString());
    server.ListenToServerEvents(fax::EventsOutgoingArchive | fax::EventsIncomingArchive);
    Latencies sentItems, inboxItems, busySent, busyInbox;
    std::vector<Waiting> waiting;
    int archived = 0, submitted = 0;
    QObject::connect(&server, &fax::FaxServer::OnOutgoingMessageAdded, [&](fax::FaxServer *, const QString &id) {
        waiting.push_back({probe->sentItems(), id, {}, archived < single ? &sentItems : &busySent});
        waiting.back().since.start();
    });
    QObject::connect(&server, &fax::FaxServer::OnIncomingMessageAdded, [&](fax::FaxServer *, const QString &id) {
        waiting.push_back({probe->inbox(), id, {}, archived < single ? &inboxItems : &busyInbox});
        waiting.back().since.start();
        ++archived;
    });
    QTimer look;
    look.setInterval(2);
    QObject::connect(&look, &QTimer::timeout, [&] {
        std::erase_if(waiting, [&](Waiting &w) {
            if (!probe->has(w.folder, w.faxId)) return false;
            w.into->ms << double(w.since.nsecsElapsed()) / 1e6;
            return true;
        });
    });
    look.start();

    const int report = qMax(1, faxes / 10);
    int nextReport = report;
    QElapsedTimer total;
    total.start();
    while (archived < faxes) {
        // One at a time: the next fax once the items of the one before exist.
        const int inFlight = submitted < single ? (submitted > archived || !waiting.empty() ? 1 : 0) : submitted - archived;
        if (inFlight < (submitted < single ? 1 : batch) && submitted < faxes) {
            fax::FaxDocument doc;
            doc.Recipients.Add(QStringLiteral("5550100"), QStringLiteral("Ann"));
            doc.Subject = QStringLiteral("Bench %1").arg(submitted);
            doc.Body = body;
            try {
                doc.ConnectedSubmit(server);
            } catch (const AutomationError &e) {
                out << "bench_mirror: submission failed: " << e.text() << "\n";
                return 1;
            }
            ++submitted;
            continue;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        if (archived >= nextReport) {
            out << "after " << archived << " faxes: mirror resident " << resident(mirror.processId()) << "\n";
            out.flush();
            nextReport += report;
        }
        if (total.elapsed() > 3600 * 1000) break;
    }
    // On this line the faxes come far faster than on any real one, and the mirror falls behind:
    // what it has not mirrored yet (events waiting on the bus and in its queue) is part of
    // its memory during the run. Once it has caught up and been idle for a while it holds
    // what stays: the mail store's index, one entry per item.
    const QString behind = resident(mirror.processId());
    QElapsedTimer settle;
    settle.start();
    while (!waiting.empty() && settle.elapsed() < 600000) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    const qint64 caughtUpAfter = settle.elapsed();
    const QString caughtUp = resident(mirror.processId());
    QElapsedTimer idle;
    idle.start();
    while (idle.elapsed() < 5000) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    out << "store: " << store << "\none at a time:\n  " << sentItems.line("Sent Items") << "\n  " << inboxItems.line("Inbox") << "\n";
    out << batch << " at a time (the mirror's backlog included):\n  " << busySent.line("Sent Items") << "\n  "
        << busyInbox.line("Inbox") << "\n";
    out << "items never seen within 10 minutes: " << waiting.size() << "\n";
    out << "mirror resident when the last fax was archived: " << behind << "; " << archived << " faxes in "
        << total.elapsed() / 1000 << " s\n";
    out << "mirror resident once caught up (" << caughtUpAfter / 1000 << " s later): " << caughtUp << ", idle 5 s later: "
        << resident(mirror.processId()) << "\n";
    // The fax service ends with the private bus.
    mirror.kill();
    mirror.waitForFinished();
    return 0;
}
