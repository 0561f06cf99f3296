#pragma once
// What the parts of the HylaFAX line share: the session on the line's thread, how work is run
// there, and small rules about jobs. Included by HylaFaxLine*.cpp only.
#include "HylaFaxClient.h"
#include "HylaFaxLine.h"
#include "OutgoingQueue.h"

#include <QDateTime>
#include <QThread>
#include <memory>
#include <optional>

namespace sendmere::faxd {

namespace hylafaxline {

using hylafax::HylaFaxClient;
using hylafax::LineError;

inline qint64 nowMs() { return QDateTime::currentMSecsSinceEpoch(); }

inline bool isWaiting(int s) { return s == status::Pending || s == status::Retrying; }
inline bool isLive(int s) { return isWaiting(s) || s == status::InProgress || s == status::Cancelling; }

inline QList<hylafax::ServerJob> serverJobs(HylaFaxClient &client, int &bad)
{
    // sendq before doneq: a job that moves between the two lists is seen in the second.
    QList<hylafax::ServerJob> jobs = hylafax::parseList<hylafax::ServerJob>(client.list(QStringLiteral("sendq")), hylafax::parseJob, bad);
    jobs += hylafax::parseList<hylafax::ServerJob>(client.list(QStringLiteral("doneq")), hylafax::parseJob, bad);
    return jobs;
}

}  // namespace hylafaxline

using namespace hylafaxline;

// The thread's side: one session with the server, opened again whenever it was lost.
class HylaFaxLine::Session : public QObject {
public:
    explicit Session(hylafax::ServerSettings settings) : m_settings(std::move(settings)) {}
    HylaFaxClient &client()
    {
        if (!m_client)
            m_client = std::make_unique<HylaFaxClient>(m_settings);
        m_client->open();
        return *m_client;
    }
    void end()
    {
        if (m_client)
            m_client->close();
        m_client.reset();
    }

private:
    hylafax::ServerSettings m_settings;
    std::unique_ptr<HylaFaxClient> m_client;
};

// Runs work(client) on the line's thread; done(result) or failed(error) follow on this one.
template <typename Result, typename Work, typename Done, typename Failed>
void HylaFaxLine::run(Work work, Done done, Failed failed)
{
    ++m_inFlight;
    QMetaObject::invokeMethod(m_session, [this, session = m_session, work, done, failed] {
        std::optional<Result> result;
        std::optional<LineError> error;
        try {
            result = work(session->client());
        } catch (const LineError &e) {
            error = e;
        } catch (const std::exception &e) {
            error = LineError(LineError::Kind::Malformed, QString::fromUtf8(e.what()));
        }
        QMetaObject::invokeMethod(this, [this, result, error, done, failed] {
            --m_inFlight;
            if (error)
                failed(*error);
            else
                done(*result);
            if (m_inFlight == 0)
                roundDone();
        }, Qt::QueuedConnection);
    }, Qt::QueuedConnection);
}

}  // namespace sendmere::faxd
