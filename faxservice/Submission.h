#pragma once
// A document a client submits, read and checked once where it comes in from the bus: past
// that point the service works with these values only. A document that breaks a rule or a
// limit is refused with ServiceError (InvalidArgument, naming the field and the limit).
#include "JobRecord.h"

#include <QList>
#include <QString>
#include <QVariantMap>

namespace sendmere::faxd {

// The limits of one submission (see README.md): past them a client hears why at once.
namespace limits {
constexpr int MaxRecipients = 100;
constexpr int MaxNoteLength = 10000;
constexpr int MaxTextLength = 1000;  // subject, document name, cover page name, each person field
constexpr int MaxTsidLength = 100;
constexpr int MaxSubmissionIdLength = 200;
constexpr qint64 MaxScheduleAheadMs = 366LL * 24 * 3600 * 1000;
}  // namespace limits

struct Submission {
    QString submissionId;  // the client's; empty when it gave none
    QString body;          // the client's absolute path; empty: cover page only
    int coverPageType = 0;  // 0 none, 1 personal folder, 2 server folder (or an absolute path)
    QString coverPage;
    QString subject, documentName, note;
    int priority = 1;      // 0 low, 1 normal, 2 high
    int scheduleType = 0;  // 0 now, 1 at scheduleTime, 2 in the discount period
    qint64 scheduleTime = 0;  // milliseconds since the epoch; 0 for none
    bool attachFaxToReceipt = false;
    Person sender;
    QList<Person> recipients;  // at least one, each with a fax number that can be dialled

    // The client's submission id, checked against its limit; empty when it gave none.
    static QString idOf(const QVariantMap &document);
    // Reads a document as a client sends it (nested maps may still be bus arguments) and
    // checks every rule that needs no file; raises ServiceError.
    static Submission fromBus(const QVariantMap &document);
    // The document again, as fromBus reads it: what the service keeps while it renders.
    QVariantMap toDocument() const;

    friend bool operator==(const Submission &, const Submission &) = default;
};

}  // namespace sendmere::faxd
