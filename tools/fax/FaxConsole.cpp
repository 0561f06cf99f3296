#include "FaxConsole.h"

#include "RegistryStore.h"
#include "platform/fax/FaxClient.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <functional>
#include <stdexcept>

namespace sendmere::console {

namespace {

using fax::FaxServer;

class UsageError : public std::runtime_error {
public:
    explicit UsageError(const QString &text) : std::runtime_error(text.toStdString()) {}
};

const QString UsageText = QStringLiteral(
    "usage: sendmere-fax COMMAND [OPTIONS]\n"
    "  send --to NUMBER [--name NAME] [--cover TEMPLATE] [--subject TEXT] [--note TEXT]\n"
    "       [--at TIME|--discount] [--priority low|normal|high] [FILE]\n"
    "  list queue|sent|received [--json]\n"
    "  show ID [--json]\n"
    "  cancel ID\n"
    "  delete sent|received ID\n"
    "  tiff ID PATH\n"
    "  devices [--json]\n"
    "  ring --from NUMBER FILE\n"
    "  answer\n"
    "  watch [--json] [--count N]\n");

const QStringList ValueOptions{QStringLiteral("--to"), QStringLiteral("--name"), QStringLiteral("--cover"),
                               QStringLiteral("--subject"), QStringLiteral("--note"), QStringLiteral("--at"),
                               QStringLiteral("--priority"), QStringLiteral("--from"), QStringLiteral("--count")};
const QStringList FlagOptions{QStringLiteral("--discount"), QStringLiteral("--json")};
const QStringList DateKeys{QStringLiteral("OriginalScheduledTime"), QStringLiteral("ScheduledTime"),
                           QStringLiteral("SubmissionTime"), QStringLiteral("TransmissionStart"),
                           QStringLiteral("TransmissionEnd")};

QString statusName(int status)
{
    switch (status) {
    case fax::StatusPending: return QStringLiteral("pending");
    case fax::StatusInProgress: return QStringLiteral("in progress");
    case fax::StatusFailed: return QStringLiteral("failed");
    case fax::StatusRetrying: return QStringLiteral("retrying");
    case fax::StatusRetriesExceeded: return QStringLiteral("retries exceeded");
    case fax::StatusCompleted: return QStringLiteral("completed");
    case fax::StatusCancelled: return QStringLiteral("cancelled");
    case fax::StatusCancelling: return QStringLiteral("cancelling");
    default: return QString::number(status);
    }
}

// Properties as a user reads them: local ISO dates, the status in words beside its number.
QVariantMap readable(QVariantMap props)
{
    for (const QString &key : DateKeys) {
        if (!props.contains(key))
            continue;
        const qint64 ms = props.value(key).toLongLong();
        props.insert(key, ms > 0 ? QDateTime::fromMSecsSinceEpoch(ms).toOffsetFromUtc(QDateTime::currentDateTime().offsetFromUtc())
                                           .toString(Qt::ISODate)
                                 : QString());
    }
    if (props.contains(QStringLiteral("Status")))
        props.insert(QStringLiteral("StatusText"), statusName(props.value(QStringLiteral("Status")).toInt()));
    return props;
}

QString cell(const QVariantMap &record, const QString &column)
{
    const QStringList path = column.split(u'.');
    QVariant value = record.value(path.first());
    if (path.size() > 1)
        value = value.toMap().value(path.at(1));
    return value.toString();
}

QDateTime parseTime(const QString &text)
{
    const QTime time = QTime::fromString(text, QStringLiteral("H:mm"));
    if (time.isValid()) {
        QDateTime at(QDate::currentDate(), time);
        return at < QDateTime::currentDateTime() ? at.addDays(1) : at;
    }
    QDateTime at = QDateTime::fromString(text, Qt::ISODate);
    if (!at.isValid())
        at = QDateTime::fromString(text, QStringLiteral("yyyy-MM-dd H:mm"));
    if (!at.isValid())
        throw UsageError(QStringLiteral("--at %1: give HH:MM or YYYY-MM-DDTHH:MM").arg(text));
    return at;
}

// A file the user names on the command line. A name that is not valid UTF-8 cannot travel
// to the fax service at all: the user hears that, not that the file is missing.
QString fileArgument(const QString &given)
{
    const QFileInfo info(given);
    if (!info.exists() && given.contains(QChar::ReplacementCharacter))
        throw UsageError(QStringLiteral("%1: the file name is not valid UTF-8 text; rename the file and try again").arg(given));
    return info.absoluteFilePath();
}

int parsePriority(const QString &text)
{
    if (text.isEmpty() || text == QStringLiteral("normal"))
        return fax::PriorityNormal;
    if (text == QStringLiteral("low"))
        return fax::PriorityLow;
    if (text == QStringLiteral("high"))
        return fax::PriorityHigh;
    throw UsageError(QStringLiteral("--priority %1: give low, normal or high").arg(text));
}

// The cover page directories, read from the registry as the program reads them.
QString coverDirectory(registry::Root root, const QString &base, const QString &sub)
{
    const registry::RegistryStore store;
    const auto baseValue = store.value(root, QStringLiteral("Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders"), base);
    const auto subValue = store.value(root, QStringLiteral("Software\\Microsoft\\Fax\\Setup"), sub);
    if (!baseValue || !subValue)
        return {};
    return QDir::cleanPath(QString(baseValue->text + u'/' + subValue->text).replace(u'\\', u'/'));
}

QString templateIn(const QString &dir, const QString &name)
{
    if (dir.isEmpty())
        return {};
    for (const QFileInfo &info : QDir(dir).entryInfoList(QDir::Files, QDir::Name))
        if (info.fileName().section(u'.', 0, 0).compare(name, Qt::CaseInsensitive) == 0)
            return info.fileName();
    return {};
}

void chooseCoverPage(fax::FaxDocument &doc, const QString &name)
{
    const QString server = coverDirectory(registry::Root::LocalMachine, QStringLiteral("Common AppData"), QStringLiteral("ServerCoverPageDir"));
    const QString personal = coverDirectory(registry::Root::CurrentUser, QStringLiteral("Personal"), QStringLiteral("CoverPageDir"));
    if (const QString file = templateIn(server, name); !file.isEmpty()) {
        doc.CoverPageType = fax::CoverPageServer;
        doc.CoverPage = file;
    } else if (const QString own = templateIn(personal, name); !own.isEmpty()) {
        doc.CoverPageType = fax::CoverPageLocal;
        doc.CoverPage = own;
    } else if (QFileInfo(name).isFile()) {
        doc.CoverPageType = fax::CoverPageLocal;
        doc.CoverPage = QFileInfo(name).absoluteFilePath();
    } else {
        throw UsageError(QStringLiteral("--cover %1: no such cover page template in %2 or %3").arg(name, server, personal));
    }
}

QString archiveFolder(const QString &word)
{
    if (word == QStringLiteral("sent"))
        return QStringLiteral("outgoing");
    if (word == QStringLiteral("received"))
        return QStringLiteral("incoming");
    throw UsageError(QStringLiteral("\"%1\": give sent or received").arg(word));
}

QList<QVariantMap> allMessages(const fax::FaxArchive &archive)
{
    QList<QVariantMap> records;
    for (auto it = archive.GetMessages(100); !it.AtEOF(); it.MoveNext())
        records.append(it.Message().properties());
    return records;
}

}  // namespace

Arguments parseArguments(const QStringList &args)
{
    Arguments parsed;
    for (int i = 0; i < args.size(); ++i) {
        const QString &arg = args.at(i);
        if (ValueOptions.contains(arg)) {
            if (i + 1 >= args.size())
                throw UsageError(QStringLiteral("%1 needs a value").arg(arg));
            parsed.options.insert(arg, args.at(++i));
        } else if (FlagOptions.contains(arg)) {
            parsed.options.insert(arg, QString());
        } else if (arg.startsWith(QStringLiteral("--"))) {
            throw UsageError(QStringLiteral("unknown option %1").arg(arg));
        } else {
            parsed.positional.append(arg);
        }
    }
    return parsed;
}

FaxConsole::FaxConsole(QTextStream &out, QTextStream &err) : m_out(out), m_err(err) {}

FaxConsole::~FaxConsole() = default;

int FaxConsole::usage(const QString &problem)
{
    if (!problem.isEmpty())
        m_err << "sendmere-fax: " << problem << "\n";
    m_err << UsageText;
    return 2;
}

int FaxConsole::run(const QStringList &arguments)
{
    if (arguments.isEmpty() || arguments.first() == QStringLiteral("--help"))
        return usage(arguments.isEmpty() ? QStringLiteral("no command given") : QString());
    try {
        return dispatch(arguments.first(), parseArguments(arguments.mid(1)));
    } catch (const UsageError &e) {
        return usage(QString::fromStdString(e.what()));
    } catch (const AutomationError &e) {
        m_err << "sendmere-fax: " << e.text() << " (error " << e.number() << ")\n";
        return 1;
    }
}

int FaxConsole::dispatch(const QString &command, const Arguments &args)
{
    using Handler = int (FaxConsole::*)(const Arguments &);
    const QMap<QString, Handler> handlers{
        {QStringLiteral("send"), &FaxConsole::send},       {QStringLiteral("list"), &FaxConsole::list},
        {QStringLiteral("show"), &FaxConsole::show},       {QStringLiteral("cancel"), &FaxConsole::cancel},
        {QStringLiteral("delete"), &FaxConsole::remove},   {QStringLiteral("tiff"), &FaxConsole::tiff},
        {QStringLiteral("devices"), &FaxConsole::devices}, {QStringLiteral("ring"), &FaxConsole::ring},
        {QStringLiteral("answer"), &FaxConsole::answer},   {QStringLiteral("watch"), &FaxConsole::watch}};
    const auto handler = handlers.value(command);
    if (!handler)
        return usage(QStringLiteral("unknown command %1").arg(command));
    return (this->*handler)(args);
}

void FaxConsole::connectServer()
{
    m_server = std::make_unique<FaxServer>();
    m_server->Connect(QString());
}

void FaxConsole::printRecords(const QList<QVariantMap> &records, const QStringList &columns, bool json)
{
    if (json) {
        QJsonArray array;
        for (const QVariantMap &record : records)
            array.append(QJsonObject::fromVariantMap(readable(record)));
        m_out << QJsonDocument(array).toJson(QJsonDocument::Indented);
        return;
    }
    QList<QStringList> rows{columns};
    for (const QVariantMap &record : records) {
        QStringList row;
        for (const QString &column : columns)
            row.append(cell(readable(record), column));
        rows.append(row);
    }
    QList<int> widths(columns.size(), 0);
    for (const QStringList &row : rows)
        for (int c = 0; c < row.size(); ++c)
            widths[c] = std::max(widths[c], int(row.at(c).size()));
    for (const QStringList &row : rows) {
        QStringList padded;
        for (int c = 0; c < row.size(); ++c)
            padded.append(c + 1 < row.size() ? row.at(c).leftJustified(widths[c]) : row.at(c));
        m_out << padded.join(QStringLiteral("  ")) << "\n";
    }
}

int FaxConsole::send(const Arguments &args)
{
    if (!args.has(QStringLiteral("--to")))
        throw UsageError(QStringLiteral("send needs --to NUMBER"));
    if (args.positional.size() > 1)
        throw UsageError(QStringLiteral("send takes one FILE"));
    if (args.has(QStringLiteral("--at")) && args.has(QStringLiteral("--discount")))
        throw UsageError(QStringLiteral("give --at or --discount, not both"));
    fax::FaxDocument doc;
    doc.Recipients.Add(args.value(QStringLiteral("--to")), args.value(QStringLiteral("--name")));
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
    connectServer();
    const fax::FaxFolders folders = m_server->Folders();
    if (what == QStringLiteral("queue")) {
        QList<QVariantMap> records;
        const fax::FaxOutgoingJobs jobs = folders.OutgoingQueue().GetJobs();
        for (int i = 1; i <= jobs.Count(); ++i)
            records.append(jobs.Item(i).properties());
        printRecords(records, {QStringLiteral("Id"), QStringLiteral("StatusText"), QStringLiteral("Priority"), QStringLiteral("ScheduledTime"),
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
    if (args.positional.size() != 2)
        throw UsageError(QStringLiteral("tiff needs an ID and a PATH"));
    const QString id = args.positional.first();
    const QString path = fileArgument(args.positional.at(1));
    connectServer();
    const fax::FaxFolders folders = m_server->Folders();
    const std::function<void()> copies[] = {
        [&] { folders.OutgoingQueue().GetJob(id).CopyTiff(path); },
        [&] { folders.OutgoingArchive().GetMessage(id).CopyTiff(path); },
        [&] { folders.IncomingArchive().GetMessage(id).CopyTiff(path); }};
    for (const auto &copy : copies) {
        try {
            copy();
            return 0;
        } catch (const AutomationError &e) {
            if (e.number() != err::InvalidProcedureCall)
                throw;
        }
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
    connectServer();
    fax::FaxDevice device = m_server->GetDevices().Item(1);
    device.SimulateIncomingCall(args.value(QStringLiteral("--from")), args.positional.first());
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
