#pragma once
// Follows a submission through the fax service's events while the submitting thread waits.
// The events are received on a thread of the watch's own, so that the submitting thread can
// block as it would on a reply: no window, timer or event of the program runs in the middle
// of a submission, and the program hears of the new jobs only after ConnectedSubmit returns,
// as it always did.
#include <QDBusConnection>
#include <QMutex>
#include <QObject>
#include <QSet>
#include <QStringList>
#include <QThread>
#include <QWaitCondition>
#include <functional>

namespace sendmere::fax {

class SubmissionWatch : public QObject {
    Q_OBJECT
public:
    enum class Outcome { Queued, Failed, Vanished, Stalled, BusGone, CancelRequested };
    struct Progress {
        int done = 0, total = 0;
    };
    using ProgressSink = std::function<void(int pagesDone, int pagesTotal)>;

    // Listens on the session bus from here on: ask the service for the submission's state only after this, and
    // nothing that happens in between is missed.
    SubmissionWatch();
    ~SubmissionWatch() override;

    // What the service said so far (GetSubmission's answer) goes in first.
    void noteState(const QString &submissionId, const QVariantMap &state);
    // The number of times the service left the bus since the watch began.
    int departures() const;
    // Blocks until every job is announced, the submission fails, the service leaves the bus
    // (after departuresBefore) or the bus itself ends, or nothing at all moves for stallMs;
    // every progress event of the service renews that time; or until cancelRequested, asked
    // at least ten times a second, says yes.
    Outcome wait(const QString &submissionId, const QStringList &jobIds, int departuresBefore, int stallMs,
                 const ProgressSink &progress, const std::function<bool()> &cancelRequested = {});
    QString errorName() const;
    QString errorText() const;

private Q_SLOTS:
    void jobAdded(const QString &id);
    void submissionProgress(const QString &submissionId, int pagesDone, int pagesTotal);
    void submissionFailed(const QString &submissionId, const QString &errorName, const QString &text);
    void ownerChanged(const QString &name, const QString &oldOwner, const QString &newOwner);

private:
    static QDBusConnection ownConnection();
    QDBusConnection m_bus;
    QThread m_thread;
    mutable QMutex m_mutex;
    QWaitCondition m_changed;
    QSet<QString> m_added;
    QHash<QString, Progress> m_progress;
    QHash<QString, std::pair<QString, QString>> m_failures;
    QString m_errorName, m_errorText;
    int m_departures = 0;
    quint64 m_events = 0;  // every event counts as a sign of life
};

}  // namespace sendmere::fax
