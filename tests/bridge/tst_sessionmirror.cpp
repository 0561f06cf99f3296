// sendmere-mirror as the user's session runs it, with the real fax service on the test's
// private bus and the real Maildir: faxes sent with the console reach Outbox, Sent Items and
// the Inbox without any import, and a removed fax loses its item; a second mirror ends at
// once; the service may end when idle and come back, and the mirror follows it; a mirror
// killed in the middle of the traffic and started again leaves exactly one item per fax.
#include "BridgeTestKit.h"
#include "RegistryStore.h"
#include "MailCheck.h"
#include "SessionMirrorKit.h"
#include "TestSeams.h"
#include "TestSupport.h"
#include "WizardTestKit.h"
#include "app/Init.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QSettings>
#include <QSet>
#include <csignal>
#include <optional>

using namespace sendmere;
using namespace Qt::StringLiterals;
using test::console;
using test::MirrorProcess;
using test::mirrorRunning;
using test::receivedIds;
using test::sendFax;
using test::waitFor;

namespace {

using test::folderDir;
using test::mailRoot;

// The "FaxID" of every message file of the folder as another mail reader finds them, by
// their sub-folder: "new/ID" or "cur/ID".
QStringList filedFaxIds(int folder) {
    QStringList ids;
    for (const QString &sub : {u"new"_s, u"cur"_s}) {
        const QDir dir(folderDir(folder) + u'/' + sub);
        for (const QString &name : dir.entryList(QDir::Files, QDir::Name)) {
            const QByteArray bytes = test::readFile(dir.filePath(name));
            const qsizetype at = bytes.indexOf("X-Sendmere-User-Property: FaxID=");
            const QByteArray id = at < 0 ? QByteArray("?") : bytes.mid(at + 32, bytes.indexOf('\n', at) - at - 32).trimmed();
            if (at < 0) qWarning("%s holds no fax item: %s", qPrintable(dir.filePath(name)), bytes.left(1500).constData());
            ids << sub + u'/' + QString::fromUtf8(id);
        }
    }
    ids.sort();
    return ids;
}

QStringList faxIdsIn(int folder) {
    QStringList ids;
    for (const QString &filed : filedFaxIds(folder)) ids << filed.section(u'/', 1);
    ids.sort();
    return ids;
}

}  // namespace

class TestSessionMirror : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() {
        test::writeFaxdConfig(0.5);
        QVERIFY(!test::faxServiceRunning());
        mCommon::Start(false);
    }

    void cleanup() {
        if (!QTest::currentTestFailed()) return;
        const QString log = qEnvironmentVariable("XDG_STATE_HOME") + u"/sendmere/faxd.log"_s;
        qWarning("the fax service's log:\n%s", test::readFile(log).right(4000).constData());
    }

    void mirrorsTheTrafficWithoutAnImport() {
        MirrorProcess mirror;
        QVERIFY(mirror.start());
        // It started the service to catch up with what happened while it was away.
        QVERIFY(waitFor([] { return test::faxServiceRunning(); }));

        // One per user: a second one says so and ends at once.
        QProcess second;
        second.start(test::binDir() + u"/sendmere-mirror"_s, QStringList());
        QVERIFY(second.waitForFinished(10000));
        QVERIFY(second.exitStatus() == QProcess::NormalExit && second.exitCode() != 0);
        QVERIFY2(second.readAllStandardError().contains("another sendmere-mirror already runs"), "no reason given");
        QVERIFY(mirrorRunning());

        // A fax due tomorrow waits in the Outbox; cancelled, its item goes.
        const QString later = sendFax(u"Later"_s, {u"--at"_s, QDateTime::currentDateTime().addDays(1).toString(u"yyyy-MM-ddTHH:mm"_s)});
        QVERIFY(!later.isEmpty());
        QVERIFY(waitFor([&] { return faxIdsIn(mail::FolderOutbox) == QStringList{later}; }));
        QVERIFY(console({u"cancel"_s, later}));
        QVERIFY(waitFor([&] { return faxIdsIn(mail::FolderOutbox).isEmpty(); }));

        // Two faxes over the loopback line: two Sent Items items, two unread Inbox items.
        const QStringList receivedBefore = receivedIds();
        QStringList sent = {sendFax(u"First"_s), sendFax(u"Second"_s)};
        sent.sort();
        QVERIFY(!sent.contains(QString()));
        QVERIFY(waitFor([&] { return receivedIds().size() == receivedBefore.size() + 2; }));
        const QStringList received = receivedIds();
        QVERIFY(waitFor([&] { return faxIdsIn(mail::FolderSentItems) == sent; }));
        QVERIFY(waitFor([&] { return faxIdsIn(mail::FolderInbox) == received; }));
        for (const QString &filed : filedFaxIds(mail::FolderInbox)) QVERIFY2(filed.startsWith(u"new/"_s), qPrintable(filed));
        QVERIFY(waitFor([&] { return faxIdsIn(mail::FolderOutbox).isEmpty(); }));

        // The import finds everything mirrored already.
        {
            test::RecordingSeams seams;
            runEntry(u"import"_s);
            QTRY_COMPARE_WITH_TIMEOUT(seams.recorded().exitCodes, QList<int>{0}, 60000);
        }
        QCOMPARE(faxIdsIn(mail::FolderSentItems), sent);
        QCOMPARE(faxIdsIn(mail::FolderInbox), received);
        QCOMPARE(faxIdsIn(mail::FolderOutbox), QStringList());

        // A fax deleted from the archive takes its item with it.
        QVERIFY(console({u"delete"_s, u"sent"_s, sent[0]}));
        QVERIFY(waitFor([&] { return faxIdsIn(mail::FolderSentItems) == QStringList{sent[1]}; }));
        QVERIFY(console({u"delete"_s, u"received"_s, received[0]}));
        QVERIFY(waitFor([&] { return !faxIdsIn(mail::FolderInbox).contains(received[0]); }));
        QVERIFY(mirrorRunning());
        mCommon::ShutDown();

        // The end of the session ends it cleanly, and the user's default mail client is back.
        mirror.kill(SIGTERM);
        QVERIFY(mirror.process.exitStatus() == QProcess::NormalExit && mirror.process.exitCode() == 0);
        QVERIFY(!mirrorRunning());
        const registry::RegistryStore registry;
        const auto client = registry.value(registry::Root::LocalMachine, u"SOFTWARE\\Clients\\Mail"_s, QString());
        QCOMPARE(client ? client->text : QString(), QString());
    }

    // The service may end when it has nothing to do, and the mirror does not keep it up; when
    // the service comes back, or was killed and is started again, the mirror follows it.
    void followsTheServiceWithoutKeepingItUp() {
        MirrorProcess mirror;
        QVERIFY(mirror.start());
        QVERIFY(waitFor([] { return test::faxServiceRunning(); }));
        // Ended by a kill (once the mirror has nothing left to do: a received fax whose image
        // cannot be copied any more keeps a session item without its fax, as the Inbox
        // member makes it): the next fax starts it again, and is mirrored.
        const auto settled = [] { return faxIdsIn(mail::FolderInbox) == receivedIds(); };
        QVERIFY(waitFor(settled));
        test::signalFaxService(SIGKILL);
        const QString afterKill = sendFax(u"After the kill"_s);
        QVERIFY(!afterKill.isEmpty());
        QVERIFY(waitFor([&] { return faxIdsIn(mail::FolderSentItems).contains(afterKill); }));

        // Idle after a few seconds: it ends although the mirror runs.
        QSettings conf(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + u"/sendmere/faxd.conf"_s,
                       QSettings::IniFormat);
        conf.setValue(u"Service/IdleExitMinutes"_s, 0.05);
        conf.sync();
        QVERIFY(waitFor(settled));
        test::signalFaxService(SIGKILL);
        const QString afterIdle = sendFax(u"Before the idle end"_s);
        QVERIFY(waitFor([&] { return faxIdsIn(mail::FolderSentItems).contains(afterIdle); }));
        QVERIFY2(waitFor([] { return !test::faxServiceRunning(); }, 60000), "the mirror keeps the idle service up");
        QVERIFY(mirrorRunning());
        const QString afterComeback = sendFax(u"After the idle end"_s);
        QVERIFY(waitFor([&] { return faxIdsIn(mail::FolderSentItems).contains(afterComeback); }));
        conf.remove(u"Service/IdleExitMinutes"_s);
        conf.sync();
        QVERIFY(waitFor(settled));
        test::signalFaxService(SIGKILL);
    }

    // Killed at random moments while faxes come and go, and started again: in the end one
    // item per fax in every folder, each whole.
    void aKilledMirrorLeavesOneItemPerFax() {
        const qsizetype receivedBefore = receivedIds().size();
        QStringList sent;
        for (int round = 0; round < 5; ++round) {
            MirrorProcess mirror;
            QVERIFY(mirror.start());
            const QString id = sendFax(u"Round %1"_s.arg(round));
            QVERIFY(!id.isEmpty());
            sent << id;
            QTest::qWait(int(QRandomGenerator::global()->bounded(1500)));
            mirror.kill(SIGKILL);
        }
        MirrorProcess last;
        QVERIFY(last.start());
        sent.sort();
        QVERIFY(waitFor([&] {
            const QStringList have = faxIdsIn(mail::FolderSentItems);
            return std::all_of(sent.begin(), sent.end(), [&](const QString &id) { return have.contains(id); });
        }, 60000));
        // Each fax sent over the loopback line is received as well.
        QVERIFY(waitFor([&] { return receivedIds().size() == receivedBefore + sent.size(); }, 60000));
        QVERIFY2(waitFor([&] { return faxIdsIn(mail::FolderInbox) == receivedIds(); }, 60000),
                 qPrintable(faxIdsIn(mail::FolderInbox).join(u',') + u" / "_s + receivedIds().join(u',')));
        for (int folder : {mail::FolderInbox, mail::FolderSentItems, mail::FolderOutbox, mail::FolderDeletedItems}) {
            const QStringList ids = faxIdsIn(folder);
            QCOMPARE(QSet<QString>(ids.begin(), ids.end()).size(), ids.size());
            QVERIFY2(!ids.contains(u"?"_s), qPrintable(ids.join(u',')));
        }
        QCOMPARE(faxIdsIn(mail::FolderOutbox), QStringList());
    }
};

QTEST_MAIN(TestSessionMirror)
#include "tst_sessionmirror.moc"
