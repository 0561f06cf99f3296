// The mail store on a real Dovecot the test starts: the mail client operations as on the local Maildir, the server's own view of what was
// written (folders, flags, arrival times), the FaxID rule, the queue of pending writes while the server is away, and the refusals.
#include "DovecotServer.h"
#include "MailTestKit.h"
#include "platform/mail/ImapStore.h"

#include <QNetworkInterface>

using namespace sendmere;
using namespace sendmere::mail;
using namespace sendmere::mailtest;

namespace {

void useStore(const QString &address) {
    QVERIFY(registry::RegistryStore().setValue(registry::Root::CurrentUser, u"Software\\Sendmere"_s, u"MailStore"_s,
                                               registry::RegValue::string(address)));
}

void writeNetrc(const QString &host, const QString &password, QFileDevice::Permissions mode = QFileDevice::ReadOwner | QFileDevice::WriteOwner) {
    const QString path = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + u"/sendmere/netrc"_s;
    writeFile(path, u"machine %1 login fax password %2\n"_s.arg(host, password).toUtf8());
    QFile::setPermissions(path, mode);
}

QStringList pending() { return QDir(ImapStore::defaultPendingDirectory()).entryList(QDir::Files); }

// An Inbox item with a FaxID and a fax time, as the fax import makes them: the fax's true time and its delivery time property (the standard
// bias only) differ by an hour; the server keeps the true time.
void addFax(MailFolder &folder, const QString &faxId, const QString &subject, bool unread = true) {
    auto item = folder.addItem(u"IPM.Note"_s);
    item->setSubject(subject);
    item->setUnRead(unread);
    item->setUserProperty(u"FaxID"_s, faxId);
    item->setDate(QDateTime(QDate(2026, 11, 3), QTime(9, 15, 30), Qt::UTC));
    item->setProperty(tag::PR_MESSAGE_DELIVERY_TIME, QDateTime(QDate(2026, 11, 3), QTime(8, 15, 30), Qt::UTC));
    item->Save();
}

// The error log holds count lines (any number but none when -1), the first with each text.
void expectLog(qsizetype count, const QStringList &texts) {
    const QStringList log = test::errorLogLines();
    QVERIFY2((count < 0 ? !log.isEmpty() : log.size() == count) && std::ranges::all_of(texts, [&](const QString &t) { return log.value(0).contains(t); }),
             qPrintable(log.join(u'\n')));
    test::clearErrorLog();
}

}  // namespace

class ImapStoreTest : public QObject {
    Q_OBJECT

    std::unique_ptr<DovecotServer> m_server;

    // The flags of each message of the folder, as another mail client sees them.
    QStringList flagsIn(const QString &folder) const {
        QStringList flags;
        for (const ImapMessage &m : ImapReader(m_server->port, "fax secret").messages(folder).value_or(QList<ImapMessage>{})) flags << m.flags.join(u' ');
        return flags;
    }

    void startServer(const QString &password = u"secret"_s) {
        if (!DovecotServer::installed()) QSKIP("Dovecot (dovecot-imapd) is not installed");
        m_server = std::make_unique<DovecotServer>(password);
        QVERIFY2(m_server->start(), "Dovecot did not start");
        useStore(u"imap://fax@127.0.0.1:%1"_s.arg(m_server->port));
        writeNetrc(u"127.0.0.1"_s, u"secret"_s);
    }

private Q_SLOTS:
    void init() {
        QDir(ImapStore::defaultPendingDirectory()).removeRecursively();
        test::clearErrorLog();
    }
    void cleanup() {
        m_server.reset();  // ended by its group's id, whether the test passed or not
        useStore(QString());
    }

    // An item reads back from the server (the message codec is the Maildir's, tested there); the server files it in the \Sent folder, seen,
    // at the fax's time, once however often it was saved, and made the Outbox it lacked. Another program's flag survives a save; a dropped
    // connection is made anew.
    void itemRoundTripsThroughTheServer() {
        startServer();
        const QDateTime submitted(QDate(2026, 12, 4), QTime(6, 30), Qt::UTC);
        auto ns = openNamespace();
        auto item = ns->GetDefaultFolder(FolderSentItems)->addItem(u"IPM.Note"_s);
        item->setSubject(u"Quarterly figures äöü"_s);
        item->setUnRead(false);
        item->setDate(submitted);
        item->setUserProperty(u"FaxID"_s, u"1042"_s);
        QCOMPARE(item->addAttachment(tempFile(u"page.tiff"_s, QByteArray("II*\0fake", 8)), 1, u"FaxImage"_s), 1);
        item->Save();
        MapiUtils().HrSetOneProp(*item, tag::PR_ICON_INDEX, 0x609, true);  // saved again
        QCOMPARE(test::errorLogLines(), QStringList());
        const QString out = m_server->run({"LIST \"\" \"*\"", "SELECT \"Sent Messages\"", "FETCH 1:* (INTERNALDATE)"});
        for (const QString &expected : {u"\"/\" Outbox"_s, u"* 1 EXISTS"_s, u"INTERNALDATE \"04-Dec-2026 06:30:00 +0000\""_s})
            QVERIFY2(out.contains(expected), qPrintable(out));
        QCOMPARE(flagsIn(u"Sent Messages"_s), QStringList{u"\\Seen"_s});
        auto read = openNamespace()->GetItemFromID(item->EntryID());
        QCOMPARE((QVariantList{read->Subject(), read->UnRead(), read->userProperty(u"FaxID"_s), read->attachmentData(1),
                               read->property(tag::PR_ICON_INDEX).toInt(), read->parentEntryID()}),
                 (QVariantList{u"Quarterly figures äöü"_s, false, u"1042"_s, QByteArray("II*\0fake", 8), 0x609,
                               ns->GetDefaultFolder(FolderSentItems)->EntryID()}));

        m_server->run({"SELECT \"Sent Messages\"", "STORE 1 +FLAGS (\\Flagged)"});
        read->setUnRead(true);
        read->Save();
        QCOMPARE(flagsIn(u"Sent Messages"_s), QStringList{u"\\Flagged"_s});
        QVERIFY(m_server->dropConnections() > 0);
        QCOMPARE(read->Subject(), u"Quarterly figures äöü"_s);
        QCOMPARE(ns->GetDefaultFolder(FolderSentItems)->count(), 1);
        QCOMPARE(test::errorLogLines(), QStringList());
    }

    // The FaxID lookup is exact (1 is not 10), honours the subject filter and counts in folder order; removal goes through Deleted Items
    // and then off the server. Items staged in several saves reach the server once, as last saved, when the staging ends.
    void faxIdRuleRemovalAndStaging() {
        startServer();
        auto inbox = openNamespace()->GetDefaultFolder(FolderInbox);
        addFax(*inbox, u"10"_s, u"Fax"_s);
        addFax(*inbox, u"1"_s, u"O'Brien's fax"_s);
        addFax(*inbox, u"1"_s, u"Fax"_s, false);
        auto items = inbox->Items();
        auto faxes = items->Restrict(u"[Subject]='Fax'"_s);
        QCOMPARE((QVariantList{items->count(), items->Item(2)->Subject(), items->findUserProperty(u"FaxID"_s, u"1"_s),
                               items->findUserProperty(u"FaxID"_s, u"10"_s), items->containsUserProperty(u"FaxID"_s, u"0"_s), faxes->count(),
                               faxes->findUserProperty(u"FaxID"_s, u"1"_s), faxes->Item(2)->UnRead(), items->Restrict(u"[Subject]='O'Brien's fax'"_s)->count()}),
                 (QVariantList{3, u"O'Brien's fax"_s, 2, 1, false, 2, 2, false, 1}));
        for (int outside : {0, 4}) QCOMPARE(errorOf([&] { items->Item(outside); }), err::SubscriptOutOfRange);
        // A restriction narrows a restriction, never widens it; a filter needs its closing quote.
        QCOMPARE((QList<int>{faxes->Restrict(u"[Subject]='Fax'"_s)->count(), faxes->Restrict(u"[Subject]='O'Brien's fax'"_s)->count()}),
                 (QList<int>{2, 0}));
        for (const QString &open : {u"[Subject]='unclosed"_s, u"[Subject]='"_s})
            QCOMPARE(errorOf([&] { items->Restrict(open); }), err::InvalidProcedureCall);
        QCOMPARE(m_server->run({"SELECT INBOX", "FETCH 1:* (INTERNALDATE)"}).count(u"INTERNALDATE \"03-Nov-2026 09:15:30 +0000\""_s), 3);
        QCOMPARE(flagsIn(u"INBOX"_s), (QStringList{QString(), QString(), u"\\Seen"_s}));
        items->Item(1)->Delete();
        QCOMPARE(inbox->count(), 2);
        auto trash = openNamespace()->GetDefaultFolder(FolderDeletedItems);
        QCOMPARE(trash->Items()->findUserProperty(u"FaxID"_s, u"10"_s), 1);
        trash->Items()->Item(1)->Delete();
        QCOMPARE(trash->count(), 0);
        QVERIFY(m_server->run({"STATUS Deleted (MESSAGES)"}).contains(u"(MESSAGES 0)"_s));

        {
            StagedItems staging;
            auto outbox = openNamespace()->GetDefaultFolder(FolderOutbox);
            auto item = outbox->addItem(u"IPM.Note"_s);
            for (const QString &subject : {u"First"_s, u"Last"_s}) item->setSubject(subject), item->Save();
            QCOMPARE(outbox->count(), 0);
            QVERIFY(m_server->run({"STATUS Outbox (MESSAGES)"}).contains(u"(MESSAGES 0)"_s));
            QCOMPARE(openNamespace()->GetItemFromID(item->EntryID())->Subject(), u"Last"_s);
            staging.keep();
        }
        const QString out = m_server->run({"SELECT Outbox", "FETCH 1:* (BODY.PEEK[HEADER.FIELDS (SUBJECT)])"});
        QVERIFY2(out.contains(u"* 1 EXISTS"_s) && out.contains(u"Subject: Last"_s), qPrintable(out));
        QCOMPARE(test::errorLogLines(), QStringList());
    }

    // With the server stopped, new items wait in the queue, in order, and the log says why, once; back up, they are written in that order,
    // a fax the server already holds is not written twice, and a queued file damaged on disk is set aside.
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
        QCOMPARE(pending().size(), 3);
        expectLog(1, {u"462,"_s, u"cannot connect to 127.0.0.1"_s, u"MailStore.Connect"_s});

        writeFile(ImapStore::defaultPendingDirectory() + u"/000000000004.6.U.eml"_s, QByteArray());
        // Written by hand: the property's name in other letters still names the fax.
        writeFile(ImapStore::defaultPendingDirectory() + u"/000000000005.6.U.eml"_s,
                  "Subject: Fax p2\r\nX-Sendmere-User-Property: faxid=p2\r\n\r\nbody\r\n");
        QVERIFY(m_server->start());
        const QByteArray p2 = "Subject: Fax p2\r\nX-Sendmere-User-Property: FaxID=p2\r\nMessage-ID: <other@x>\r\n\r\nbody\r\n";
        m_server->run({"APPEND INBOX {" + QByteArray::number(p2.size()) + "+}\r\n" + p2});  // another program wrote p2 meanwhile
        QCOMPARE(writePendingItems(), 0);
        auto items = openNamespace()->GetDefaultFolder(FolderInbox)->Items();
        QCOMPARE(items->count(), 3);
        for (int i = 1; i <= 3; ++i) QCOMPARE(items->Item(i)->Subject(), (QStringList{u"Fax p2"_s, u"Fax p1"_s, u"Fax p3"_s}[i - 1]));
        QCOMPARE(pending(), QStringList{u"000000000004.6.U.eml.damaged"_s});
        expectLog(1, {u"MailStore.WritePending"_s});
    }

    // A wrong password, a credentials file others may read and a certificate the system does not trust are refused, each with its reason in
    // the log, and the item waits for a server that can be used.
    void refusalsAreLoggedAndTheItemWaits() {
        startServer(u"other"_s);
        addFax(*openNamespace()->GetDefaultFolder(FolderOutbox), u"r1"_s, u"Refused"_s);
        expectLog(1, {u"refused the login of fax"_s});
        QCOMPARE(pending().size(), 1);
        writeNetrc(u"127.0.0.1"_s, u"other"_s, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther);
        QCOMPARE(openNamespace()->GetDefaultFolder(FolderOutbox)->count(), 1);
        expectLog(2, {u"netrc"_s});
        useStore(u"imaps://fax@127.0.0.1:%1"_s.arg(m_server->tlsPort));
        writeNetrc(u"127.0.0.1"_s, u"other"_s);
        QCOMPARE(openNamespace()->GetDefaultFolder(FolderOutbox)->count(), 1);
        expectLog(1, {u"certificate is not trusted"_s});
        QVERIFY2(!m_server->log().contains(u"Login: user=<fax>"_s), qPrintable(m_server->log()));
        useStore(u"imap://fax@127.0.0.1:%1"_s.arg(m_server->port));  // a path that may carry the password
        QCOMPARE(openNamespace()->GetDefaultFolder(FolderOutbox)->count(), 1);
        QCOMPARE(pending(), QStringList());
    }

    // No password goes unencrypted to another machine: not to a server without STARTTLS, nor past a certificate the system does not trust.
    void plaintextLoginToAnotherMachineIsRefused() {
        if (!DovecotServer::installed()) QSKIP("Dovecot (dovecot-imapd) is not installed");
        QHostAddress other;
        for (const QHostAddress &a : QNetworkInterface::allAddresses())
            if (!a.isLoopback() && a.protocol() == QAbstractSocket::IPv4Protocol) other = a;
        if (other.isNull()) QSKIP("this machine has no address but loopback");
        for (const bool offerTls : {false, true}) {
            init();
            m_server = std::make_unique<DovecotServer>(u"secret"_s, offerTls, other);
            QVERIFY(m_server->start());
            useStore(u"imap://fax@%1:%2"_s.arg(other.toString()).arg(m_server->plainPort));
            writeNetrc(other.toString(), u"secret"_s);
            addFax(*openNamespace()->GetDefaultFolder(FolderInbox), u"x"_s, u"Far"_s);
            expectLog(1, {offerTls ? u"certificate is not trusted"_s : u"offers no encryption (STARTTLS)"_s});
            QVERIFY2(!m_server->log().contains(u"Login: user=<fax>"_s), qPrintable(m_server->log()));
            QCOMPARE(pending().size(), 1);
        }
    }

    // An address that is no mail store is refused with the reason in the log; an empty one is the local Maildir. No other namespace or
    // folder number is offered.
    void registryChoosesTheStore() {
        for (const QString &bad : {u"ftp://fax@127.0.0.1:21"_s, u"imap://127.0.0.1:143"_s, u"imap://fax:pw@127.0.0.1"_s}) {
            useStore(bad);
            QCOMPARE(errorOf([] { openNamespace(); }), err::InvalidProcedureCall);
            expectLog(-1, {bad});
        }
        useStore(QString());
        QCOMPARE(errorOf([&] { openNamespace()->GetDefaultFolder(7); }), err::InvalidProcedureCall);
        QCOMPARE(errorOf([&] { attachRunningApplication()->GetNamespace(u"IMAP"_s); }), err::InvalidProcedureCall);
        addFax(*openNamespace()->GetDefaultFolder(FolderInbox), u"local"_s, u"Local"_s);
        QCOMPARE(messageFiles(QString()).size(), 1);
    }
};

QTEST_MAIN(ImapStoreTest)
#include "tst_imapstore.moc"
