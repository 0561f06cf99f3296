// Figures of the fax event bridge, each section in a private session bus and fresh XDG
// folders of its own:
//   preview  click on "Preview Fax..." until the viewer is asked to open the image, for a
//            cover page and a three-page PDF, beside "sendmere-fax send" of the same fax
//            until it is queued (the service's own rendering: the floor);
//   poll     CPU time of one RaiseFaxEvent with 1,000 queued jobs;
//   import   ImportFaxes per fax at 1,000 and 10,000 archived faxes, beside creating the
//            same items directly through the mail item functions.
// Run: bench_bridge [preview|poll|import [sizes...]]
#include "FaxRender.h"
#include "ServiceLog.h"
#include "Spool.h"
#include "TestSeams.h"
#include "bridge/COwnFaxEventer.h"
#include "bridge/FaxImport.h"
#include "bridge/FaxItems.h"
#include "job/FaxJob.h"
#include "platform/fax/FaxClient.h"
#include "platform/mail/MailClient.h"
#include "services/CWinReg.h"
#include "session/mCommon.h"
#include "wizard/frmFinish.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QPdfWriter>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <cstdio>
#include <ctime>

using namespace sendmere;

namespace {

double cpuMs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

double median(QList<double> values) {
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0 : values.at(values.size() / 2);
}

QString binDir() { return QStringLiteral(SENDMERE_BENCH_BIN_DIR); }

QString blankImage() {
    const QString path = QDir::tempPath() + QStringLiteral("/blank.tiff");
    QImage page(render::FaxPageWidth, render::FaxPageHeight, QImage::Format_Mono);
    page.fill(0);
    render::FaxTiffWriter writer(path);
    writer.addPage(page);
    writer.close();
    return path;
}

QVariantMap person(const QString &name, const QString &number) {
    return {{QStringLiteral("Name"), name}, {QStringLiteral("FaxNumber"), number}};
}

// Queue jobs due tomorrow and received messages, written before the service starts.
void fillSpool(int jobs, int received) {
    faxd::ServiceLog log(QDir::tempPath() + QStringLiteral("/fill.log"));
    const QString root = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/sendmere/fax");
    faxd::Spool spool(root, log);
    spool.open();
    const QString image = blankImage();
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    qint64 id = 0x100;
    QList<QVariantMap> batch;
    for (int i = 0; i < jobs; ++i, ++id) {
        QFile::link(image, spool.imagePath(faxd::Folder::Queue, id));
        batch.append({{QStringLiteral("Id"), faxd::idText(id)}, {QStringLiteral("Subject"), QStringLiteral("Job %1").arg(i)},
                      {QStringLiteral("Status"), 1}, {QStringLiteral("Priority"), 1}, {QStringLiteral("Pages"), 1},
                      {QStringLiteral("ScheduleType"), 1}, {QStringLiteral("ScheduledTime"), now + 86400000},
                      {QStringLiteral("OriginalScheduledTime"), now + 86400000},
                      {QStringLiteral("Sender"), person(QStringLiteral("Sam"), QStringLiteral("5550100"))},
                      {QStringLiteral("Recipient"), person(QStringLiteral("Ann"), QStringLiteral("111"))}});
    }
    spool.insertJobs(batch);
    batch.clear();
    for (int i = 0; i < received; ++i, ++id) {
        QFile::link(image, spool.imagePath(faxd::Folder::Received, id));
        batch.append({{QStringLiteral("Id"), faxd::idText(id)}, {QStringLiteral("Pages"), 1},
                      {QStringLiteral("TransmissionStart"), now}, {QStringLiteral("TransmissionEnd"), now},
                      {QStringLiteral("CSID"), QStringLiteral("Sendmere")}, {QStringLiteral("TSID"), QStringLiteral("5550199")}});
    }
    spool.insertMessages(faxd::Folder::Received, batch);
}

void writeConfig() {
    const QString dir = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/sendmere");
    QDir().mkpath(dir);
    QFile conf(dir + QStringLiteral("/faxd.conf"));
    conf.open(QIODevice::WriteOnly);
    conf.write("[Transmission]\nDialDelaySeconds=3600\nSecondsPerPage=0\n");
}

void writePdf(const QString &path, int pages) {
    QPdfWriter writer(path);
    QPainter painter(&writer);
    for (int page = 1; page <= pages; ++page) {
        if (page > 1) writer.newPage();
        painter.setFont(QFont(QStringLiteral("DejaVu Sans"), 24));
        painter.drawText(QRect(0, 0, writer.width(), writer.height() / 4), Qt::AlignCenter, QStringLiteral("Page %1").arg(page));
    }
}

int benchPreview() {
    writeConfig();
    fax::FaxServer server;
    server.Connect(QString());  // starts the service, which puts its cover pages in place
    const QString report = QDir::tempPath() + QStringLiteral("/report.pdf");
    writePdf(report, 3);
    CWinReg reg;
    reg.OpenKey(CWinReg::HKEY_CLASSES_ROOT(), QStringLiteral(".tiff"), true);
    reg.SetStringValue(QString(), QStringLiteral("Bench.Viewer"));
    reg.CloseKey();
    reg.OpenKey(CWinReg::HKEY_CLASSES_ROOT(), QStringLiteral("Bench.Viewer\\shell\\open\\command"), true);
    reg.SetStringValue(QString(), QStringLiteral("/usr/bin/viewer %1"));
    reg.CloseKey();
    const QString cover = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/sendmere/coverpages/general.svg");

    test::RecordingSeams seams;
    QList<double> sendMs, previewMs;
    constexpr int Runs = 7;
    for (int run = 0; run < Runs; ++run) {
        QElapsedTimer timer;
        timer.start();
        const int rc = QProcess::execute(binDir() + QStringLiteral("/sendmere-fax"),
                                         {QStringLiteral("send"), QStringLiteral("--to"), QStringLiteral("111"), QStringLiteral("--name"),
                                          QStringLiteral("Ann"), QStringLiteral("--cover"), QStringLiteral("general"),
                                          QStringLiteral("--subject"), QStringLiteral("Figures"), report});
        sendMs << double(timer.nsecsElapsed()) / 1e6;
        if (rc != 0) std::fprintf(stderr, "sendmere-fax send failed: %d\n", rc);

        ResetFaxJob();
        FaxJob &job = faxJob();
        job.RecipientName.redim(1);
        job.RecipientNumber.redim(1);
        job.RecipientName(1) = QStringLiteral("Ann");
        job.RecipientNumber(1) = QStringLiteral("111");
        job.CoverPages.redim(1);
        job.CoverPages(1) = cover;
        job.CoverIndex = 0;
        job.UseCoverPage = VbTrue;
        job.FaxSubject = QStringLiteral("Figures");
        job.Attachments.redim(1);
        job.Attachments(1) = report;
        frmFinish &finish = page<frmFinish>();
        finish.showPage();
        if (!QTest::qWaitFor([&] { return finish.isActiveWindow(); }, 5000)) std::fprintf(stderr, "the finish page never became active\n");
        const qsizetype opened = seams.recorded().opened.size();
        timer.restart();
        QTest::mouseClick(finish.btnPreview, Qt::LeftButton);
        if (!QTest::qWaitFor([&] { return seams.recorded().opened.size() > opened; }, 60000)) {
            std::fprintf(stderr, "the preview never opened\n");
            return 1;
        }
        previewMs << double(timer.nsecsElapsed()) / 1e6;
        finish.FaxPreviewDelete();
    }
    const double send = median(sendMs), preview = median(previewMs);
    std::printf("preview: cover page + 3-page PDF, median of %d runs\n", Runs);
    std::printf("  sendmere-fax send until queued  %8.1f ms\n", send);
    std::printf("  Preview click until viewer open %8.1f ms   (%.2fx the floor)\n", preview, preview / send);
    return 0;
}

int benchPoll() {
    writeConfig();
    constexpr int Jobs = 1000;
    fillSpool(Jobs, 0);
    COwnFaxEventer eventer;  // the snapshot: every job is known already
    if (eventer.knownJobs().count() != Jobs) std::fprintf(stderr, "snapshot saw %d jobs\n", eventer.knownJobs().count());
    constexpr int Polls = 50;
    eventer.RaiseFaxEvent();
    const double cpuBefore = cpuMs();
    QElapsedTimer wall;
    wall.start();
    for (int i = 0; i < Polls; ++i) eventer.RaiseFaxEvent();
    const double cpu = (cpuMs() - cpuBefore) / Polls;
    const double wallMs = double(wall.nsecsElapsed()) / 1e6 / Polls;
    const double listBefore = cpuMs();
    for (int i = 0; i < Polls; ++i) (void)mCommon::GetFaxServer()->Folders().OutgoingQueue().GetJobs();
    const double listCpu = (cpuMs() - listBefore) / Polls;
    std::printf("poll: RaiseFaxEvent with %d queued jobs, mean of %d polls\n", Jobs, Polls);
    std::printf("  of which reading the queue (GetJobs) %6.2f ms CPU\n", listCpu);
    std::printf("  program CPU %6.2f ms per poll (%.2f%% of a core at one poll a second), wall %6.2f ms\n", cpu, cpu / 10.0, wallMs);
    return 0;
}

int itemsIn(int folder) {
    mail::MailNamespace *ns = mCommon::GetMailNamespace();
    return ns ? ns->GetDefaultFolder(folder)->count() : -1;
}

int benchImport(int size) {
    writeConfig();
    fillSpool(0, size);
    mCommon::Start(true);
    QElapsedTimer timer;
    timer.start();
    ImportFaxes(false, nullptr, QDateTime());
    const double importMs = double(timer.nsecsElapsed()) / 1e6;
    const int imported = itemsIn(mail::FolderInbox);

    // The floor: the same items made directly from messages already in memory.
    QList<fax::FaxMessage> messages;
    for (auto it = mCommon::GetFaxServer()->Folders().IncomingArchive().GetMessages(100); !it.AtEOF(); it.MoveNext())
        messages.append(it.Message());
    mCommon::ShutDown();
    QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/sendmere/Mail")).removeRecursively();
    mCommon::Start(true);
    timer.restart();
    for (const fax::FaxMessage &message : messages) mSend::GenerateOutlookInboxFax(message);
    const double directMs = double(timer.nsecsElapsed()) / 1e6;
    std::printf("import: %6d archived faxes: ImportFaxes %9.0f ms (%6.2f ms/fax, %d items) | direct %9.0f ms (%6.2f ms/fax, %d items)\n",
                size, importMs, importMs / size, imported, directMs, directMs / size, itemsIn(mail::FolderInbox));
    return 0;
}

// Runs one section in a private bus with fresh XDG folders.
int runIsolated(const QString &self, const QStringList &section) {
    QTemporaryDir root;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME", "TMPDIR"}) {
        const QString dir = root.filePath(QString::fromLatin1(name));
        QDir().mkpath(dir);
        env.insert(QString::fromLatin1(name), dir);
    }
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("SENDMERE_TEST_BIN_DIR"), binDir());
    env.insert(QStringLiteral("SENDMERE_BENCH_SECTION"), QStringLiteral("1"));
    env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    QProcess child;
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(QStringLiteral("dbus-run-session"), QStringList{QStringLiteral("--"), self} + section);
    child.waitForFinished(-1);
    // The service keeps its images read-only; the folder goes all the same.
    QProcess::execute(QStringLiteral("chmod"), {QStringLiteral("-R"), QStringLiteral("u+w"), root.path()});
    return child.exitCode();
}

}  // namespace

int main(int argc, char *argv[]) {
    if (qEnvironmentVariableIsEmpty("SENDMERE_BENCH_SECTION")) {
        QCoreApplication app(argc, argv);
        QStringList args = app.arguments().mid(1);
        const QString self = app.applicationFilePath();
        const QStringList sections = args.isEmpty() ? QStringList{QStringLiteral("preview"), QStringLiteral("poll"), QStringLiteral("import")}
                                                    : QStringList{args.takeFirst()};
        for (const QString &section : sections) {
            if (section == QStringLiteral("import")) {
                const QStringList sizes = args.isEmpty() ? QStringList{QStringLiteral("1000"), QStringLiteral("10000")} : args;
                for (const QString &size : sizes) runIsolated(self, {section, size});
            } else {
                runIsolated(self, {section});
            }
        }
        return 0;
    }
    QApplication app(argc, argv);
    const QString section = app.arguments().value(1);
    if (section == QStringLiteral("preview")) return benchPreview();
    if (section == QStringLiteral("poll")) return benchPoll();
    if (section == QStringLiteral("import")) return benchImport(app.arguments().value(2).toInt());
    std::fprintf(stderr, "usage: bench_bridge [preview|poll|import [sizes...]]\n");
    return 2;
}
