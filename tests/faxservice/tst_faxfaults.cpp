// The fax service against an unlucky user and a hostile one: a disk that fills up, SVG bodies
// that point at other files, renders past their time, copies onto the spool's own files or
// device nodes, submissions past the limits or sent twice, loose schedule and path values,
// and a spool held by a service that is ending or that serves another session.
// The spool lives on a small tmpfs where one can be mounted (root), so that the disk can fill.
#include "FaxTestSupport.h"

#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QElapsedTimer>
#include <QLockFile>
#include <QProcess>
#include <QtTest>
#include <sys/mount.h>
#include <sys/stat.h>
#include <thread>

using namespace sendmere;
using namespace sendmere::fax;
using namespace sendmere::faxtest;

namespace {

const QString ErrorPrefix = QStringLiteral("org.sendmere.Fax1.Error.");

QVariantMap rawDocument(const QString &body, int recipients = 1)
{
    QVariantList list;
    for (int i = 0; i < recipients; ++i)
        list.append(QVariantMap{{QStringLiteral("FaxNumber"), QStringLiteral("555%1").arg(i)}, {QStringLiteral("Name"), QStringLiteral("R")}});
    return {{QStringLiteral("Body"), body}, {QStringLiteral("Recipients"), list}, {QStringLiteral("Subject"), QStringLiteral("s")}};
}

// The error a raw submission gets, at once or from its render; "" when it was queued.
QString submitError(const QVariantMap &doc, QString *text = nullptr)
{
    const QDBusMessage reply = busCall(QStringLiteral("Submit"), {doc});
    QString name = reply.errorName(), message = reply.errorMessage();
    if (reply.type() == QDBusMessage::ReplyMessage) {
        const QVariantMap state = finalSubmissionState(reply.arguments().value(1).toString());
        name = state.value(QStringLiteral("ErrorName")).toString();
        message = state.value(QStringLiteral("ErrorText")).toString();
    }
    if (text)
        *text = message;
    return name.mid(ErrorPrefix.size());
}

// A raw submission that must be refused with the given error and a text naming textPart.
void expectRefusal(const QVariantMap &doc, const QString &error, const QString &textPart)
{
    QString text;
    QCOMPARE(submitError(doc, &text), error);
    QVERIFY2(text.contains(textPart), qPrintable(text));
}

QString writeSvg(const QString &name, const QString &inner)
{
    return writeTextFile(name, QStringLiteral("<svg xmlns=\"http://www.w3.org/2000/svg\" xmlns:xlink=\"http://www.w3.org/1999/xlink\" "
                                              "width=\"200\" height=\"200\">%1<rect width=\"50\" height=\"50\"/></svg>")
                                   .arg(inner));
}

}  // namespace

class TestFaxFaults : public QObject {
    Q_OBJECT

private:
    FaxServer m_server;
    bool m_mounted = false;

    QStringList queueIds() { return faxtest::queueIds(m_server); }

private Q_SLOTS:
    void initTestCase()
    {
        writeConfig(QStringLiteral("[Transmission]\nSecondsPerPage=0\nDialDelaySeconds=0.3\n"
                                   "[Schedule]\nRetryIntervalSeconds=1\n"
                                   "[Service]\nRenderSeconds=6\nLockWaitSeconds=3\n"));
        QDir().mkpath(spoolRoot());
        m_mounted = ::mount("tmpfs", QFile::encodeName(spoolRoot()).constData(), "tmpfs", 0, "size=256m,mode=0700") == 0;
        m_server.Connect(QString());
    }

    void cleanupTestCase()
    {
        if (serviceRunning())
            killService();
        if (m_mounted)
            ::umount2(QFile::encodeName(spoolRoot()).constData(), MNT_DETACH);
    }

    // A full disk postpones the job that needed the space, with the reason; the service
    // keeps answering, and the job is sent by itself once there is space again.
    void fullDiskPostponesTheJobAndItGoesOnLater()
    {
        if (!m_mounted)
            QSKIP("no tmpfs can be mounted here (needs root); the full disk case is not run");
        FaxDocument doc = document(QStringLiteral("5550100"), writePdf(QStringLiteral("full.pdf"), 3));
        doc.ScheduleType = ScheduleSpecificTime;
        doc.ScheduleTime = QDateTime::currentDateTime().addSecs(3);
        const QString id = doc.ConnectedSubmit(m_server).first();
        QFile filler(spoolRoot() + QStringLiteral("/filler"));
        QVERIFY(filler.open(QIODevice::WriteOnly));
        const QByteArray block(4096, 'x');
        while (filler.write(block) == block.size() && filler.flush()) {
        }
        filler.close();
        const FaxOutgoingQueue queue = m_server.Folders().OutgoingQueue();
        QTRY_VERIFY_WITH_TIMEOUT(queue.GetJob(id).ExtendedStatus().startsWith(QStringLiteral("Postponed:")), 15000);
        QCOMPARE(queue.GetJob(id).Status(), int(StatusRetrying));
        QTest::qWait(2500);  // it tries again, and is postponed again, without ending the service
        QVERIFY(serviceRunning());
        QVERIFY(queue.GetJob(id).ExtendedStatus().startsWith(QStringLiteral("Postponed:")));
        QVERIFY(readLog().contains(QStringLiteral("job %1 postponed: ").arg(id)));
        // The console shows the reason beside the job.
        QProcess console;
        console.start(qEnvironmentVariable("SENDMERE_TEST_BIN_DIR") + QStringLiteral("/sendmere-fax"), {QStringLiteral("list"), QStringLiteral("queue")});
        QVERIFY(console.waitForFinished(30000));
        QVERIFY(QString::fromUtf8(console.readAllStandardOutput()).contains(QStringLiteral("Postponed:")));

        QVERIFY(QFile::remove(filler.fileName()));
        QTRY_VERIFY_WITH_TIMEOUT(messageIds(m_server.Folders().OutgoingArchive()).contains(id), 15000);
        QVERIFY(!queueIds().contains(id));
        QCOMPARE(tiffPages(spoolRoot() + QStringLiteral("/sent/%1.tiff").arg(id)), 3);
    }

    // SVG bodies are drawn from their own bytes: a reference to a pipe does not block, a
    // reference to a readable image is not pulled in; both are refused with the reason.
    void svgBodiesReferToNothingOutside()
    {
        const QString fifo = QDir::tempPath() + QStringLiteral("/pipe");
        QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
        const QString png = QDir::tempPath() + QStringLiteral("/secret.png");
        QImage secret(40, 40, QImage::Format_RGB32);
        secret.fill(Qt::black);
        QVERIFY(secret.save(png));
        const QStringList hostile{
            QStringLiteral("<image href=\"%1\" width=\"100\" height=\"100\"/>").arg(fifo),
            QStringLiteral("<image xlink:href=\"file://%1\" width=\"100\" height=\"100\"/>").arg(png),
            QStringLiteral("<image href=\"secret.png\" width=\"100\" height=\"100\"/>"),
            QStringLiteral("<rect width=\"9\" height=\"9\" style=\"fill:url(%1)\"/>").arg(png),
        };
        for (int i = 0; i < hostile.size(); ++i)
            expectRefusal(rawDocument(writeSvg(QStringLiteral("h%1.svg").arg(i), hostile.at(i))), QStringLiteral("RenderFailed"), QStringLiteral("must not refer to other files"));
        const QString entity = writeTextFile(QStringLiteral("entity.svg"),
                                             QStringLiteral("<?xml version=\"1.0\"?><!DOCTYPE svg [<!ENTITY x SYSTEM \"%1\">]>"
                                                            "<svg xmlns=\"http://www.w3.org/2000/svg\"><text>&x;</text></svg>").arg(png));
        QCOMPARE(submitError(rawDocument(entity)), QStringLiteral("RenderFailed"));
        // A self-contained SVG with an inline image and a local fragment is sent.
        const QString fine = writeSvg(QStringLiteral("fine.svg"),
                                      QStringLiteral("<defs><rect id=\"r\" width=\"5\" height=\"5\"/></defs><use href=\"#r\"/>"
                                                     "<rect width=\"9\" height=\"9\" style=\"fill:url(#r)\"/>"));
        QCOMPARE(submitError(rawDocument(fine)), QString());
        QVERIFY(serviceRunning());
    }

    // A render past its time limit is stopped: the client hears why, nothing is queued and
    // the render's files go; the service answers others meanwhile.
    void renderPastItsTimeIsStopped()
    {
        const QString big = writeTextFile(QStringLiteral("long.txt"), QStringLiteral("line of a very long text\n").repeated(60 * 3000));
        const QStringList before = queueIds();
        expectRefusal(rawDocument(big, 3), QStringLiteral("RenderFailed"), QStringLiteral("took longer than 6 seconds"));
        for (const QString &id : queueIds())
            QVERIFY2(before.contains(id), qPrintable(id));
        QTRY_COMPARE_WITH_TIMEOUT(QDir(spoolRoot() + QStringLiteral("/queue")).entryList({QStringLiteral("*.part")}, QDir::Files), QStringList(), 20000);
        QCOMPARE(QDir(spoolRoot() + QStringLiteral("/submissions")).entryList(QDir::Dirs | QDir::NoDotAndDotDot), QStringList());
    }

    // Renders beyond one per core wait their turn instead of all running at once.
    void concurrentRendersAreBoundedByTheCores()
    {
        // Render workers are the service's threads named QThread (Qt's own pools are named
        // otherwise and come and go with image work).
        const auto threadsOf = [](uint pid) {
            int workers = 0;
            for (const QString &task : QDir(QStringLiteral("/proc/%1/task").arg(pid)).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
                QFile comm(QStringLiteral("/proc/%1/task/%2/comm").arg(pid).arg(task));
                if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == "QThread")
                    ++workers;
            }
            return workers;
        };
        queueIds();
        const uint pid = bus()->servicePid(QStringLiteral("org.sendmere.Fax"));
        const int idle = threadsOf(pid);
        const int cores = std::max(1, QThread::idealThreadCount());
        const QString body = writeTextFile(QStringLiteral("many.txt"), QStringLiteral("a line of text\n").repeated(60 * 400));
        QList<QDBusPendingCall> calls;
        for (int i = 0; i < cores + 3; ++i)
            calls.append(busAsyncCall(QStringLiteral("Submit"), {rawDocument(body)}));
        int most = 0;
        for (int sample = 0; sample < 20; ++sample) {
            QTest::qWait(100);
            most = std::max(most, threadsOf(pid));
        }
        QVERIFY2(most > idle, "no render ran");
        // Each render codes its pages on a second thread of its own.
        QVERIFY2(most <= idle + 2 * cores, qPrintable(QStringLiteral("%1 threads, %2 when idle, %3 cores").arg(most).arg(idle).arg(cores)));
        for (QDBusPendingCall &call : calls)
            call.waitForFinished();
    }

    // A copy never destroys what it replaces by mistake: not the fax's own image, not a
    // device node, not a pipe (that would block), not through a symbolic link. A regular file
    // is replaced whole.
    void copyRefusesWhatItMustNotReplace()
    {
        const QString id = submitLater(m_server, QStringLiteral("copy.txt"));
        const QString own = spoolRoot() + QStringLiteral("/queue/%1.tiff").arg(id);
        const FaxOutgoingJob job = m_server.Folders().OutgoingQueue().GetJob(id);
        const QString fifo = QDir::tempPath() + QStringLiteral("/copy-pipe");
        QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
        const QString link = QDir::tempPath() + QStringLiteral("/copy-link");
        QVERIFY(QFile::link(QDir::tempPath() + QStringLiteral("/elsewhere.tiff"), link));
        const QList<std::pair<QString, int>> refused{{own, 70}, {spoolRoot() + QStringLiteral("/spool.db"), 70},
                                                     {QStringLiteral("/dev/null"), 75}, {fifo, 75}, {link, 75}};
        for (const auto &[target, number] : refused)
            expectError([&] { job.CopyTiff(target); }, number, target);
        QCOMPARE(tiffPages(own), 1);
        struct stat st {};
        QVERIFY(::stat("/dev/null", &st) == 0 && S_ISCHR(st.st_mode));
        QVERIFY(!QFileInfo::exists(QDir::tempPath() + QStringLiteral("/elsewhere.tiff")));
        const QString target = QDir::tempPath() + QStringLiteral("/copy.tiff");
        writeTextFile(QStringLiteral("copy.tiff"), QStringLiteral("old contents, longer than nothing"));
        job.CopyTiff(target);
        QCOMPARE(tiffPages(target), 1);
        QCOMPARE(QDir(QDir::tempPath()).entryList({QStringLiteral("copy.tiff?*")}, QDir::Files | QDir::Hidden), QStringList());
    }

    // The limits of one submission, each with its reason, on both sides of the boundary.
    void submissionsPastTheLimitsAreRefused()
    {
        const QString body = writeTextFile(QStringLiteral("limits.txt"), QStringLiteral("x\n"));
        expectRefusal(rawDocument(body, 101), QStringLiteral("InvalidArgument"), QStringLiteral("at most 100"));
        // 100 recipients are taken: what is refused is the note checked after them.
        QVariantMap fullList = rawDocument(body, 100);
        fullList.insert(QStringLiteral("Note"), QString(10001, u'n'));
        expectRefusal(fullList, QStringLiteral("InvalidArgument"), QStringLiteral("The note is 10001 characters long"));
        QVariantMap doc = rawDocument(body);
        doc.insert(QStringLiteral("Note"), QString(10001, u'n'));
        expectRefusal(doc, QStringLiteral("InvalidArgument"), QStringLiteral("The note is 10001 characters long; at most 10000"));
        doc.insert(QStringLiteral("Note"), QString(10000, u'n'));
        QCOMPARE(submitError(doc), QString());
        doc.remove(QStringLiteral("Note"));
        doc.insert(QStringLiteral("Sender"), QVariantMap{{QStringLiteral("TSID"), QString(101, u't')}});
        expectRefusal(doc, QStringLiteral("InvalidArgument"), QStringLiteral("TSID"));
        doc.insert(QStringLiteral("Sender"), QVariantMap{{QStringLiteral("TSID"), QString(100, u't')}});
        QCOMPARE(submitError(doc), QString());
        doc.insert(QStringLiteral("Subject"), QString(1001, u's'));
        QCOMPARE(submitError(doc), QStringLiteral("InvalidArgument"));
    }

    // A client's submission id makes a retry safe: the same id gets the jobs made before,
    // also while the first submission is still rendering.
    void submissionIdMakesRetriesIdempotent()
    {
        QVariantMap doc = rawDocument(writePdf(QStringLiteral("retry.pdf"), 3), 2);
        doc.insert(QStringLiteral("SubmissionId"), QStringLiteral("retry-1"));
        doc.insert(QStringLiteral("ScheduleType"), 1);
        doc.insert(QStringLiteral("ScheduleTime"), QDateTime::currentMSecsSinceEpoch() + 3600000);
        QDBusPendingReply<QStringList> first = busAsyncCall(QStringLiteral("Submit"), {doc});
        QDBusPendingReply<QStringList> second = busAsyncCall(QStringLiteral("Submit"), {doc});
        first.waitForFinished();
        second.waitForFinished();
        QVERIFY2(first.isValid(), qPrintable(first.error().message()));
        QCOMPARE(first.value().size(), 2);
        QCOMPARE(second.value(), first.value());
        QCOMPARE(finalSubmissionState(QStringLiteral("retry-1")).value(QStringLiteral("State")).toString(), QStringLiteral("queued"));
        const QDBusMessage third = busCall(QStringLiteral("Submit"), {doc});
        QCOMPARE(third.arguments().value(0).toStringList(), first.value());
        QCOMPARE(queueIds().filter(first.value().first()).size(), 1);
        QCOMPARE(queueIds().filter(first.value().last()).size(), 1);
        doc.insert(QStringLiteral("SubmissionId"), QStringLiteral("retry-2"));
        QVERIFY(busCall(QStringLiteral("Submit"), {doc}).arguments().value(0).toStringList() != first.value());
    }

    // Values that used to be taken loosely get a clear error.
    void looseValuesAreRefused()
    {
        const QString body = writeTextFile(QStringLiteral("loose.txt"), QStringLiteral("x\n"));
        QVariantMap doc = rawDocument(body);
        doc.insert(QStringLiteral("ScheduleType"), 1);
        doc.insert(QStringLiteral("ScheduleTime"), std::numeric_limits<qint64>::max());
        expectRefusal(doc, QStringLiteral("InvalidArgument"), QStringLiteral("more than a year ahead"));
        doc.remove(QStringLiteral("ScheduleTime"));
        expectRefusal(doc, QStringLiteral("InvalidArgument"), QStringLiteral("time is missing"));
        doc.insert(QStringLiteral("ScheduleType"), 0);
        doc.insert(QStringLiteral("Body"), QStringLiteral("etc/hostname"));
        expectRefusal(doc, QStringLiteral("InvalidArgument"), QStringLiteral("no absolute file path"));
        doc.insert(QStringLiteral("Body"), body);
        doc.insert(QStringLiteral("CoverPageType"), 2);
        doc.insert(QStringLiteral("CoverPage"), QStringLiteral("../../../../../../../../tmp/x.svg"));
        writeSvg(QStringLiteral("x.svg"), QString());
        expectRefusal(doc, QStringLiteral("InvalidArgument"), QStringLiteral("leaves the cover page folder"));
        QCOMPARE(busCall(QStringLiteral("Ring"), {1, QStringLiteral("555"), QStringLiteral("etc/hostname")}).errorName(),
                 ErrorPrefix + QStringLiteral("InvalidArgument"));

        // A fax number is text a line can dial; a caller's number is at most 20 characters.
        const auto withNumber = [&](const QVariant &number) {
            QVariantMap numbered = rawDocument(body);
            numbered.insert(QStringLiteral("Recipients"),
                            QVariantList{QVariantMap{{QStringLiteral("FaxNumber"), number}, {QStringLiteral("Name"), QStringLiteral("R")}}});
            return numbered;
        };
        expectRefusal(withNumber(QStringList{QStringLiteral("5550100"), QStringLiteral("5550101")}), QStringLiteral("InvalidArgument"),
                      QStringLiteral("not text"));
        expectRefusal(withNumber(QStringLiteral("abc")), QStringLiteral("InvalidArgument"), QStringLiteral("cannot be dialled"));
        expectRefusal(withNumber(QStringLiteral("--")), QStringLiteral("InvalidArgument"), QStringLiteral("has no digit"));
        expectRefusal(withNumber(QStringLiteral("1").repeated(41)), QStringLiteral("InvalidArgument"), QStringLiteral("at most 40"));
        QCOMPARE(submitError(withNumber(QStringLiteral("1").repeated(40))), QString());
        QCOMPARE(submitError(withNumber(QStringLiteral("+1 (555) 010-0100,,#12"))), QString());
        const QString ring = writeTextFile(QStringLiteral("caller.txt"), QStringLiteral("x\n"));
        const QDBusMessage longCaller = busCall(QStringLiteral("Ring"), {1, QStringLiteral("5").repeated(5000), ring});
        QCOMPARE(longCaller.errorName(), ErrorPrefix + QStringLiteral("InvalidArgument"));
        QVERIFY2(longCaller.errorMessage().contains(QStringLiteral("at most 20")), qPrintable(longCaller.errorMessage()));
    }

    // A ringing call's document is rendered beside the service's thread: another client is
    // answered while it renders, before the ring's own reply.
    void ringRendersBesideTheService()
    {
        const QString doc = writeTextFile(QStringLiteral("ring.txt"), QStringLiteral("incoming line\n").repeated(60 * 300));
        QDBusPendingCall pending = busAsyncCall(QStringLiteral("Ring"), {1, QStringLiteral("5550199"), doc});
        QTest::qWait(100);
        QCOMPARE(busCall(QStringLiteral("ListJobs"), {}).type(), QDBusMessage::ReplyMessage);
        QVERIFY(!pending.isFinished());
        pending.waitForFinished();
        QVERIFY2(!pending.isError(), qPrintable(pending.error().message()));
        const QString incoming = busCall(QStringLiteral("AnswerCall"), {1}).arguments().value(0).toString();
        QVERIFY(!incoming.isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(messageIds(m_server.Folders().IncomingArchive()).contains(incoming), 20000);
    }

    // A starting service waits for one that is ending (it holds the spool until it has gone);
    // while the service of another session holds it, this session is told so plainly, and
    // its own service takes over once the other has let go.
    void spoolHeldByAnotherServiceIsWaitedForOrNamed()
    {
        killService();
        QLockFile held(spoolRoot() + QStringLiteral("/spool.lock"));
        held.setStaleLockTime(0);
        QVERIFY(held.tryLock(0));
        std::thread release([&] {
            QThread::msleep(1500);
            held.unlock();
        });
        const QStringList ids = queueIds();  // starts the service, which waits for the spool
        release.join();
        QVERIFY(serviceRunning());
        QVERIFY(!ids.isEmpty());

        killService();
        QVERIFY(held.tryLock(0));
        expectError([&] { queueIds(); }, 462,
                    QStringLiteral("Your fax service runs in another session (process %1)").arg(QCoreApplication::applicationPid()));
        held.unlock();
        QTRY_VERIFY_WITH_TIMEOUT(busCall(QStringLiteral("ListJobs"), {}).type() == QDBusMessage::ReplyMessage, 10000);
        QCOMPARE(queueIds(), ids);
    }
};

QTEST_MAIN(TestFaxFaults)
#include "tst_faxfaults.moc"
