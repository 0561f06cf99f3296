#pragma once
// Helpers of the fax service tests: settings, spool paths, bodies to send, and the real daemon on the test's private bus.
#include "FaxRender.h"
#include "../support/TestSupport.h"  // header-only parts: these tests do not link the support library
#include "platform/fax/FaxClient.h"

#include <QDBusConnectionInterface>
#include <QDBusPendingCall>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPainter>
#include <QPdfWriter>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>
#include <csignal>

namespace sendmere::faxtest {

using namespace Qt::StringLiterals;

using ConsoleRun = test::ProgramRun;

inline QString consolePath() { return qEnvironmentVariable("SENDMERE_TEST_BIN_DIR") + u"/sendmere-fax"_s; }

// The console program of the build, run to its end.
inline ConsoleRun runConsole(const QStringList &args, const QString &program = consolePath(), int timeoutMs = 90000) {
    return test::runProgram(program, args, QProcessEnvironment::systemEnvironment(), timeoutMs);
}

// What "sendmere-fax list WHAT --json" prints: the queue's jobs or an archive's faxes.
inline QJsonArray listing(const QString &what) { return QJsonDocument::fromJson(runConsole({u"list"_s, what, u"--json"_s}).out.toUtf8()).array(); }

// The record with the id in a listing; empty when there is none.
inline QJsonObject findId(const QJsonArray &records, const QString &id) {
    for (const auto &record : records)
        if (record.toObject().value(u"Id"_s).toString() == id)
            return record.toObject();
    return {};
}

inline QString configHome() { return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation); }
inline QString spoolRoot() { return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + u"/sendmere/fax"_s; }
// A fax's image in a spool folder ("queue", "sent", "received").
inline QString spoolImage(const QString &folder, const QString &id) { return spoolRoot() + u"/%1/%2.tiff"_s.arg(folder, id); }
inline QStringList spoolFiles(const QString &folder, const QString &pattern = u"*"_s) {
    return QDir(spoolRoot() + u'/' + folder).entryList({pattern}, QDir::AllEntries | QDir::NoDotAndDotDot);
}

using test::writeFile;
// Writes faxd.conf before the service first starts; extra lines go into their groups.
inline void writeConfig(const QString &text) { writeFile(configHome() + u"/sendmere/faxd.conf"_s, text.toUtf8()); }
inline QString writeTextFile(const QString &name, const QString &text) {
    writeFile(QDir::tempPath() + u'/' + name, text.toUtf8());
    return QDir::tempPath() + u'/' + name;
}

// A real PDF with the given number of pages.
inline QString writePdf(const QString &name, int pages) {
    const QString path = QDir::tempPath() + u'/' + name;
    QPdfWriter writer(path);
    QPainter painter(&writer);
    painter.setFont(QFont(u"DejaVu Sans"_s, 24));
    for (int page = 1; page <= pages; ++page) {
        if (page > 1)
            writer.newPage();
        painter.drawText(QRect(0, 0, writer.width(), writer.height() / 4), Qt::AlignCenter, u"Page %1"_s.arg(page));
    }
    return path;
}

// Pages slow to draw for their size: forms nested depth deep, each drawing the one below ten times; at depth 4 a page takes minutes.
inline QString writeSlowPdf(const QString &name, int depth, int pages = 1) {
    const auto n = [](qint64 value) { return QByteArray::number(value); };
    const auto stream = [&](const QByteArray &dict, const QByteArray &content) {
        return "<< " + dict + " /Length " + n(content.size()) + " >>\nstream\n" + content + "\nendstream";
    };
    // 1 catalog, 2 page tree, 3 page contents, 4.. the forms, then the pages.
    QByteArray kids, pdf = "%PDF-1.4\n";
    for (int page = 0; page < pages; ++page)
        kids += n(5 + depth + page) + " 0 R ";
    QList<QByteArray> objects{"<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [" + kids + "] /Count " + n(pages) + " >>",
                              stream({}, "/F" + n(depth) + " Do")};
    for (int level = 0; level <= depth; ++level)
        objects.append(level == 0 ? stream("/Type /XObject /Subtype /Form /BBox [0 0 612 792]", "0 0 612 792 re f")
                                  : stream("/Type /XObject /Subtype /Form /BBox [0 0 612 792] /Resources << /XObject << /F" + n(level - 1) + ' '
                                               + n(3 + level) + " 0 R >> >>", ("/F" + n(level - 1) + " Do ").repeated(10)));
    for (int page = 0; page < pages; ++page)
        objects.append("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Resources << /XObject << /F" + n(depth) + ' ' + n(4 + depth)
                       + " 0 R >> >> /Contents 3 0 R >>");
    QByteArray xref = "xref\n0 " + n(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (int i = 0; i < objects.size(); ++i) {
        xref += n(pdf.size()).rightJustified(10, '0') + " 00000 n \n";
        pdf += n(i + 1) + " 0 obj\n" + objects.at(i) + "\nendobj\n";
    }
    const qsizetype xrefAt = pdf.size();
    writeFile(QDir::tempPath() + u'/' + name, pdf + xref + "trailer\n<< /Size " + n(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n" + n(xrefAt) + "\n%%EOF\n");
    return QDir::tempPath() + u'/' + name;
}

inline QString readLog() {
    QFile file(qEnvironmentVariable("XDG_STATE_HOME") + u"/sendmere/faxd.log"_s);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

inline QDBusConnectionInterface *bus() { return QDBusConnection::sessionBus().interface(); }
inline bool serviceRunning() { return bus()->isServiceRegistered(u"org.sendmere.Fax"_s); }

// Kills the daemon without warning, as a crash or kill -9 would, and waits until it is gone.
inline void killService() {
    const uint pid = bus()->servicePid(u"org.sendmere.Fax"_s);
    QVERIFY(pid > 0);
    QCOMPARE(::kill(pid_t(pid), SIGKILL), 0);
    QTRY_VERIFY_WITH_TIMEOUT(!serviceRunning(), 5000);
}

// Starts a session bus of the test's own, that the test can end: the environment of a program on it.
inline QProcessEnvironment startPrivateBus(QProcess &daemon) {
    daemon.start(u"dbus-daemon"_s, {u"--session"_s, u"--nofork"_s, u"--print-address=1"_s});
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (daemon.waitForReadyRead(10000))
        env.insert(u"DBUS_SESSION_BUS_ADDRESS"_s, QString::fromUtf8(daemon.readLine()).trimmed());
    return env;
}

inline int tiffPages(const QString &path) { return render::tiffPageCount(path); }

inline QStringList messageIds(const fax::FaxArchive &archive, int prefetch = 100) {
    QStringList ids;
    for (auto it = archive.GetMessages(prefetch); !it.AtEOF(); it.MoveNext())
        ids.append(it.Message().Id());
    return ids;
}

inline QStringList queueIds(const fax::FaxServer &server) {
    QStringList ids;
    const fax::FaxOutgoingJobs jobs = server.Folders().OutgoingQueue().GetJobs();
    for (int i = 1; i <= jobs.Count(); ++i)
        ids << jobs.Item(i).Id();
    return ids;
}

// A raw call of the service's bus interface, as another client would make it.
inline QDBusMessage busMessage(const QString &method, const QVariantList &args) {
    QDBusMessage call = QDBusMessage::createMethodCall(u"org.sendmere.Fax"_s, u"/org/sendmere/Fax"_s, u"org.sendmere.Fax1"_s, method);
    call.setArguments(args);
    return call;
}
inline QDBusMessage busCall(const QString &method, const QVariantList &args, int timeoutMs = 60000) {
    return QDBusConnection::sessionBus().call(busMessage(method, args), QDBus::Block, timeoutMs);
}
inline QDBusPendingCall busAsyncCall(const QString &method, const QVariantList &args) {
    return QDBusConnection::sessionBus().asyncCall(busMessage(method, args), 60000);
}
inline const QString ErrorPrefix = u"org.sendmere.Fax1.Error."_s;

// A document as another client sends it on the bus, to 5550, 5551, ...; extra adds or replaces properties.
inline QVariantMap rawDocument(const QString &body, int recipients = 1, const QVariantMap &extra = {}) {
    QVariantList list;
    for (int i = 0; i < recipients; ++i)
        list.append(QVariantMap{{u"FaxNumber"_s, u"555%1"_s.arg(i)}, {u"Name"_s, u"R%1"_s.arg(i)}});
    QVariantMap doc{{u"Body"_s, body}, {u"Recipients"_s, list}, {u"Subject"_s, u"s"_s}};
    doc.insert(extra);
    return doc;
}

// GetSubmission's answer (State, JobIds, PagesDone, ErrorName, ErrorText), and its State.
inline QVariantMap submissionState(const QString &id, const QDBusConnection &connection = QDBusConnection::sessionBus()) {
    return qdbus_cast<QVariantMap>(connection.call(busMessage(u"GetSubmission"_s, {id})).arguments().value(0));
}
inline QString stateName(const QVariantMap &state) { return state.value(u"State"_s).toString(); }

// A submission's state once it has ended, queued or failed.
inline QVariantMap finalSubmissionState(const QString &submissionId, int timeoutMs = 60000) {
    QDeadlineTimer deadline(timeoutMs);
    QVariantMap state = submissionState(submissionId);
    for (; (stateName(state) == u"waiting"_s || stateName(state) == u"rendering"_s) && !deadline.hasExpired(); state = submissionState(submissionId))
        QTest::qWait(20);
    return state;
}

// Runs a call that must fail with the given error number and a text naming textPart.
template <typename Call>
void expectError(Call &&call, int number, const QString &textPart) {
    try {
        call();
        QFAIL(qPrintable(u"no error; expected %1"_s.arg(number)));
    } catch (const AutomationError &e) {
        QCOMPARE(e.number(), number);
        QVERIFY2(e.text().contains(textPart), qPrintable(e.text()));
    }
}

// A fax from Bob Sender (5550111) to Ann Example; with secondsAhead, held in the queue until then.
inline fax::FaxDocument document(const QString &number, const QString &body = {}, int secondsAhead = 0) {
    fax::FaxDocument doc;
    doc.Recipients.Add(number, u"Ann Example"_s);
    doc.Body = body;
    doc.Subject = u"Test fax"_s;
    doc.DocumentName = u"test"_s;
    doc.Sender.Name = u"Bob Sender"_s;
    doc.Sender.FaxNumber = u"5550111"_s;
    if (secondsAhead > 0) {
        doc.ScheduleType = fax::ScheduleSpecificTime;
        doc.ScheduleTime = QDateTime::currentDateTime().addSecs(secondsAhead);
    }
    return doc;
}

// A one-page job held in the queue for an hour.
inline QString submitLater(fax::FaxServer &server, const QString &name) {
    return document(u"5550100"_s, writeTextFile(name, name + u'\n'), 3600).ConnectedSubmit(server).first();
}

}  // namespace sendmere::faxtest
