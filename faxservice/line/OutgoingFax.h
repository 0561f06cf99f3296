#pragma once
// One rendered job as a line places it: what the fax server is told about it.
#include "JobRecord.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <utility>

namespace sendmere::faxd {

struct FaxdConfig;

struct OutgoingFax {
    QString id;        // Sendmere's job id
    QString tag;       // the job's mark on the server, unique to this spool
    QString tiffPath;  // the rendered image (cover page, body, banners)
    QString dialString;
    QString recipientName, recipientCompany;
    QString senderName;
    QString subject;
    int priority = 1;    // 0 low, 1 normal, 2 high
    QDateTime sendTime;  // invalid or past: now (the discount period is already in it)
    int maxTries = 1, maxDials = 1;
    int retrySeconds = 600;

    static OutgoingFax fromJob(const JobRecord &job, const QString &tiffPath, const FaxdConfig &config);
};

// The JPARM settings of a fax, in the order they are sent; the document and the tag are
// set apart. Times are GMT (the session says TZONE GMT).
QList<std::pair<QString, QString>> jobParameters(const OutgoingFax &fax, const QDateTime &now);

}  // namespace sendmere::faxd
