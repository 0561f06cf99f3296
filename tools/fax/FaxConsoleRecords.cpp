#include "FaxConsoleRecords.h"

#include "FaxConsole.h"
#include "platform/fax/FaxClient.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>

namespace sendmere::console {

namespace {

const QStringList DateKeys{QStringLiteral("OriginalScheduledTime"), QStringLiteral("ScheduledTime"),
                           QStringLiteral("SubmissionTime"), QStringLiteral("TransmissionStart"),
                           QStringLiteral("TransmissionEnd")};

QString priorityName(int priority)
{
    switch (priority) {
    case fax::PriorityLow: return QStringLiteral("low");
    case fax::PriorityNormal: return QStringLiteral("normal");
    case fax::PriorityHigh: return QStringLiteral("high");
    default: return QString::number(priority);
    }
}

QString cell(const QVariantMap &record, const QString &column)
{
    const QStringList path = column.split(u'.');
    QVariant value = record.value(path.first());
    if (path.size() > 1)
        value = value.toMap().value(path.at(1));
    return value.toString();
}

// What a table shows over a column: the words, where the record carries the words beside a number.
QString columnTitle(const QString &column)
{
    return column == QStringLiteral("PriorityText") ? QStringLiteral("Priority") : column;
}

}  // namespace

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
    if (props.contains(QStringLiteral("Priority")))
        props.insert(QStringLiteral("PriorityText"), priorityName(props.value(QStringLiteral("Priority")).toInt()));
    return props;
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
    QStringList titles;
    for (const QString &column : columns)
        titles.append(columnTitle(column));
    QList<QStringList> rows{titles};
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

}  // namespace sendmere::console
