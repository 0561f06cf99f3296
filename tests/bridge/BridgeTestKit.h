#pragma once
// What the bridge tests share: a spool filled before the fax service starts, the viewer, the service, the mail folders, and
// sendmere-mirror and the fax console as the user's session runs them.
#include "FaxRender.h"
#include "ServiceLog.h"
#include "Spool.h"
#include "TestSeams.h"
#include "WizardTestKit.h"
#include "app/Init.h"
#include "platform/fax/FaxClient.h"
#include "platform/mail/MailClient.h"
#include "session/mCommon.h"

#include <QDBusConnectionInterface>
#include <QImage>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSet>
#include <QTemporaryDir>
#include <csignal>

namespace sendmere::test {
using namespace Qt::StringLiterals;

inline int itemCount(int defaultFolder) {
    mail::MailNamespace *ns = mCommon::GetMailNamespace();
    return ns ? ns->GetDefaultFolder(defaultFolder)->count() : -1;
}

// The "FaxID" of every item of the folder with this subject, in the folder's order.
inline QStringList faxIds(int defaultFolder, const QString &subject) {
    QStringList ids;
    mail::MailNamespace *ns = mCommon::GetMailNamespace();
    const auto items = ns ? ns->GetDefaultFolder(defaultFolder)->Items()->Restrict(u"[Subject]='%1'"_s.arg(subject)) : nullptr;
    for (int i = 1; items && i <= items->count(); ++i) ids << items->Item(i)->userProperty(u"FaxID"_s).toString();
    return ids;
}

inline QString mailRoot() { return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + u"/sendmere/Mail"_s; }
inline QString folderDir(int folder) {
    const QMap<int, QString> names{{mail::FolderOutbox, u"/.Outbox"_s}, {mail::FolderSentItems, u"/.Sent"_s}, {mail::FolderDeletedItems, u"/.Trash"_s}};
    return mailRoot() + names.value(folder);
}

// Drops the program's connections and the whole mail store.
inline void emptyMailStore() {
    mCommon::ShutDown();
    QDir(mailRoot()).removeRecursively();
}

// The fax id a message's header names; "?" for a message without one.
inline QString faxIdOf(const QByteArray &message) {
    const qsizetype at = message.indexOf("X-Sendmere-User-Property: FaxID=");
    return at < 0 ? u"?"_s : QString::fromUtf8(message.mid(at + 32, message.indexOf('\n', at) - at - 32).trimmed());
}

inline QDBusConnectionInterface *busInterface() { return QDBusConnection::sessionBus().interface(); }
inline bool faxServiceRunning() { return busInterface()->isServiceRegistered(u"org.sendmere.Fax"_s); }

// Sends signal to the running service; SIGKILL also waits until its name is gone.
inline void signalFaxService(int signal) {
    const uint pid = busInterface()->servicePid(u"org.sendmere.Fax"_s);
    QVERIFY(pid > 0);
    QCOMPARE(::kill(pid_t(pid), signal), 0);
    if (signal == SIGKILL) QTRY_VERIFY_WITH_TIMEOUT(!faxServiceRunning(), 5000);
}

// Written before the service starts: jobs dial after dialDelay seconds and take no time per page.
inline void writeFaxdConfig(double dialDelaySeconds) {
    QSettings conf(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + u"/sendmere/faxd.conf"_s, QSettings::IniFormat);
    conf.setValue(u"Transmission/DialDelaySeconds"_s, dialDelaySeconds);
    conf.setValue(u"Transmission/SecondsPerPage"_s, 0);
}

// Queue jobs by scheduled time and status, archived messages by transmission end.
struct SpoolFill {
    QList<std::pair<QDateTime, int>> jobs;
    QList<QDateTime> sent, received;
};

// n faxes of each kind, all sent now or due tomorrow.
inline SpoolFill faxesNow(int jobs, int sent, int received) {
    const QDateTime now = QDateTime::currentDateTime();
    return {QList<std::pair<QDateTime, int>>(jobs, {now.addDays(1), 1}), QList<QDateTime>(sent, now), QList<QDateTime>(received, now)};
}

// The service's spool replaced by fill while it is stopped; ids run from 0x100 on across the folders.
inline void refillSpool(const SpoolFill &fill) {
    if (faxServiceRunning()) signalFaxService(SIGKILL);
    const QString root = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + u"/sendmere/fax"_s;
    QDir(root).removeRecursively();
    faxd::ServiceLog log(QDir::tempPath() + u"/fill.log"_s);
    faxd::Spool spool(root, log);
    spool.open();
    const QString image = QDir::tempPath() + u"/blank-page.tiff"_s;
    if (!QFile::exists(image)) {
        QImage page(render::FaxPageWidth, render::FaxPageHeight, QImage::Format_Mono);
        page.fill(0);
        render::FaxTiffWriter writer(image);
        writer.addPage(page);
        writer.close();
    }
    const auto person = [](const QString &name, const QString &number) { return QVariantMap{{u"Name"_s, name}, {u"FaxNumber"_s, number}}; };
    qint64 id = 0x100;
    // The fields jobs and messages share, for the next id, whose image is put in place.
    const auto record = [&](faxd::Folder folder, const QString &subject, qint64 t) {
        QFile::copy(image, spool.imagePath(folder, id));
        return QVariantMap{{u"Id"_s, faxd::idText(id)}, {u"Subject"_s, subject.arg(id++)}, {u"Priority"_s, 1}, {u"Pages"_s, 1},
                           {u"OriginalScheduledTime"_s, t}, {u"Sender"_s, person(u"Sam Sender"_s, u"5550100"_s)},
                           {u"Recipient"_s, person(u"Ann"_s, u"111"_s)}};
    };
    QList<QVariantMap> jobs;
    for (const auto &[time, status] : fill.jobs) {
        const qint64 t = time.toMSecsSinceEpoch();
        jobs << record(faxd::Folder::Queue, u"Queued %1"_s, t);
        jobs.last().insert({{u"Status"_s, status}, {u"ScheduleType"_s, 1}, {u"ScheduledTime"_s, t}, {u"SubmissionTime"_s, t},
                            {u"TSID"_s, u"5550100"_s}, {u"Retries"_s, 0}});
        if (status == 1024)  // only a fax server's job stays in cancelling: the server has yet to confirm
            jobs.last().insert({{u"LineTag"_s, u"sendmere-%1-cancelling"_s.arg(jobs.last().value(u"Id"_s).toString())}, {u"ServerJobId"_s, u"7"_s}});
    }
    spool.insertJobs(jobs);
    for (const auto &[folder, times, subject] : {std::tuple{faxd::Folder::Sent, fill.sent, u"Sent %1"_s},
                                                 std::tuple{faxd::Folder::Received, fill.received, u"Received %1"_s}}) {
        QList<QVariantMap> messages;
        for (const QDateTime &end : times) {
            messages << record(folder, subject, end.toMSecsSinceEpoch());
            messages.last().insert({{u"TransmissionStart"_s, end.toMSecsSinceEpoch()}, {u"TransmissionEnd"_s, end.toMSecsSinceEpoch()},
                                    {u"CSID"_s, u"Sendmere"_s}, {u"TSID"_s, u"5550199"_s}});
        }
        spool.insertMessages(folder, messages);
    }
}

// A fresh job to Ann (111) with one cover page, used or not, and an attachment if given.
inline FaxJob &jobToAnn(const QString &coverPage, bool useCoverPage, const QString &attachment = {}) {
    setRecipients({u"Ann"_s}, {u"111"_s});
    FaxJob &job = faxJob();
    job.CoverPages.redim(1);
    job.CoverPages(1) = coverPage;
    job.UseCoverPage = useCoverPage ? VbTrue : VbFalse;
    job.Attachments.redim(attachment.isEmpty() ? 0 : 1);
    if (!attachment.isEmpty()) job.Attachments(1) = attachment;
    return job;
}

// Registers a viewer for ".tiff" in the classes root; an empty command takes it away.
inline void registerTiffViewer(const QString &command) {
    setRegistryString(CWinReg::HKEY_CLASSES_ROOT(), u".tiff"_s, QString(), command.isEmpty() ? QString() : u"TestViewer.Image"_s);
    setRegistryString(CWinReg::HKEY_CLASSES_ROOT(), u"TestViewer.Image\\shell\\open\\command"_s, QString(), command);
}

inline QStringList queuedJobIds(fax::FaxServer &server) {
    QStringList ids;
    const fax::FaxOutgoingJobs jobs = server.Folders().OutgoingQueue().GetJobs();
    for (int i = 1; i <= jobs.Count(); ++i) ids << jobs.Item(i).Id();
    return ids;
}

inline QStringList archivedIds(const fax::FaxArchive &archive) {
    QStringList ids;
    for (auto it = archive.GetMessages(100); !it.AtEOF(); it.MoveNext()) ids << it.Message().Id();
    return ids;
}

inline bool mirrorRunning() { return busInterface()->isServiceRegistered(u"org.sendmere.Mirror"_s); }
inline bool waitFor(const std::function<bool()> &condition, int ms = 30000) { return QTest::qWaitFor(condition, ms); }

// One mirror, ended by its id at the latest when this goes; without LibreOffice on its PATH or the service's.
struct MirrorProcess {
    QProcess process;
    QTemporaryDir emptyBin;
    explicit MirrorProcess(bool withoutLibreOffice = false) {
        process.setProgram(binDir() + u"/sendmere-mirror"_s);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);  // its complaints in the test's output
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        if (withoutLibreOffice) env.insert(u"PATH"_s, emptyBin.path());
        process.setProcessEnvironment(env);
    }
    ~MirrorProcess() { kill(SIGKILL); }
    // Started once it owns the bus name (not a mirror that just ended) and has started the fax service.
    bool start() {
        process.start();
        return process.waitForStarted() && waitFor([this] {
                   return process.state() == QProcess::Running && faxServiceRunning() &&
                          busInterface()->servicePid(u"org.sendmere.Mirror"_s).value() == uint(process.processId());
               });
    }
    // Ended, and its bus name released, so that the next mirror can claim it.
    void kill(int signal) {
        if (process.state() == QProcess::NotRunning) return;
        ::kill(pid_t(process.processId()), signal);
        process.waitForFinished(10000);
        if (!waitFor([] { return !mirrorRunning(); }, 10000)) qWarning("the bus still names a mirror after its end");
    }
};

// "sendmere-fax" as a user runs it; its output, or nothing when it failed.
inline std::optional<QString> console(const QStringList &arguments) {
    QProcess fax;
    fax.start(binDir() + u"/sendmere-fax"_s, arguments);
    if (!fax.waitForFinished(60000) || fax.exitStatus() != QProcess::NormalExit || fax.exitCode() != 0) {
        qWarning("sendmere-fax %s: %s", qPrintable(arguments.join(u' ')), fax.readAllStandardError().constData());
        return std::nullopt;
    }
    return QString::fromUtf8(fax.readAllStandardOutput()).trimmed();
}

// A fax over the loopback line (received again); its id, empty when the console failed.
inline QString sendFax(const QStringList &more, const QString &name = u"Ann"_s, const QString &number = u"5550100"_s, QString document = {}) {
    if (document.isEmpty()) writeFile(document = QDir::tempPath() + u"/body.txt"_s, "a fax from the console\n");
    return console(QStringList{u"send"_s, u"--to"_s, number, u"--name"_s, name} + more + QStringList{document}).value_or(QString());
}
inline QString sendFax(const QString &subject) { return sendFax({u"--subject"_s, subject}); }

// The ids of the faxes the service has archived in one folder, sorted.
inline QStringList archived(bool received) {
    fax::FaxServer server;
    server.Connect(QString());
    QStringList ids = archivedIds(received ? server.Folders().IncomingArchive() : server.Folders().OutgoingArchive());
    ids.sort();
    return ids;
}
inline QStringList receivedIds() { return archived(true); }

inline void cleanupPrintsServiceLog() {
    if (QTest::currentTestFailed())
        qWarning("the fax service's log:\n%s", readFile(qEnvironmentVariable("XDG_STATE_HOME") + u"/sendmere/faxd.log"_s).right(4000).constData());
}

}  // namespace sendmere::test
