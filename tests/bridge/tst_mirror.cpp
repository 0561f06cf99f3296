// Live mirroring of the fax service's outgoing traffic into the mail folders: the own
// eventer's poll bookkeeping, the event sink after a preview with faxes from another
// program, and a fax service that stops or dies while the program listens.
#include "BridgeTestKit.h"
#include "MailCheck.h"
#include "TestSeams.h"
#include "TestSupport.h"
#include "WizardTestKit.h"
#include "bridge/COwnFaxEventer.h"
#include "bridge/cFaxEvent.h"
#include "bridge/frmtest.h"
#include "app/Init.h"
#include "wizard/frmFinish.h"

#include <QProcess>
#include <QPushButton>

using namespace sendmere;
using mail::FolderOutbox;
using mail::FolderSentItems;

namespace {

// A fax due tomorrow, so that it stays in the queue.
QString queueForTomorrow(fax::FaxServer &server, const QString &subject) {
    fax::FaxDocument doc;
    doc.Recipients.Add(QStringLiteral("444"), QStringLiteral("Dan"));
    doc.Subject = subject;
    doc.ScheduleType = fax::ScheduleSpecificTime;
    doc.ScheduleTime = QDateTime::currentDateTime().addDays(1);
    doc.Body = QDir::tempPath() + QStringLiteral("/body.txt");
    test::writeFile(doc.Body, "body\n");
    return doc.ConnectedSubmit(server).first();
}

// "sendmere-fax send" as another program would run it.
void sendWithConsole(const QString &subject) {
    const QString body = QDir::tempPath() + QStringLiteral("/console.txt");
    test::writeFile(body, "from the console\n");
    QProcess console;
    console.start(test::binDir() + QStringLiteral("/sendmere-fax"),
                  {QStringLiteral("send"), QStringLiteral("--to"), QStringLiteral("555"), QStringLiteral("--subject"), subject, body});
    QVERIFY(console.waitForFinished(60000));
    QCOMPARE(console.exitCode(), 0);
}

int itemsWith(int folder, const QString &subject) { return int(test::faxIds(folder, subject).size()); }

}  // namespace

class TestMirror : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() {
        // Jobs due now dial after two seconds and are sent at once after that.
        test::writeFaxdConfig(2.0);
        test::useCoverPageDirectories(test::coverBase());
        test::registerTiffViewer(QStringLiteral("/usr/bin/tiffview %1"));
        mCommon::Start(false);  // the temporary directory the fax images are copied to
    }
    void init() {
        test::clearErrorLog();
        test::emptyMailStore();
    }
    void cleanup() {
        test::releaseAllPages();
        faxJob().PreviewSink.reset();
        faxJob().PreviewFile.clear();
        faxJob().PreviewMode = VbFalse;
    }

    void knownJobsSweepKeepsTheOrder() {
        KnownJobList known;
        for (const char *id : {"a", "b", "c", "d"}) known.add(QString::fromLatin1(id), known.count() + 1);
        known.markAllUnseen();
        known.setPosition(QStringLiteral("a"), 1);
        known.setPosition(QStringLiteral("d"), 2);
        QCOMPARE(known.takeUnseen(), (QStringList{QStringLiteral("b"), QStringLiteral("c")}));
        QCOMPARE(known.ids(), (QStringList{QStringLiteral("a"), QStringLiteral("d")}));
        QVERIFY(!known.contains(QStringLiteral("b")));
        known.add(QStringLiteral("e"), 3);
        known.markAllUnseen();
        known.setPosition(QStringLiteral("e"), 1);
        QCOMPARE(known.takeUnseen(), (QStringList{QStringLiteral("a"), QStringLiteral("d")}));
        QCOMPARE(known.ids(), QStringList{QStringLiteral("e")});
    }

    void thePollReportsJobsThatComeAndGo() {
        fax::FaxServer server;
        server.Connect(QString());
        const QString early = queueForTomorrow(server, QStringLiteral("Early"));
        COwnFaxEventer eventer;
        QVERIFY(eventer.knownJobs().ids().contains(early));
        QVERIFY(eventer.RaiseFaxEvent());
        QCOMPARE(itemsWith(FolderOutbox, QStringLiteral("Early")), 0);  // queued before the eventer

        const QString c = queueForTomorrow(server, QStringLiteral("Third"));
        const QString d = queueForTomorrow(server, QStringLiteral("Fourth"));
        QVERIFY(eventer.RaiseFaxEvent());
        QCOMPARE(test::faxIds(FolderOutbox, QStringLiteral("Third")), QStringList{c});
        QCOMPARE(test::faxIds(FolderOutbox, QStringLiteral("Fourth")), QStringList{d});
        QVERIFY(eventer.RaiseFaxEvent());
        QCOMPARE(test::itemCount(FolderOutbox), 2);

        // Two jobs, next to each other in the list, leave in the same second.
        server.Folders().OutgoingQueue().GetJob(c).Cancel();
        server.Folders().OutgoingQueue().GetJob(d).Cancel();
        QVERIFY(eventer.RaiseFaxEvent());
        QCOMPARE(test::itemCount(FolderOutbox), 0);
        QCOMPARE(eventer.knownJobs().ids(), QStringList{early});

        // In preview mode a job that leaves keeps its item.
        const QString e = queueForTomorrow(server, QStringLiteral("Fifth"));
        QVERIFY(eventer.RaiseFaxEvent());
        QCOMPARE(itemsWith(FolderOutbox, QStringLiteral("Fifth")), 1);
        faxJob().PreviewMode = VbTrue;
        server.Folders().OutgoingQueue().GetJob(e).Cancel();
        QVERIFY(eventer.RaiseFaxEvent());
        QCOMPARE(itemsWith(FolderOutbox, QStringLiteral("Fifth")), 1);
        QVERIFY(!eventer.knownJobs().contains(e));
        faxJob().PreviewMode = VbFalse;
        server.Folders().OutgoingQueue().GetJob(early).Cancel();
        QVERIFY2(test::errorLogLines().isEmpty(), qPrintable(test::errorLogLines().join(u'\n')));
    }

    // A service that stops answering fails the poll, which logs and reports nothing as gone;
    // one that dies is started again by the next poll.
    void aStoppedOrKilledServiceNeverLosesAQueuedJob() {
        fax::FaxServer server;
        server.Connect(QString());
        COwnFaxEventer eventer;
        const QString kept = queueForTomorrow(server, QStringLiteral("Kept"));
        QVERIFY(eventer.RaiseFaxEvent());
        QCOMPARE(itemsWith(FolderOutbox, QStringLiteral("Kept")), 1);

        test::signalFaxService(SIGSTOP);
        QVERIFY(!eventer.RaiseFaxEvent());
        test::signalFaxService(SIGCONT);
        QCOMPARE(test::errorLogLines().size(), 1);
        QVERIFY(test::errorLogLines().first().startsWith(QStringLiteral("462,")));
        QVERIFY(test::errorLogLines().first().contains(QStringLiteral("\"mEventer.RaiseFaxEventer\"")));
        QVERIFY(eventer.knownJobs().contains(kept));
        QVERIFY(eventer.RaiseFaxEvent());
        QCOMPARE(itemsWith(FolderOutbox, QStringLiteral("Kept")), 1);

        test::signalFaxService(SIGKILL);
        QVERIFY(eventer.RaiseFaxEvent());
        QVERIFY(test::faxServiceRunning());
        QCOMPARE(itemsWith(FolderOutbox, QStringLiteral("Kept")), 1);
        QCOMPARE(eventer.knownJobs().ids(), QStringList{kept});
        server.Folders().OutgoingQueue().GetJob(kept).Cancel();
        QVERIFY(eventer.RaiseFaxEvent());
        QCOMPARE(itemsWith(FolderOutbox, QStringLiteral("Kept")), 0);
    }

    // From the first preview on, faxes other programs send are mirrored: one Outbox item
    // while queued, then one Sent Items item; deleting the archived fax removes it. The
    // service dying meanwhile changes nothing once it is back.
    void afterAPreviewOtherProgramsFaxesAreMirrored() {
        test::RecordingSeams seams;
        const QString attachment = QDir::tempPath() + QStringLiteral("/preview.txt");
        test::writeFile(attachment, "preview\n");
        test::jobToAnn(test::coverBase() + QStringLiteral("/personal/none.svg"), false, attachment);
        frmFinish &finish = page<frmFinish>();
        finish.showPage();
        QTRY_VERIFY(finish.isActiveWindow());
        QTest::mouseClick(finish.btnPreview, Qt::LeftButton);
        QTRY_COMPARE(seams.recorded().opened.size(), 1);
        QVERIFY(existingPage<frmtest>() && existingPage<frmtest>()->Tim->isActive());

        for (int round = 1; round <= 2; ++round) {
            const QString subject = QStringLiteral("From the console %1").arg(round);
            sendWithConsole(subject);
            QTRY_COMPARE(itemsWith(FolderOutbox, subject), 1);
            QTRY_COMPARE_WITH_TIMEOUT(itemsWith(FolderSentItems, subject), 1, 15000);
            QTRY_COMPARE(itemsWith(FolderOutbox, subject), 0);
            QTest::qWait(1500);  // more polls and events change nothing
            QCOMPARE(itemsWith(FolderSentItems, subject), 1);
            const QString id = test::faxIds(FolderSentItems, subject).first();

            fax::FaxServer server;
            server.Connect(QString());
            server.Folders().OutgoingArchive().GetMessage(id).Delete();
            QTRY_COMPARE(itemsWith(FolderSentItems, subject), 0);
            if (round == 1) {
                test::signalFaxService(SIGKILL);
                QTest::qWait(2500);  // polls meet the dead service
                QVERIFY(existingPage<frmtest>()->Tim->isActive());
            }
        }
        // Releasing the sink stops the poll.
        faxJob().PreviewSink.reset();
        QVERIFY(!existingPage<frmtest>());
    }

    // "recv" answers the ringing line; the received fax is an Inbox item after the import.
    void aReceivedFaxEndsInTheInbox() {
        test::RecordingSeams seams;
        fax::FaxServer server;
        server.Connect(QString());
        const QStringList before = test::archivedIds(server.Folders().IncomingArchive());
        const QString document = QDir::tempPath() + QStringLiteral("/incoming.txt");
        test::writeFile(document, "an incoming fax\n");
        server.GetDevices().Item(1).SimulateIncomingCall(QStringLiteral("5550777"), document);
        runEntry(QStringLiteral("recv"));
        QTRY_COMPARE_WITH_TIMEOUT(test::archivedIds(server.Folders().IncomingArchive()).size(), before.size() + 1, 15000);
        QString received;
        for (const QString &id : test::archivedIds(server.Folders().IncomingArchive()))
            if (!before.contains(id)) received = id;
        QVERIFY(!test::faxIds(mail::FolderInbox, QStringLiteral("Fax")).contains(received));

        runEntry(QStringLiteral("import"));
        QTRY_COMPARE_WITH_TIMEOUT(seams.recorded().exitCodes, QList<int>{0}, 60000);
        QCOMPARE(test::faxIds(mail::FolderInbox, QStringLiteral("Fax")).count(received), 1);
    }
};

QTEST_MAIN(TestMirror)
#include "tst_mirror.moc"
