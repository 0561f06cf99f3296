// sendmere-mirror as the user's session runs it, with the real fax service and the real Maildir, and what the user is told
// through the desktop's notifications (a notification service of the test's own).
#include "BridgeTestKit.h"
#include "DovecotServer.h"
#include "ImapReader.h"
#include "Mirror.h"
#include "NotificationWatcher.h"
#include "RegistryStore.h"
#include "SessionNotices.h"
#include "platform/mail/ImapStore.h"
#include "platform/mail/PendingWrites.h"
#include "platform/shell/DesktopNotifications.h"

#include <QElapsedTimer>
#include <QRandomGenerator>

using namespace sendmere;
using namespace sendmere::mailtest;
using namespace sendmere::test;
using mail::FolderInbox, mail::FolderOutbox, mail::FolderSentItems;

namespace {

// The "FaxID" of every message file of the folder, sorted.
QStringList faxIdsIn(int folder) {
    QStringList ids;
    for (const QString &sub : {u"new"_s, u"cur"_s}) {
        const QDir dir(folderDir(folder) + u'/' + sub);
        for (const QString &name : dir.entryList(QDir::Files)) {
            const QByteArray bytes = readFile(dir.filePath(name));
            if (faxIdOf(bytes) == u"?"_s) qWarning("%s holds no fax item: %s", qPrintable(name), bytes.left(1500).constData());
            ids << faxIdOf(bytes);
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


// The faxes go over a loopback line and through a mail server: room for a loaded machine.
constexpr int FaxWaitMs = 90000;
const QString Inbox = u"INBOX"_s, Outbox = u"Outbox"_s;

// The "FaxID" of each item that waits for the server to go into folder.
QStringList pendingFaxIds(int folder) {
    const mail::PendingWrites pending(mail::ImapStore::defaultPendingDirectory());
    QStringList ids;
    for (const mail::PendingMessage &m : pending.list()) {
        try {
            if (m.folder == folder) ids << faxIdOf(pending.read(m));
        } catch (const AutomationError &) {  // written to the server meanwhile
        }
    }
    return ids;
}

bool allWaiting(const QStringList &ids, int folder) {
    return std::ranges::all_of(ids, [waiting = pendingFaxIds(folder)](const QString &id) { return waiting.contains(id); });
}

}  // namespace

class TestSessionMirror : public QObject {
    Q_OBJECT
    std::unique_ptr<DovecotServer> m_server;
    QString m_sent;  // the server's Sent folder

    // A folder's messages as another mail client reads them now; nothing when it cannot be read.
    std::optional<QList<ImapMessage>> messagesIn(const QString &folder) const {
        ImapReader look(m_server->port, "fax secret");
        return look.ok() ? look.messages(folder) : std::nullopt;
    }
    // The "FaxID" of each message of the folder, sorted; "unreadable" for a folder that cannot be read.
    QStringList serverFaxIds(const QString &folder) const {
        const auto messages = messagesIn(folder);
        QStringList ids = messages ? QStringList() : QStringList{u"unreadable"_s};
        for (const ImapMessage &message : messages.value_or(QList<ImapMessage>{})) ids << faxIdOf(message.bytes);
        ids.sort();
        return ids;
    }
    bool serverHolds(const QString &folder, const QStringList &ids, int ms = FaxWaitMs) const {
        if (waitFor([&] { return serverFaxIds(folder) == ids; }, ms)) return true;
        qWarning("%s holds %s, not %s", qPrintable(folder), qPrintable(serverFaxIds(folder).join(u',')), qPrintable(ids.join(u',')));
        return false;
    }
    // The server's folders hold what the service archived, and its Outbox the jobs left in the queue (the busy number's).
    bool mirrorsTheArchives(int ms = FaxWaitMs) const {
        fax::FaxServer service;
        service.Connect(QString());
        QStringList queued = queuedJobIds(service);
        queued.sort();
        return serverHolds(m_sent, archived(false), ms) && serverHolds(Inbox, receivedIds(), ms) && serverHolds(Outbox, queued, ms);
    }
    // Received faxes are new mail to the server's other clients.
    bool inboxUnread() const {
        const auto inbox = messagesIn(Inbox);
        return inbox && std::ranges::none_of(*inbox, [](const ImapMessage &message) { return message.flags.contains(u"\\Seen"_s); });
    }

private Q_SLOTS:
    void initTestCase() {
        // Busy numbers are tried once more, a moment later; a fax takes no time per page.
        writeFile(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + u"/sendmere/faxd.conf"_s,
                  "[Transmission]\nSecondsPerPage=0\nDialDelaySeconds=0.3\n[Schedule]\nRetries=1\nRetryIntervalSeconds=0.2\n"
                  "[Device1]\nName=Sendmere Virtual Modem\nCSID=Loop CSID\nTSID=Loop TSID\nBusyNumbers=5550199\n");
        QVERIFY(!faxServiceRunning());
        mCommon::Start(false);
    }
    void cleanup() {
        cleanupPrintsServiceLog();
        if (QTest::currentTestFailed() && m_server) qWarning("the mail server's log:\n%s", qPrintable(m_server->log().right(4000)));
    }

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

        // A fax deleted from the archive takes its item with it.
        QVERIFY(console({u"delete"_s, u"sent"_s, sent[0]}) && holds(FolderSentItems, {sent[1]}));
        QVERIFY(console({u"delete"_s, u"received"_s, received[0]}) && holds(FolderInbox, {received[1]}) && mirrorRunning());
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

    // Where no notification service runs, a notice is dropped at once. A fax sent and received, a busy number's retry then
    // failure (one notice, replaced), LibreOffice missing.
    void theMirrorTellsWhatHappensToTheFaxes() {
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(shell::DesktopNotifications().notify({u"Fax sent"_s, u"To Ann"_s, {}}), 0u);
        QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));

        NotificationWatcher watcher;
        QVERIFY(watcher.claimed());
        if (faxServiceRunning()) signalFaxService(SIGKILL);  // the mirror starts it without LibreOffice on its PATH
        MirrorProcess mirror(true);
        QVERIFY(mirror.start());
        const auto told = [&](const QString &about) { return waitFor([&] { return !watcher.callsAbout(about).isEmpty(); }, 60000); };

        QVERIFY(!sendFax(QStringList()).isEmpty() && told(u"Fax sent"_s) && told(u"Fax received"_s));
        const NotifyCall sent = watcher.callsAbout(u"Fax sent"_s).constFirst(), received = watcher.callsAbout(u"Fax received"_s).constFirst();
        QCOMPARE(sent.body, u"To Ann (5550100), 1 page"_s);
        QCOMPARE(sent.appName, u"sendmere-mirror"_s);
        QVERIFY2(received.body.startsWith(u"From "_s) && received.body.endsWith(u", 1 page"_s), qPrintable(received.body));
        QVERIFY2(received.actions.contains(SessionNotices::OpenAction), qPrintable(received.actions.join(u',')));

        QVERIFY(!sendFax({}, u"Bob"_s, u"5550199"_s).isEmpty() && told(u"The fax to Bob (5550199) failed"_s));
        const QList<NotifyCall> busy = watcher.callsAbout(u"Bob (5550199)"_s);
        QCOMPARE(busy.size(), 2);
        QCOMPARE(busy[0].summary, u"The fax to Bob (5550199) will be tried again"_s);
        QCOMPARE(busy[1].body, u"Line busy"_s);
        QVERIFY(busy[0].replacesId == 0 && busy[1].replacesId == busy[0].id && busy[1].id == busy[0].id);

        const QString docx = QDir::tempPath() + u"/minutes.docx"_s;
        writeFile(docx, QByteArray("PK\x03\x04", 4) + QByteArray(200, '\0'));
        QVERIFY(sendFax({}, u"Ann"_s, u"5550100"_s, docx).isEmpty() && told(u"could not be prepared"_s));
        const QString failed = watcher.callsAbout(u"could not be prepared"_s).constFirst().body;
        QVERIFY2(failed.contains(u"LibreOffice is not installed"_s) && failed.contains(docx), qPrintable(failed));

        QTest::qWait(1000);
        QCOMPARE(watcher.calls().size(), 5);
    }

    // A received fax's notice opens its image until dismissed; nothing is kept of a closed notice.
    void aReceivedFaxOpensFromItsNotice() {
        NotificationWatcher watcher;
        QVERIFY(watcher.claimed());
        RecordingSeams seams;
        Mirror mirror;
        const SessionNotices notices(mirror);
        mirror.start();
        QVERIFY(waitFor([&] { return mirror.following(); }));
        QVERIFY(!sendFax(QStringList()).isEmpty());
        QVERIFY(waitFor([&] { return !watcher.callsAbout(u"Fax received"_s).isEmpty() && !watcher.callsAbout(u"Fax sent"_s).isEmpty(); }, 60000));
        const uint received = watcher.callsAbout(u"Fax received"_s).constFirst().id;
        QCOMPARE(notices.awaitedNotices(), 1);  // the received fax's, for its action

        // Another notice's action, or another action, opens nothing.
        watcher.invokeAction(received + 100, SessionNotices::OpenAction);
        watcher.invokeAction(received, u"other"_s);
        QTest::qWait(500);
        QCOMPARE(seams.recorded().opened, QStringList());
        watcher.invokeAction(received, SessionNotices::OpenAction);
        QVERIFY(waitFor([&] { return seams.recorded().opened.size() == 1; }, 10000));
        const QString opened = seams.recorded().opened.constFirst();
        QVERIFY2(opened.endsWith(u".tif"_s) && (readFile(opened).startsWith("II*") || readFile(opened).startsWith("MM")), qPrintable(opened));

        watcher.dismiss(received);
        QVERIFY(waitFor([&] { return notices.awaitedNotices() == 0; }, 10000));
        watcher.invokeAction(received, SessionNotices::OpenAction);
        QTest::qWait(500);
        QCOMPARE(seams.recorded().opened.size(), 1);
        mCommon::ShutDown();
    }

    // With the mail store on a real Dovecot, the faxes reach the server without an import, the received ones unread. Faxes while
    // the server is away wait in the mirror and reach the server once it is back, each once.
    void faxesReachTheServerAlsoWhenItWasAway() {
        if (!DovecotServer::installed()) QSKIP("Dovecot (dovecot-imapd) is not installed");
        m_server = std::make_unique<DovecotServer>();
        QVERIFY2(m_server->start(), "Dovecot did not start");
        QVERIFY(registry::RegistryStore().setValue(registry::Root::CurrentUser, u"Software\\Sendmere"_s, u"MailStore"_s,
                                                   registry::RegValue::string(u"imap://fax@127.0.0.1:%1"_s.arg(m_server->port))));
        const QString netrc = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + u"/sendmere/netrc"_s;
        writeFile(netrc, "machine 127.0.0.1 login fax password secret\n");
        QFile::setPermissions(netrc, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        ImapReader look(m_server->port, "fax secret");
        QVERIFY(look.ok());
        QCOMPARE(m_sent = look.specialUse(u"\\Sent"_s), u"Sent Messages"_s);
        mCommon::ShutDown();
        MirrorProcess mirror;
        QVERIFY(mirror.start());
        QVERIFY(!receivedIds().isEmpty() && mirrorsTheArchives() && inboxUnread());  // the earlier faxes, through the mirror's catch-up

        const QStringList receivedBefore = receivedIds(), sentBefore = archived(false);
        m_server->stop();
        for (const QString &subject : {u"Away 1"_s, u"Away 2"_s, u"Away 3"_s}) QVERIFY(!sendFax(subject).isEmpty());
        QVERIFY(waitFor([&] { return receivedIds().size() == receivedBefore.size() + 3 && archived(false).size() == sentBefore.size() + 3; }, FaxWaitMs));
        const auto added = [](QStringList now, const QStringList &before) {
            now.removeIf([&](const QString &id) { return before.contains(id); });
            return now;
        };
        const QStringList newSent = added(archived(false), sentBefore), newReceived = added(receivedIds(), receivedBefore);
        QVERIFY(newSent.size() == 3 && newReceived.size() == 3);
        QVERIFY2(waitFor([&] { return allWaiting(newSent, mail::FolderSentItems) && allWaiting(newReceived, mail::FolderInbox); }, FaxWaitMs),
                 qPrintable(u"waiting: Sent %1, Inbox %2"_s.arg(pendingFaxIds(mail::FolderSentItems).join(u','), pendingFaxIds(mail::FolderInbox).join(u','))));

        QVERIFY2(m_server->start(), "Dovecot did not start again");
        QVERIFY(mirrorsTheArchives());
        QVERIFY(waitFor([] { return pendingFaxIds(mail::FolderSentItems).isEmpty() && pendingFaxIds(mail::FolderInbox).isEmpty(); }));
        QTest::qWait(2000);  // nothing comes twice later either
        QVERIFY(mirrorsTheArchives(0) && inboxUnread());
    }
};

QTEST_MAIN(TestSessionMirror)
#include "tst_sessionmirror.moc"
