// Time to the answer of a large submission and to its last job: RECIPIENTS recipients of a
// PAGES-page PDF (100 x 40 by default) submitted to the real service on a private session
// bus. The answer must come in milliseconds whatever the size; the jobs follow as the render
// goes, each announced once its image exists.
// Run: bench_submit [RECIPIENTS [PAGES [RUNS]]]

#include "PrivateBus.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QGuiApplication>
#include <QPainter>
#include <QPdfWriter>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <cstdio>

namespace {

QString writePdf(const QString &path, int pages)
{
    QPdfWriter writer(path);
    QPainter painter(&writer);
    painter.setFont(QFont(QStringLiteral("DejaVu Sans"), 11));
    for (int page = 1; page <= pages; ++page) {
        if (page > 1)
            writer.newPage();
        const int line = writer.height() / 50;
        for (int l = 0; l < 45; ++l)
            painter.drawText(0, (l + 2) * line, QStringLiteral("Page %1, line %2: the quick brown fox jumps over the lazy dog").arg(page).arg(l));
    }
    return path;
}

// Counts the announced jobs of one submission and notes when the last one came.
class JobCounter : public QObject {
    Q_OBJECT
public:
    QSet<QString> wanted;
    int seen = 0;
    qint64 lastAtMs = -1;
    QElapsedTimer *clock = nullptr;
    QEventLoop *loop = nullptr;

public Q_SLOTS:
    void jobAdded(const QString &id)
    {
        if (!wanted.contains(id))
            return;
        if (++seen == wanted.size()) {
            lastAtMs = clock->elapsed();
            loop->quit();
        }
    }
};

struct Run {
    double replyMs = 0, lastJobMs = 0;
};

Run submitOnce(const QString &body, int recipients)
{
    QVariantList list;
    for (int i = 0; i < recipients; ++i)
        list.append(QVariantMap{{QStringLiteral("FaxNumber"), QStringLiteral("555%1").arg(i, 4, 10, QLatin1Char('0'))},
                                {QStringLiteral("Name"), QStringLiteral("Recipient %1").arg(i)}});
    const QVariantMap doc{{QStringLiteral("Body"), body},
                          {QStringLiteral("Recipients"), list},
                          {QStringLiteral("Subject"), QStringLiteral("bench")},
                          {QStringLiteral("ScheduleType"), 1},
                          {QStringLiteral("ScheduleTime"), QDateTime::currentMSecsSinceEpoch() + 300LL * 24 * 3600 * 1000}};
    QDBusConnection bus = QDBusConnection::sessionBus();
    JobCounter counter;
    QEventLoop loop;
    QElapsedTimer clock;
    counter.clock = &clock;
    counter.loop = &loop;
    bus.connect(QString(), QStringLiteral("/org/sendmere/Fax"), QStringLiteral("org.sendmere.Fax1"), QStringLiteral("OutgoingJobAdded"),
                &counter, SLOT(jobAdded(QString)));
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.sendmere.Fax"), QStringLiteral("/org/sendmere/Fax"),
                                                       QStringLiteral("org.sendmere.Fax1"), QStringLiteral("Submit"));
    call.setArguments({doc});
    clock.start();
    const QDBusMessage reply = bus.call(call, QDBus::Block, 600000);
    Run run;
    run.replyMs = double(clock.nsecsElapsed()) / 1e6;
    if (reply.type() != QDBusMessage::ReplyMessage) {
        std::fprintf(stderr, "Submit failed: %s\n", qPrintable(reply.errorMessage()));
        return run;
    }
    for (const QString &id : reply.arguments().value(0).toStringList())
        counter.wanted.insert(id);
    QTimer::singleShot(600000, &loop, &QEventLoop::quit);
    loop.exec();
    run.lastJobMs = double(counter.lastAtMs);
    return run;
}

}  // namespace

int main(int argc, char *argv[])
{
    if (const int rc = rerunOnPrivateBus(argc, argv, true); rc >= 0)
        return rc;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int recipients = args.value(1, QStringLiteral("100")).toInt();
    const int pages = args.value(2, QStringLiteral("40")).toInt();
    const int runs = args.value(3, QStringLiteral("3")).toInt();
    QTemporaryDir work;
    const QString body = writePdf(work.filePath(QStringLiteral("body.pdf")), pages);

    QProcess service;
    service.setStandardErrorFile(QProcess::nullDevice());
    service.start(QStringLiteral(SENDMERE_FAXD_BUILD_PATH), QStringList());
    QElapsedTimer started;
    started.start();
    while (!QDBusConnection::sessionBus().interface()->isServiceRegistered(QStringLiteral("org.sendmere.Fax")) && started.elapsed() < 60000)
        QThread::msleep(5);

    std::printf("%d recipients x %d pages, %d runs, %d processors\n", recipients, pages, runs, QThread::idealThreadCount());
    std::printf("%5s %14s %18s\n", "run", "answer ms", "last job s");
    for (int i = 1; i <= runs; ++i) {
        const Run run = submitOnce(body, recipients);
        std::printf("%5d %14.1f %18.2f\n", i, run.replyMs, run.lastJobMs / 1000.0);
        std::fflush(stdout);
    }
    service.kill();
    service.waitForFinished();
    return 0;
}

#include "bench_submit.moc"
