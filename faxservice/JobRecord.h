#pragma once
// A fax as the service keeps it: a job in the outgoing queue, or once it is sent or received a
// message in an archive. Inside the service it travels as these values; it becomes a property
// map only where it leaves: in the spool's rows and sidecars, and in the replies on the bus.
#include <QList>
#include <QString>
#include <QVariantMap>

namespace sendmere::faxd {

// A sender or a recipient: the fields a client may fill, as text.
struct Person {
    QString name, faxNumber, company, department, email, homePhone, officeLocation, officePhone, streetAddress, city,
        state, zipCode, country, title, billingCode, tsid;

    // Every field under its property name, empty ones too: every map the service sends back
    // must marshal, and a client reads a missing field as empty anyway.
    QVariantMap toProperties() const;
    // The known fields of a map, each read as text; the rest is ignored.
    static Person fromProperties(const QVariantMap &properties);
    // The property names of the fields, in the order above.
    static const QList<QString> &propertyNames();

    friend bool operator==(const Person &, const Person &) = default;
};

struct JobRecord {
    qint64 id = 0;
    QString submissionId;  // the submission that made it; empty for a received fax
    QString subject, documentName, note, coverPage;
    int coverPageType = 0;
    int priority = 1;  // 0 low, 1 normal, 2 high
    int scheduleType = 0;
    bool attachFaxToReceipt = false;
    int status = 0;  // one of status::*; 0 for a message
    QString extendedStatus;
    // Milliseconds since the epoch (UTC), 0 for none: the form times have on the bus and in
    // the spool.
    qint64 submissionTime = 0, originalScheduledTime = 0, scheduledTime = 0, transmissionStart = 0, transmissionEnd = 0;
    int pages = 0;
    int retries = 0;
    Person sender, recipient;
    QString csid, tsid, deviceName;
    QString callerId;      // a received fax: who sent it
    QString lineTag;       // the job's mark on a fax server, unique to this spool
    QString serverJobId;   // the fax server's id of the job
    QString lineReceipt;   // a received fax: where it lay on the fax server

    QString idText() const;
    QVariantMap toProperties() const;
    // Reads what the spool or a client wrote; a missing or mistyped value reads as empty
    // (whether a record can be used at all is the spool's decision when it reads it).
    static JobRecord fromProperties(const QVariantMap &properties);

    friend bool operator==(const JobRecord &, const JobRecord &) = default;
};

QList<QVariantMap> toPropertiesList(const QList<JobRecord> &records);
QList<JobRecord> fromPropertiesList(const QList<QVariantMap> &properties);

}  // namespace sendmere::faxd
