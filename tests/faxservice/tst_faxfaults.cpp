// The fax service against an unlucky user and a hostile one. The spool is on a small tmpfs where root can mount one, so the disk can fill.
#include "FaxTestSupport.h"

#include <QLockFile>
#include <QtTest>
#include <sys/mount.h>
#include <sys/stat.h>
#include <thread>

using namespace sendmere;
using namespace sendmere::fax;
using namespace sendmere::faxtest;

namespace {

// "Error text" that a raw submission gets, at once or from its render; empty when it was queued.
QString submitError(const QVariantMap &doc) {
    const QDBusMessage reply = busCall(u"Submit"_s, {doc});
    if (reply.type() != QDBusMessage::ReplyMessage)
        return reply.errorName().mid(ErrorPrefix.size()) + u' ' + reply.errorMessage();
    const QVariantMap state = finalSubmissionState(reply.arguments().value(1).toString());
    return stateName(state) == u"queued"_s ? QString()
                                           : state.value(u"ErrorName"_s).toString().mid(ErrorPrefix.size()) + u' ' + state.value(u"ErrorText"_s).toString();
}

void expectRefusal(const QVariantMap &doc, const QString &error, const QString &textPart) {
    const QString refusal = submitError(doc);
    QVERIFY2(refusal.startsWith(error + u' ') && refusal.contains(textPart), qPrintable(refusal));
}

QString writeSvg(const QString &name, const QString &inner) {
    return writeTextFile(name, uR"(<svg xmlns="http://www.w3.org/2000/svg" xmlns:xlink="http://www.w3.org/1999/xlink" width="200" height="200">)"_s
                                   + inner + uR"(<rect width="50" height="50"/></svg>)"_s);
}

}  // namespace

class TestFaxFaults : public QObject {
    Q_OBJECT

    FaxServer m_server;
    bool m_mounted = false;

private Q_SLOTS:
    void initTestCase() {
        writeConfig(u"[Transmission]\nSecondsPerPage=0\nDialDelaySeconds=0.3\n[Schedule]\nRetryIntervalSeconds=1\n"
                    "[Service]\nRenderSeconds=6\nLockWaitSeconds=3\n"_s);
        QDir().mkpath(spoolRoot());
        m_mounted = ::mount("tmpfs", QFile::encodeName(spoolRoot()).constData(), "tmpfs", 0, "size=256m,mode=0700") == 0;
        m_server.Connect(QString());
    }

    void cleanupTestCase() {
        if (serviceRunning())
            killService();
        if (m_mounted)
            ::umount2(QFile::encodeName(spoolRoot()).constData(), MNT_DETACH);
    }

    // A full disk postpones the job with the reason, the service keeps answering, and the job goes by itself once there is space.
    void fullDiskPostponesTheJobAndItGoesOnLater() {
        if (!m_mounted)
            QSKIP("no tmpfs can be mounted here (needs root); the full disk case is not run");
        const QString id = document(u"5550100"_s, writePdf(u"full.pdf"_s, 3), 3).ConnectedSubmit(m_server).first();
        QFile filler(spoolRoot() + u"/filler"_s);
        QVERIFY(filler.open(QIODevice::WriteOnly));
        while (filler.write(QByteArray(4096, 'x')) == 4096 && filler.flush()) {
        }
        filler.close();
        const FaxOutgoingQueue queue = m_server.Folders().OutgoingQueue();
        QTRY_VERIFY_WITH_TIMEOUT(queue.GetJob(id).ExtendedStatus().startsWith(u"Postponed:"_s), 15000);
        QCOMPARE(queue.GetJob(id).Status(), int(StatusRetrying));
        QTest::qWait(2500);  // it tries again, and is postponed again, without ending the service
        QVERIFY(serviceRunning() && queue.GetJob(id).ExtendedStatus().startsWith(u"Postponed:"_s));
        QVERIFY(readLog().contains(u"job %1 postponed: "_s.arg(id)));
        QVERIFY(runConsole({u"list"_s, u"queue"_s}).out.contains(u"Postponed:"_s));  // the console shows the reason

        QVERIFY(QFile::remove(filler.fileName()));
        QTRY_VERIFY_WITH_TIMEOUT(messageIds(m_server.Folders().OutgoingArchive()).contains(id), 15000);
        QVERIFY(!queueIds(m_server).contains(id));
        QCOMPARE(tiffPages(spoolImage(u"sent"_s, id)), 3);
    }

    // SVG bodies are drawn from their own bytes: a reference to a pipe does not block, a readable image is not pulled in.
    void svgBodiesReferToNothingOutside() {
        const QString fifo = QDir::tempPath() + u"/pipe"_s, png = QDir::tempPath() + u"/secret.png"_s;
        QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
        QImage secret(40, 40, QImage::Format_RGB32);
        secret.fill(Qt::black);
        QVERIFY(secret.save(png));
        const QString image = uR"(<image %1="%2" width="100" height="100"/>)"_s;
        const QStringList hostile{image.arg(u"href"_s, fifo), image.arg(u"xlink:href"_s, u"file://"_s + png), image.arg(u"href"_s, u"secret.png"_s),
                                  uR"svg(<rect width="9" height="9" style="fill:url(%1)"/>)svg"_s.arg(png)};
        for (int i = 0; i < hostile.size(); ++i)
            expectRefusal(rawDocument(writeSvg(u"h%1.svg"_s.arg(i), hostile.at(i))), u"RenderFailed"_s, u"must not refer to other files"_s);
        const QString entity = uR"(<?xml version="1.0"?><!DOCTYPE svg [<!ENTITY x SYSTEM "%1">]><svg xmlns="http://www.w3.org/2000/svg"><text>&x;</text></svg>)"_s;
        expectRefusal(rawDocument(writeTextFile(u"entity.svg"_s, entity.arg(png))), u"RenderFailed"_s, QString());
        // A self-contained SVG with a local fragment is sent.
        const QString fine = uR"svg(<defs><rect id="r" width="5" height="5"/></defs><use href="#r"/><rect width="9" height="9" style="fill:url(#r)"/>)svg"_s;
        QCOMPARE(submitError(rawDocument(writeSvg(u"fine.svg"_s, fine))), QString());
    }

    // A render past its time limit is stopped: the client hears why, nothing is queued and the render's files go.
    void renderPastItsTimeIsStopped() {
        const QStringList before = queueIds(m_server);
        const QString big = writeTextFile(u"long.txt"_s, u"line of a very long text\n"_s.repeated(60 * 3000));
        expectRefusal(rawDocument(big, 3), u"RenderFailed"_s, u"took longer than 6 seconds"_s);
        for (const QString &id : queueIds(m_server))
            QVERIFY2(before.contains(id), qPrintable(id));
        QTRY_COMPARE_WITH_TIMEOUT(spoolFiles(u"queue"_s, u"*.part"_s), QStringList(), 20000);
        QCOMPARE(spoolFiles(u"submissions"_s), QStringList());
    }

    // Renders beyond one per core wait their turn; each codes its pages on one more thread.
    void concurrentRendersAreBoundedByTheCores() {
        // Render workers are the service's threads named QThread (Qt's own pools are named otherwise).
        const auto workers = [](uint pid) {
            int count = 0;
            for (const QString &task : QDir(u"/proc/%1/task"_s.arg(pid)).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
                QFile comm(u"/proc/%1/task/%2/comm"_s.arg(pid).arg(task));
                count += comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "QThread";
            }
            return count;
        };
        queueIds(m_server);
        const uint pid = bus()->servicePid(u"org.sendmere.Fax"_s);
        const int idle = workers(pid), cores = std::max(1, QThread::idealThreadCount());
        const QString body = writeTextFile(u"many.txt"_s, u"a line of text\n"_s.repeated(60 * 400));
        QList<QDBusPendingCall> calls;
        for (int i = 0; i < cores + 3; ++i)
            calls.append(busAsyncCall(u"Submit"_s, {rawDocument(body)}));
        int most = 0;
        for (int sample = 0; sample < 20; ++sample) {
            QTest::qWait(100);
            most = std::max(most, workers(pid));
        }
        QVERIFY2(most > idle && most <= idle + 2 * cores, qPrintable(u"%1 threads, %2 when idle, %3 cores"_s.arg(most).arg(idle).arg(cores)));
        for (QDBusPendingCall &call : calls)
            call.waitForFinished();
    }

    // A copy never replaces the fax's own image, a device node or a pipe, nor follows a link; a regular file is replaced whole.
    void copyRefusesWhatItMustNotReplace() {
        const QString id = submitLater(m_server, u"copy.txt"_s), own = spoolImage(u"queue"_s, id);
        const FaxOutgoingJob job = m_server.Folders().OutgoingQueue().GetJob(id);
        const QString fifo = QDir::tempPath() + u"/copy-pipe"_s, link = QDir::tempPath() + u"/copy-link"_s;
        QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
        QVERIFY(QFile::link(QDir::tempPath() + u"/elsewhere.tiff"_s, link));
        const QList<std::pair<QString, int>> refused{{own, 70}, {spoolRoot() + u"/spool.db"_s, 70}, {u"/dev/null"_s, 75}, {fifo, 75}, {link, 75}};
        for (const auto &[target, number] : refused)
            expectError([&] { job.CopyTiff(target); }, number, target);
        struct stat st {};
        QVERIFY(tiffPages(own) == 1 && ::stat("/dev/null", &st) == 0 && S_ISCHR(st.st_mode));
        QVERIFY(!QFileInfo::exists(QDir::tempPath() + u"/elsewhere.tiff"_s));
        const QString target = writeTextFile(u"copy.tiff"_s, u"old contents, longer than nothing"_s);
        job.CopyTiff(target);
        QCOMPARE(tiffPages(target), 1);
        QCOMPARE(QDir(QDir::tempPath()).entryList({u"copy.tiff?*"_s}, QDir::Files | QDir::Hidden), QStringList());
    }

    // Values past the rules get their error on the bus, the largest allowed pass; the edges of each rule are in tst_faxsubmitparse.
    void valuesPastTheRulesAreRefused() {
        const QString body = writeTextFile(u"loose.txt"_s, u"x\n"_s), note(10001, u'n');
        writeSvg(u"x.svg"_s, QString());
        const QList<std::pair<QVariantMap, QString>> refused{
            {rawDocument(body, 101), u"at most 100"_s},
            {rawDocument(body, 100, {{u"Note"_s, note}}), u"The note is 10001 characters long"_s},  // 100 recipients pass
            {rawDocument(body, 1, {{u"ScheduleType"_s, 1}, {u"ScheduleTime"_s, std::numeric_limits<qint64>::max()}}), u"more than a year ahead"_s},
            {rawDocument(u"etc/hostname"_s), u"no absolute file path"_s},
            {rawDocument(body, 1, {{u"CoverPageType"_s, 2}, {u"CoverPage"_s, u"../../../../../../../../tmp/x.svg"_s}}), u"leaves the cover page folder"_s}};
        for (const auto &[doc, text] : refused)
            expectRefusal(doc, u"InvalidArgument"_s, text);
        QCOMPARE(submitError(rawDocument(body, 1, {{u"Recipients"_s, QVariantList{QVariantMap{{u"FaxNumber"_s, u"1"_s.repeated(40)}}}}})), QString());
        const QString invalid = ErrorPrefix + u"InvalidArgument"_s;
        QCOMPARE(busCall(u"Ring"_s, {1, u"555"_s, u"etc/hostname"_s}).errorName(), invalid);
        const QDBusMessage longCaller = busCall(u"Ring"_s, {1, u"5"_s.repeated(5000), writeTextFile(u"caller.txt"_s, u"x\n"_s)});
        QCOMPARE(longCaller.errorName(), invalid);
        QVERIFY2(longCaller.errorMessage().contains(u"at most 20"_s), qPrintable(longCaller.errorMessage()));
    }

    // A ringing call's document renders beside the service's thread: another client is answered before the ring's reply.
    void ringRendersBesideTheService() {
        const QString doc = writeTextFile(u"ring.txt"_s, u"incoming line\n"_s.repeated(60 * 300));
        QDBusPendingCall pending = busAsyncCall(u"Ring"_s, {1, u"5550199"_s, doc});
        QTest::qWait(100);
        QCOMPARE(busCall(u"ListJobs"_s, {}).type(), QDBusMessage::ReplyMessage);
        QVERIFY(!pending.isFinished());
        pending.waitForFinished();
        QVERIFY2(!pending.isError(), qPrintable(pending.error().message()));
        const QString incoming = busCall(u"AnswerCall"_s, {1}).arguments().value(0).toString();
        QTRY_VERIFY_WITH_TIMEOUT(messageIds(m_server.Folders().IncomingArchive()).contains(incoming), 20000);
    }

    // A starting service waits for one that is ending; a spool held by another session's service is named, then taken over.
    void spoolHeldByAnotherServiceIsWaitedForOrNamed() {
        killService();
        QLockFile held(spoolRoot() + u"/spool.lock"_s);
        held.setStaleLockTime(0);
        QVERIFY(held.tryLock(0));
        std::thread release([&] {
            QThread::msleep(1500);
            held.unlock();
        });
        const QStringList ids = queueIds(m_server);  // starts the service, which waits for the spool
        release.join();
        QVERIFY(serviceRunning() && !ids.isEmpty());

        killService();
        QVERIFY(held.tryLock(0));
        expectError([&] { queueIds(m_server); }, 462, u"Your fax service runs in another session (process %1)"_s.arg(QCoreApplication::applicationPid()));
        held.unlock();
        QTRY_VERIFY_WITH_TIMEOUT(busCall(u"ListJobs"_s, {}).type() == QDBusMessage::ReplyMessage, 10000);
        QCOMPARE(queueIds(m_server), ids);
    }
};

QTEST_MAIN(TestFaxFaults)
#include "tst_faxfaults.moc"
