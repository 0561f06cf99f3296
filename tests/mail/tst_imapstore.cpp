// The mail store on a real Dovecot IMAP server started by the test: the same mail client
// operations as on the local Maildir, the server's own view of what was written (folders,
// flags, arrival times), the FaxID rule, the queue of pending writes while the server is
// away, and the refusals (bad password, unencrypted login to another machine, untrusted
// certificate, a credentials file others may read).
#include "DovecotServer.h"
#include "MailTestKit.h"
#include "platform/mail/ImapStore.h"
#include "platform/mail/MailClient.h"

#include <QNetworkInterface>
#include <QRegularExpression>
#include <QTest>

using namespace sendmere;
using namespace sendmere::mail;
using namespace sendmere::mailtest;
using namespace Qt::StringLiterals;

namespace {

std::unique_ptr<MailNamespace> openNamespace() { return attachRunningApplication()->GetNamespace(u"MAPI"_s); }

qint32 errorOf(auto &&call) { return test::automationError(call).number(); }

void useStore(const QString &address) {
    registry::RegistryStore store;
    QVERIFY(store.setValue(registry::Root::CurrentUser, u"Software\\Sendmere"_s, u"MailStore"_s, registry::RegValue::string(address)));
}

void writeNetrc(const QString &host, const QString &password, QFileDevice::Permissions mode = QFileDevice::ReadOwner | QFileDevice::WriteOwner) {
    const QString path = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + u"/sendmere/netrc"_s;
    writeFile(path, u"machine %1 login fax password %2\n"_s.arg(host, password).toUtf8());
    QFile::setPermissions(path, mode);
}

// The flags of each message a FETCH answered, in order, sorted and without the recent flag
// (which session sees a message first is up to the server).
QStringList fetchedFlags(const QString &transcript) {
    static const QRegularExpression line(u"\\* \\d+ FETCH \\(.*FLAGS \\(([^)]*)\\)"_s);
    QStringList flags;
    for (auto it = line.globalMatch(transcript); it.hasNext();) {
        QStringList words = it.next().captured(1).split(u' ', Qt::SkipEmptyParts);
        words.removeAll(u"\\Recent"_s);
        words.sort();
        flags << words.join(u' ');
    }
    return flags;
}

QString pendingDir() { return ImapStore::defaultPendingDirectory(); }

// Adds an Inbox item with a FaxID and a fax time, the way the fax import makes them.
QString addFax(MailFolder &folder, const QString &faxId, const QString &subject, bool unread = true) {
    auto item = folder.addItem(u"IPM.Note"_s);
    item->setSubject(subject);
    item->setUnRead(unread);
    item->setUserProperty(u"FaxID"_s, faxId);
    // The fax's true time and its delivery time property (which carries the standard bias
    // only) differ by an hour: the server keeps the true time.
    item->setDate(QDateTime(QDate(2026, 11, 3), QTime(9, 15, 30), Qt::UTC));
    item->setProperty(tag::PR_MESSAGE_DELIVERY_TIME, QDateTime(QDate(2026, 11, 3), QTime(8, 15, 30), Qt::UTC));
    item->Save();
    return item->EntryID();
}

}  // namespace

class ImapStoreTest : public QObject {
    Q_OBJECT

    std::unique_ptr<DovecotServer> m_server;

    void startServer(const QString &password = u"secret"_s) {
        if (!DovecotServer::installed()) QSKIP("Dovecot (dovecot-imapd) is not installed");
        m_server = std::make_unique<DovecotServer>(password);
        QVERIFY2(m_server->start(), "Dovecot did not start");
        useStore(u"imap://fax@127.0.0.1:%1"_s.arg(m_server->port));
        writeNetrc(u"127.0.0.1"_s, u"secret"_s);
    }

private Q_SLOTS:
    void init() {
        QDir(pendingDir()).removeRecursively();
        test::clearErrorLog();
    }
    void cleanup() {
        m_server.reset();  // ended by its pid, whether the test passed or not
        useStore(QString());
    }

    // Every field, user property, attachment and property an item is given reads back the
    // same from the server's copy; the server files it under the special-use folder with
    // its flag and the fax's time, and made the Outbox it lacked.
    void itemRoundTripsThroughTheServer() {
        startServer();
        const QString tiff = QDir::tempPath() + u"/page.tiff"_s;
        writeFile(tiff, QByteArray("II*\0fake", 8));
        QString entryId;
        {
            auto folder = openNamespace()->GetDefaultFolder(FolderSentItems);
            auto item = folder->addItem(u"IPM.Note"_s);
            item->setSubject(u"Quarterly figures äöü"_s);
            item->setTo(u"Ann Example[Fax:+49 30 5550100]"_s);
            item->setBody(u"Plain text"_s);
            item->setHTMLBody(u"<br><IMG src=cid:Fax.png>"_s);
            item->setUnRead(false);
            item->setDate(QDateTime(QDate(2026, 12, 4), QTime(6, 30), Qt::UTC));
            item->setImportance(2);
            item->setUserProperty(u"FaxID"_s, u"1042"_s);
            QCOMPARE(item->addAttachment(tiff, 1, u"FaxImage"_s), 1);
            item->setAttachmentField(1, tag::PR_ATTACH_CONTENT_ID, u"Page000"_s);
            item->Save();
            entryId = item->EntryID();
            MapiUtils utils;
            utils.HrSetOneProp(*item, tag::PR_ICON_INDEX, 0x609, true);
            utils.HrSetOneProp(*item, tag::PR_CLIENT_SUBMIT_TIME, QDateTime(QDate(2026, 12, 4), QTime(6, 30), Qt::UTC), true);
            utils.HrSetOneProp(*item, tag::PR_SENDER_NAME, u"Bob Sender"_s, true);
            QCOMPARE(item->parentEntryID(), folder->EntryID());
        }
        QCOMPARE(test::errorLogLines(), QStringList());
        // The server's own view: one message (each save replaced the last), seen, in the
        // \Sent folder, arrived at the fax's time; Outbox made.
        const QString out = m_server->run({"LIST \"\" \"*\"", "SELECT \"Sent Messages\"", "FETCH 1:* (FLAGS INTERNALDATE BODY.PEEK[HEADER.FIELDS (SUBJECT)])"});
        QVERIFY2(out.contains(u"\"/\" Outbox"_s), qPrintable(out));
        QVERIFY2(out.contains(u"* 1 EXISTS"_s), qPrintable(out));
        QCOMPARE(fetchedFlags(out), QStringList{u"\\Seen"_s});
        QVERIFY2(out.contains(u"INTERNALDATE \"04-Dec-2026 06:30:00 +0000\""_s), qPrintable(out));

        auto ns = openNamespace();
        auto item = ns->GetItemFromID(entryId);
        QCOMPARE(item->Subject(), u"Quarterly figures äöü"_s);
        QCOMPARE(item->To(), u"Ann Example[Fax:+49 30 5550100]"_s);
        QCOMPARE(item->Body().trimmed(), u"Plain text"_s);
        QCOMPARE(item->HTMLBody().trimmed(), u"<br><IMG src=cid:Fax.png>"_s);
        QVERIFY(!item->UnRead());
        QCOMPARE(item->Importance(), 2);
        QCOMPARE(item->userProperty(u"FaxID"_s), QVariant(u"1042"_s));
        QCOMPARE(item->attachmentCount(), 1);
        QCOMPARE(item->attachmentDisplayName(1), u"FaxImage"_s);
        QCOMPARE(item->attachmentData(1), QByteArray("II*\0fake", 8));
        QCOMPARE(item->attachmentField(1, tag::PR_ATTACH_CONTENT_ID), QVariant(u"Page000"_s));
        MapiUtils utils;
        QCOMPARE(utils.HrGetOneProp(*item, tag::PR_ICON_INDEX).toInt(), 0x609);
        QCOMPARE(utils.HrGetOneProp(*item, tag::PR_CLIENT_SUBMIT_TIME).toDateTime(), QDateTime(QDate(2026, 12, 4), QTime(6, 30), Qt::UTC));
        QCOMPARE(utils.HrGetOneProp(*item, tag::PR_SENDER_NAME), QVariant(u"Bob Sender"_s));
        QCOMPARE(errorOf([&] { utils.HrGetOneProp(*item, tag::PR_RCVD_REPRESENTING_NAME); }), err::MapiNotFound);
        QCOMPARE(item->parentEntryID(), ns->GetDefaultFolder(FolderSentItems)->EntryID());

        // A flag set by another mail program is kept when the item is saved again.
        m_server->run({"SELECT \"Sent Messages\"", "STORE 1 +FLAGS (\\Flagged)"});
        item->setUnRead(true);
        item->Save();
        const QString after = m_server->run({"SELECT \"Sent Messages\"", "FETCH 1:* (FLAGS)"});
        QCOMPARE(fetchedFlags(after), QStringList{u"\\Flagged"_s});

        // The server drops the connection under a held item: the next read goes over a new one.
        QVERIFY(m_server->dropConnections() > 0);
        QCOMPARE(item->Subject(), u"Quarterly figures äöü"_s);
        QCOMPARE(ns->GetDefaultFolder(FolderSentItems)->count(), 1);
        QCOMPARE(test::errorLogLines(), QStringList());
    }

    // The FaxID lookup is exact (1 is not 10), honours the subject filter, and counts in
    // folder order; removal goes through Deleted Items and then off the server.
    void faxIdRuleAndRemoval() {
        startServer();
        auto ns = openNamespace();
        auto inbox = ns->GetDefaultFolder(FolderInbox);
        addFax(*inbox, u"10"_s, u"Fax"_s);
        addFax(*inbox, u"1"_s, u"O'Brien's fax"_s);
        addFax(*inbox, u"1"_s, u"Fax"_s, false);
        auto items = inbox->Items();
        QCOMPARE(items->count(), 3);
        QCOMPARE(items->Item(2)->Subject(), u"O'Brien's fax"_s);
        QCOMPARE(errorOf([&] { items->Item(4); }), err::SubscriptOutOfRange);
        QCOMPARE(items->findUserProperty(u"FaxID"_s, u"1"_s), 2);
        QCOMPARE(items->findUserProperty(u"FaxID"_s, u"10"_s), 1);
        QVERIFY(!items->containsUserProperty(u"FaxID"_s, u"0"_s));
        auto faxes = items->Restrict(u"[Subject]='Fax'"_s);
        QCOMPARE(faxes->count(), 2);
        QCOMPARE(faxes->findUserProperty(u"FaxID"_s, u"1"_s), 2);
        QVERIFY(!faxes->Item(2)->UnRead());
        const QString inboxView = m_server->run({"SELECT INBOX", "FETCH 1:* (FLAGS INTERNALDATE)"});
        QCOMPARE(inboxView.count(u"INTERNALDATE \"03-Nov-2026 09:15:30 +0000\""_s), 3);
        QCOMPARE(fetchedFlags(inboxView), (QStringList{QString(), QString(), u"\\Seen"_s}));

        items->Item(1)->Delete();
        QCOMPARE(inbox->count(), 2);
        auto trash = ns->GetDefaultFolder(FolderDeletedItems);
        QCOMPARE(trash->Items()->findUserProperty(u"FaxID"_s, u"10"_s), 1);
        trash->Items()->Item(1)->Delete();
        QCOMPARE(trash->count(), 0);
        QVERIFY(m_server->run({"STATUS Deleted (MESSAGES)"}).contains(u"(MESSAGES 0)"_s));
        QCOMPARE(test::errorLogLines(), QStringList());
    }

    // Items made in several saves while staged reach the server once, as their last save
    // left them, when the staging ends; before that no other program sees them.
    void stagedItemsReachTheServerWhole() {
        startServer();
        {
            StagedItems staging;
            auto outbox = openNamespace()->GetDefaultFolder(FolderOutbox);
            auto item = outbox->addItem(u"IPM.Note"_s);
            item->setSubject(u"First"_s);
            item->Save();
            item->setSubject(u"Last"_s);
            item->Save();
            QCOMPARE(outbox->count(), 0);
            QVERIFY(m_server->run({"STATUS Outbox (MESSAGES)"}).contains(u"(MESSAGES 0)"_s));
            QCOMPARE(openNamespace()->GetItemFromID(item->EntryID())->Subject(), u"Last"_s);
            staging.keep();
        }
        const QString out = m_server->run({"SELECT Outbox", "FETCH 1:* (BODY.PEEK[HEADER.FIELDS (SUBJECT)])"});
        QVERIFY2(out.contains(u"* 1 EXISTS"_s) && out.contains(u"Subject: Last"_s), qPrintable(out));
    }

    // With the server stopped, new items wait in the queue, in order, and the error log says
    // why; once it is back they are written in that order, a fax the server already holds is
    // not written twice, and the queue is empty.
    void pendingWritesWaitForTheServer() {
        startServer();
        m_server->stop();
        {
            auto inbox = openNamespace()->GetDefaultFolder(FolderInbox);
            for (const char *id : {"p1", "p2", "p3"}) addFax(*inbox, QLatin1String(id), u"Fax %1"_s.arg(QLatin1String(id)));
            auto items = inbox->Items();
            QCOMPARE(items->count(), 3);  // answered from the queue
            QCOMPARE(items->findUserProperty(u"FaxID"_s, u"p2"_s), 2);
            QVERIFY(items->containsUserProperty(u"FaxID"_s, u"p3"_s));
            QCOMPARE(items->Item(1)->Subject(), u"Fax p1"_s);
        }
        QCOMPARE(QDir(pendingDir()).entryList(QDir::Files).size(), 3);
        const QStringList log = test::errorLogLines();
        QCOMPARE(log.size(), 1);  // once, not once per call
        QVERIFY2(log[0].startsWith(u"462,"_s) && log[0].contains(u"cannot connect to 127.0.0.1"_s) && log[0].contains(u"MailStore.Connect"_s),
                 qPrintable(log[0]));

        // A queued file damaged on disk (empty) is set aside and logged; the others still go.
        writeFile(pendingDir() + u"/000000000004.6.U.eml"_s, QByteArray());
        test::clearErrorLog();
        QVERIFY(m_server->start());
        // Another program wrote p2 meanwhile.
        const QByteArray p2 = "Subject: Fax p2\r\nX-Sendmere-User-Property: FaxID=p2\r\nMessage-ID: <other@x>\r\n\r\nbody\r\n";
        m_server->run({"APPEND INBOX {" + QByteArray::number(p2.size()) + "+}\r\n" + p2});
        QCOMPARE(writePendingItems(), 0);
        auto items = openNamespace()->GetDefaultFolder(FolderInbox)->Items();
        QCOMPARE(items->count(), 3);
        QCOMPARE(items->Item(1)->Subject(), u"Fax p2"_s);
        QCOMPARE(items->Item(2)->Subject(), u"Fax p1"_s);
        QCOMPARE(items->Item(3)->Subject(), u"Fax p3"_s);
        QCOMPARE(QDir(pendingDir()).entryList(QDir::Files), QStringList{u"000000000004.6.U.eml.damaged"_s});
        const QStringList flushLog = test::errorLogLines();
        QVERIFY2(flushLog.size() == 1 && flushLog[0].contains(u"MailStore.WritePending"_s), qPrintable(flushLog.join(u'\n')));
        QCOMPARE(openNamespace()->GetDefaultFolder(FolderInbox)->count(), 3);
    }

    // A wrong password, a credentials file others may read, an unencrypted login to another
    // machine and a certificate the system does not trust are refused, each with its reason
    // in the error log, and the item waits for a server that can be used.
    void refusalsAreLoggedAndTheItemWaits() {
        startServer(u"other"_s);
        addFax(*openNamespace()->GetDefaultFolder(FolderOutbox), u"r1"_s, u"Refused"_s);
        QStringList log = test::errorLogLines();
        QVERIFY2(log.size() == 1 && log[0].contains(u"refused the login of fax"_s), qPrintable(log.join(u'\n')));
        QCOMPARE(QDir(pendingDir()).entryList(QDir::Files).size(), 1);

        test::clearErrorLog();
        writeNetrc(u"127.0.0.1"_s, u"other"_s, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther);
        QCOMPARE(openNamespace()->GetDefaultFolder(FolderOutbox)->count(), 1);
        log = test::errorLogLines();
        QVERIFY2(log.size() == 2 && log[0].contains(u"netrc"_s), qPrintable(log.join(u'\n')));

        test::clearErrorLog();
        useStore(u"imaps://fax@127.0.0.1:%1"_s.arg(m_server->tlsPort));
        writeNetrc(u"127.0.0.1"_s, u"other"_s);
        QCOMPARE(openNamespace()->GetDefaultFolder(FolderOutbox)->count(), 1);
        log = test::errorLogLines();
        QVERIFY2(log.size() == 1 && log[0].contains(u"certificate is not trusted"_s), qPrintable(log.join(u'\n')));
        QVERIFY2(!m_server->log().contains(u"Login: user=<fax>"_s), qPrintable(m_server->log()));

        // The password goes right once the server is reached over a path that may carry it.
        useStore(u"imap://fax@127.0.0.1:%1"_s.arg(m_server->port));
        QCOMPARE(openNamespace()->GetDefaultFolder(FolderOutbox)->count(), 1);
        QVERIFY(QDir(pendingDir()).entryList(QDir::Files).isEmpty());
    }

    void plaintextLoginToAnotherMachineIsRefused() {
        if (!DovecotServer::installed()) QSKIP("Dovecot (dovecot-imapd) is not installed");
        QHostAddress other;
        for (const QHostAddress &a : QNetworkInterface::allAddresses())
            if (!a.isLoopback() && a.protocol() == QAbstractSocket::IPv4Protocol) other = a;
        if (other.isNull()) QSKIP("this machine has no address but loopback");
        for (const bool offerTls : {false, true}) {
            test::clearErrorLog();
            QDir(pendingDir()).removeRecursively();
            m_server = std::make_unique<DovecotServer>(u"secret"_s, offerTls, other);
            QVERIFY(m_server->start());
            useStore(u"imap://fax@%1:%2"_s.arg(other.toString()).arg(m_server->plainPort));
            writeNetrc(other.toString(), u"secret"_s);
            addFax(*openNamespace()->GetDefaultFolder(FolderInbox), u"x"_s, u"Far"_s);
            const QStringList log = test::errorLogLines();
            const QString expected = offerTls ? u"certificate is not trusted"_s : u"offers no encryption (STARTTLS)"_s;
            QVERIFY2(log.size() == 1 && log[0].contains(expected), qPrintable(log.join(u'\n')));
            QVERIFY2(!m_server->log().contains(u"Login: user=<fax>"_s), qPrintable(m_server->log()));
            QCOMPARE(QDir(pendingDir()).entryList(QDir::Files).size(), 1);
        }
    }

    // An address that is no mail store is refused with the reason in the log; an empty one
    // is the local Maildir.
    void registryChoosesTheStore() {
        for (const QString &bad : {u"ftp://fax@127.0.0.1:21"_s, u"imap://127.0.0.1:143"_s, u"imap://fax:pw@127.0.0.1"_s}) {
            test::clearErrorLog();
            useStore(bad);
            QCOMPARE(errorOf([] { openNamespace(); }), err::InvalidProcedureCall);
            QVERIFY2(test::errorLogLines().value(0).contains(bad), qPrintable(bad));
        }
        useStore(QString());
        addFax(*openNamespace()->GetDefaultFolder(FolderInbox), u"local"_s, u"Local"_s);
        QCOMPARE(messageFiles(QString()).size(), 1);
    }
};

QTEST_MAIN(ImapStoreTest)
#include "tst_imapstore.moc"
