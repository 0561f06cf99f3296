#include "SessionNotices.h"

#include "FaxBusApi.h"
#include "Mirror.h"
#include "platform/Failures.h"
#include "platform/fax/FaxClient.h"
#include "platform/shell/Shell.h"

#include <QDBusConnection>
#include <QDir>

namespace sendmere {
namespace {

QString label(const char *what) { return QStringLiteral("Mirror.notice.") + QLatin1String(what); }

QString person(const fax::FaxPersonInfo &who) {
    if (who.Name.isEmpty()) return who.FaxNumber;
    if (who.FaxNumber.isEmpty()) return who.Name;
    return QStringLiteral("%1 (%2)").arg(who.Name, who.FaxNumber);
}

QString pages(int count) { return count == 1 ? QStringLiteral("1 page") : QStringLiteral("%1 pages").arg(count); }

// Who sent a received fax: its sender as the line named it, else the calling number or the
// sending station's id.
QString caller(const fax::FaxMessage &message) {
    const QString sender = person(message.Sender());
    if (!sender.isEmpty()) return sender;
    if (!message.CallerId().trimmed().isEmpty()) return message.CallerId().trimmed();
    if (!message.TSID().trimmed().isEmpty()) return message.TSID().trimmed();
    return QStringLiteral("an unknown sender");
}

QString reasonOf(const fax::FaxOutgoingJob &job) {
    const QString reason = job.ExtendedStatus().trimmed();
    return reason.isEmpty() ? QStringLiteral("The fax service gave no reason.") : reason;
}

}  // namespace

const QString SessionNotices::OpenAction = QStringLiteral("open");

SessionNotices::SessionNotices(Mirror &mirror, QObject *parent) : QObject(parent), m_mirror(mirror) {
    connect(&mirror, &Mirror::outgoingJobChanged, this, &SessionNotices::jobChanged);
    connect(&mirror, &Mirror::faxSent, this, &SessionNotices::faxSent);
    connect(&mirror, &Mirror::faxReceived, this, &SessionNotices::faxReceived);
    connect(&m_desktop, &shell::DesktopNotifications::actionInvoked, this, &SessionNotices::actionInvoked);
    connect(&m_desktop, &shell::DesktopNotifications::closed, this, &SessionNotices::closed);
    // A submission that fails is known only to the service and the program that waited for
    // it; the window may be gone by then, so the reason is told here.
    QDBusConnection::sessionBus().connect(faxbus::ServiceName, faxbus::ObjectPath, faxbus::Interface,
                                          QStringLiteral("SubmissionFailed"), this,
                                          SLOT(submissionFailed(QString, QString, QString)));
}

uint SessionNotices::show(const QString &key, const shell::Notice &notice, Later later) {
    const uint id = m_desktop.notify(notice, m_noticeOf.value(key));
    if (id != 0 && later == Later::MayReplace) m_noticeOf.insert(key, id);
    else m_noticeOf.remove(key);
    return id;
}

// A closed notice is replaced by nothing and offers no action any more.
void SessionNotices::closed(uint noticeId) {
    m_receivedOf.remove(noticeId);
    m_noticeOf.removeIf([noticeId](const auto &entry) { return entry.value() == noticeId; });
}

void SessionNotices::jobChanged(const QString &jobId, int status) {
    if (status != fax::StatusRetrying && status != fax::StatusRetriesExceeded && status != fax::StatusFailed) return;
    fax::FaxServer *server = m_mirror.eventServer();
    if (!server) return;
    logFailures(label("jobChanged"), [&] {
        const fax::FaxOutgoingJob job = server->Folders().OutgoingQueue().GetJob(jobId);
        const QString to = person(job.Recipient());
        const QString summary = status == fax::StatusRetrying ? QStringLiteral("The fax to %1 will be tried again").arg(to)
                                                              : QStringLiteral("The fax to %1 failed").arg(to);
        show(jobId, {summary, reasonOf(job), {}, QStringLiteral("dialog-warning")});
    });
}

// The archived fax keeps its job's id: its notice takes the place of the job's.
void SessionNotices::faxSent(const QString &messageId) {
    fax::FaxServer *server = m_mirror.eventServer();
    if (!server) return;
    logFailures(label("faxSent"), [&] {
        const fax::FaxMessage message = server->Folders().OutgoingArchive().GetMessage(messageId);
        show(messageId, {QStringLiteral("Fax sent"),
                         QStringLiteral("To %1, %2").arg(person(message.Recipient()), pages(message.Pages())), {}},
             Later::Never);
    });
}

void SessionNotices::faxReceived(const QString &messageId) {
    fax::FaxServer *server = m_mirror.eventServer();
    if (!server) return;
    logFailures(label("faxReceived"), [&] {
        const fax::FaxMessage message = server->Folders().IncomingArchive().GetMessage(messageId);
        const shell::Notice notice{QStringLiteral("Fax received"),
                                   QStringLiteral("From %1, %2").arg(caller(message), pages(message.Pages())),
                                   {QStringLiteral("default"), QStringLiteral("Open"), OpenAction, QStringLiteral("Open")}};
        if (const uint id = show(QStringLiteral("received:") + messageId, notice, Later::Never)) m_receivedOf.insert(id, messageId);
    });
}

void SessionNotices::submissionFailed(const QString &submissionId, const QString &errorName, const QString &text) {
    // A submission the user withdrew (Cancel in the progress window) is no failure to report.
    if (errorName == faxbus::ErrorCancelled) return;
    show(QStringLiteral("submission:") + submissionId,
         {QStringLiteral("The fax could not be prepared"), text, {}, QStringLiteral("dialog-error")}, Later::Never);
}

void SessionNotices::actionInvoked(uint noticeId, const QString &action) {
    const auto it = m_receivedOf.constFind(noticeId);
    if (it == m_receivedOf.constEnd() || (action != OpenAction && action != QStringLiteral("default"))) return;
    openReceived(*it);
}

// The fax image is copied out of the service's spool (which is the service's alone) and
// opened with the desktop's viewer for TIFF images.
void SessionNotices::openReceived(const QString &messageId) {
    fax::FaxServer *server = m_mirror.eventServer();
    if (!server) return;
    logFailures(label("open"), [&] {
        const fax::FaxMessage message = server->Folders().IncomingArchive().GetMessage(messageId);
        const QString path = QDir::temp().filePath(QStringLiteral("Fax %1.tif").arg(messageId));
        message.CopyTiff(path);
        shell::seams().launcher->open(path);
    });
}

}  // namespace sendmere
