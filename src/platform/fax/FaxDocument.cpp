// A fax document: its recipients and sender, and its submission to the service, waited for
// until every job is queued.
#include "platform/fax/FaxClient.h"
#include "platform/fax/FaxClientSupport.h"

#include "RegistryStore.h"

#include "FaxBusApi.h"
#include "FaxConnection.h"
#include "SubmissionWatch.h"

#include <QUuid>

namespace sendmere::fax {

void FaxRecipients::Add(const QString &faxNumber, const QString &name)
{
    FaxPersonInfo recipient;
    recipient.FaxNumber = faxNumber;
    recipient.Name = name;
    m_recipients.append(recipient);
}

const FaxPersonInfo &FaxRecipients::Item(int index) const { return checkedItem(m_recipients, index); }

FaxPersonInfo &FaxRecipients::Item(int index)
{
    if (index < 1 || index > m_recipients.size())
        throw AutomationError::subscriptOutOfRange();
    return m_recipients[index - 1];
}

namespace {

FaxPersonInfo storedSender()
{
    const registry::RegistryStore store;
    const QString key = QStringLiteral("Software\\Microsoft\\Fax\\UserInfo");
    const std::pair<const char *, QString FaxPersonInfo::*> fields[] = {
        {"Address", &FaxPersonInfo::StreetAddress}, {"BillingCode", &FaxPersonInfo::BillingCode},
        {"Company", &FaxPersonInfo::Company},       {"Department", &FaxPersonInfo::Department},
        {"MailBox", &FaxPersonInfo::Email},         {"FaxNumber", &FaxPersonInfo::FaxNumber},
        {"FullName", &FaxPersonInfo::Name},         {"HomePhone", &FaxPersonInfo::HomePhone},
        {"Title", &FaxPersonInfo::Title},           {"Office", &FaxPersonInfo::OfficeLocation},
        {"OfficePhone", &FaxPersonInfo::OfficePhone}};
    FaxPersonInfo sender;
    for (const auto &[name, member] : fields) {
        const auto value = store.value(registry::Root::CurrentUser, key, QString::fromLatin1(name));
        if (value && value->type == registry::ValueType::String) sender.*member = value->text;
    }
    return sender;
}

}  // namespace

FaxDocument::FaxDocument() : Sender(storedSender()) {}

QStringList FaxDocument::ConnectedSubmit(FaxServer &server, const SubmitProgress &progress, const SubmitCancel *cancel) const
{
    return ConnectedSubmit(*server.connection(), progress, cancel);
}

QStringList FaxDocument::ConnectedSubmit(FaxConnection &connection, const SubmitProgress &progress, const SubmitCancel *cancel) const
{
    QVariantList recipients;
    for (int i = 1; i <= Recipients.Count(); ++i)
        recipients.append(Recipients.Item(i).toMap());
    const QVariantMap document{
        {QStringLiteral("Body"), absolute(Body)},
        {QStringLiteral("DocumentName"), DocumentName},
        {QStringLiteral("Note"), Note},
        {QStringLiteral("Subject"), Subject},
        {QStringLiteral("CoverPage"), CoverPage},
        {QStringLiteral("CoverPageType"), CoverPageType},
        {QStringLiteral("Priority"), Priority},
        {QStringLiteral("ScheduleType"), ScheduleType},
        {QStringLiteral("ScheduleTime"), faxbus::toWire(ScheduleTime)},
        {QStringLiteral("AttachFaxToReceipt"), AttachFaxToReceipt},
        {QStringLiteral("Recipients"), recipients},
        {QStringLiteral("Sender"), Sender.toMap()},
        {QStringLiteral("SubmissionId"), SubmissionId.isEmpty() ? QUuid::createUuid().toString(QUuid::WithoutBraces) : SubmissionId},
    };
    return submitAndWait(connection, document, progress, [cancel] { return cancel && cancel->requested(); });
}

// The service answers a submission at once and renders it afterwards: the jobs are queued
// when each has been announced. The wait is renewed by every sign of progress, not bounded
// by one fixed time; a service that leaves the bus meanwhile (a crash) is given the same
// submission once more, under the same id, which never queues it twice.
namespace {

// Takes a submission back from the service: whatever of it waits, renders or was queued
// meanwhile goes, so that a cancel leaves no job behind.
[[noreturn]] void withdraw(FaxConnection &connection, const QString &submissionId, bool submitted)
{
    if (submitted)
        connection.call(QStringLiteral("CancelSubmission"), {submissionId});
    throw AutomationError(err::OperationCancelled, QStringLiteral("The fax was not sent: its submission was cancelled."));
}

}  // namespace

QStringList submitAndWait(FaxConnection &connection, const QVariantMap &document, const SubmitProgress &progress,
                          const std::function<bool()> &cancelRequested)
{
    const QString submissionId = document.value(QStringLiteral("SubmissionId")).toString();
    const auto cancelled = [&cancelRequested] { return cancelRequested && cancelRequested(); };
    if (cancelled())
        withdraw(connection, submissionId, false);
    SubmissionWatch watch;
    for (int attempt = 0;; ++attempt) {
        const int departures = watch.departures();
        QStringList ids;
        try {
            ids = connection.call(QStringLiteral("Submit"), {document}, SubmitCallTimeoutMs).arguments().value(0).toStringList();
        } catch (const AutomationError &e) {
            // The reply was lost: the submission is sent once more under its id.
            if (e.number() != err::ServerNotAvailable || attempt >= MaxResubmissions)
                throw;
            continue;
        }
        try {
            watch.noteState(submissionId, faxbus::plainMap(connection.call(QStringLiteral("GetSubmission"), {submissionId}).arguments().value(0)));
        } catch (const AutomationError &e) {
            if (e.number() != err::ServerNotAvailable || attempt >= MaxResubmissions)
                throw;
            continue;
        }
        if (cancelled())
            withdraw(connection, submissionId, true);
        switch (watch.wait(submissionId, ids, departures, SubmitStallMs, progress, cancelRequested)) {
        case SubmissionWatch::Outcome::Queued:
            // A cancel that came while the last page was drawn still takes the jobs back.
            if (cancelled())
                withdraw(connection, submissionId, true);
            return ids;
        case SubmissionWatch::Outcome::CancelRequested:
            withdraw(connection, submissionId, true);
        case SubmissionWatch::Outcome::Failed: {
            QDBusMessage failure = QDBusMessage::createError(watch.errorName(), watch.errorText());
            throw errorFromReply(failure);
        }
        case SubmissionWatch::Outcome::Vanished:
            if (attempt >= MaxResubmissions)
                throw AutomationError(err::ServerNotAvailable,
                                      QStringLiteral("The fax service ended %1 times while it rendered the fax.").arg(attempt + 1));
            continue;
        case SubmissionWatch::Outcome::BusGone:
            throw AutomationError(err::ServerNotAvailable,
                                  QStringLiteral("The remote server machine does not exist or is unavailable (the session bus has gone)"));
        case SubmissionWatch::Outcome::Stalled:
            throw AutomationError(err::ServerNotAvailable, QStringLiteral("The fax service made no progress with the fax for %1 seconds.")
                                                               .arg(SubmitStallMs / 1000));
        }
    }
}

}  // namespace sendmere::fax
