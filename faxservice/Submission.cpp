#include "Submission.h"

#include "FaxBusApi.h"
#include "FaxComposer.h"

#include <QDateTime>

namespace sendmere::faxd {

namespace {

const QString KeySubmissionId = QStringLiteral("SubmissionId");
const QString KeyBody = QStringLiteral("Body");
const QString KeyCoverPageType = QStringLiteral("CoverPageType");
const QString KeyCoverPage = QStringLiteral("CoverPage");
const QString KeySubject = QStringLiteral("Subject");
const QString KeyDocumentName = QStringLiteral("DocumentName");
const QString KeyNote = QStringLiteral("Note");
const QString KeyPriority = QStringLiteral("Priority");
const QString KeyScheduleType = QStringLiteral("ScheduleType");
const QString KeyScheduleTime = QStringLiteral("ScheduleTime");
const QString KeyAttach = QStringLiteral("AttachFaxToReceipt");
const QString KeySender = QStringLiteral("Sender");
const QString KeyRecipients = QStringLiteral("Recipients");

[[noreturn]] void refuse(const QString &text) { throw ServiceError(faxbus::ErrorInvalidArgument, text); }

void checkLength(const QString &what, const QString &text, int max)
{
    if (text.size() > max)
        refuse(QStringLiteral("%1 is %2 characters long; at most %3 are taken.").arg(what).arg(text.size()).arg(max));
}

int checkedChoice(const QVariantMap &doc, const QString &key, int fallback, int max)
{
    const int value = doc.value(key, fallback).toInt();
    if (value < 0 || value > max)
        refuse(QStringLiteral("%1 %2 is out of range.").arg(key).arg(value));
    return value;
}

// Every field a client sent for a person counts, also one the service does not know.
void checkPerson(const QVariantMap &person)
{
    for (auto it = person.begin(); it != person.end(); ++it)
        checkLength(QStringLiteral("The %1 of a sender or recipient").arg(it.key()), it.value().toString(),
                    it.key() == QStringLiteral("TSID") ? limits::MaxTsidLength : limits::MaxTextLength);
}

void checkSchedule(const QVariantMap &doc)
{
    if (doc.value(KeyScheduleType).toInt() != 1)
        return;
    const qint64 at = doc.value(KeyScheduleTime).toLongLong();
    if (at <= 0)
        refuse(QStringLiteral("The fax is to be sent at a given time, but the time is missing."));
    if (at > QDateTime::currentMSecsSinceEpoch() + limits::MaxScheduleAheadMs)
        refuse(QStringLiteral("The send time is more than a year ahead."));
}

void checkLimits(const QVariantMap &doc, const QList<QVariantMap> &recipients, const QVariantMap &sender)
{
    if (recipients.size() > limits::MaxRecipients)
        refuse(QStringLiteral("The fax has %1 recipients; at most %2 are taken in one submission.")
                   .arg(recipients.size())
                   .arg(limits::MaxRecipients));
    checkLength(QStringLiteral("The note"), doc.value(KeyNote).toString(), limits::MaxNoteLength);
    for (const QString &key : {KeySubject, KeyDocumentName, KeyCoverPage})
        checkLength(QStringLiteral("The %1").arg(key), doc.value(key).toString(), limits::MaxTextLength);
    checkLength(QStringLiteral("The SubmissionId"), doc.value(KeySubmissionId).toString(), limits::MaxSubmissionIdLength);
    for (const QVariantMap &person : recipients)
        checkPerson(person);
    checkPerson(sender);
    checkSchedule(doc);
}

// Text, or a whole number another client sent as one; never a list or a map.
void checkFaxNumber(const QVariant &number)
{
    static const QList<int> scalarTypes{QMetaType::QString,    QMetaType::Int,   QMetaType::UInt,   QMetaType::LongLong,
                                        QMetaType::ULongLong, QMetaType::Short, QMetaType::UShort, QMetaType::UChar};
    if (number.isValid() && !scalarTypes.contains(number.typeId()))
        refuse(QStringLiteral("A recipient's fax number is a %1, not text.").arg(QString::fromLatin1(number.typeName())));
    const QString text = number.toString().trimmed();
    if (text.isEmpty())
        refuse(QStringLiteral("A recipient has no fax number."));
    if (const QString problem = faxbus::faxNumberProblem(text); !problem.isEmpty())
        refuse(problem);
}

}  // namespace

QString Submission::idOf(const QVariantMap &document)
{
    const QString id = document.value(KeySubmissionId).toString();
    checkLength(QStringLiteral("The SubmissionId"), id, limits::MaxSubmissionIdLength);
    return id;
}

Submission Submission::fromBus(const QVariantMap &document)
{
    const QVariantMap doc = faxbus::plainMap(document);
    const QList<QVariantMap> recipients = faxbus::plainMapList(doc.value(KeyRecipients));
    const QVariantMap sender = faxbus::plainMap(doc.value(KeySender));
    checkLimits(doc, recipients, sender);
    if (recipients.isEmpty())
        refuse(QStringLiteral("The fax has no recipient."));
    for (const QVariantMap &r : recipients)
        checkFaxNumber(r.value(QStringLiteral("FaxNumber")));
    Submission s;
    s.priority = checkedChoice(doc, KeyPriority, 1, 2);
    s.scheduleType = checkedChoice(doc, KeyScheduleType, 0, 2);
    s.coverPageType = checkedChoice(doc, KeyCoverPageType, 0, 2);
    s.submissionId = doc.value(KeySubmissionId).toString();
    s.body = doc.value(KeyBody).toString();
    s.coverPage = doc.value(KeyCoverPage).toString();
    s.subject = doc.value(KeySubject).toString();
    s.documentName = doc.value(KeyDocumentName).toString();
    s.note = doc.value(KeyNote).toString();
    s.scheduleTime = doc.value(KeyScheduleTime).toLongLong();
    s.attachFaxToReceipt = doc.value(KeyAttach).toBool();
    s.sender = Person::fromProperties(sender);
    for (const QVariantMap &r : recipients)
        s.recipients.append(Person::fromProperties(r));
    return s;
}

QVariantMap Submission::toDocument() const
{
    QVariantList people;
    for (const Person &r : recipients)
        people.append(r.toProperties());
    return {{KeySubmissionId, submissionId}, {KeyBody, body},
            {KeyCoverPageType, coverPageType}, {KeyCoverPage, coverPage},
            {KeySubject, subject}, {KeyDocumentName, documentName},
            {KeyNote, note}, {KeyPriority, priority},
            {KeyScheduleType, scheduleType}, {KeyScheduleTime, scheduleTime},
            {KeyAttach, attachFaxToReceipt}, {KeySender, sender.toProperties()},
            {KeyRecipients, people}};
}

}  // namespace sendmere::faxd
