// The commands of sendmere-fax, each on the fax service's client objects.
#include "FaxConsole.h"

#include "FaxConsoleArguments.h"
#include "FaxConsoleRecords.h"
#include "platform/fax/FaxClient.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <functional>

namespace sendmere::console {

namespace {

using fax::FaxServer;

QList<QVariantMap> allMessages(const fax::FaxArchive &archive)
{
    QList<QVariantMap> records;
    for (auto it = archive.GetMessages(100); !it.AtEOF(); it.MoveNext())
        records.append(it.Message().properties());
    return records;
}

}  // namespace

int FaxConsole::send(const Arguments &args)
{
    if (!args.has(QStringLiteral("--to")))
        throw UsageError(QStringLiteral("send needs --to NUMBER"));
    if (args.positional.size() > 1)
        throw UsageError(QStringLiteral("send takes one FILE"));
    if (args.has(QStringLiteral("--at")) && args.has(QStringLiteral("--discount")))
        throw UsageError(QStringLiteral("give --at or --discount, not both"));
    fax::FaxDocument doc;
    doc.Recipients.Add(faxNumberArgument(QStringLiteral("--to"), args.value(QStringLiteral("--to"))), args.value(QStringLiteral("--name")));
    doc.Subject = args.value(QStringLiteral("--subject"));
    doc.Note = args.value(QStringLiteral("--note"));
    doc.Priority = parsePriority(args.value(QStringLiteral("--priority")));
    if (args.has(QStringLiteral("--at"))) {
        doc.ScheduleType = fax::ScheduleSpecificTime;
        doc.ScheduleTime = parseTime(args.value(QStringLiteral("--at")));
    } else if (args.has(QStringLiteral("--discount"))) {
        doc.ScheduleType = fax::ScheduleDiscountPeriod;
    }
    if (!args.positional.isEmpty()) {
        doc.Body = fileArgument(args.positional.first());
        doc.DocumentName = QFileInfo(doc.Body).fileName();
        doc.AttachFaxToReceipt = true;
    } else {
        doc.DocumentName = doc.Subject;
    }
    connectServer();  // starts the service, which puts the shipped cover pages in place
    if (args.has(QStringLiteral("--cover")))
        chooseCoverPage(doc, args.value(QStringLiteral("--cover")));
    // Progress goes to stderr, at most once a second and only while it moves, so that the job
    // ids on stdout stay all a script reads. Until the body's page count is known, the pages
    // drawn so far are all there is to show.
    QElapsedTimer sinceShown;
    QString shown;
    const auto showProgress = [&](int done, int total) {
        const QString text = total > 0 ? QStringLiteral("%1% done").arg(qint64(done) * 100 / total) : QStringLiteral("page %1").arg(done);
        if (done <= 0 || text == shown || (sinceShown.isValid() && sinceShown.elapsed() < 1000 && done < total))
            return;
        sinceShown.start();
        shown = text;
        m_err << "sendmere-fax: rendering the fax, " << text << "\n";
        m_err.flush();
    };
    for (const QString &id : doc.ConnectedSubmit(*m_server, showProgress))
        m_out << id << "\n";
    return 0;
}

int FaxConsole::list(const Arguments &args)
{
    if (args.positional.size() != 1)
        throw UsageError(QStringLiteral("list needs queue, sent or received"));
    const QString what = args.positional.first();
    const bool json = args.has(QStringLiteral("--json"));
    if (what != QStringLiteral("queue") && what != QStringLiteral("sent") && what != QStringLiteral("received"))
        throw UsageError(QStringLiteral("list %1: give queue, sent or received").arg(what));
    connectServer();
    const fax::FaxFolders folders = m_server->Folders();
    if (what == QStringLiteral("queue")) {
        QList<QVariantMap> records;
        const fax::FaxOutgoingJobs jobs = folders.OutgoingQueue().GetJobs();
        for (int i = 1; i <= jobs.Count(); ++i)
            records.append(jobs.Item(i).properties());
        printRecords(records, {QStringLiteral("Id"), QStringLiteral("StatusText"), QStringLiteral("PriorityText"), QStringLiteral("ScheduledTime"),
                               QStringLiteral("Pages"), QStringLiteral("Recipient.FaxNumber"), QStringLiteral("Subject"),
                               QStringLiteral("ExtendedStatus")}, json);
        return 0;
    }
    const QString folder = archiveFolder(what);
    const auto archive = folder == QStringLiteral("outgoing") ? folders.OutgoingArchive() : folders.IncomingArchive();
    const QStringList columns = folder == QStringLiteral("outgoing")
                                    ? QStringList{QStringLiteral("Id"), QStringLiteral("TransmissionEnd"), QStringLiteral("Pages"),
                                                  QStringLiteral("Recipient.FaxNumber"), QStringLiteral("Subject")}
                                    : QStringList{QStringLiteral("Id"), QStringLiteral("TransmissionEnd"), QStringLiteral("Pages"),
                                                  QStringLiteral("CallerId"), QStringLiteral("TSID")};
    printRecords(allMessages(archive), columns, json);
    return 0;
}

int FaxConsole::show(const Arguments &args)
{
    if (args.positional.size() != 1)
        throw UsageError(QStringLiteral("show needs an ID"));
    const QString id = args.positional.first();
    connectServer();
    const fax::FaxFolders folders = m_server->Folders();
    QVariantMap record;
    const std::pair<QString, std::function<QVariantMap()>> lookups[] = {
        {QStringLiteral("queue"), [&] { return folders.OutgoingQueue().GetJob(id).properties(); }},
        {QStringLiteral("sent"), [&] { return folders.OutgoingArchive().GetMessage(id).properties(); }},
        {QStringLiteral("received"), [&] { return folders.IncomingArchive().GetMessage(id).properties(); }}};
    for (const auto &[folder, lookup] : lookups) {
        try {
            record = readable(lookup());
            record.insert(QStringLiteral("Folder"), folder);
            break;
        } catch (const AutomationError &e) {
            if (e.number() != err::InvalidProcedureCall)
                throw;
        }
    }
    if (record.isEmpty())
        throw AutomationError(err::InvalidProcedureCall, QStringLiteral("There is no fax \"%1\" in the queue or the archives.").arg(id));
    if (args.has(QStringLiteral("--json"))) {
        m_out << QJsonDocument(QJsonObject::fromVariantMap(record)).toJson(QJsonDocument::Indented);
        return 0;
    }
    for (auto it = record.cbegin(); it != record.cend(); ++it) {
        if (it.value().metaType() == QMetaType::fromType<QVariantMap>()) {
            const QVariantMap person = it.value().toMap();
            for (auto p = person.cbegin(); p != person.cend(); ++p)
                if (!p.value().toString().isEmpty())
                    m_out << it.key() << "." << p.key() << ": " << p.value().toString() << "\n";
        } else {
            m_out << it.key() << ": " << it.value().toString() << "\n";
        }
    }
    return 0;
}

int FaxConsole::cancel(const Arguments &args)
{
    if (args.positional.size() != 1)
        throw UsageError(QStringLiteral("cancel needs an ID"));
    connectServer();
    m_server->Folders().OutgoingQueue().GetJob(args.positional.first()).Cancel();
    return 0;
}

int FaxConsole::remove(const Arguments &args)
{
    if (args.positional.size() != 2)
        throw UsageError(QStringLiteral("delete needs sent|received and an ID"));
    const QString folder = archiveFolder(args.positional.first());
    connectServer();
    const fax::FaxFolders folders = m_server->Folders();
    const auto archive = folder == QStringLiteral("outgoing") ? folders.OutgoingArchive() : folders.IncomingArchive();
    archive.GetMessage(args.positional.at(1)).Delete();
    return 0;
}

int FaxConsole::tiff(const Arguments &args)
{
    if (args.positional.size() != 2 || args.positional.at(1).isEmpty())
        throw UsageError(QStringLiteral("tiff needs an ID and a PATH"));
    const QString id = args.positional.first();
    const QString path = fileArgument(args.positional.at(1));
    connectServer();
    const fax::FaxFolders folders = m_server->Folders();
    // The fax is looked up first, so that a copy that fails says why and not that the fax is
    // missing.
    using Copy = std::function<void()>;
    const std::function<Copy()> finders[] = {
        [&]() -> Copy { return [job = folders.OutgoingQueue().GetJob(id), &path] { job.CopyTiff(path); }; },
        [&]() -> Copy { return [message = folders.OutgoingArchive().GetMessage(id), &path] { message.CopyTiff(path); }; },
        [&]() -> Copy { return [message = folders.IncomingArchive().GetMessage(id), &path] { message.CopyTiff(path); }; }};
    for (const auto &find : finders) {
        Copy copy;
        try {
            copy = find();
        } catch (const AutomationError &e) {
            if (e.number() != err::InvalidProcedureCall)
                throw;
            continue;
        }
        copy();
        return 0;
    }
    throw AutomationError(err::InvalidProcedureCall, QStringLiteral("There is no fax \"%1\" in the queue or the archives.").arg(id));
}

int FaxConsole::devices(const Arguments &args)
{
    connectServer();
    const fax::FaxDevices devices = m_server->GetDevices();
    QList<QVariantMap> records;
    for (int i = 1; i <= devices.Count(); ++i)
        records.append(devices.Item(i).properties());
    printRecords(records, {QStringLiteral("Id"), QStringLiteral("DeviceName"), QStringLiteral("CSID"), QStringLiteral("TSID")},
                 args.has(QStringLiteral("--json")));
    return 0;
}

int FaxConsole::ring(const Arguments &args)
{
    if (!args.has(QStringLiteral("--from")) || args.positional.size() != 1)
        throw UsageError(QStringLiteral("ring needs --from NUMBER and a FILE"));
    const QString caller = faxNumberArgument(QStringLiteral("--from"), args.value(QStringLiteral("--from")), faxbus::MaxCallerIdLength);
    connectServer();
    fax::FaxDevice device = m_server->GetDevices().Item(1);
    device.SimulateIncomingCall(caller, args.positional.first());
    m_out << "ringing on " << device.DeviceName() << "\n";
    return 0;
}

int FaxConsole::answer(const Arguments &)
{
    connectServer();
    fax::FaxDevice device = m_server->GetDevices().Item(1);
    device.AnswerCall();
    m_out << "answered on " << device.DeviceName() << "\n";
    return 0;
}

int FaxConsole::watch(const Arguments &args)
{
    const bool json = args.has(QStringLiteral("--json"));
    const int limit = args.value(QStringLiteral("--count")).toInt();
    connectServer();
    int seen = 0;
    auto print = [&](const QString &event, const QString &id, const QVariant &detail = {}) {
        if (json) {
            QJsonObject object{{QStringLiteral("event"), event}, {QStringLiteral("id"), id},
                               {QStringLiteral("time"), QDateTime::currentDateTime().toString(Qt::ISODateWithMs)}};
            if (detail.isValid())
                object.insert(QStringLiteral("detail"), QJsonValue::fromVariant(detail));
            m_out << QJsonDocument(object).toJson(QJsonDocument::Compact) << "\n";
        } else {
            m_out << QDateTime::currentDateTime().toString(QStringLiteral("hh:mm:ss.zzz")) << " " << event << " " << id
                  << (detail.isValid() ? QStringLiteral(" ") + detail.toString() : QString()) << "\n";
        }
        m_out.flush();
        if (limit > 0 && ++seen >= limit)
            QCoreApplication::quit();
    };
    FaxServer *s = m_server.get();
    QObject::connect(s, &FaxServer::OnOutgoingJobAdded, s, [&](FaxServer *, const QString &id) { print(QStringLiteral("outgoing-job-added"), id); });
    QObject::connect(s, &FaxServer::OnOutgoingJobChanged, s, [&](FaxServer *, const QString &id, int status) {
        print(QStringLiteral("outgoing-job-changed"), id, statusName(status));
    });
    QObject::connect(s, &FaxServer::OnOutgoingJobRemoved, s, [&](FaxServer *, const QString &id) { print(QStringLiteral("outgoing-job-removed"), id); });
    QObject::connect(s, &FaxServer::OnOutgoingMessageAdded, s, [&](FaxServer *, const QString &id) { print(QStringLiteral("outgoing-message-added"), id); });
    QObject::connect(s, &FaxServer::OnOutgoingMessageRemoved, s, [&](FaxServer *, const QString &id) { print(QStringLiteral("outgoing-message-removed"), id); });
    QObject::connect(s, &FaxServer::OnIncomingJobAdded, s, [&](FaxServer *, const QString &id) { print(QStringLiteral("incoming-job-added"), id); });
    QObject::connect(s, &FaxServer::OnIncomingJobRemoved, s, [&](FaxServer *, const QString &id) { print(QStringLiteral("incoming-job-removed"), id); });
    QObject::connect(s, &FaxServer::OnIncomingMessageAdded, s, [&](FaxServer *, const QString &id) { print(QStringLiteral("incoming-message-added"), id); });
    QObject::connect(s, &FaxServer::OnIncomingMessageRemoved, s, [&](FaxServer *, const QString &id) { print(QStringLiteral("incoming-message-removed"), id); });
    QObject::connect(s, &FaxServer::OnIncomingCall, s, [&](FaxServer *, int device, const QString &caller) {
        print(QStringLiteral("incoming-call"), QString::number(device), caller);
    });
    QObject::connect(s, &FaxServer::OnServerShutDown, s, [&](FaxServer *) { print(QStringLiteral("server-shut-down"), QString()); });
    m_server->ListenToServerEvents(0x3ff);
    m_err << "watching the fax service; Ctrl+C ends\n";
    m_err.flush();
    return QCoreApplication::exec();
}

}  // namespace sendmere::console
