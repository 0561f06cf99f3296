#include "JobRecord.h"

#include "FaxBusApi.h"
#include "Spool.h"

#include <array>
#include <utility>

namespace sendmere::faxd {

namespace {

using PersonField = std::pair<QString, QString Person::*>;

const std::array<PersonField, 16> &personFields()
{
    static const std::array<PersonField, 16> fields{{
        {QStringLiteral("Name"), &Person::name},
        {QStringLiteral("FaxNumber"), &Person::faxNumber},
        {QStringLiteral("Company"), &Person::company},
        {QStringLiteral("Department"), &Person::department},
        {QStringLiteral("Email"), &Person::email},
        {QStringLiteral("HomePhone"), &Person::homePhone},
        {QStringLiteral("OfficeLocation"), &Person::officeLocation},
        {QStringLiteral("OfficePhone"), &Person::officePhone},
        {QStringLiteral("StreetAddress"), &Person::streetAddress},
        {QStringLiteral("City"), &Person::city},
        {QStringLiteral("State"), &Person::state},
        {QStringLiteral("ZipCode"), &Person::zipCode},
        {QStringLiteral("Country"), &Person::country},
        {QStringLiteral("Title"), &Person::title},
        {QStringLiteral("BillingCode"), &Person::billingCode},
        {QStringLiteral("TSID"), &Person::tsid},
    }};
    return fields;
}

using TextField = std::pair<QString, QString JobRecord::*>;
using NumberField = std::pair<QString, int JobRecord::*>;
using TimeField = std::pair<QString, qint64 JobRecord::*>;

// Fields every record carries, so that every reply has them.
const std::array<TextField, 8> &textFields()
{
    static const std::array<TextField, 8> fields{{
        {QStringLiteral("Subject"), &JobRecord::subject},
        {QStringLiteral("DocumentName"), &JobRecord::documentName},
        {QStringLiteral("Note"), &JobRecord::note},
        {QStringLiteral("CoverPage"), &JobRecord::coverPage},
        {QStringLiteral("ExtendedStatus"), &JobRecord::extendedStatus},
        {QStringLiteral("CSID"), &JobRecord::csid},
        {QStringLiteral("TSID"), &JobRecord::tsid},
        {QStringLiteral("DeviceName"), &JobRecord::deviceName},
    }};
    return fields;
}

// Fields that only some records have (a job's submission, a received fax's caller, a fax
// server's marks): written only when set.
const std::array<TextField, 5> &optionalFields()
{
    static const std::array<TextField, 5> fields{{
        {QStringLiteral("SubmissionId"), &JobRecord::submissionId},
        {QStringLiteral("CallerId"), &JobRecord::callerId},
        {QStringLiteral("LineTag"), &JobRecord::lineTag},
        {QStringLiteral("ServerJobId"), &JobRecord::serverJobId},
        {QStringLiteral("LineReceipt"), &JobRecord::lineReceipt},
    }};
    return fields;
}

const std::array<NumberField, 6> &numberFields()
{
    static const std::array<NumberField, 6> fields{{
        {QStringLiteral("CoverPageType"), &JobRecord::coverPageType},
        {QStringLiteral("Priority"), &JobRecord::priority},
        {QStringLiteral("ScheduleType"), &JobRecord::scheduleType},
        {QStringLiteral("Status"), &JobRecord::status},
        {QStringLiteral("Pages"), &JobRecord::pages},
        {QStringLiteral("Retries"), &JobRecord::retries},
    }};
    return fields;
}

const std::array<TimeField, 5> &timeFields()
{
    static const std::array<TimeField, 5> fields{{
        {QStringLiteral("SubmissionTime"), &JobRecord::submissionTime},
        {QStringLiteral("OriginalScheduledTime"), &JobRecord::originalScheduledTime},
        {QStringLiteral("ScheduledTime"), &JobRecord::scheduledTime},
        {QStringLiteral("TransmissionStart"), &JobRecord::transmissionStart},
        {QStringLiteral("TransmissionEnd"), &JobRecord::transmissionEnd},
    }};
    return fields;
}

const QString KeyId = QStringLiteral("Id");
const QString KeySender = QStringLiteral("Sender");
const QString KeyRecipient = QStringLiteral("Recipient");
const QString KeyAttach = QStringLiteral("AttachFaxToReceipt");

}  // namespace

QVariantMap Person::toProperties() const
{
    QVariantMap map;
    for (const auto &[key, field] : personFields())
        map.insert(key, this->*field);
    return map;
}

Person Person::fromProperties(const QVariantMap &properties)
{
    Person person;
    for (const auto &[key, field] : personFields())
        person.*field = properties.value(key).toString();
    return person;
}

const QList<QString> &Person::propertyNames()
{
    static const QList<QString> names = [] {
        QList<QString> list;
        for (const auto &entry : personFields())
            list.append(entry.first);
        return list;
    }();
    return names;
}

QString JobRecord::idText() const { return faxd::idText(id); }

QVariantMap JobRecord::toProperties() const
{
    QVariantMap map;
    map.insert(KeyId, idText());
    for (const auto &[key, field] : textFields())
        map.insert(key, this->*field);
    for (const auto &[key, field] : optionalFields())
        if (!(this->*field).isEmpty())
            map.insert(key, this->*field);
    for (const auto &[key, field] : numberFields())
        map.insert(key, this->*field);
    for (const auto &[key, field] : timeFields())
        map.insert(key, this->*field);
    map.insert(KeyAttach, attachFaxToReceipt);
    map.insert(KeySender, sender.toProperties());
    map.insert(KeyRecipient, recipient.toProperties());
    return map;
}

JobRecord JobRecord::fromProperties(const QVariantMap &properties)
{
    JobRecord record;
    record.id = idNumber(properties.value(KeyId).toString());
    for (const auto &[key, field] : textFields())
        record.*field = properties.value(key).toString();
    for (const auto &[key, field] : optionalFields())
        record.*field = properties.value(key).toString();
    for (const auto &[key, field] : numberFields())
        record.*field = properties.value(key, record.*field).toInt();
    for (const auto &[key, field] : timeFields())
        record.*field = properties.value(key).toLongLong();
    record.attachFaxToReceipt = properties.value(KeyAttach).toBool();
    record.sender = Person::fromProperties(faxbus::plainMap(properties.value(KeySender)));
    record.recipient = Person::fromProperties(faxbus::plainMap(properties.value(KeyRecipient)));
    return record;
}

QList<QVariantMap> toPropertiesList(const QList<JobRecord> &records)
{
    QList<QVariantMap> list;
    list.reserve(records.size());
    for (const JobRecord &record : records)
        list.append(record.toProperties());
    return list;
}

QList<JobRecord> fromPropertiesList(const QList<QVariantMap> &properties)
{
    QList<JobRecord> list;
    list.reserve(properties.size());
    for (const QVariantMap &map : properties)
        list.append(JobRecord::fromProperties(map));
    return list;
}

}  // namespace sendmere::faxd
