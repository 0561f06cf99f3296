// sendmere-mirror as the user's session runs it, with the real fax service and the real Maildir.
#include "RegistryStore.h"
#include "SessionMirrorKit.h"

#include <QRandomGenerator>

using namespace sendmere;
using namespace sendmere::test;
using mail::FolderInbox, mail::FolderOutbox, mail::FolderSentItems;

namespace {

// The "FaxID" of every message file of the folder, sorted; withSub as "new/ID" or "cur/ID".
QStringList faxIdsIn(int folder, bool withSub = false) {
    QStringList ids;
    for (const QString &sub : {u"new"_s, u"cur"_s}) {
        const QDir dir(folderDir(folder) + u'/' + sub);
        for (const QString &name : dir.entryList(QDir::Files)) {
            const QByteArray bytes = readFile(dir.filePath(name));
            if (faxIdOf(bytes) == u"?"_s) qWarning("%s holds no fax item: %s", qPrintable(name), bytes.left(1500).constData());
            ids << (withSub ? sub + u'/' : QString()) + faxIdOf(bytes);
        }
    }
    ids.sort();
    return ids;
}

bool holds(int folder, const QStringList &ids, int ms = 30000) {
    if (waitFor([&] { return faxIdsIn(folder) == ids; }, ms)) return true;
    qWarning("folder %d holds %s, not %s", folder, qPrintable(faxIdsIn(folder).join(u',')), qPrintable(ids.join(u',')));
    return false;
}

}  // namespace

class TestSessionMirror : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() {
        writeFaxdConfig(0.5);
        QVERIFY(!faxServiceRunning());
        mCommon::Start(false);
    }
    void cleanup() { cleanupPrintsServiceLog(); }

    void mirrorsTheTrafficWithoutAnImport() {
        MirrorProcess mirror;
        QVERIFY(mirror.start());

        // One per user: a second one says so and ends at once.
        QProcess second;
        second.start(binDir() + u"/sendmere-mirror"_s, QStringList());
        QVERIFY(second.waitForFinished(10000) && second.exitStatus() == QProcess::NormalExit && second.exitCode() != 0 && mirrorRunning());
        QVERIFY2(second.readAllStandardError().contains("another sendmere-mirror already runs"), "no reason given");

        // A fax due tomorrow waits in the Outbox; cancelled, its item goes.
        const QString later = sendFax({u"--subject"_s, u"Later"_s, u"--at"_s, QDateTime::currentDateTime().addDays(1).toString(u"yyyy-MM-ddTHH:mm"_s)});
        QVERIFY(!later.isEmpty() && holds(FolderOutbox, {later}));
        QVERIFY(console({u"cancel"_s, later}) && holds(FolderOutbox, {}));

        // Two faxes over the loopback line: two Sent Items items, two unread Inbox items.
        QStringList sent = {sendFax(u"First"_s), sendFax(u"Second"_s)};
        sent.sort();
        QVERIFY(!sent.contains(QString()) && waitFor([&] { return receivedIds().size() == 2; }));
        const QStringList received = receivedIds();
        QVERIFY(holds(FolderSentItems, sent) && holds(FolderInbox, received) && holds(FolderOutbox, {}));
        for (const QString &filed : faxIdsIn(FolderInbox, true)) QVERIFY2(filed.startsWith(u"new/"_s), qPrintable(filed));

        runImport();  // it finds everything mirrored already
        QVERIFY(holds(FolderSentItems, sent, 0) && holds(FolderInbox, received, 0) && holds(FolderOutbox, {}, 0));

        // A fax deleted from the archive takes its item with it.
        QVERIFY(console({u"delete"_s, u"sent"_s, sent[0]}) && holds(FolderSentItems, {sent[1]}));
        QVERIFY(console({u"delete"_s, u"received"_s, received[0]}) && holds(FolderInbox, {received[1]}));
        QVERIFY(mirrorRunning());
        mCommon::ShutDown();

        // The end of the session ends it cleanly, and the user's default mail client is back.
        mirror.kill(SIGTERM);
        QVERIFY(mirror.process.exitStatus() == QProcess::NormalExit && mirror.process.exitCode() == 0 && !mirrorRunning());
        const auto client = registry::RegistryStore().value(registry::Root::LocalMachine, u"SOFTWARE\\Clients\\Mail"_s, QString());
        QCOMPARE(client ? client->text : QString(), QString());
    }

    // The mirror does not keep an idle service up, and follows it when it comes back or was killed.
    void followsTheServiceWithoutKeepingItUp() {
        MirrorProcess mirror;
        QVERIFY(mirror.start());
        // Killed once the mirror has nothing left to do, then started again by the next fax.
        const auto killSettled = [] {
            if (waitFor([] { return faxIdsIn(FolderInbox) == receivedIds(); })) signalFaxService(SIGKILL);
            return !QTest::currentTestFailed() && !faxServiceRunning();
        };
        const auto mirrored = [](const QString &subject) {
            const QString id = sendFax(subject);
            return !id.isEmpty() && waitFor([&] { return faxIdsIn(FolderSentItems).contains(id); });
        };
        QVERIFY(killSettled());
        QVERIFY(mirrored(u"After the kill"_s));

        // Idle after a few seconds: it ends although the mirror runs.
        QSettings conf(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + u"/sendmere/faxd.conf"_s, QSettings::IniFormat);
        conf.setValue(u"Service/IdleExitMinutes"_s, 0.05);
        conf.sync();
        QVERIFY(killSettled());
        QVERIFY(mirrored(u"Before the idle end"_s));
        QVERIFY2(waitFor([] { return !faxServiceRunning(); }, 60000), "the mirror keeps the idle service up");
        QVERIFY(mirrorRunning());
        QVERIFY(mirrored(u"After the idle end"_s));
        conf.remove(u"Service/IdleExitMinutes"_s);
        conf.sync();
        QVERIFY(killSettled());
    }

    // Killed at random moments while faxes come and go, and started again: one whole item per fax.
    void aKilledMirrorLeavesOneItemPerFax() {
        const qsizetype receivedBefore = receivedIds().size();
        QStringList sent;
        for (int round = 0; round < 5; ++round) {
            MirrorProcess mirror;
            QVERIFY(mirror.start());
            sent << sendFax(u"Round %1"_s.arg(round));
            QVERIFY(!sent.last().isEmpty());
            QTest::qWait(int(QRandomGenerator::global()->bounded(1500)));
            mirror.kill(SIGKILL);
        }
        MirrorProcess last;
        QVERIFY(last.start());
        // Each fax sent over the loopback line is received as well.
        QVERIFY(waitFor([&] { return receivedIds().size() == receivedBefore + sent.size(); }, 60000));
        QVERIFY(waitFor([&] { return faxIdsIn(FolderSentItems) == archived(false); }, 60000));
        for (const QString &id : sent) QVERIFY2(archived(false).contains(id), qPrintable(id));
        QVERIFY(holds(FolderInbox, receivedIds(), 60000) && holds(FolderOutbox, {}));
        for (int folder : {FolderInbox, FolderSentItems, mail::FolderDeletedItems}) {
            const QStringList ids = faxIdsIn(folder);
            QCOMPARE(QSet<QString>(ids.begin(), ids.end()).size(), ids.size());
            QVERIFY2(!ids.contains(u"?"_s), qPrintable(ids.join(u',')));
        }
    }
};

QTEST_MAIN(TestSessionMirror)
#include "tst_sessionmirror.moc"
