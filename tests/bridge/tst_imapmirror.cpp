// sendmere-mirror writing to a real Dovecot on 127.0.0.1 that "MailStore" and the netrc name.
#include "DovecotServer.h"
#include "ImapReader.h"
#include "RegistryStore.h"
#include "SessionMirrorKit.h"
#include "platform/mail/ImapStore.h"
#include "platform/mail/PendingWrites.h"

#include <QTemporaryDir>

using namespace sendmere;
using namespace sendmere::mailtest;
using namespace sendmere::test;

namespace {

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

class TestImapMirror : public QObject {
    Q_OBJECT
    std::unique_ptr<DovecotServer> m_server;
    QString m_sent;  // the server's Sent folder

    // A folder's messages as another mail client reads them now; nothing when it cannot be read.
    QList<ImapMessage> messagesIn(const QString &folder) const {
        ImapReader look(m_server->port, "fax secret");
        return look.ok() ? look.messages(folder).value_or(QList<ImapMessage>{}) : QList<ImapMessage>{};
    }
    // The "FaxID" of each message of the folder, sorted; "unreadable" for a folder that cannot be read.
    QStringList faxIdsIn(const QString &folder) const {
        ImapReader look(m_server->port, "fax secret");
        const auto messages = look.ok() ? look.messages(folder) : std::nullopt;
        QStringList ids = messages ? QStringList() : QStringList{u"unreadable"_s};
        for (const ImapMessage &message : messages.value_or(QList<ImapMessage>{})) ids << faxIdOf(message.bytes);
        ids.sort();
        return ids;
    }
    bool holds(const QString &folder, const QStringList &ids, int ms = FaxWaitMs) const {
        if (waitFor([&] { return faxIdsIn(folder) == ids; }, ms)) return true;
        qWarning("%s holds %s, not %s", qPrintable(folder), qPrintable(faxIdsIn(folder).join(u',')), qPrintable(ids.join(u',')));
        return false;
    }
    // The server's folders hold what the service archived and nothing waits in its Outbox.
    bool mirrorsTheArchives(int ms = FaxWaitMs) const {
        return holds(m_sent, archived(false), ms) && holds(Inbox, receivedIds(), ms) && holds(Outbox, {}, ms);
    }
    static void expectUnread(const QList<ImapMessage> &inbox) {
        for (const ImapMessage &message : inbox) QVERIFY2(!message.flags.contains(u"\\Seen"_s), qPrintable(message.flags.join(u' ')));
    }

private Q_SLOTS:
    void initTestCase() {
        if (!DovecotServer::installed()) QSKIP("Dovecot (dovecot-imapd) is not installed");
        writeFaxdConfig(0.5);
        QVERIFY(!faxServiceRunning());
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
        mCommon::Start(false);
    }
    void cleanup() {
        cleanupPrintsServiceLog();
        if (QTest::currentTestFailed() && m_server) qWarning("the mail server's log:\n%s", qPrintable(m_server->log().right(4000)));
    }
    void cleanupTestCase() { mCommon::ShutDown(); }

    void sentFaxesReachTheServerWithoutAnImport() {
        MirrorProcess mirror;
        QVERIFY(mirror.start());
        QStringList sent = {sendFax(u"First"_s), sendFax(u"Second"_s)};
        sent.sort();
        QVERIFY(!sent.contains(QString()) && waitFor([&] { return receivedIds().size() == 2; }, FaxWaitMs));
        QVERIFY(holds(m_sent, sent) && mirrorsTheArchives());

        // As a mail client reads them: no defect, a sender, dates, the fax inline and as .tif; received ones unread.
        const QList<ImapMessage> inbox = messagesIn(Inbox), all = inbox + messagesIn(m_sent);
        QCOMPARE(all.size(), 4);
        expectUnread(inbox);
        QTemporaryDir dir;
        QStringList paths;
        for (const ImapMessage &message : all) writeFile(paths.emplace_back(dir.filePath(u"%1.eml"_s.arg(paths.size()))), message.bytes);
        const QJsonObject views = mailView(paths);
        for (qsizetype i = 0; i < paths.size(); ++i) {
            const QJsonObject seen = views[paths[i]].toObject();
            const bool isSent = i >= inbox.size();
            QVERIFY2(strings(seen[u"defects"_s]).isEmpty(), qPrintable(strings(seen[u"defects"_s]).join(u'\n')));
            QVERIFY2(QDateTime::fromString(seen[u"date"_s].toString(), Qt::ISODate).isValid(), qPrintable(seen[u"date"_s].toString()));
            QVERIFY2(isSent || !strings(seen[u"received"_s]).isEmpty(), "a received fax without a Received: header");
            const QStringList from = strings(seen[u"from"_s]);
            QVERIFY2(from.size() == 1 && from[0].contains(u'@'), qPrintable(from.join(u',')));
            if (isSent) QCOMPARE(strings(seen[u"to"_s]), QStringList{u"Ann[Fax:5550100] | FAX=5550100@fax.invalid"_s});
            QCOMPARE(partNames(seen, u"image/png"_s).size(), 1);
            const QStringList attachments = partNames(seen, u"image/tiff"_s);
            QVERIFY2(attachments.size() == 1 && attachments[0].endsWith(u".tif"_s), qPrintable(attachments.join(u',')));
        }

        runImport();  // it finds everything mirrored already
        mCommon::ShutDown();
        QVERIFY(holds(m_sent, sent, 0) && mirrorsTheArchives(0));
    }

    // Faxes while the server is away wait in the mirror and reach the server once it is back, each once.
    void faxesSentWhileTheServerIsAwayArriveLater() {
        MirrorProcess mirror;
        QVERIFY(mirror.start() && mirrorsTheArchives());
        const QStringList receivedBefore = receivedIds(), sentBefore = archived(false);

        m_server->stop();
        for (const QString &subject : {u"Away 1"_s, u"Away 2"_s, u"Away 3"_s}) QVERIFY(!sendFax(subject).isEmpty());
        QVERIFY(waitFor([&] { return receivedIds().size() == receivedBefore.size() + 3 && archived(false).size() == sentBefore.size() + 3; }, FaxWaitMs));
        // Earlier items may wait too (the mirror's catch-up met the outage); they too must arrive once.
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
        // Nothing comes twice later either.
        QTest::qWait(2000);
        QVERIFY(mirrorsTheArchives(0));
        expectUnread(messagesIn(Inbox));
    }
};

QTEST_MAIN(TestImapMirror)
#include "tst_imapmirror.moc"
