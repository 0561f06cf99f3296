#include "bridge/FaxItems.h"

#include "bridge/FaxMessage.h"
#include "job/FaxJob.h"
#include "platform/Failures.h"
#include "platform/fax/FaxClient.h"
#include "platform/mail/MailClient.h"
#include "session/mCommon.h"

#include <QLocale>
#include <QTimeZone>
#include <functional>

namespace sendmere::mSend {
namespace {

using mail::MailItem;
namespace tag = mail::tag;

const QString FaxIdName = QStringLiteral("FaxID");
const QString FaxAddressType = QStringLiteral("Fax");
constexpr qint16 FaxIconIndex = 0x609;

// The platform's standard time zone bias in minutes: what is added to local time to give
// UTC, without the daylight saving adjustment.
int GetTimeZoneBias() {
    return -QTimeZone::systemTimeZone().standardTimeOffset(QDateTime::currentDateTime()) / 60;
}

// The fax time read as local wall-clock time, moved by the bias.
QDateTime withBias(const QDateTime &faxTime) {
    const QDateTime local = faxTime.toLocalTime();
    return QDateTime(local.date(), local.time(), Qt::UTC).addSecs(qint64(GetTimeZoneBias()) * 60);
}

int importanceFor(int priority) { return priority == 2 ? 2 : priority == 0 ? 0 : 1; }

enum class Member { Inbox, Outbox, Sent };

// What one creating member needs of its fax, read the same way from a job or a message.
struct FaxValues {
    Member member;
    QString id, subject, csid, tsid;
    int priority = 0;
    QDateTime originalScheduledTime, transmissionEnd;
    QString senderName, recipientName, recipientNumber;
    std::function<void(const QString &)> copyTiff;
    int pages = 0;
};

// The true moment the item stands for, which its Date shows: when the fax was received, or
// when an outgoing one was due. The time properties keep their bias as they must.
QDateTime faxTime(const FaxValues &fax) {
    return fax.member == Member::Inbox ? fax.transmissionEnd : fax.originalScheduledTime;
}

QString toText(const FaxValues &fax) {
    return fax.recipientName + QStringLiteral("[Fax:") + fax.recipientNumber + u']';
}

// What a mail reader that shows no HTML gives of an outgoing fax.
QString outgoingText(const FaxValues &fax) {
    const QDateTime when = faxTime(fax).toLocalTime();
    return QStringLiteral("Subject: %1\nFax number: %2\nPages: %3\nTime: %4")
        .arg(fax.subject, fax.recipientNumber, QString::number(fax.pages),
             when.isValid() ? QLocale::c().toString(when, QStringLiteral("yyyy-MM-dd HH:mm")) : QString());
}

struct Property {
    quint32 tag;
    QVariant value;
};

std::vector<Property> propertyTable(const FaxValues &fax) {
    const FaxJob &job = faxJob();
    const QVariant icon = QVariant::fromValue(FaxIconIndex);
    if (fax.member == Member::Inbox) {
        return {{tag::PR_ICON_INDEX, icon},
                {tag::PR_MESSAGE_DELIVERY_TIME, withBias(fax.transmissionEnd)},
                {tag::PR_RECEIVED_BY_NAME, job.SenderFullName},
                {tag::PR_RECEIVED_BY_EMAIL_ADDRESS, job.SenderfaxNumber},
                {tag::PR_RECEIVED_BY_ADDRTYPE, FaxAddressType},
                {tag::PR_RCVD_REPRESENTING_NAME, job.SenderFullName},
                {tag::PR_RCVD_REPRESENTING_EMAIL_ADDRESS, job.SenderfaxNumber},
                {tag::PR_RCVD_REPRESENTING_ADDRTYPE, FaxAddressType},
                {tag::PR_SENT_REPRESENTING_NAME, fax.tsid},
                {tag::PR_SENT_REPRESENTING_EMAIL_ADDRESS, fax.tsid},
                {tag::PR_SENT_REPRESENTING_ADDRTYPE, FaxAddressType},
                {tag::PR_SENDER_NAME, fax.tsid},
                {tag::PR_SENDER_EMAIL_ADDRESS, fax.tsid},
                {tag::PR_SENDER_ADDRTYPE, FaxAddressType}};
    }
    // The sender object itself stands for the display-to value; its name is what is stored.
    return {{tag::PR_ICON_INDEX, icon},
            {tag::PR_CLIENT_SUBMIT_TIME, withBias(fax.originalScheduledTime)},
            {tag::PR_DISPLAY_TO, fax.senderName},
            {tag::PR_SENT_REPRESENTING_NAME, job.SenderFullName},
            {tag::PR_SENT_REPRESENTING_EMAIL_ADDRESS, job.SenderfaxNumber},
            {tag::PR_SENT_REPRESENTING_ADDRTYPE, FaxAddressType},
            {tag::PR_SENDER_NAME, job.SenderFullName},
            {tag::PR_SENDER_EMAIL_ADDRESS, job.SenderfaxNumber},
            {tag::PR_SENDER_ADDRTYPE, FaxAddressType}};
}

int folderOf(Member member) {
    switch (member) {
    case Member::Inbox: return mail::FolderInbox;
    case Member::Outbox: return mail::FolderOutbox;
    case Member::Sent: return mail::FolderSentItems;
    }
    return mail::FolderInbox;
}

std::unique_ptr<MailItem> createThroughSession(mail::MessagingSession &session, mail::MailNamespace &ns, const FaxValues &fax) {
    std::unique_ptr<mail::SessionFolder> folder = fax.member == Member::Inbox ? session.Inbox() : session.Outbox();
    std::unique_ptr<mail::SessionMessage> message = folder->addMessage();
    if (fax.member == Member::Inbox) {
        message->setField(QStringLiteral("Subject"), QStringLiteral("Fax"));
        message->setField(QStringLiteral("TimeReceived"), fax.transmissionEnd);
        message->setField(QStringLiteral("Type"), QStringLiteral("IPM.Note"));
        message->setField(QStringLiteral("UnRead"), true);
        message->setField(QStringLiteral("Text"), fax.csid);
        message->setField(QStringLiteral("Sent"), true);
    } else {
        message->setField(QStringLiteral("Subject"), fax.subject);
        message->setField(QStringLiteral("Sent"), true);
        message->setField(QStringLiteral("TimeSent"), fax.originalScheduledTime);
        message->setField(QStringLiteral("Type"), QStringLiteral("IPM.Note"));
    }
    message->Update();
    return ns.GetItemFromID(message->Id());
}

std::unique_ptr<MailItem> createThroughFolder(mail::MailFolder &folder, const FaxValues &fax) {
    std::unique_ptr<MailItem> item = folder.Items()->Add(QStringLiteral("IPM.Note"));
    if (fax.member == Member::Inbox) {
        item->setSubject(QStringLiteral("Fax"));
        item->setUnRead(true);
        item->setBody(fax.csid);
    } else {
        item->setSubject(fax.subject);
    }
    return item;
}

// The steps every creating member shares. run() decides what a failing step does: the
// stopping members end at it, the Sent Items member goes on with the next.
// A new item is saved first with its fields, gets its "FaxID" only later and, in Sent
// Items, reaches its folder last: the store keeps it out of sight until all steps are done,
// so that a run killed in between leaves nothing a later run could not recognise by its
// "FaxID". Staging keeps every step and save as it is; only when others see it changes.
// An item is kept only once its full save succeeded: a failure before that (a full disk,
// a read-only folder, a fax image that cannot be copied) leaves no item, and a later event
// or import makes it. The staging also keeps other processes from writing the store
// between the duplicate check and the item's appearance.
void generateItem(const FaxValues &fax, const std::function<void(const std::function<void()> &)> &run) {
    mail::StagedItems staging;
    const int folderNumber = folderOf(fax.member);
    mail::MailNamespace *ns = nullptr;
    std::unique_ptr<mail::MailFolder> folder;
    std::unique_ptr<MailItem> item;
    const auto requireItem = [&]() -> MailItem & {
        if (!item) throw AutomationError::objectNotSet();
        return *item;
    };
    const QString path = faxImageCopyPath(faxJob().TempDir, fax.csid);
    bool duplicate = false;

    run([&] {
        ns = mCommon::GetMailNamespace();
        if (!ns) throw AutomationError::objectNotSet();
        folder = ns->GetDefaultFolder(folderNumber);
    });
    run([&] {
        if (!folder) throw AutomationError::objectNotSet();
        const QString subject = fax.member == Member::Inbox ? QStringLiteral("Fax") : fax.subject;
        std::unique_ptr<mail::MailItems> found = folder->Items()->Restrict(QStringLiteral("[Subject]='") + subject + u'\'');
        // The index answers what walking the found items for this "FaxID" would.
        duplicate = found->containsUserProperty(FaxIdName, fax.id);
    });
    if (duplicate) return;
    run([&] {
        if (!ns || !folder) throw AutomationError::objectNotSet();
        mail::MessagingSession *session = mCommon::GetCdoSession();
        item = session ? createThroughSession(*session, *ns, fax) : createThroughFolder(*folder, fax);
    });
    if (fax.member == Member::Sent) run([&] { requireItem().setUnRead(true); });
    if (fax.member != Member::Inbox) run([&] { requireItem().setImportance(importanceFor(fax.priority)); });
    run([&] { fax.copyTiff(path); });
    run([&] {
        MailItem &it = requireItem();
        while (it.attachmentCount() > 0) it.removeAttachment(1);
    });
    run([&] { generateFaxMessage(path, requireItem()); });
    run([&] {
        if (!path.isEmpty() && FileExists(path)) requireItem().addAttachment(path, 1, QStringLiteral("FaxImage"));
    });
    run([&] {
        MailItem &it = requireItem();
        if (!it.userProperty(FaxIdName).isValid()) it.addUserProperty(FaxIdName);
        it.setUserProperty(FaxIdName, fax.id);
    });
    run([&] {
        MailItem &it = requireItem();
        it.setTo(fax.member == Member::Inbox ? faxJob().SenderFullName : toText(fax));
        if (faxTime(fax).isValid()) it.setDate(faxTime(fax));
        if (fax.member != Member::Inbox) it.setBody(outgoingText(fax));
        it.Save();
        // Saved with its picture, image and "FaxID": from here on the item stays, whatever
        // a later step does. Before, a stopping member's failure leaves no item at all.
        staging.keep();
    });
    std::unique_ptr<mail::MapiUtils> utils;
    run([&] { utils = mail::createMapiUtils(); });
    for (const Property &p : propertyTable(fax)) {
        run([&] {
            if (!utils) throw AutomationError::objectNotSet();
            utils->HrSetOneProp(requireItem(), p.tag, p.value, true);
        });
    }
    run([&] {
        if (!folder) throw AutomationError::objectNotSet();
        if (requireItem().parentEntryID() != folder->EntryID()) requireItem().Move(folderNumber);
    });
}

FaxValues fromMessage(const fax::FaxMessage &message, Member member) {
    FaxValues v{member, message.Id(), message.Subject(), message.CSID(), message.TSID(), message.Priority(),
                message.OriginalScheduledTime(), message.TransmissionEnd(), {}, {}, {}, {}, 0};
    v.copyTiff = [&message](const QString &path) { message.CopyTiff(path); };
    v.pages = message.Pages();
    return v;
}

}  // namespace

QString faxImageCopyPath(const QString &tempDir, const QString &csid) {
    // Far below any file system's name limit, and above any CSID a fax machine sends.
    constexpr qsizetype MaxStem = 100;
    QString stem;
    stem.reserve(csid.size());
    for (const QChar c : csid)
        stem += c == u'/' || c == u'\\' || c.category() == QChar::Other_Control ? QChar(u'_') : c;
    stem.replace(QStringLiteral(".."), QStringLiteral("__"));
    if (stem.size() > MaxStem) stem.truncate(MaxStem);
    if (stem.size() > 0 && stem.back().isHighSurrogate()) stem.chop(1);
    return tempDir + stem + QStringLiteral(".tiff");
}

void GenerateOutlookInboxFax(const fax::FaxMessage &message) {
    logFailures(QStringLiteral("msend.GenerateOutlookInboxFax"), [&] {
        generateItem(fromMessage(message, Member::Inbox), [](const std::function<void()> &step) { step(); });
    });
}

void GenerateOutlookOutboxFax(const fax::FaxOutgoingJob &job) {
    logFailures(QStringLiteral("msend.GenerateOutlookOutboxFax"), [&] {
        const int status = job.Status();
        if (status == fax::StatusCancelled || status == fax::StatusCancelling) return;
        const fax::FaxPersonInfo sender = job.Sender();
        const fax::FaxPersonInfo recipient = job.Recipient();
        FaxValues fax{Member::Outbox, job.Id(), job.Subject(), job.CSID(), job.TSID(), job.Priority(),
                      job.OriginalScheduledTime(), job.TransmissionEnd(), sender.Name, recipient.Name, recipient.FaxNumber, {}, 0};
        fax.copyTiff = [&job](const QString &path) { job.CopyTiff(path); };
        fax.pages = job.Pages();
        generateItem(fax, [](const std::function<void()> &step) { step(); });
    });
}

void GenerateOutlookSentFax(const fax::FaxMessage &message) {
    // This member goes on past every failing step and reports the last failure once.
    ResumeNext steps;
    FaxValues fax{Member::Sent, {}, {}, {}, {}, 0, {}, {}, {}, {}, {}, {}, 0};
    steps.step([&] { fax.id = message.Id(); });
    steps.step([&] { fax.subject = message.Subject(); });
    steps.step([&] { fax.csid = message.CSID(); });
    steps.step([&] { fax.priority = message.Priority(); });
    steps.step([&] { fax.originalScheduledTime = message.OriginalScheduledTime(); });
    steps.step([&] { fax.pages = message.Pages(); });
    steps.step([&] { fax.senderName = message.Sender().Name; });
    steps.step([&] {
        const fax::FaxPersonInfo recipient = message.Recipient();
        fax.recipientName = recipient.Name;
        fax.recipientNumber = recipient.FaxNumber;
    });
    fax.copyTiff = [&message](const QString &path) { message.CopyTiff(path); };
    generateItem(fax, [&](const std::function<void()> &step) { steps.step(step); });
    steps.logAndClear(QStringLiteral("msend.GenerateOutlookSentFax"));
}

void RemovedOutlookFax(const QString &id, short defaultFolder) {
    logFailures(QStringLiteral("msend.RemovedOutlookFax"), [&] {
        mail::MailNamespace *ns = mCommon::GetMailNamespace();
        if (!ns) throw AutomationError::objectNotSet();
        std::unique_ptr<mail::MailItems> items = ns->GetDefaultFolder(defaultFolder)->Items();
        const int match = items->findUserProperty(FaxIdName, id);
        // Where the walk through the items would have stopped.
        const int endedAt = match > 0 ? match : items->count() + 1;
        if (match > 0) items->Item(match)->Delete();
        if (endedAt != 1) return;
        std::unique_ptr<mail::MailItems> deleted = ns->GetDefaultFolder(mail::FolderDeletedItems)->Items();
        const int again = deleted->findUserProperty(FaxIdName, id);
        if (again > 0) deleted->Item(again)->Delete();
    });
}

}  // namespace sendmere::mSend
