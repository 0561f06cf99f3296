// Live mirroring of the fax service's outgoing traffic into the mail folders by the program itself.
#include "SessionMirrorKit.h"
#include "bridge/COwnFaxEventer.h"
#include "bridge/frmtest.h"
#include "wizard/frmFinish.h"

using namespace sendmere;
using namespace sendmere::test;
using mail::FolderOutbox, mail::FolderSentItems;

namespace {

// A fax due tomorrow, so that it stays in the queue.
QString queueForTomorrow(fax::FaxServer &server, const QString &subject) {
    fax::FaxDocument doc;
    doc.Recipients.Add(u"444"_s, u"Dan"_s);
    doc.Subject = subject;
    doc.ScheduleType = fax::ScheduleSpecificTime;
    doc.ScheduleTime = QDateTime::currentDateTime().addDays(1);
    writeFile(doc.Body = QDir::tempPath() + u"/body.txt"_s, "body\n");
    return doc.ConnectedSubmit(server).first();
}

int itemsWith(int folder, const QString &subject) { return int(faxIds(folder, subject).size()); }

}  // namespace

class TestMirror : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() {
        writeFaxdConfig(2.0);  // jobs due now dial after two seconds
        useCoverPageDirectories(coverBase());
        registerTiffViewer(u"/usr/bin/tiffview %1"_s);
        mCommon::Start(false);  // the temporary directory the fax images are copied to
    }
    void init() { clearErrorLog(), emptyMailStore(); }
    void cleanup() { releaseAllPages(), faxJob().PreviewSink.reset(); }

    void knownJobsSweepKeepsTheOrder() {
        KnownJobList known;
        for (const QString &id : {u"a"_s, u"b"_s, u"c"_s, u"d"_s}) known.add(id, known.count() + 1);
        known.markAllUnseen();
        known.setPosition(u"a"_s, 1);
        known.setPosition(u"d"_s, 2);
        QCOMPARE(known.takeUnseen(), (QStringList{u"b"_s, u"c"_s}));
        QCOMPARE(known.ids(), (QStringList{u"a"_s, u"d"_s}));
        QVERIFY(!known.contains(u"b"_s));
        known.add(u"e"_s, 3);
        known.markAllUnseen();
        known.setPosition(u"e"_s, 1);
        QCOMPARE(known.takeUnseen(), (QStringList{u"a"_s, u"d"_s}));
        QCOMPARE(known.ids(), QStringList{u"e"_s});
    }

    // Outbox items come and go with the jobs (in preview mode they stay); a stopped or dead service loses none.
    void thePollReportsJobsThatComeAndGo() {
        fax::FaxServer server;
        server.Connect(QString());
        const QString early = queueForTomorrow(server, u"Early"_s);
        COwnFaxEventer eventer;
        QVERIFY(eventer.knownJobs().ids().contains(early) && eventer.RaiseFaxEvent());
        QCOMPARE(itemsWith(FolderOutbox, u"Early"_s), 0);

        const QString c = queueForTomorrow(server, u"Third"_s), d = queueForTomorrow(server, u"Fourth"_s);
        QVERIFY(eventer.RaiseFaxEvent() && eventer.RaiseFaxEvent());
        QCOMPARE(faxIds(FolderOutbox, u"Third"_s), QStringList{c});
        QCOMPARE(faxIds(FolderOutbox, u"Fourth"_s), QStringList{d});
        QCOMPARE(itemCount(FolderOutbox), 2);
        // Two jobs, next to each other in the list, leave in the same second.
        server.Folders().OutgoingQueue().GetJob(c).Cancel();
        server.Folders().OutgoingQueue().GetJob(d).Cancel();
        QVERIFY(eventer.RaiseFaxEvent());
        QCOMPARE(itemCount(FolderOutbox), 0);
        QCOMPARE(eventer.knownJobs().ids(), QStringList{early});

        const QString kept = queueForTomorrow(server, u"Kept"_s), e = queueForTomorrow(server, u"Fifth"_s);
        QVERIFY(eventer.RaiseFaxEvent());
        faxJob().PreviewMode = VbTrue;
        server.Folders().OutgoingQueue().GetJob(e).Cancel();
        QVERIFY(eventer.RaiseFaxEvent() && !eventer.knownJobs().contains(e));
        QCOMPARE(itemsWith(FolderOutbox, u"Fifth"_s), 1);
        faxJob().PreviewMode = VbFalse;
        server.Folders().OutgoingQueue().GetJob(early).Cancel();
        QVERIFY2(errorLogLines().isEmpty(), qPrintable(errorLogLines().join(u'\n')));

        signalFaxService(SIGSTOP);
        QVERIFY(!eventer.RaiseFaxEvent());
        signalFaxService(SIGCONT);
        QCOMPARE(errorLogLines().size(), 1);
        QVERIFY(errorLogLines().first().startsWith(u"462,"_s) && errorLogLines().first().contains(u"\"mEventer.RaiseFaxEventer\""_s));
        QVERIFY(eventer.knownJobs().contains(kept) && eventer.RaiseFaxEvent());
        QCOMPARE(itemsWith(FolderOutbox, u"Kept"_s), 1);
        signalFaxService(SIGKILL);
        QVERIFY(eventer.RaiseFaxEvent() && faxServiceRunning());
        QCOMPARE(itemsWith(FolderOutbox, u"Kept"_s), 1);
        QCOMPARE(eventer.knownJobs().ids(), QStringList{kept});
        server.Folders().OutgoingQueue().GetJob(kept).Cancel();
        QVERIFY(eventer.RaiseFaxEvent());
        QCOMPARE(itemsWith(FolderOutbox, u"Kept"_s), 0);
    }

    // From the first preview on, other programs' faxes are mirrored, also after the service died.
    void afterAPreviewOtherProgramsFaxesAreMirrored() {
        RecordingSeams seams;
        writeFile(QDir::tempPath() + u"/preview.txt"_s, "preview\n");
        jobToAnn(coverBase() + u"/personal/none.svg"_s, false, QDir::tempPath() + u"/preview.txt"_s);
        frmFinish &finish = shownPage<frmFinish>();
        QTRY_VERIFY(finish.isActiveWindow());
        QTest::mouseClick(finish.btnPreview, Qt::LeftButton);
        QTRY_COMPARE(seams.recorded().opened.size(), 1);
        QVERIFY(existingPage<frmtest>() && existingPage<frmtest>()->Tim->isActive());

        for (int round = 1; round <= 2; ++round) {
            const QString subject = u"From the console %1"_s.arg(round);
            QVERIFY(console({u"send"_s, u"--to"_s, u"555"_s, u"--subject"_s, subject, QDir::tempPath() + u"/preview.txt"_s}));
            QTRY_COMPARE(itemsWith(FolderOutbox, subject), 1);
            QTRY_COMPARE_WITH_TIMEOUT(itemsWith(FolderSentItems, subject), 1, 15000);
            QTRY_COMPARE(itemsWith(FolderOutbox, subject), 0);
            QTest::qWait(1500);  // more polls and events change nothing
            QCOMPARE(itemsWith(FolderSentItems, subject), 1);
            fax::FaxServer server;
            server.Connect(QString());
            server.Folders().OutgoingArchive().GetMessage(faxIds(FolderSentItems, subject).first()).Delete();
            QTRY_COMPARE(itemsWith(FolderSentItems, subject), 0);
            if (round == 1) {
                signalFaxService(SIGKILL);
                QTest::qWait(2500);  // polls meet the dead service
                QVERIFY(existingPage<frmtest>()->Tim->isActive());
            }
        }
        faxJob().PreviewSink.reset();  // releasing the sink stops the poll
        QVERIFY(!existingPage<frmtest>());
    }

    // "recv" answers the ringing line; the received fax is an Inbox item after the import.
    void aReceivedFaxEndsInTheInbox() {
        RecordingSeams seams;
        const QStringList before = receivedIds();
        writeFile(QDir::tempPath() + u"/incoming.txt"_s, "an incoming fax\n");
        fax::FaxServer server;
        server.Connect(QString());
        server.GetDevices().Item(1).SimulateIncomingCall(u"5550777"_s, QDir::tempPath() + u"/incoming.txt"_s);
        runEntry(u"recv"_s);
        QTRY_COMPARE_WITH_TIMEOUT(receivedIds().size(), before.size() + 1, 15000);
        QStringList received = receivedIds();
        received.removeIf([&](const QString &id) { return before.contains(id); });
        QVERIFY(received.size() == 1 && !faxIds(mail::FolderInbox, u"Fax"_s).contains(received[0]));
        runEntry(u"import"_s);
        QTRY_COMPARE_WITH_TIMEOUT(seams.recorded().exitCodes, QList<int>{0}, 60000);
        QCOMPARE(faxIds(mail::FolderInbox, u"Fax"_s).count(received[0]), 1);
    }
};

QTEST_MAIN(TestMirror)
#include "tst_mirror.moc"
