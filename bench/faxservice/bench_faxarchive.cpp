// Time and memory of listing the incoming archive at 1,000, 5,000 and 10,000 messages: a spool
// is filled directly, the real service is started on it, and a client walks the archive with
// the prefetching iterator. The cost per message must stay flat as the archive grows.
// Run: bench_faxarchive [sizes...]  (starts its own private session bus).
#include "FaxRender.h"
#include "ServiceLog.h"
#include "Spool.h"
#include "platform/fax/FaxClient.h"

#include "PrivateBus.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <cstdio>
#include <unistd.h>

namespace {

using namespace sendmere;

// Peak and current resident memory of a process, in kB, from /proc.
qint64 procStatus(qint64 pid, const char *field)
{
    QFile file(QStringLiteral("/proc/%1/status").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : file.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').first().toLongLong();
    return -1;
}

struct Figures {
    int messages = 0;
    double fillSeconds = 0, startSeconds = 0, listMs = 0, spoolListMs = 0;
    qint64 serviceHwmKb = 0, serviceRssGrowthKb = 0, clientRssGrowthKb = 0;
};

void fillSpool(const QString &dataHome, int count, const QString &image)
{
    faxd::ServiceLog log(dataHome + QStringLiteral("/fill.log"));
    faxd::Spool spool(dataHome + QStringLiteral("/sendmere/fax"), log);
    spool.open();
    QList<QVariantMap> batch;
    for (int i = 0; i < count; ++i) {
        const qint64 id = 0x1000 + i;
        const QString path = spool.imagePath(faxd::Folder::Received, id);
        if (::link(QFile::encodeName(image).constData(), QFile::encodeName(path).constData()) != 0)
            QFile::copy(image, path);
        batch.append({{QStringLiteral("Id"), faxd::idText(id)},
                      {QStringLiteral("Pages"), 1},
                      {QStringLiteral("CSID"), QStringLiteral("Sendmere")},
                      {QStringLiteral("TSID"), QStringLiteral("5550%1").arg(i % 1000)},
                      {QStringLiteral("CallerId"), QStringLiteral("5550%1").arg(i % 1000)},
                      {QStringLiteral("DeviceName"), QStringLiteral("Sendmere Virtual Modem")},
                      {QStringLiteral("TransmissionStart"), QDateTime::currentMSecsSinceEpoch()},
                      {QStringLiteral("TransmissionEnd"), QDateTime::currentMSecsSinceEpoch()}});
    }
    spool.insertMessages(faxd::Folder::Received, batch);
}

double spoolListMs(const QString &dataHome, int expected)
{
    faxd::ServiceLog log(dataHome + QStringLiteral("/fill.log"));
    faxd::Spool spool(dataHome + QStringLiteral("/sendmere/fax"), log);
    spool.open();
    QElapsedTimer timer;
    timer.start();
    qint64 after = 0;
    int seen = 0;
    while (true) {
        const QList<QVariantMap> page = spool.messages(faxd::Folder::Received, after, 100);
        if (page.isEmpty())
            break;
        seen += int(page.size());
        after = faxd::idNumber(page.last().value(QStringLiteral("Id")).toString());
    }
    const double ms = double(timer.nsecsElapsed()) / 1e6;
    if (seen != expected)
        std::fprintf(stderr, "spool listing saw %d of %d messages\n", seen, expected);
    return ms;
}

Figures measure(int count, const QString &image)
{
    QTemporaryDir root;
    Figures f;
    f.messages = count;
    const QString dataHome = root.filePath(QStringLiteral("data"));
    QElapsedTimer timer;
    timer.start();
    fillSpool(dataHome, count, image);
    f.fillSeconds = double(timer.elapsed()) / 1000.0;

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), dataHome);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), root.filePath(QStringLiteral("config")));
    env.insert(QStringLiteral("XDG_STATE_HOME"), root.filePath(QStringLiteral("state")));
    QProcess service;
    service.setProcessEnvironment(env);
    service.setStandardErrorFile(QProcess::nullDevice());
    timer.restart();
    service.start(QStringLiteral(SENDMERE_FAXD_BUILD_PATH), QStringList());
    auto *bus = QDBusConnection::sessionBus().interface();
    while (!bus->isServiceRegistered(QStringLiteral("org.sendmere.Fax")) && timer.elapsed() < 60000)
        QThread::msleep(5);
    f.startSeconds = double(timer.elapsed()) / 1000.0;

    const qint64 rssBefore = procStatus(QCoreApplication::applicationPid(), "VmRSS:");
    const qint64 serviceRssBefore = procStatus(service.processId(), "VmRSS:");
    fax::FaxServer server;
    server.Connect(QString());
    timer.restart();
    int seen = 0;
    for (auto it = server.Folders().IncomingArchive().GetMessages(100); !it.AtEOF(); it.MoveNext())
        seen += it.Message().Id().isEmpty() ? 0 : 1;
    f.listMs = double(timer.nsecsElapsed()) / 1e6;
    f.clientRssGrowthKb = procStatus(QCoreApplication::applicationPid(), "VmRSS:") - rssBefore;
    f.serviceHwmKb = procStatus(service.processId(), "VmHWM:");
    f.serviceRssGrowthKb = procStatus(service.processId(), "VmRSS:") - serviceRssBefore;
    if (seen != count)
        std::fprintf(stderr, "the iterator saw %d of %d messages\n", seen, count);
    server.Disconnect();
    service.terminate();
    service.waitForFinished(10000);
    f.spoolListMs = spoolListMs(dataHome, count);
    return f;
}

QString blankFaxImage(const QString &dir)
{
    const QString path = dir + QStringLiteral("/page.tiff");
    QImage page(render::FaxPageWidth, render::FaxPageHeight, QImage::Format_Mono);
    page.fill(0);
    render::FaxTiffWriter writer(path);
    writer.addPage(page);
    writer.close();
    return path;
}

}  // namespace

int main(int argc, char *argv[])
{
    if (const int rc = rerunOnPrivateBus(argc, argv, false); rc >= 0)
        return rc;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QList<int> sizes;
    for (const QString &arg : app.arguments().mid(1))
        sizes << arg.toInt();
    if (sizes.isEmpty())
        sizes = {1000, 5000, 10000};
    QTemporaryDir work;
    const QString image = blankFaxImage(work.path());
    std::printf("%9s %9s %9s %10s %8s %10s %11s %13s %14s\n", "messages", "fill s", "start s", "list ms", "us/msg",
                "spool ms", "svc HWM MB", "svc +RSS MB", "client +RSS MB");
    for (int size : sizes) {
        const Figures f = measure(size, image);
        std::printf("%9d %9.2f %9.2f %10.1f %8.1f %10.1f %11.1f %13.1f %14.1f\n", f.messages, f.fillSeconds, f.startSeconds, f.listMs,
                    f.listMs * 1000.0 / f.messages, f.spoolListMs, double(f.serviceHwmKb) / 1024.0,
                    double(f.serviceRssGrowthKb) / 1024.0, double(f.clientRssGrowthKb) / 1024.0);
        std::fflush(stdout);
    }
    return 0;
}
