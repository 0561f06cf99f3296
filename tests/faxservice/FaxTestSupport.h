#pragma once
// Helpers of the fax service tests: the service's settings, the spool's paths, bodies to
// send, and control over the real daemon on the test's private bus.
#include "FaxRender.h"
#include "platform/fax/FaxClient.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDBusPendingCall>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPainter>
#include <QPdfWriter>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>
#include <QThread>
#include <csignal>

namespace sendmere::faxtest {

// The console program of the build, run to its end: its exit code (-1 when it crashed or
// ran past timeoutMs) and what it wrote.
struct ConsoleRun {
    int code = -1;
    QString out, err;
};

inline QString consolePath() { return qEnvironmentVariable("SENDMERE_TEST_BIN_DIR") + QStringLiteral("/sendmere-fax"); }

inline ConsoleRun runConsole(const QStringList &args, const QString &program = consolePath(), int timeoutMs = 90000)
{
    QProcess process;
    process.start(program, args);
    ConsoleRun run;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        run.err = QStringLiteral("timed out");
        return run;
    }
    run.code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

// What "sendmere-fax list WHAT --json" prints: the queue's jobs or an archive's faxes.
inline QJsonArray listing(const QString &what)
{
    return QJsonDocument::fromJson(runConsole({QStringLiteral("list"), what, QStringLiteral("--json")}).out.toUtf8()).array();
}

// The record with the id in a listing; empty when there is none.
inline QJsonObject findId(const QJsonArray &records, const QString &id)
{
    for (const auto &record : records)
        if (record.toObject().value(QStringLiteral("Id")).toString() == id)
            return record.toObject();
    return {};
}

inline QString configHome() { return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation); }
inline QString spoolRoot() { return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/sendmere/fax"); }
inline QString logPath() { return qEnvironmentVariable("XDG_STATE_HOME") + QStringLiteral("/sendmere/faxd.log"); }

// Writes faxd.conf before the service first starts; extra lines go into their groups.
inline void writeConfig(const QString &text)
{
    QDir().mkpath(configHome() + QStringLiteral("/sendmere"));
    QFile file(configHome() + QStringLiteral("/sendmere/faxd.conf"));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text.toUtf8());
}

inline QString writeTextFile(const QString &name, const QString &text)
{
    const QString path = QDir::tempPath() + u'/' + name;
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(text.toUtf8());
    return path;
}

// A real PDF with the given number of pages.
inline QString writePdf(const QString &name, int pages)
{
    const QString path = QDir::tempPath() + u'/' + name;
    QPdfWriter writer(path);
    QPainter painter(&writer);
    for (int page = 1; page <= pages; ++page) {
        if (page > 1)
            writer.newPage();
        painter.setFont(QFont(QStringLiteral("DejaVu Sans"), 24));
        painter.drawText(QRect(0, 0, writer.width(), writer.height() / 4), Qt::AlignCenter, QStringLiteral("Page %1").arg(page));
    }
    return path;
}

inline QString readLog()
{
    QFile file(logPath());
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

inline QDBusConnectionInterface *bus() { return QDBusConnection::sessionBus().interface(); }
inline bool serviceRunning() { return bus()->isServiceRegistered(QStringLiteral("org.sendmere.Fax")); }

// Kills the daemon without warning, as a crash or kill -9 would, and waits until it is gone.
inline void killService()
{
    const uint pid = bus()->servicePid(QStringLiteral("org.sendmere.Fax"));
    QVERIFY(pid > 0);
    QCOMPARE(::kill(pid_t(pid), SIGKILL), 0);
    QTRY_VERIFY_WITH_TIMEOUT(!serviceRunning(), 5000);
}

inline int tiffPages(const QString &path) { return render::tiffPageCount(path); }

inline QStringList messageIds(const fax::FaxArchive &archive, int prefetch = 100)
{
    QStringList ids;
    for (auto it = archive.GetMessages(prefetch); !it.AtEOF(); it.MoveNext())
        ids.append(it.Message().Id());
    return ids;
}

// Records the server's events as "Name id [status]" lines, in the order they arrive.
inline void recordEvents(fax::FaxServer &server, QStringList &events)
{
    using fax::FaxServer;
    QObject::connect(&server, &FaxServer::OnOutgoingJobAdded, &server, [&](FaxServer *, const QString &id) { events << QStringLiteral("JobAdded ") + id; });
    QObject::connect(&server, &FaxServer::OnOutgoingJobChanged, &server, [&](FaxServer *, const QString &id, int status) {
        events << QStringLiteral("JobChanged %1 %2").arg(id).arg(status);
    });
    QObject::connect(&server, &FaxServer::OnOutgoingJobRemoved, &server, [&](FaxServer *, const QString &id) { events << QStringLiteral("JobRemoved ") + id; });
    QObject::connect(&server, &FaxServer::OnOutgoingMessageAdded, &server, [&](FaxServer *, const QString &id) { events << QStringLiteral("SentAdded ") + id; });
    QObject::connect(&server, &FaxServer::OnOutgoingMessageRemoved, &server, [&](FaxServer *, const QString &id) { events << QStringLiteral("SentRemoved ") + id; });
    QObject::connect(&server, &FaxServer::OnIncomingJobAdded, &server, [&](FaxServer *, const QString &id) { events << QStringLiteral("InJobAdded ") + id; });
    QObject::connect(&server, &FaxServer::OnIncomingJobRemoved, &server, [&](FaxServer *, const QString &id) { events << QStringLiteral("InJobRemoved ") + id; });
    QObject::connect(&server, &FaxServer::OnIncomingMessageAdded, &server, [&](FaxServer *, const QString &id) { events << QStringLiteral("ReceivedAdded ") + id; });
    QObject::connect(&server, &FaxServer::OnIncomingMessageRemoved, &server, [&](FaxServer *, const QString &id) { events << QStringLiteral("ReceivedRemoved ") + id; });
    QObject::connect(&server, &FaxServer::OnIncomingCall, &server, [&](FaxServer *, int device, const QString &caller) {
        events << QStringLiteral("Call %1 %2").arg(device).arg(caller);
    });
}

inline void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

// Pages that are slow to draw for their size: forms nested depth deep, each drawing the one
// below ten times, the innermost filling the whole page; at depth 4 one page takes minutes
// (ten thousand page fills in 1.5 kB).
inline QString writeSlowPdf(const QString &name, int depth, int pages = 1)
{
    const auto stream = [](const QByteArray &dict, const QByteArray &content) {
        return "<< " + dict + " /Length " + QByteArray::number(content.size()) + " >>\nstream\n" + content + "\nendstream";
    };
    // 1 catalog, 2 page tree, 3 page contents, 4.. the forms, then the pages.
    const int firstPage = 5 + depth;
    QByteArray kids;
    for (int page = 0; page < pages; ++page)
        kids += QByteArray::number(firstPage + page) + " 0 R ";
    QList<QByteArray> objects{"<< /Type /Catalog /Pages 2 0 R >>",
                              "<< /Type /Pages /Kids [" + kids + "] /Count " + QByteArray::number(pages) + " >>",
                              stream({}, QStringLiteral("/F%1 Do").arg(depth).toLatin1())};
    for (int level = 0; level <= depth; ++level) {
        const QByteArray content = level == 0 ? QByteArray("0 0 612 792 re f") : QStringLiteral("/F%1 Do ").arg(level - 1).toLatin1().repeated(10);
        const QByteArray resources = level == 0 ? QByteArray()
                                                : QStringLiteral("/Resources << /XObject << /F%1 %2 0 R >> >>").arg(level - 1).arg(3 + level).toLatin1();
        objects.append(stream("/Type /XObject /Subtype /Form /BBox [0 0 612 792] " + resources, content));
    }
    for (int page = 0; page < pages; ++page)
        objects.append(QStringLiteral("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Resources << /XObject "
                                      "<< /F%1 %2 0 R >> >> /Contents 3 0 R >>").arg(depth).arg(4 + depth).toLatin1());
    QByteArray pdf = "%PDF-1.4\n";
    QList<qsizetype> offsets;
    for (int i = 0; i < objects.size(); ++i) {
        offsets.append(pdf.size());
        pdf += QByteArray::number(i + 1) + " 0 obj\n" + objects.at(i) + "\nendobj\n";
    }
    const qsizetype xref = pdf.size();
    pdf += "xref\n0 " + QByteArray::number(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (qsizetype offset : offsets)
        pdf += QByteArray::number(offset).rightJustified(10, '0') + " 00000 n \n";
    pdf += "trailer\n<< /Size " + QByteArray::number(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n" + QByteArray::number(xref) + "\n%%EOF\n";
    const QString path = QDir::tempPath() + u'/' + name;
    writeFile(path, pdf);
    return path;
}

inline QStringList queueIds(const fax::FaxServer &server)
{
    QStringList ids;
    const fax::FaxOutgoingJobs jobs = server.Folders().OutgoingQueue().GetJobs();
    for (int i = 1; i <= jobs.Count(); ++i)
        ids << jobs.Item(i).Id();
    return ids;
}

// A raw call of the service's bus interface, as another client would make it.
inline QDBusMessage busMessage(const QString &method, const QVariantList &args)
{
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.sendmere.Fax"), QStringLiteral("/org/sendmere/Fax"),
                                                       QStringLiteral("org.sendmere.Fax1"), method);
    call.setArguments(args);
    return call;
}
inline QDBusMessage busCall(const QString &method, const QVariantList &args, int timeoutMs = 60000)
{
    return QDBusConnection::sessionBus().call(busMessage(method, args), QDBus::Block, timeoutMs);
}
inline QDBusPendingCall busAsyncCall(const QString &method, const QVariantList &args)
{
    return QDBusConnection::sessionBus().asyncCall(busMessage(method, args), 60000);
}

// A submission's state (GetSubmission) once it has ended, queued or failed.
inline QVariantMap finalSubmissionState(const QString &submissionId, int timeoutMs = 60000)
{
    QDeadlineTimer deadline(timeoutMs);
    QVariantMap state;
    do {
        state = qdbus_cast<QVariantMap>(busCall(QStringLiteral("GetSubmission"), {submissionId}).arguments().value(0));
        const QString name = state.value(QStringLiteral("State")).toString();
        if (name != QStringLiteral("waiting") && name != QStringLiteral("rendering"))
            return state;
        QTest::qWait(20);
    } while (!deadline.hasExpired());
    return state;
}

// Runs a call that must fail with the given error number and a text naming textPart.
template <typename Call>
void expectError(Call &&call, int number, const QString &textPart)
{
    try {
        call();
        QFAIL(qPrintable(QStringLiteral("no error; expected %1").arg(number)));
    } catch (const AutomationError &e) {
        QCOMPARE(e.number(), number);
        QVERIFY2(e.text().contains(textPart), qPrintable(e.text()));
    }
}

inline fax::FaxDocument document(const QString &number, const QString &body = {})
{
    fax::FaxDocument doc;
    doc.Recipients.Add(number, QStringLiteral("Ann Example"));
    doc.Body = body;
    doc.Subject = QStringLiteral("Test fax");
    doc.DocumentName = QStringLiteral("test");
    doc.Sender.Name = QStringLiteral("Bob Sender");
    doc.Sender.FaxNumber = QStringLiteral("5550111");
    return doc;
}

// A one-page job held in the queue for an hour.
inline QString submitLater(fax::FaxServer &server, const QString &name)
{
    fax::FaxDocument doc = document(QStringLiteral("5550100"), writeTextFile(name, name + QStringLiteral("\n")));
    doc.ScheduleType = fax::ScheduleSpecificTime;
    doc.ScheduleTime = QDateTime::currentDateTime().addSecs(3600);
    return doc.ConnectedSubmit(server).first();
}

}  // namespace sendmere::faxtest
