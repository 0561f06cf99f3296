#pragma once
// What the bridge tests share: a spool filled before the fax service starts (so that times
// and statuses are exactly as a test needs them), the viewer association in the classes
// root, and control over the real service on the test's private bus.
#include "FaxRender.h"
#include "ServiceLog.h"
#include "Spool.h"
#include "job/FaxJob.h"
#include "platform/fax/FaxClient.h"
#include "services/CWinReg.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QSettings>
#include <QStandardPaths>
#include <QTest>
#include <csignal>

namespace sendmere::test {

inline QString spoolRoot() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/sendmere/fax");
}

inline QDBusConnectionInterface *busInterface() { return QDBusConnection::sessionBus().interface(); }
inline bool faxServiceRunning() { return busInterface()->isServiceRegistered(QStringLiteral("org.sendmere.Fax")); }
inline uint faxServicePid() { return busInterface()->servicePid(QStringLiteral("org.sendmere.Fax")); }

// Sends signal to the running service; SIGKILL also waits until its name is gone.
inline void signalFaxService(int signal) {
    const uint pid = faxServicePid();
    QVERIFY(pid > 0);
    QCOMPARE(::kill(pid_t(pid), signal), 0);
    if (signal == SIGKILL) QTRY_VERIFY_WITH_TIMEOUT(!faxServiceRunning(), 5000);
}

// The service's settings; written before it starts. Jobs dial after dialDelay seconds and
// take no time per page.
inline void writeFaxdConfig(double dialDelaySeconds) {
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/sendmere");
    QDir().mkpath(dir);
    QSettings conf(dir + QStringLiteral("/faxd.conf"), QSettings::IniFormat);
    conf.setValue(QStringLiteral("Transmission/DialDelaySeconds"), dialDelaySeconds);
    conf.setValue(QStringLiteral("Transmission/SecondsPerPage"), 0);
    conf.sync();
}

inline QString blankFaxImage() {
    const QString path = QDir::tempPath() + QStringLiteral("/blank-page.tiff");
    if (QFile::exists(path)) return path;
    QImage page(render::FaxPageWidth, render::FaxPageHeight, QImage::Format_Mono);
    page.fill(0);
    render::FaxTiffWriter writer(path);
    writer.addPage(page);
    writer.close();
    return path;
}

inline qint64 wire(const QDateTime &t) { return t.toMSecsSinceEpoch(); }

inline QVariantMap faxPerson(const QString &name, const QString &number) {
    return {{QStringLiteral("Name"), name}, {QStringLiteral("FaxNumber"), number}};
}

// What the spool holds when the service starts: queue jobs by scheduled time and status,
// archived messages by transmission end.
struct SpoolFill {
    QList<std::pair<QDateTime, int>> jobs;
    QList<QDateTime> sent;
    QList<QDateTime> received;
};

// n faxes of each kind, all sent or due now.
inline SpoolFill faxesNow(int jobs, int sent, int received) {
    SpoolFill fill;
    const QDateTime now = QDateTime::currentDateTime();
    for (int i = 0; i < jobs; ++i) fill.jobs.append({now.addDays(1), 1});
    for (int i = 0; i < sent; ++i) fill.sent.append(now);
    for (int i = 0; i < received; ++i) fill.received.append(now);
    return fill;
}

// Stops the service (when it runs), replaces its spool by fill, and lets the next call
// start it again on that spool. Ids run from 0x100 upwards across the three folders.
inline void refillSpool(const SpoolFill &fill) {
    if (faxServiceRunning()) signalFaxService(SIGKILL);
    QDir(spoolRoot()).removeRecursively();
    faxd::ServiceLog log(QDir::tempPath() + QStringLiteral("/fill.log"));
    faxd::Spool spool(spoolRoot(), log);
    spool.open();
    const QString image = blankFaxImage();
    qint64 id = 0x100;
    auto place = [&](faxd::Folder folder, qint64 at) {
        QFile::copy(image, spool.imagePath(folder, at));
    };
    QList<QVariantMap> jobs;
    for (const auto &[time, status] : fill.jobs) {
        place(faxd::Folder::Queue, id);
        jobs.append({{QStringLiteral("Id"), faxd::idText(id)}, {QStringLiteral("Subject"), QStringLiteral("Queued %1").arg(id)},
                     {QStringLiteral("Status"), status}, {QStringLiteral("Priority"), 1}, {QStringLiteral("Pages"), 1},
                     {QStringLiteral("ScheduleType"), 1}, {QStringLiteral("ScheduledTime"), wire(time)},
                     {QStringLiteral("OriginalScheduledTime"), wire(time)}, {QStringLiteral("SubmissionTime"), wire(time)},
                     {QStringLiteral("Sender"), faxPerson(QStringLiteral("Sam Sender"), QStringLiteral("5550100"))},
                     {QStringLiteral("Recipient"), faxPerson(QStringLiteral("Ann"), QStringLiteral("111"))},
                     {QStringLiteral("TSID"), QStringLiteral("5550100")}, {QStringLiteral("Retries"), 0}});
        ++id;
    }
    spool.insertJobs(jobs);
    auto messages = [&](faxd::Folder folder, const QList<QDateTime> &times, const QString &subject) {
        QList<QVariantMap> list;
        for (const QDateTime &end : times) {
            place(folder, id);
            list.append({{QStringLiteral("Id"), faxd::idText(id)}, {QStringLiteral("Subject"), subject.arg(id)},
                         {QStringLiteral("Pages"), 1}, {QStringLiteral("Priority"), 1},
                         {QStringLiteral("OriginalScheduledTime"), wire(end)}, {QStringLiteral("TransmissionStart"), wire(end)},
                         {QStringLiteral("TransmissionEnd"), wire(end)}, {QStringLiteral("CSID"), QStringLiteral("Sendmere")},
                         {QStringLiteral("TSID"), QStringLiteral("5550199")},
                         {QStringLiteral("Sender"), faxPerson(QStringLiteral("Sam Sender"), QStringLiteral("5550100"))},
                         {QStringLiteral("Recipient"), faxPerson(QStringLiteral("Ann"), QStringLiteral("111"))}});
            ++id;
        }
        spool.insertMessages(folder, list);
    };
    messages(faxd::Folder::Sent, fill.sent, QStringLiteral("Sent %1"));
    messages(faxd::Folder::Received, fill.received, QStringLiteral("Received %1"));
}

// A fresh job to Ann (111) with one cover page, used or not, and an attachment if given.
inline FaxJob &jobToAnn(const QString &coverPage, bool useCoverPage, const QString &attachment = {}) {
    ResetFaxJob();
    FaxJob &job = faxJob();
    job.RecipientName.redim(1);
    job.RecipientNumber.redim(1);
    job.RecipientName(1) = QStringLiteral("Ann");
    job.RecipientNumber(1) = QStringLiteral("111");
    job.CoverPages.redim(1);
    job.CoverPages(1) = coverPage;
    job.UseCoverPage = useCoverPage ? VbTrue : VbFalse;
    if (!attachment.isEmpty()) {
        job.Attachments.redim(1);
        job.Attachments(1) = attachment;
    }
    return job;
}

// Registers a viewer for ".tiff" in the classes root; an empty command takes it away.
inline void registerTiffViewer(const QString &command) {
    CWinReg reg;
    QVERIFY(reg.OpenKey(CWinReg::HKEY_CLASSES_ROOT(), QStringLiteral(".tiff"), true));
    QVERIFY(reg.SetStringValue(QString(), command.isEmpty() ? QString() : QStringLiteral("TestViewer.Image")));
    reg.CloseKey();
    QVERIFY(reg.OpenKey(CWinReg::HKEY_CLASSES_ROOT(), QStringLiteral("TestViewer.Image\\shell\\open\\command"), true));
    QVERIFY(reg.SetStringValue(QString(), command));
    reg.CloseKey();
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

}  // namespace sendmere::test
