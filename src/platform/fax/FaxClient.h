#pragma once
// Client objects of the local fax service: what the program and the fax console call.
// Every call on a dead or absent service raises AutomationError within a few seconds.
// Collections are indexed from 1, as the service's automation model counts them; an index
// outside 1..Count() raises error 9.
#include "platform/AutomationError.h"

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <atomic>
#include <functional>
#include <memory>

namespace sendmere::fax {

// Bits of the event-set mask given to FaxServer::ListenToServerEvents.
enum EventSet : int {
    EventsNone = 0x0,
    EventsIncomingQueue = 0x1,
    EventsOutgoingQueue = 0x2,
    EventsConfig = 0x4,
    EventsActivity = 0x8,
    EventsQueueState = 0x10,
    EventsIncomingArchive = 0x20,
    EventsOutgoingArchive = 0x40,
    EventsServiceEnded = 0x80,
    EventsDeviceStatus = 0x100,
    EventsIncomingCall = 0x200,
};

enum ScheduleType : int { ScheduleNow = 0, ScheduleSpecificTime = 1, ScheduleDiscountPeriod = 2 };
enum Priority : int { PriorityLow = 0, PriorityNormal = 1, PriorityHigh = 2 };
enum CoverPageType : int { CoverPageNone = 0, CoverPageLocal = 1, CoverPageServer = 2 };

enum JobStatus : int {
    StatusPending = 1,
    StatusInProgress = 2,
    StatusFailed = 8,
    StatusPaused = 16,
    StatusNoLine = 32,
    StatusRetrying = 64,
    StatusRetriesExceeded = 128,
    StatusCompleted = 256,
    StatusCancelled = 512,
    StatusCancelling = 1024,
    StatusRouting = 2048,
};

// A sender or a recipient of a fax, as the service stores it.
struct FaxPersonInfo {
    QString Name, FaxNumber, Company, Department, Email, HomePhone, OfficeLocation,
        OfficePhone, StreetAddress, City, State, ZipCode, Country, Title, BillingCode, TSID;

    QVariantMap toMap() const;
    static FaxPersonInfo fromMap(const QVariantMap &map);
    bool operator==(const FaxPersonInfo &) const = default;
};

class FaxConnection;  // the D-Bus plumbing one server's objects share

// A queued outgoing job: a snapshot of its properties, with the operations on it.
struct JobListing;  // the properties of one GetJobs collection, read together when first needed

class FaxOutgoingJob {
public:
    FaxOutgoingJob(std::shared_ptr<FaxConnection> connection, QVariantMap properties);
    // A job of a collection: its id is known at once, its other properties are read with
    // those of the whole collection when one is first asked for, so that a caller that only
    // looks at the ids (the queue poller) never pays for them.
    FaxOutgoingJob(std::shared_ptr<FaxConnection> connection, QString id, std::shared_ptr<JobListing> listing);

    QString Id() const;
    QString Subject() const;
    QString DocumentName() const;
    int Status() const;
    int Priority() const;
    int Pages() const;
    int Retries() const;
    QDateTime OriginalScheduledTime() const;
    QDateTime ScheduledTime() const;
    QDateTime TransmissionStart() const;
    QDateTime TransmissionEnd() const;
    FaxPersonInfo Sender() const;
    FaxPersonInfo Recipient() const;
    QString CSID() const;
    QString TSID() const;
    QString ExtendedStatus() const;
    const QVariantMap &properties() const;

    void CopyTiff(const QString &path) const;  // writes the job's fax image to path
    void Cancel();
    void Refresh();  // re-reads the properties from the service

private:
    std::shared_ptr<FaxConnection> m_connection;
    QString m_id;
    mutable QVariantMap m_properties;
    mutable std::shared_ptr<JobListing> m_listing;  // until the properties are read
};

// An archived message, outgoing or incoming.
class FaxMessage {
public:
    FaxMessage(std::shared_ptr<FaxConnection> connection, QString folder, QVariantMap properties);

    QString Id() const;
    QString Subject() const;
    QString DocumentName() const;
    int Priority() const;
    int Pages() const;
    int Retries() const;
    QDateTime OriginalScheduledTime() const;
    QDateTime SubmissionTime() const;
    QDateTime TransmissionStart() const;
    QDateTime TransmissionEnd() const;
    FaxPersonInfo Sender() const;
    FaxPersonInfo Recipient() const;
    QString CSID() const;
    QString TSID() const;
    QString CallerId() const;
    QString DeviceName() const;
    const QVariantMap &properties() const { return m_properties; }

    void CopyTiff(const QString &path) const;
    void Delete();

private:
    std::shared_ptr<FaxConnection> m_connection;
    QString m_folder;  // "outgoing" or "incoming"
    QVariantMap m_properties;
};

class FaxOutgoingJobs {
public:
    explicit FaxOutgoingJobs(QList<FaxOutgoingJob> jobs) : m_jobs(std::move(jobs)) {}
    int Count() const { return int(m_jobs.size()); }
    const FaxOutgoingJob &Item(int index) const;  // 1..Count()

private:
    QList<FaxOutgoingJob> m_jobs;
};

class FaxOutgoingQueue {
public:
    explicit FaxOutgoingQueue(std::shared_ptr<FaxConnection> connection);
    FaxOutgoingJobs GetJobs() const;
    FaxOutgoingJob GetJob(const QString &jobId) const;

private:
    std::shared_ptr<FaxConnection> m_connection;
};

// Walks an archive in pages of PrefetchSize messages, asking the service for the next page
// only when the current one is used up.
class FaxMessageIterator {
public:
    FaxMessageIterator(std::shared_ptr<FaxConnection> connection, QString folder, int prefetchSize);
    bool AtEOF() const;
    FaxMessage Message() const;  // raises when AtEOF()
    void MoveNext();
    int PrefetchSize() const { return m_prefetchSize; }

private:
    void fetchPage();
    std::shared_ptr<FaxConnection> m_connection;
    QString m_folder;
    int m_prefetchSize;
    QList<QVariantMap> m_page;
    int m_pos = 0;
    QString m_cursor;  // the service's position after the current page; empty at the end
    bool m_exhausted = false;
};

class FaxArchive {
public:
    FaxArchive(std::shared_ptr<FaxConnection> connection, QString folder);
    FaxMessageIterator GetMessages(int prefetchSize = 100) const;
    FaxMessage GetMessage(const QString &messageId) const;

private:
    std::shared_ptr<FaxConnection> m_connection;
    QString m_folder;
};

class FaxFolders {
public:
    explicit FaxFolders(std::shared_ptr<FaxConnection> connection) : m_connection(std::move(connection)) {}
    FaxOutgoingQueue OutgoingQueue() const;
    FaxArchive OutgoingArchive() const;
    FaxArchive IncomingArchive() const;

private:
    std::shared_ptr<FaxConnection> m_connection;
};

class FaxDevice {
public:
    FaxDevice(std::shared_ptr<FaxConnection> connection, QVariantMap properties);
    int Id() const;
    QString DeviceName() const;
    const QVariantMap &properties() const { return m_properties; }
    void AnswerCall() const;  // answers the call ringing on this device
    // Makes this device ring with a call from callerId that will deliver documentPath (the
    // fax console's simulated incoming call).
    void SimulateIncomingCall(const QString &callerId, const QString &documentPath) const;

private:
    std::shared_ptr<FaxConnection> m_connection;
    QVariantMap m_properties;
};

class FaxDevices {
public:
    explicit FaxDevices(QList<FaxDevice> devices) : m_devices(std::move(devices)) {}
    int Count() const { return int(m_devices.size()); }
    const FaxDevice &Item(int index) const;  // 1..Count()

private:
    QList<FaxDevice> m_devices;
};

class FaxServer : public QObject {
    Q_OBJECT
public:
    explicit FaxServer(QObject *parent = nullptr);
    ~FaxServer() override;

    // "" is the local service; it is started when its bus name has no owner.
    void Connect(const QString &serverName);
    void Disconnect();
    bool isConnected() const;
    void ListenToServerEvents(int eventSetMask);
    FaxDevices GetDevices() const;
    FaxFolders Folders() const;
    std::shared_ptr<FaxConnection> connection() const;  // raises 91 when not connected

Q_SIGNALS:
    void OnOutgoingJobAdded(sendmere::fax::FaxServer *server, const QString &jobId);
    void OnOutgoingJobRemoved(sendmere::fax::FaxServer *server, const QString &jobId);
    void OnOutgoingJobChanged(sendmere::fax::FaxServer *server, const QString &jobId, int status);
    void OnOutgoingMessageAdded(sendmere::fax::FaxServer *server, const QString &messageId);
    void OnOutgoingMessageRemoved(sendmere::fax::FaxServer *server, const QString &messageId);
    void OnIncomingJobAdded(sendmere::fax::FaxServer *server, const QString &jobId);
    void OnIncomingJobRemoved(sendmere::fax::FaxServer *server, const QString &jobId);
    void OnIncomingMessageAdded(sendmere::fax::FaxServer *server, const QString &messageId);
    void OnIncomingMessageRemoved(sendmere::fax::FaxServer *server, const QString &messageId);
    void OnIncomingCall(sendmere::fax::FaxServer *server, int deviceId, const QString &callerId);
    void OnServerShutDown(sendmere::fax::FaxServer *server);

private:
    std::shared_ptr<FaxConnection> m_connection;
    int m_eventMask = EventsNone;
};

class FaxRecipients {
public:
    void Add(const QString &faxNumber, const QString &name = {});
    int Count() const { return int(m_recipients.size()); }
    const FaxPersonInfo &Item(int index) const;  // 1..Count()
    FaxPersonInfo &Item(int index);

private:
    QList<FaxPersonInfo> m_recipients;
};

// Told how far the service's render of a submission has come: pages made of all it will make
// (0 while the total is not known yet).
using SubmitProgress = std::function<void(int pagesDone, int pagesTotal)>;

// Lets another thread withdraw a submission while ConnectedSubmit waits for its render.
class SubmitCancel {
public:
    void request() { m_requested = true; }
    bool requested() const { return m_requested; }

private:
    std::atomic<bool> m_requested{false};
};

// A fax to submit: its properties, then ConnectedSubmit.
class FaxDocument {
public:
    // A new document's sender holds the user's stored sender information (the fax
    // service's per-user registry key); a submitter overrides the fields it knows.
    FaxDocument();

    QString Body;  // path of the document to send; empty = cover page only
    QString DocumentName;
    QString Note;
    QString Subject;
    QString CoverPage;  // template file name (server or personal directory by CoverPageType)
    int CoverPageType = CoverPageNone;
    int Priority = PriorityNormal;
    int ScheduleType = ScheduleNow;
    QDateTime ScheduleTime;
    bool AttachFaxToReceipt = false;
    FaxRecipients Recipients;
    FaxPersonInfo Sender;
    // Names the submission to the service; empty: each ConnectedSubmit makes a new one.
    // Submitting again with the same id returns the jobs already made, never new ones.
    QString SubmissionId;

    // Queues one job per recipient and returns their ids, in recipient order, once every job
    // is in the queue with its image (the service answers at once and renders afterwards;
    // progress, when given, hears how far it has come). A body that cannot be rendered raises
    // and queues nothing. When the service ends meanwhile the submission is sent once more
    // under the same id, so a fax is never lost and never queued twice.
    // A cancel, once requested, withdraws the submission from the service (nothing of it
    // stays queued) and raises OperationCancelled.
    QStringList ConnectedSubmit(FaxServer &server, const SubmitProgress &progress = {}, const SubmitCancel *cancel = nullptr) const;
    // The same through a connected server's connection (FaxServer::connection()), for a
    // thread other than the server's own: the server object itself is never touched.
    QStringList ConnectedSubmit(FaxConnection &connection, const SubmitProgress &progress = {}, const SubmitCancel *cancel = nullptr) const;
};

}  // namespace sendmere::fax
