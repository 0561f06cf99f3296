#include "platform/fax/FaxClient.h"
#include "platform/fax/FaxClientSupport.h"

#include "FaxBusApi.h"
#include "FaxConnection.h"

#include <QFileInfo>
#include <QHash>
#include <optional>

namespace sendmere::fax {

namespace {

const QString KeyId = QStringLiteral("Id");

QString text(const QVariantMap &props, const char *key) { return props.value(QString::fromLatin1(key)).toString(); }
int number(const QVariantMap &props, const char *key) { return props.value(QString::fromLatin1(key)).toInt(); }
QDateTime date(const QVariantMap &props, const char *key) { return faxbus::fromWire(props.value(QString::fromLatin1(key))); }
FaxPersonInfo person(const QVariantMap &props, const char *key)
{
    return FaxPersonInfo::fromMap(faxbus::plainMap(props.value(QString::fromLatin1(key))));
}

QVariantMap replyMap(const QDBusMessage &reply) { return faxbus::plainMap(reply.arguments().value(0)); }
QList<QVariantMap> replyMaps(const QDBusMessage &reply) { return faxbus::plainMapList(reply.arguments().value(0)); }

// The person fields, in one place for both directions of the conversion.
template <typename Person, typename Visit>
void forEachField(Person &p, Visit visit)
{
    visit("Name", p.Name);
    visit("FaxNumber", p.FaxNumber);
    visit("Company", p.Company);
    visit("Department", p.Department);
    visit("Email", p.Email);
    visit("HomePhone", p.HomePhone);
    visit("OfficeLocation", p.OfficeLocation);
    visit("OfficePhone", p.OfficePhone);
    visit("StreetAddress", p.StreetAddress);
    visit("City", p.City);
    visit("State", p.State);
    visit("ZipCode", p.ZipCode);
    visit("Country", p.Country);
    visit("Title", p.Title);
    visit("BillingCode", p.BillingCode);
    visit("TSID", p.TSID);
}

}  // namespace

// The service resolves paths in its own working folder; send it absolute ones.
QString absolute(const QString &path) { return path.isEmpty() ? path : QFileInfo(path).absoluteFilePath(); }

QVariantMap FaxPersonInfo::toMap() const
{
    QVariantMap map;
    forEachField(*this, [&](const char *key, const QString &value) { map.insert(QString::fromLatin1(key), value); });
    return map;
}

FaxPersonInfo FaxPersonInfo::fromMap(const QVariantMap &map)
{
    FaxPersonInfo p;
    forEachField(p, [&](const char *key, QString &value) { value = map.value(QString::fromLatin1(key)).toString(); });
    return p;
}

// ---- jobs

struct JobListing {
    std::shared_ptr<FaxConnection> connection;
    std::optional<QHash<QString, QVariantMap>> byId;

    // A job that left the queue between the two calls keeps only its id.
    QVariantMap propertiesOf(const QString &id)
    {
        if (!byId) {
            byId.emplace();
            for (QVariantMap &props : replyMaps(connection->call(QStringLiteral("ListJobs"))))
                byId->insert(text(props, "Id"), std::move(props));
        }
        return byId->value(id, QVariantMap{{KeyId, id}});
    }
};

FaxOutgoingJob::FaxOutgoingJob(std::shared_ptr<FaxConnection> connection, QVariantMap properties)
    : m_connection(std::move(connection)), m_id(text(properties, "Id")), m_properties(std::move(properties))
{
}

FaxOutgoingJob::FaxOutgoingJob(std::shared_ptr<FaxConnection> connection, QString id, std::shared_ptr<JobListing> listing)
    : m_connection(std::move(connection)), m_id(std::move(id)), m_listing(std::move(listing))
{
}

const QVariantMap &FaxOutgoingJob::properties() const
{
    if (m_listing) {
        m_properties = m_listing->propertiesOf(m_id);
        m_listing.reset();
    }
    return m_properties;
}

QString FaxOutgoingJob::Id() const { return m_id; }
QString FaxOutgoingJob::Subject() const { return text(properties(), "Subject"); }
QString FaxOutgoingJob::DocumentName() const { return text(properties(), "DocumentName"); }
int FaxOutgoingJob::Status() const { return number(properties(), "Status"); }
int FaxOutgoingJob::Priority() const { return number(properties(), "Priority"); }
int FaxOutgoingJob::Pages() const { return number(properties(), "Pages"); }
int FaxOutgoingJob::Retries() const { return number(properties(), "Retries"); }
QDateTime FaxOutgoingJob::OriginalScheduledTime() const { return date(properties(), "OriginalScheduledTime"); }
QDateTime FaxOutgoingJob::ScheduledTime() const { return date(properties(), "ScheduledTime"); }
QDateTime FaxOutgoingJob::TransmissionStart() const { return date(properties(), "TransmissionStart"); }
QDateTime FaxOutgoingJob::TransmissionEnd() const { return date(properties(), "TransmissionEnd"); }
FaxPersonInfo FaxOutgoingJob::Sender() const { return person(properties(), "Sender"); }
FaxPersonInfo FaxOutgoingJob::Recipient() const { return person(properties(), "Recipient"); }
QString FaxOutgoingJob::CSID() const { return text(properties(), "CSID"); }
QString FaxOutgoingJob::TSID() const { return text(properties(), "TSID"); }
QString FaxOutgoingJob::ExtendedStatus() const { return text(properties(), "ExtendedStatus"); }

void FaxOutgoingJob::CopyTiff(const QString &path) const
{
    m_connection->call(QStringLiteral("CopyJobTiff"), {Id(), absolute(path)});
}

void FaxOutgoingJob::Cancel()
{
    m_connection->call(QStringLiteral("CancelJob"), {Id()});
}

void FaxOutgoingJob::Refresh()
{
    m_properties = replyMap(m_connection->call(QStringLiteral("GetJob"), {Id()}));
    m_listing.reset();
}

const FaxOutgoingJob &FaxOutgoingJobs::Item(int index) const { return checkedItem(m_jobs, index); }

FaxOutgoingQueue::FaxOutgoingQueue(std::shared_ptr<FaxConnection> connection) : m_connection(std::move(connection)) {}

FaxOutgoingJobs FaxOutgoingQueue::GetJobs() const
{
    const QStringList ids = m_connection->call(QStringLiteral("ListJobIds")).arguments().value(0).toStringList();
    const auto listing = std::make_shared<JobListing>(JobListing{m_connection, std::nullopt});
    QList<FaxOutgoingJob> jobs;
    jobs.reserve(ids.size());
    for (const QString &id : ids)
        jobs.append(FaxOutgoingJob(m_connection, id, listing));
    return FaxOutgoingJobs(std::move(jobs));
}

FaxOutgoingJob FaxOutgoingQueue::GetJob(const QString &jobId) const
{
    return FaxOutgoingJob(m_connection, replyMap(m_connection->call(QStringLiteral("GetJob"), {jobId})));
}

// ---- messages

FaxMessage::FaxMessage(std::shared_ptr<FaxConnection> connection, QString folder, QVariantMap properties)
    : m_connection(std::move(connection)), m_folder(std::move(folder)), m_properties(std::move(properties))
{
}

QString FaxMessage::Id() const { return text(m_properties, "Id"); }
QString FaxMessage::Subject() const { return text(m_properties, "Subject"); }
QString FaxMessage::DocumentName() const { return text(m_properties, "DocumentName"); }
int FaxMessage::Priority() const { return number(m_properties, "Priority"); }
int FaxMessage::Pages() const { return number(m_properties, "Pages"); }
int FaxMessage::Retries() const { return number(m_properties, "Retries"); }
QDateTime FaxMessage::OriginalScheduledTime() const { return date(m_properties, "OriginalScheduledTime"); }
QDateTime FaxMessage::SubmissionTime() const { return date(m_properties, "SubmissionTime"); }
QDateTime FaxMessage::TransmissionStart() const { return date(m_properties, "TransmissionStart"); }
QDateTime FaxMessage::TransmissionEnd() const { return date(m_properties, "TransmissionEnd"); }
FaxPersonInfo FaxMessage::Sender() const { return person(m_properties, "Sender"); }
FaxPersonInfo FaxMessage::Recipient() const { return person(m_properties, "Recipient"); }
QString FaxMessage::CSID() const { return text(m_properties, "CSID"); }
QString FaxMessage::TSID() const { return text(m_properties, "TSID"); }
QString FaxMessage::CallerId() const { return text(m_properties, "CallerId"); }
QString FaxMessage::DeviceName() const { return text(m_properties, "DeviceName"); }

void FaxMessage::CopyTiff(const QString &path) const
{
    m_connection->call(QStringLiteral("CopyMessageTiff"), {m_folder, Id(), absolute(path)});
}

void FaxMessage::Delete()
{
    m_connection->call(QStringLiteral("DeleteMessage"), {m_folder, Id()});
}

FaxMessageIterator::FaxMessageIterator(std::shared_ptr<FaxConnection> connection, QString folder, int prefetchSize)
    : m_connection(std::move(connection)), m_folder(std::move(folder)), m_prefetchSize(prefetchSize)
{
    if (prefetchSize < 1)
        throw AutomationError(err::InvalidProcedureCall, QStringLiteral("The prefetch size must be at least 1."));
    fetchPage();
}

void FaxMessageIterator::fetchPage()
{
    const QDBusMessage reply = m_connection->call(QStringLiteral("ListMessages"), {m_folder, m_cursor, m_prefetchSize});
    m_page = replyMaps(reply);
    m_pos = 0;
    m_cursor = reply.arguments().value(1).toString();
    m_exhausted = m_cursor.isEmpty();
}

bool FaxMessageIterator::AtEOF() const { return m_pos >= m_page.size(); }

FaxMessage FaxMessageIterator::Message() const
{
    if (AtEOF())
        throw AutomationError(err::InvalidProcedureCall, QStringLiteral("The message iterator is past the last message."));
    return FaxMessage(m_connection, m_folder, m_page.at(m_pos));
}

void FaxMessageIterator::MoveNext()
{
    if (AtEOF())
        return;
    if (++m_pos >= m_page.size() && !m_exhausted)
        fetchPage();
}

FaxArchive::FaxArchive(std::shared_ptr<FaxConnection> connection, QString folder)
    : m_connection(std::move(connection)), m_folder(std::move(folder))
{
}

FaxMessageIterator FaxArchive::GetMessages(int prefetchSize) const
{
    return FaxMessageIterator(m_connection, m_folder, prefetchSize);
}

FaxMessage FaxArchive::GetMessage(const QString &messageId) const
{
    return FaxMessage(m_connection, m_folder, replyMap(m_connection->call(QStringLiteral("GetMessage"), {m_folder, messageId})));
}

FaxOutgoingQueue FaxFolders::OutgoingQueue() const { return FaxOutgoingQueue(m_connection); }
FaxArchive FaxFolders::OutgoingArchive() const { return FaxArchive(m_connection, faxbus::FolderOutgoing); }
FaxArchive FaxFolders::IncomingArchive() const { return FaxArchive(m_connection, faxbus::FolderIncoming); }

// ---- devices

FaxDevice::FaxDevice(std::shared_ptr<FaxConnection> connection, QVariantMap properties)
    : m_connection(std::move(connection)), m_properties(std::move(properties))
{
}

int FaxDevice::Id() const { return number(m_properties, "Id"); }
QString FaxDevice::DeviceName() const { return text(m_properties, "DeviceName"); }

void FaxDevice::AnswerCall() const
{
    m_connection->call(QStringLiteral("AnswerCall"), {Id()});
}

void FaxDevice::SimulateIncomingCall(const QString &callerId, const QString &documentPath) const
{
    m_connection->call(QStringLiteral("Ring"), {Id(), callerId, absolute(documentPath)}, RenderCallTimeoutMs);
}

const FaxDevice &FaxDevices::Item(int index) const { return checkedItem(m_devices, index); }

// ---- server

FaxServer::FaxServer(QObject *parent) : QObject(parent) {}

FaxServer::~FaxServer()
{
    Disconnect();
}

void FaxServer::Connect(const QString &serverName)
{
    const QString name = serverName.trimmed();
    if (!name.isEmpty() && name.compare(QStringLiteral("localhost"), Qt::CaseInsensitive) != 0 && name != QStringLiteral("."))
        throw AutomationError(err::ServerNotAvailable,
                              QStringLiteral("The remote server machine does not exist or is unavailable (%1: only the local fax service is served)").arg(name));
    Disconnect();
    auto connection = std::make_shared<FaxConnection>();
    connection->ensureService();
    m_connection = std::move(connection);
}

void FaxServer::Disconnect()
{
    if (m_connection)
        m_connection->stopListening();
    m_connection.reset();
    m_eventMask = EventsNone;
}

bool FaxServer::isConnected() const { return m_connection != nullptr; }

void FaxServer::ListenToServerEvents(int eventSetMask)
{
    connection()->listen(this, eventSetMask);
    m_eventMask = eventSetMask;
}

std::shared_ptr<FaxConnection> FaxServer::connection() const
{
    if (!m_connection)
        throw AutomationError::objectNotSet();
    return m_connection;
}

FaxDevices FaxServer::GetDevices() const
{
    const auto conn = connection();
    QList<FaxDevice> devices;
    for (const QVariantMap &props : replyMaps(conn->call(QStringLiteral("ListDevices"))))
        devices.append(FaxDevice(conn, props));
    return FaxDevices(std::move(devices));
}

FaxFolders FaxServer::Folders() const { return FaxFolders(connection()); }

}  // namespace sendmere::fax
