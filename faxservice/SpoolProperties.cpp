// Properties as JSON, the ids as text, and the check that a job's or message's properties
// can be used.
#include "Spool.h"
#include "SpoolProperties.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>

namespace sendmere::faxd {

namespace {

QVariant plainJson(const QJsonValue &value);

QVariantMap mapFromJson(const QJsonObject &object)
{
    QVariantMap map;
    for (auto it = object.begin(); it != object.end(); ++it)
        map.insert(it.key(), plainJson(it.value()));
    return map;
}

// JSON numbers come back as doubles; ids, statuses and dates are integers again.
QVariant plainJson(const QJsonValue &value)
{
    if (value.isObject())
        return mapFromJson(value.toObject());
    if (value.isArray()) {
        QVariantList list;
        for (const auto &item : value.toArray())
            list.append(plainJson(item));
        return list;
    }
    if (value.isDouble()) {
        const double d = value.toDouble();
        if (std::floor(d) == d && std::abs(d) < 9e15)
            return qint64(d);
        return d;
    }
    if (value.isNull() || value.isUndefined())
        return QString();  // a null cannot travel on the bus; a hand-edited sidecar may hold one
    return value.toVariant();
}

}  // namespace

QByteArray toJson(const QVariantMap &map)
{
    return QJsonDocument(QJsonObject::fromVariantMap(map)).toJson(QJsonDocument::Compact);
}

std::optional<QVariantMap> fromJson(const QByteArray &bytes)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    return mapFromJson(doc.object());
}

std::optional<QVariantMap> readSidecar(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return fromJson(file.readAll());
}

QByteArray propertiesToJson(const QVariantMap &props) { return toJson(props); }
std::optional<QVariantMap> propertiesFromJson(const QByteArray &json) { return fromJson(json); }

QString idText(qint64 id) { return QString::number(id, 16); }

qint64 idNumber(const QString &text)
{
    bool ok = false;
    const qint64 id = text.trimmed().toLongLong(&ok, 16);
    return ok && id > 0 ? id : 0;
}

QString folderName(Folder folder)
{
    switch (folder) {
    case Folder::Queue: return QStringLiteral("queue");
    case Folder::Sent: return QStringLiteral("sent");
    case Folder::Received: return QStringLiteral("received");
    }
    return {};
}

namespace {

constexpr qint64 MaxPages = 100000;
const QList<int> KnownStatuses{1, 2, 8, 64, 128, 256, 512, 1024};

bool isInteger(const QVariant &v) { return v.metaType().id() == QMetaType::LongLong || v.metaType().id() == QMetaType::Int; }

// A missing key is allowed (the service fills it in); a key of the wrong type is not.
QString typeProblem(const QVariantMap &props, const QString &key, QMetaType::Type type)
{
    if (!props.contains(key))
        return {};
    const QVariant v = props.value(key);
    const bool fits = type == QMetaType::LongLong ? isInteger(v) : v.metaType().id() == int(type);
    return fits ? QString() : QStringLiteral("%1 is not a %2").arg(key, type == QMetaType::LongLong ? QStringLiteral("number")
                                                                  : type == QMetaType::QString ? QStringLiteral("text")
                                                                                               : QStringLiteral("record"));
}

}  // namespace

QString propertiesProblem(Folder folder, const QVariantMap &props)
{
    for (const char *key : {"Pages", "Status", "Priority", "Retries", "ScheduledTime", "OriginalScheduledTime", "SubmissionTime",
                            "TransmissionStart", "TransmissionEnd"})
        if (QString p = typeProblem(props, QString::fromLatin1(key), QMetaType::LongLong); !p.isEmpty())
            return p;
    for (const char *key : {"Subject", "DocumentName", "Note", "CSID", "TSID", "DeviceName", "ExtendedStatus", "CallerId"})
        if (QString p = typeProblem(props, QString::fromLatin1(key), QMetaType::QString); !p.isEmpty())
            return p;
    for (const char *key : {"Sender", "Recipient"})
        if (QString p = typeProblem(props, QString::fromLatin1(key), QMetaType::QVariantMap); !p.isEmpty())
            return p;
    const qint64 pages = props.value(QStringLiteral("Pages")).toLongLong();
    if (pages < 0 || pages > MaxPages)
        return QStringLiteral("%1 pages is no fax").arg(pages);
    if (folder == Folder::Queue) {
        if (pages < 1)
            return QStringLiteral("a queued job without pages");
        if (!KnownStatuses.contains(int(props.value(QStringLiteral("Status")).toLongLong())) || !isInteger(props.value(QStringLiteral("Status"))))
            return QStringLiteral("status %1 is no job status").arg(props.value(QStringLiteral("Status")).toString());
        if (props.value(QStringLiteral("Recipient")).toMap().value(QStringLiteral("FaxNumber")).toString().trimmed().isEmpty())
            return QStringLiteral("the job has no recipient");
    }
    return {};
}

}  // namespace sendmere::faxd
