// The HylaFAX line's polls: the server's lists applied to the jobs, received faxes brought
// into the archive, the modems as devices, and the calls that ring on them.
#include "HylaFaxLine.h"

#include "FaxComposer.h"
#include "FaxRender.h"
#include "FaxdConfig.h"
#include "HylaFaxLineParts.h"
#include "ServiceLog.h"
#include "Spool.h"

#include <QFile>
#include <algorithm>

namespace sendmere::faxd {

namespace {

constexpr int MissingPollsBeforeLost = 3;

}  // namespace

void HylaFaxLine::poll()
{
    run<Snapshot>(
        [](HylaFaxClient &client) {
            Snapshot s;
            s.jobs = serverJobs(client, s.bad);
            s.received = hylafax::parseList<hylafax::ReceivedFax>(client.list(QStringLiteral("recvq")), hylafax::parseReceived, s.bad);
            // The status list starts with the scheduler's own line, which is no modem.
            QByteArray status;
            for (const QByteArray &line : client.list(QStringLiteral("status")).split('\n'))
                if (line.contains('|'))
                    status += line + '\n';
            s.modems = hylafax::parseList<hylafax::Modem>(status, hylafax::parseModem, s.bad);
            return s;
        },
        [this](const Snapshot &s) { apply(s); },
        [this](const LineError &error) {
            lineFailed(error);
            const QList<DevicesDone> waiters = std::exchange(m_deviceWaiters, {});
            for (const DevicesDone &done : waiters)
                done({}, faxbus::ErrorFailed, error.text());
        });
}

void HylaFaxLine::apply(const Snapshot &s)
{
    reachable();
    if (s.bad > 0)
        m_log.warning(QStringLiteral("fax server %1 listed %2 lines that make no sense; they were skipped").arg(m_config.line.serverName()).arg(s.bad));
    m_modems = s.modems;
    std::sort(m_modems.begin(), m_modems.end(), [](const auto &a, const auto &b) { return a.name < b.name; });
    m_modemsKnown = true;
    announceRinging();
    for (const DevicesDone &done : std::exchange(m_deviceWaiters, {}))
        done(deviceList(), {}, {});

    std::map<QString, hylafax::ServerJob> byId;
    for (const hylafax::ServerJob &j : s.jobs)
        byId[j.id] = j;
    std::vector<qint64> ids;
    for (const auto &[id, job] : m_jobs)
        ids.push_back(id);
    for (qint64 id : ids) {
        const auto it = m_jobs.find(id);
        if (it == m_jobs.end())
            continue;
        JobRecord &job = it->second;
        const QString serverId = job.serverJobId;
        const int st = job.status;
        if (serverId.isEmpty() || !(isWaiting(st) || st == status::InProgress))
            continue;
        try {
            if (const auto found = byId.find(serverId); found != byId.end()) {
                m_missing.erase(id);
                follow(job, found->second);
            } else if (++m_missing[id] >= MissingPollsBeforeLost) {
                m_missing.erase(id);
                m_log.warning(QStringLiteral("job %1: fax server %2 no longer lists its job %3").arg(idText(id), m_config.line.serverName(), serverId));
                change(job, status::Failed, QStringLiteral("The fax server %1 no longer knows its job %2").arg(m_config.line.serverName(), serverId));
            }
        } catch (const SpoolError &e) {
            m_log.warning(QString::fromUtf8(e.what()));
        }
    }
    for (const hylafax::ReceivedFax &fax : s.received)
        receive(fax);
}

QString HylaFaxLine::receiptKey(const QString &file) const
{
    return m_config.line.serverName() + QStringLiteral("/recvq/") + file;
}

void HylaFaxLine::receive(const hylafax::ReceivedFax &fax)
{
    const QString key = receiptKey(fax.file);
    if (m_receipts.contains(key) || m_retrieving.contains(key) || m_refused.contains(key))
        return;
    auto incoming = m_incoming.find(key);
    if (incoming == m_incoming.end() && m_answered) {
        // The call a client answered: its incoming job was announced then.
        incoming = m_incoming.emplace(key, *std::exchange(m_answered, std::nullopt)).first;
    } else if (incoming == m_incoming.end()) {
        qint64 id = 0;
        try {
            id = m_spool.allocateId();
        } catch (const SpoolError &e) {
            m_log.warning(QString::fromUtf8(e.what()));
            return;
        }
        incoming = m_incoming.emplace(key, id).first;
        Q_EMIT incomingJobAdded(idText(id));
    }
    if (fax.receiving)
        return;
    const qint64 id = incoming->second;
    const QString part = m_spool.partPath(Folder::Received, id);
    m_retrieving.insert(key);
    run<int>(
        [file = fax.file, part](HylaFaxClient &client) {
            client.retrieve(QStringLiteral("recvq/") + file, part);
            return render::tiffPageCount(part);
        },
        [this, key, id, fax, part](int pages) {
            m_retrieving.remove(key);
            const qint64 end = nowMs();
            JobRecord message;
            message.id = id;
            message.pages = pages > 0 ? pages : fax.pages;
            message.tsid = message.callerId = fax.sender;
            message.deviceName = m_config.line.serverName();
            message.transmissionStart = end - qint64(fax.seconds) * 1000;
            message.transmissionEnd = end;
            message.lineReceipt = key;
            try {
                m_spool.insertMessage(Folder::Received, message.toProperties());
            } catch (const SpoolError &e) {
                QFile::remove(part);
                m_log.warning(QStringLiteral("received fax %1 waits: %2").arg(fax.file, QString::fromUtf8(e.what())));
                return;
            }
            m_receipts.insert(key);
            m_incoming.erase(key);
            m_log.info(QStringLiteral("received fax %1 from %2 (%3 pages) on fax server %4 is incoming message %5")
                           .arg(fax.file, fax.sender.isEmpty() ? QStringLiteral("an unknown sender") : fax.sender)
                           .arg(message.pages)
                           .arg(m_config.line.serverName(), idText(id)));
            Q_EMIT incomingJobRemoved(idText(id));
            Q_EMIT incomingMessageAdded(idText(id));
        },
        [this, key, part](const LineError &error) {
            m_retrieving.remove(key);
            QFile::remove(part);
            if (error.kind() == LineError::Kind::Rejected) {
                // Asked again only by the next service: the server would refuse it each round.
                m_refused.insert(key);
                m_log.warning(QStringLiteral("fax server %1 would not give %2: %3").arg(m_config.line.serverName(), key, error.text()));
                return;
            }
            lineFailed(error);
        });
}

QList<FaxDevice> HylaFaxLine::deviceList() const
{
    QList<FaxDevice> list;
    int n = 0;
    for (const hylafax::Modem &m : m_modems)
        list.append({++n, m.name, m.localId.isEmpty() ? m.number : m.localId, m.number});
    return list;
}

void HylaFaxLine::devices(DevicesDone done)
{
    if (m_modemsKnown && m_unreachable.isEmpty()) {
        done(deviceList(), {}, {});
        return;
    }
    // The first answer waits for the server's list.
    m_deviceWaiters.append(std::move(done));
    if (m_inFlight == 0) {
        m_timer.stop();
        round();
    }
}

void HylaFaxLine::ring(int, const QString &, const QString &, RingDone done)
{
    done(faxbus::ErrorFailed, QStringLiteral("A simulated call rings only on the loopback line; fax server %1 receives real calls.")
                                  .arg(m_config.line.serverName()));
}

namespace {

// A modem that lets calls ring until a client answers (RingsBeforeAnswer 0) says so in its
// status while a call rings.
bool isRinging(const hylafax::Modem &modem)
{
    return modem.status.contains(QLatin1String("Listening to rings"), Qt::CaseInsensitive);
}

}  // namespace

void HylaFaxLine::announceRinging()
{
    QSet<QString> ringing;
    for (qsizetype i = 0; i < m_modems.size(); ++i) {
        const hylafax::Modem &modem = m_modems.at(i);
        if (!isRinging(modem))
            continue;
        ringing.insert(modem.name);
        if (!m_ringing.contains(modem.name)) {
            m_log.info(QStringLiteral("a call rings on %1 of fax server %2").arg(modem.name, m_config.line.serverName()));
            // The server tells no caller id before the call is answered.
            Q_EMIT incomingCall(int(i + 1), QString());
        }
    }
    m_ringing = std::move(ringing);
    m_answering.intersect(m_ringing);
}

void HylaFaxLine::answer(int deviceId, AnswerDone done)
{
    if (deviceId < 1 || deviceId > m_modems.size())
        throw ServiceError(faxbus::ErrorNotFound, QStringLiteral("There is no fax device %1.").arg(deviceId));
    const QString modem = m_modems.at(deviceId - 1).name;
    // The server forgets an ANSWER that comes before the call rings: the answer would
    // announce a fax that never comes.
    if (!m_ringing.contains(modem) || m_answering.contains(modem))
        throw ServiceError(faxbus::ErrorNoCall, QStringLiteral("No call is ringing on %1.").arg(modem));
    m_answering.insert(modem);
    run<bool>(
        [modem](HylaFaxClient &client) {
            // The server answers a call only for its administrator, and ADMIN lasts for the
            // rest of a session. An administrator's session lists a fax while it is still
            // coming in ("*"), and the server caches that per session: the mark is read again
            // only if the file changes later, so once complete the fax stayed "*" for the
            // polling session and was never fetched. The call is answered from a session of
            // its own, which ends here; the polling session never sees a fax half received.
            HylaFaxClient admin(client.settings());
            admin.open();
            admin.becomeAdmin();
            admin.expectOk(QStringLiteral("ANSWER ") + modem);
            admin.close();
            return true;
        },
        [this, done, modem](bool) {
            m_log.info(QStringLiteral("fax server %1 answers the call on %2").arg(m_config.line.serverName(), modem));
            qint64 id = 0;
            try {
                id = m_spool.allocateId();
            } catch (const SpoolError &e) {
                done({}, faxbus::ErrorFailed, QString::fromUtf8(e.what()));
                return;
            }
            m_answered = id;
            Q_EMIT incomingJobAdded(idText(id));
            done(idText(id), {}, {});
        },
        [this, done, modem](const LineError &error) {
            m_answering.remove(modem);  // the call still rings: a client may try again
            if (error.kind() != LineError::Kind::Rejected)
                lineFailed(error);
            done({}, faxbus::ErrorNoCall, QStringLiteral("No call is answered on %1: %2").arg(modem, error.text()));
        });
}

}  // namespace sendmere::faxd
