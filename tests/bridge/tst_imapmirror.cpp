// sendmere-mirror writing to an office IMAP server: a real Dovecot started by the test on
// 127.0.0.1 ("MailStore" and the netrc point the program at it), the real fax service on
// the test's private bus and its loopback line. Faxes sent with the console reach the
// server's Sent and Inbox folders without any import, whole and as a mail client reads them;
// an import afterwards adds nothing; faxes sent while the server is stopped reach it once it
// is back, each exactly once.
#include "BridgeTestKit.h"
#include "DovecotServer.h"
#include "ImapReader.h"
#include "RegistryStore.h"
#include "SessionMirrorKit.h"
#include "TestSeams.h"
#include "TestSupport.h"
#include "app/Init.h"
#include "platform/mail/ImapStore.h"
#include "platform/mail/MailClient.h"
#include "platform/mail/PendingWrites.h"
#include "session/mCommon.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <memory>

using namespace sendmere;
using namespace sendmere::mailtest;
using namespace Qt::StringLiterals;
using test::waitFor;

namespace {

// The faxes go over a loopback line and through a mail server: room for a loaded machine.
constexpr int FaxWaitMs = 90000;

const QString Inbox = u"INBOX"_s;
const QString Outbox = u"Outbox"_s;

QString faxIdOf(const QByteArray &message) {
    const qsizetype at = message.indexOf("X-Sendmere-User-Property: FaxID=");
    if (at < 0) return u"?"_s;
    return QString::fromUtf8(message.mid(at + 32, message.indexOf('\n', at) - at - 32).trimmed());
}

QStringList strings(const QJsonValue &list) {
    QStringList out;
    for (const QJsonValue &v : list.toArray()) out << (v.isArray() ? strings(v).join(u" | "_s) : v.toString());
    return out;
}

// What Python's email package makes of the messages, in their order.
QList<QJsonObject> mailView(const QList<ImapMessage> &messages) {
    QTemporaryDir dir;
    QStringList paths;
    for (const ImapMessage &message : messages) {
        paths << dir.filePath(u"%1.eml"_s.arg(paths.size()));
        test::writeFile(paths.last(), message.bytes);
    }
    QProcess python;
    python.start(u"python3"_s, QStringList{qEnvironmentVariable("SENDMERE_SOURCE_DIR") + u"/tests/bridge/mailview.py"_s} + paths);
    if (!python.waitForFinished(30000) || python.exitCode() != 0) {
        qWarning("%s", python.readAllStandardError().constData());
        return {};
    }
    const QJsonObject all = QJsonDocument::fromJson(python.readAllStandardOutput()).object();
    QList<QJsonObject> views;
    for (const QString &path : paths) views << all.value(path).toObject();
    return views;
}

QStringList sentArchiveIds() {
    fax::FaxServer server;
    server.Connect(QString());
    QStringList ids = test::archivedIds(server.Folders().OutgoingArchive());
    ids.sort();
    return ids;
}

// The "FaxID" of each item that waits for the server to go into folder.
QStringList pendingFaxIds(int folder) {
    static const QRegularExpression faxId(u"^X-Sendmere-User-Property: FaxID=(\\S+)"_s, QRegularExpression::MultilineOption);
    const mail::PendingWrites pending(mail::ImapStore::defaultPendingDirectory());
    QStringList ids;
    for (const mail::PendingMessage &m : pending.list()) {
        if (m.folder != folder) continue;
        try {
            ids << faxId.match(QString::fromUtf8(pending.read(m))).captured(1);
        } catch (const AutomationError &) {
            // written to the server meanwhile
        }
    }
    return ids;
}

bool allWaiting(const QStringList &ids, int folder) {
    const QStringList waiting = pendingFaxIds(folder);
    return std::all_of(ids.begin(), ids.end(), [&](const QString &id) { return waiting.contains(id); });
}

}  // namespace

class TestImapMirror : public QObject {
    Q_OBJECT

    std::unique_ptr<DovecotServer> m_server;
    QString m_sentFolder;

    // The messages of a server folder, as another mail client reads them now; nothing when
    // the server or the folder cannot be read.
    std::optional<QList<ImapMessage>> messagesIn(const QString &folder) const {
        ImapReader look(m_server->port, "fax secret");
        return look.ok() ? look.messages(folder) : std::nullopt;
    }
    // The "FaxID" of each message of the folder, sorted (a message without one shows as "?",
    // a folder that cannot be read as "unreadable").
    QStringList faxIdsIn(const QString &folder) const {
        const std::optional<QList<ImapMessage>> messages = messagesIn(folder);
        if (!messages) return {u"unreadable"_s};
        QStringList ids;
        for (const ImapMessage &message : *messages) ids << faxIdOf(message.bytes);
        ids.sort();
        return ids;
    }

private Q_SLOTS:
    void initTestCase() {
        if (!DovecotServer::installed()) QSKIP("Dovecot (dovecot-imapd) is not installed");
        test::writeFaxdConfig(0.5);
        QVERIFY(!test::faxServiceRunning());
        m_server = std::make_unique<DovecotServer>();
        QVERIFY2(m_server->start(), "Dovecot did not start");
        registry::RegistryStore registry;
        QVERIFY(registry.setValue(registry::Root::CurrentUser, u"Software\\Sendmere"_s, u"MailStore"_s,
                                  registry::RegValue::string(u"imap://fax@127.0.0.1:%1"_s.arg(m_server->port))));
        const QString netrc = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + u"/sendmere/netrc"_s;
        test::writeFile(netrc, "machine 127.0.0.1 login fax password secret\n");
        QFile::setPermissions(netrc, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        ImapReader look(m_server->port, "fax secret");
        QVERIFY(look.ok());
        m_sentFolder = look.specialUse(u"\\Sent"_s);
        QCOMPARE(m_sentFolder, u"Sent Messages"_s);
        mCommon::Start(false);
    }

    void cleanup() {
        if (!QTest::currentTestFailed()) return;
        const QString log = qEnvironmentVariable("XDG_STATE_HOME") + u"/sendmere/faxd.log"_s;
        qWarning("the fax service's log:\n%s", test::readFile(log).right(4000).constData());
        if (m_server) qWarning("the mail server's log:\n%s", qPrintable(m_server->log().right(4000)));
    }

    void cleanupTestCase() { mCommon::ShutDown(); }

    void sentFaxesReachTheServerWithoutAnImport() {
        test::MirrorProcess mirror;
        QVERIFY(mirror.start());
        QVERIFY(waitFor([] { return test::faxServiceRunning(); }));

        const qsizetype receivedBefore = test::receivedIds().size();
        QStringList sent = {test::sendFax(u"First"_s), test::sendFax(u"Second"_s)};
        sent.sort();
        QVERIFY(!sent.contains(QString()));
        QVERIFY(waitFor([&] { return test::receivedIds().size() == receivedBefore + 2; }, FaxWaitMs));
        const QStringList received = test::receivedIds();
        QVERIFY2(waitFor([&] { return faxIdsIn(m_sentFolder) == sent; }, FaxWaitMs), qPrintable(faxIdsIn(m_sentFolder).join(u',')));
        QVERIFY2(waitFor([&] { return faxIdsIn(Inbox) == received; }, FaxWaitMs), qPrintable(faxIdsIn(Inbox).join(u',')));
        QVERIFY2(waitFor([&] { return faxIdsIn(Outbox).isEmpty(); }, FaxWaitMs), qPrintable(faxIdsIn(Outbox).join(u',')));

        // Received faxes are new mail to every client.
        const QList<ImapMessage> inbox = messagesIn(Inbox).value_or(QList<ImapMessage>{});
        const QList<ImapMessage> sentItems = messagesIn(m_sentFolder).value_or(QList<ImapMessage>{});
        QCOMPARE(inbox.size() + sentItems.size(), 4);
        for (const ImapMessage &message : inbox) QVERIFY2(!message.flags.contains(u"\\Seen"_s), qPrintable(message.flags.join(u' ')));

        // Each item as a mail client reads it: no defect, a sender, dates that parse, the fax
        // as an inline picture and as a .tif attachment.
        const QList<ImapMessage> all = inbox + sentItems;
        const QList<QJsonObject> views = mailView(all);
        QCOMPARE(views.size(), all.size());
        for (qsizetype i = 0; i < views.size(); ++i) {
            const QJsonObject &seen = views[i];
            const bool isSent = i >= inbox.size();
            QVERIFY2(strings(seen[u"defects"_s]).isEmpty(), qPrintable(strings(seen[u"defects"_s]).join(u'\n')));
            QVERIFY2(QDateTime::fromString(seen[u"date"_s].toString(), Qt::ISODate).isValid(), qPrintable(seen[u"date"_s].toString()));
            if (!isSent) QVERIFY2(!strings(seen[u"received"_s]).isEmpty(), "a received fax without a Received: header");
            const QStringList from = strings(seen[u"from"_s]);
            QCOMPARE(from.size(), 1);
            QVERIFY2(from[0].contains(u'@'), qPrintable(from[0]));
            if (isSent) QCOMPARE(strings(seen[u"to"_s]), QStringList{u"Ann[Fax:5550100] | FAX=5550100@fax.invalid"_s});
            QStringList pictures, attachments;
            for (const QJsonValue &part : seen[u"parts"_s].toArray()) {
                if (part[u"type"_s].toString() == u"image/png"_s) pictures << part[u"filename"_s].toString();
                if (part[u"type"_s].toString() == u"image/tiff"_s) attachments << part[u"filename"_s].toString();
            }
            QCOMPARE(pictures.size(), 1);
            QCOMPARE(attachments.size(), 1);
            QVERIFY2(attachments[0].endsWith(u".tif"_s), qPrintable(attachments[0]));
        }

        // The import finds everything on the server already.
        {
            test::RecordingSeams seams;
            runEntry(u"import"_s);
            QTRY_COMPARE_WITH_TIMEOUT(seams.recorded().exitCodes, QList<int>{0}, FaxWaitMs);
        }
        mCommon::ShutDown();
        QCOMPARE(faxIdsIn(m_sentFolder), sent);
        QCOMPARE(faxIdsIn(Inbox), received);
        QCOMPARE(faxIdsIn(Outbox), QStringList());
    }

    // The server stops while faxes go out and come in; the mirror keeps their items and
    // writes them once the server is back: one item per fax, none lost, none twice.
    void faxesSentWhileTheServerIsAwayArriveLater() {
        test::MirrorProcess mirror;
        QVERIFY(mirror.start());
        QVERIFY(waitFor([&] { return faxIdsIn(Inbox) == test::receivedIds() && faxIdsIn(m_sentFolder) == sentArchiveIds(); }, FaxWaitMs));
        const QStringList receivedBefore = test::receivedIds(), sentBefore = sentArchiveIds();

        m_server->stop();
        QStringList sent;
        for (const QString &subject : {u"Away 1"_s, u"Away 2"_s, u"Away 3"_s}) sent << test::sendFax(subject);
        QVERIFY(!sent.contains(QString()));
        QVERIFY(waitFor([&] { return test::receivedIds().size() == receivedBefore.size() + 3; }, FaxWaitMs));
        QVERIFY(waitFor([&] { return sentArchiveIds().size() == sentBefore.size() + 3; }, FaxWaitMs));
        // The mirror has them all waiting for the server. Items of earlier faxes may wait as
        // well, when the mirror's catch-up at its start met the outage: they too must reach
        // the server once.
        const auto added = [](QStringList now, const QStringList &before) {
            now.removeIf([&](const QString &id) { return before.contains(id); });
            return now;
        };
        const QStringList newSent = added(sentArchiveIds(), sentBefore), newReceived = added(test::receivedIds(), receivedBefore);
        QCOMPARE(newSent.size(), 3);
        QCOMPARE(newReceived.size(), 3);
        QVERIFY2(waitFor([&] { return allWaiting(newSent, mail::FolderSentItems) && allWaiting(newReceived, mail::FolderInbox); }, FaxWaitMs),
                 qPrintable(u"waiting: Sent %1, Inbox %2"_s.arg(pendingFaxIds(mail::FolderSentItems).join(u','), pendingFaxIds(mail::FolderInbox).join(u','))));

        QVERIFY2(m_server->start(), "Dovecot did not start again");
        const QStringList received = test::receivedIds(), archived = sentArchiveIds();
        QVERIFY2(waitFor([&] { return faxIdsIn(m_sentFolder) == archived; }, FaxWaitMs), qPrintable(faxIdsIn(m_sentFolder).join(u',')));
        QVERIFY2(waitFor([&] { return faxIdsIn(Inbox) == received; }, FaxWaitMs), qPrintable(faxIdsIn(Inbox).join(u',')));
        QVERIFY2(waitFor([&] { return faxIdsIn(Outbox).isEmpty(); }, FaxWaitMs), qPrintable(faxIdsIn(Outbox).join(u',')));
        QVERIFY(waitFor([] { return pendingFaxIds(mail::FolderSentItems).isEmpty() && pendingFaxIds(mail::FolderInbox).isEmpty(); }));
        // Nothing comes twice later either.
        QTest::qWait(2000);
        QCOMPARE(faxIdsIn(m_sentFolder), archived);
        QCOMPARE(faxIdsIn(Inbox), received);
        for (const ImapMessage &message : messagesIn(Inbox).value_or(QList<ImapMessage>{}))
            QVERIFY2(!message.flags.contains(u"\\Seen"_s), qPrintable(message.flags.join(u' ')));
    }
};

QTEST_MAIN(TestImapMirror)
#include "tst_imapmirror.moc"
