// The mail store on a real Maildir under the test's XDG data directory: what the program
// writes, what other mail programs wrote or changed, and what a damaged, read-only or full
// store does.
#include "MailTestKit.h"
#include "platform/mail/MailClient.h"
#include "platform/mail/MaildirStore.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace sendmere;
using namespace sendmere::mail;
using namespace sendmere::mailtest;

namespace {

std::unique_ptr<MailNamespace> openNamespace() { return attachRunningApplication()->GetNamespace(QStringLiteral("MAPI")); }

template <typename Call>
qint32 errorOf(Call &&call) {
    try {
        call();
    } catch (const AutomationError &e) {
        return e.number();
    }
    return 0;
}

QString writeAttachmentFile(const QString &name, const QByteArray &bytes) {
    const QString path = QDir::tempPath() + u'/' + name;
    writeFile(path, bytes);
    return path;
}

// A message as another mail program delivers it: multipart, quoted-printable and base64,
// encoded words, no headers of ours.
const QByteArray HandWritten =
    "Return-Path: <ann@example.org>\r\n"
    "From: =?utf-8?q?J=C3=BCrgen_Ann?= <ann@example.org>\r\n"
    "To: Bob Sender <bob@example.org>, carol@example.org\r\n"
    "Subject: =?utf-8?q?Gr=C3=BC=C3=9Fe?= from the office\r\n"
    "Date: Fri, 04 Dec 2026 07:30:00 +0100\r\n"
    "Message-ID: <hand-1@example.org>\r\n"
    "X-Priority: 1\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: multipart/mixed; boundary=\"outer\"\r\n"
    "\r\n"
    "--outer\r\n"
    "Content-Type: multipart/alternative; boundary=\"inner\"\r\n"
    "\r\n"
    "--inner\r\n"
    "Content-Type: text/plain; charset=utf-8\r\n"
    "Content-Transfer-Encoding: quoted-printable\r\n"
    "\r\n"
    "Sch=C3=B6ne Gr=C3=BC=C3=9Fe\r\n"
    "--inner\r\n"
    "Content-Type: text/html; charset=us-ascii\r\n"
    "\r\n"
    "<p>Hello</p>\r\n"
    "--inner--\r\n"
    "--outer\r\n"
    "Content-Type: application/octet-stream; name=\"data.bin\"\r\n"
    "Content-Disposition: attachment; filename=\"data.bin\"\r\n"
    "Content-Transfer-Encoding: base64\r\n"
    "\r\n"
    "AAECAwQF\r\n"
    "--outer--\r\n";

}  // namespace

class MailStoreTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() { QDir(mailRoot()).removeRecursively(), QDir(mailRoot() + QStringLiteral(".index")).removeRecursively(); }

    // Every field, user property, attachment and property an item is given reads back the
    // same from the file after the store was closed, and sits where a mail reader looks.
    void itemRoundTripsThroughTheMaildir() {
        const QString tiff = writeAttachmentFile(QStringLiteral("page.tiff"), QByteArray("II*\0fake", 8));
        const QString png = writeAttachmentFile(QStringLiteral("Fax.png"), QByteArray("\x89PNG\r\n\x1a\npicture", 16));
        QString entryId;
        {
            auto ns = openNamespace();
            auto folder = ns->GetDefaultFolder(FolderSentItems);
            auto item = folder->Items()->Add(QStringLiteral("IPM.Note"));
            QVERIFY(item->EntryID().isEmpty());
            item->setSubject(QStringLiteral("Quarterly figures"));
            item->setTo(QStringLiteral("Ann Example[Fax:+49 30 5550100]"));
            item->setBody(QStringLiteral("Plain text, äöü"));
            item->setUnRead(true);
            item->setImportance(2);
            item->addUserProperty(QStringLiteral("FaxID"));
            QCOMPARE(item->userProperty(QStringLiteral("FaxID")), QVariant(QString()));
            item->setUserProperty(QStringLiteral("FaxID"), QStringLiteral("1042"));
            SafeMailItem safe;
            safe.setItem(item.get());
            safe.setHTMLBody(QStringLiteral("<br><IMG src=cid:Fax.png>"));
            SafeMailItem::Attachment picture = safe.addAttachment(png);
            picture.setFields(tag::PR_ATTACH_MIME_TAG, QStringLiteral("image/png"));
            picture.setFields(tag::PR_ATTACH_CONTENT_ID, QStringLiteral("Page000"));
            QCOMPARE(item->addAttachment(tiff, 1, QStringLiteral("FaxImage")), 1);
            item->Save();
            entryId = item->EntryID();
            QVERIFY(!entryId.isEmpty());
            MapiUtils utils;
            const QDateTime submitted(QDate(2026, 12, 4), QTime(6, 30), Qt::UTC);
            utils.HrSetOneProp(*item, tag::PR_ICON_INDEX, 0x609, true);
            utils.HrSetOneProp(*item, tag::PR_CLIENT_SUBMIT_TIME, submitted, true);
            utils.HrSetOneProp(*item, tag::PR_SENDER_NAME, QStringLiteral("Bob Sender"), true);
            utils.HrSetOneProp(*item, tag::PR_SENDER_EMAIL_ADDRESS, QStringLiteral("5550111"), true);
            utils.HrSetOneProp(*item, tag::PR_SENDER_ADDRTYPE, QStringLiteral("Fax"), true);
            utils.HrSetOneProp(*item, tag::PR_RECEIVED_BY_EMAIL_ADDRESS, QStringLiteral("5550100"), true);
            utils.HrSetOneProp(*item, tag::PR_RECEIVED_BY_ADDRTYPE, QStringLiteral("Fax"), true);
            QCOMPARE(item->parentEntryID(), folder->EntryID());
        }
        const QStringList files = messageFiles(QStringLiteral(".Sent"));
        QCOMPARE(files.size(), 1);
        QVERIFY2(files[0].startsWith(QLatin1String("cur/")) && files[0].endsWith(QLatin1String(":2,")), qPrintable(files[0]));
        QVERIFY(QDir(folderDir(QStringLiteral(".Sent")) + QStringLiteral("/tmp")).isEmpty());
        const QString text = QString::fromUtf8(readFile(folderDir(QStringLiteral(".Sent")) + u'/' + files[0]));
        for (const char *line : {"Subject: Quarterly figures", "Importance: high", "X-Priority: 1",
                                 "From: Bob Sender <FAX=5550111@fax.invalid>", "Delivered-To: FAX=5550100@fax.invalid",
                                 "Content-Type: image/tiff", "Content-Id: <Fax.png>", "Content-Type: multipart/related"})
            QVERIFY2(text.contains(QLatin1String(line), Qt::CaseInsensitive), line);
        QVERIFY(text.contains(QRegularExpression(QStringLiteral("To: Ann Example <FAX=\\+4930555?0100@fax.invalid>"))) ||
                text.contains(QStringLiteral("FAX=+49305550100@fax.invalid")));
        QVERIFY(text.contains(QStringLiteral("filename=FaxImage")) || text.contains(QStringLiteral("filename=\"FaxImage\"")));

        auto ns = openNamespace();
        auto item = ns->GetItemFromID(entryId);
        QCOMPARE(item->Subject(), QStringLiteral("Quarterly figures"));
        QCOMPARE(item->To(), QStringLiteral("Ann Example[Fax:+49 30 5550100]"));
        QCOMPARE(item->Body(), QStringLiteral("Plain text, äöü"));
        QCOMPARE(item->HTMLBody(), QStringLiteral("<br><IMG src=cid:Fax.png>"));
        QVERIFY(item->UnRead());
        QCOMPARE(item->Importance(), 2);
        QCOMPARE(item->MessageClass(), QStringLiteral("IPM.Note"));
        QCOMPARE(item->userProperty(QStringLiteral("FaxID")), QVariant(QStringLiteral("1042")));
        QVERIFY(!item->userProperty(QStringLiteral("Other")).isValid());
        QCOMPARE(item->attachmentCount(), 2);
        QCOMPARE(item->attachmentDisplayName(1), QStringLiteral("FaxImage"));
        QCOMPARE(item->attachmentFileName(1), QStringLiteral("page.tiff"));
        QCOMPARE(item->attachmentData(1), QByteArray("II*\0fake", 8));
        QCOMPARE(item->attachmentDisplayName(2), QStringLiteral("Fax.png"));
        QCOMPARE(item->attachmentData(2), QByteArray("\x89PNG\r\n\x1a\npicture", 16));
        QCOMPARE(item->attachmentField(2, tag::PR_ATTACH_CONTENT_ID), QVariant(QStringLiteral("Page000")));
        QCOMPARE(item->attachmentField(2, tag::PR_ATTACH_MIME_TAG), QVariant(QStringLiteral("image/png")));
        QCOMPARE(errorOf([&] { item->attachmentData(3); }), err::SubscriptOutOfRange);
        MapiUtils utils;
        QCOMPARE(utils.HrGetOneProp(*item, tag::PR_ICON_INDEX).toInt(), 0x609);
        QCOMPARE(utils.HrGetOneProp(*item, tag::PR_CLIENT_SUBMIT_TIME).toDateTime(), QDateTime(QDate(2026, 12, 4), QTime(6, 30), Qt::UTC));
        QCOMPARE(utils.HrGetOneProp(*item, tag::PR_SENDER_NAME), QVariant(QStringLiteral("Bob Sender")));
        QCOMPARE(utils.HrGetOneProp(*item, tag::PR_RECEIVED_BY_ADDRTYPE), QVariant(QStringLiteral("Fax")));
        QCOMPARE(errorOf([&] { utils.HrGetOneProp(*item, tag::PR_RCVD_REPRESENTING_NAME); }), err::MapiNotFound);
        QCOMPARE(errorOf([&] { item->setImportance(3); }), err::InvalidProcedureCall);
    }

    // A message another mail program delivered into new/ is read with its parts, and
    // marking it read moves it to cur/ with the seen flag, its content unchanged.
    void handWrittenMessageIsRead() {
        const QString dir = folderDir(QStringLiteral(".Outbox"));
        for (const char *sub : {"cur", "new", "tmp"}) QVERIFY(QDir().mkpath(dir + u'/' + QLatin1String(sub)));
        QVERIFY(writeFile(dir + QStringLiteral("/new/1733300000.M1P1.otherhost"), HandWritten));
        auto ns = openNamespace();
        auto items = ns->GetDefaultFolder(FolderOutbox)->Items();
        QCOMPARE(items->count(), 1);
        auto item = items->Item(1);
        QCOMPARE(item->Subject(), QStringLiteral("Grüße from the office"));
        QCOMPARE(item->To(), QStringLiteral("Bob Sender; carol@example.org"));
        QCOMPARE(item->Body().trimmed(), QStringLiteral("Schöne Grüße"));
        QCOMPARE(item->HTMLBody().trimmed(), QStringLiteral("<p>Hello</p>"));
        QCOMPARE(item->Importance(), 2);
        QVERIFY(item->UnRead());
        QCOMPARE(item->EntryID(), QStringLiteral("hand-1@example.org"));
        QCOMPARE(item->attachmentCount(), 1);
        QCOMPARE(item->attachmentDisplayName(1), QStringLiteral("data.bin"));
        QCOMPARE(item->attachmentData(1), QByteArray("\0\1\2\3\4\5", 6));
        QCOMPARE(item->property(tag::PR_SENDER_NAME), QVariant(QStringLiteral("Jürgen Ann")));
        QCOMPARE(item->property(tag::PR_SENDER_EMAIL_ADDRESS), QVariant(QStringLiteral("ann@example.org")));
        QCOMPARE(item->property(tag::PR_CLIENT_SUBMIT_TIME).toDateTime(), QDateTime(QDate(2026, 12, 4), QTime(6, 30), Qt::UTC));
        item->setUnRead(false);
        item->Save();
        QCOMPARE(messageFiles(QStringLiteral(".Outbox")), QStringList{QStringLiteral("cur/1733300000.M1P1.otherhost:2,S")});
        const QByteArray saved = readFile(dir + QStringLiteral("/cur/1733300000.M1P1.otherhost:2,S"));
        QVERIFY(saved.contains("Return-Path: <ann@example.org>"));
        auto again = openNamespace()->GetItemFromID(QStringLiteral("hand-1@example.org"));
        QVERIFY(!again->UnRead());
    }

    // The subject filter, positions from 1, and the FaxID lookup agree with walking the items.
    void restrictCountsAndFindsInFolderOrder() {
        auto ns = openNamespace();
        auto folder = ns->GetDefaultFolder(FolderInbox);
        const QStringList subjects = {QStringLiteral("Fax"), QStringLiteral("O'Brien's fax"), QStringLiteral("Fax")};
        for (int i = 0; i < subjects.size(); ++i) {
            auto item = folder->addItem(QStringLiteral("IPM.Note"));
            item->setSubject(subjects[i]);
            item->setUserProperty(QStringLiteral("FaxID"), QString::number(100 + i));
            item->Save();
        }
        auto items = folder->Items();
        QCOMPARE(items->count(), 3);
        QCOMPARE(items->Item(2)->Subject(), QStringLiteral("O'Brien's fax"));
        QCOMPARE(errorOf([&] { items->Item(0); }), err::SubscriptOutOfRange);
        QCOMPARE(errorOf([&] { items->Item(4); }), err::SubscriptOutOfRange);
        auto faxes = items->Restrict(QStringLiteral("[Subject]='Fax'"));
        QCOMPARE(faxes->count(), 2);
        QCOMPARE(faxes->Item(2)->userProperty(QStringLiteral("FaxID")), QVariant(QStringLiteral("102")));
        QCOMPARE(faxes->findUserProperty(QStringLiteral("FaxID"), QStringLiteral("102")), 2);
        QCOMPARE(faxes->findUserProperty(QStringLiteral("FaxID"), QStringLiteral("101")), 0);
        QVERIFY(!faxes->containsUserProperty(QStringLiteral("FaxID"), QStringLiteral("101")));
        QCOMPARE(items->findUserProperty(QStringLiteral("FaxID"), QStringLiteral("101")), 2);
        QCOMPARE(items->Restrict(QStringLiteral("[Subject]='O'Brien's fax'"))->count(), 1);
        QCOMPARE(items->Restrict(QStringLiteral("[Subject]=''"))->count(), 0);
        QCOMPARE(errorOf([&] { items->Restrict(QStringLiteral("[Subject]='unclosed")); }), err::InvalidProcedureCall);
        QCOMPARE(errorOf([&] { ns->GetDefaultFolder(7); }), err::InvalidProcedureCall);
        QCOMPARE(errorOf([&] { attachRunningApplication()->GetNamespace(QStringLiteral("IMAP")); }), err::InvalidProcedureCall);
    }

    // Flag changes, moves and deletions by another program are noticed: the held item is
    // found where it went, or reported missing, and nothing is duplicated.
    void otherProgramsChangesAreFoundNeverDuplicated() {
        auto ns = openNamespace();
        auto item = ns->GetDefaultFolder(FolderInbox)->addItem(QStringLiteral("IPM.Note"));
        item->setSubject(QStringLiteral("Moving"));
        item->setUnRead(true);
        item->setUserProperty(QStringLiteral("FaxID"), QStringLiteral("7"));
        item->Save();
        const QString entryId = item->EntryID();
        const QString name = messageFiles(QString()).value(0);
        QVERIFY(name.endsWith(QLatin1String(":2,")));

        // A mail reader marks it read and flagged.
        QVERIFY(QFile::rename(folderDir(QString()) + u'/' + name, folderDir(QString()) + u'/' + name + QStringLiteral("FS")));
        auto held = ns->GetItemFromID(entryId);
        QVERIFY(!held->UnRead());
        held->setSubject(QStringLiteral("Moving on"));
        held->Save();
        QCOMPARE(messageFiles(QString()), QStringList{name + QStringLiteral("FS")});
        QCOMPARE(ns->GetDefaultFolder(FolderInbox)->Items()->Restrict(QStringLiteral("[Subject]='Moving on'"))->count(), 1);

        // It files the message into Sent under the same name.
        QVERIFY(QDir().mkpath(folderDir(QStringLiteral(".Sent")) + QStringLiteral("/cur")));
        QVERIFY(QFile::rename(folderDir(QString()) + u'/' + name + QStringLiteral("FS"),
                              folderDir(QStringLiteral(".Sent")) + u'/' + name + QStringLiteral("FS")));
        QCOMPARE(held->parentEntryID(), ns->GetDefaultFolder(FolderSentItems)->EntryID());
        QCOMPARE(ns->GetDefaultFolder(FolderInbox)->count(), 0);
        QCOMPARE(ns->GetDefaultFolder(FolderSentItems)->Items()->findUserProperty(QStringLiteral("FaxID"), QStringLiteral("7")), 1);

        // It copies it into Trash under a new name and removes the original, as IMAP MOVE does.
        const QString moved = folderDir(QStringLiteral(".Trash")) + QStringLiteral("/cur/1733300001.M2P2.otherhost:2,S");
        QVERIFY(writeFile(moved, readFile(folderDir(QStringLiteral(".Sent")) + u'/' + name + QStringLiteral("FS"))));
        QVERIFY(QFile::remove(folderDir(QStringLiteral(".Sent")) + u'/' + name + QStringLiteral("FS")));
        auto found = ns->GetItemFromID(entryId);
        QCOMPARE(found->parentEntryID(), ns->GetDefaultFolder(FolderDeletedItems)->EntryID());
        QCOMPARE(found->Subject(), QStringLiteral("Moving on"));

        // It deletes it for good.
        QVERIFY(QFile::remove(moved));
        QCOMPARE(errorOf([&] { found->Save(); }), err::MapiNotFound);
        QCOMPARE(errorOf([&] { ns->GetItemFromID(entryId); }), err::MapiNotFound);
        for (const QString &f : {QString(), QStringLiteral(".Sent"), QStringLiteral(".Trash"), QStringLiteral(".Outbox")})
            QVERIFY2(messageFiles(f).isEmpty(), qPrintable(f));
    }

    // The index beside the Maildir survives a restart: an unchanged folder is answered from it
    // without reading the messages again, and a folder another program changed is read anew.
    void indexSurvivesRestartAndNoticesChanges() {
        {
            auto folder = openNamespace()->GetDefaultFolder(FolderOutbox);
            for (int i = 0; i < 3; ++i) {
                auto item = folder->addItem(QStringLiteral("IPM.Note"));
                item->setSubject(QStringLiteral("Indexed %1").arg(i));
                item->setUserProperty(QStringLiteral("FaxID"), QStringLiteral("idx%1").arg(i));
                item->Save();
            }
        }
        QVERIFY(QFileInfo::exists(mailRoot() + QStringLiteral(".index/Outbox.journal")));
        // The first write made every folder; asking an unchanged folder again and again
        // reads nothing and records nothing.
        for (const char *dir : {"", "/.Sent", "/.Trash"}) QVERIFY(QFileInfo::exists(mailRoot() + QLatin1String(dir) + QStringLiteral("/cur")));
        QCOMPARE(openNamespace()->GetDefaultFolder(FolderDeletedItems)->count(), 0);  // read once
        const QByteArray journal = readFile(mailRoot() + QStringLiteral(".index/Trash.journal"));
        for (int i = 0; i < 50; ++i) QCOMPARE(openNamespace()->GetDefaultFolder(FolderDeletedItems)->count(), 0);
        QCOMPARE(readFile(mailRoot() + QStringLiteral(".index/Trash.journal")), journal);
        // Rewritten in place, the directory unchanged: only the index still knows the old subject.
        const QString first = folderDir(QStringLiteral(".Outbox")) + u'/' + messageFiles(QStringLiteral(".Outbox")).value(0);
        QByteArray bytes = readFile(first);
        bytes.replace("Subject: Indexed 0", "Subject: Changed 0");
        {
            QFile file(first);
            QVERIFY(file.open(QIODevice::ReadWrite));
            file.write(bytes);
        }
        {
            auto items = openNamespace()->GetDefaultFolder(FolderOutbox)->Items();
            QCOMPARE(items->Restrict(QStringLiteral("[Subject]='Indexed 0'"))->count(), 1);
            QCOMPARE(items->findUserProperty(QStringLiteral("FaxID"), QStringLiteral("idx2")), 3);
        }
        // A message another program delivers changes the directory: the folder is read again.
        QVERIFY(writeFile(folderDir(QStringLiteral(".Outbox")) + QStringLiteral("/new/1733300002.M3P3.otherhost"), HandWritten));
        auto items = openNamespace()->GetDefaultFolder(FolderOutbox)->Items();
        QCOMPARE(items->count(), 4);
        QCOMPARE(items->Restrict(QStringLiteral("[Subject]='Grüße from the office'"))->count(), 1);
        QCOMPARE(items->findUserProperty(QStringLiteral("FaxID"), QStringLiteral("idx1")), 2);
    }

    // Two programs on one store (two store objects here, each with its own index) see each
    // other's additions and deletions, through the shared journal or the folder itself.
    void twoStoresOnOneMaildirAgree() {
        MaildirStore first(mailRoot()), second(mailRoot());
        MessageData message;
        message.messageId = MaildirStore::newEntryId();
        message.subject = QStringLiteral("Shared");
        message.userProperties = {{QStringLiteral("FaxID"), QStringLiteral("s1")}};
        MessageLocation loc{FolderOutbox, {}};
        QCOMPARE(second.count(FolderOutbox), 0);
        first.save(loc, message, false);
        QCOMPARE(second.count(FolderOutbox), 1);
        QCOMPARE(second.findFaxId(FolderOutbox, QStringLiteral("s1"), QStringLiteral("Shared")), 1);
        MessageLocation other = *second.findEntryId(message.messageId);
        second.move(other, message.messageId, FolderSentItems);
        QCOMPARE(first.count(FolderOutbox), 0);
        QCOMPARE(first.findFaxId(FolderSentItems, QStringLiteral("s1"), std::nullopt), 1);
        bool unread = true;
        QCOMPARE(first.load(loc, message.messageId, &unread).subject, QStringLiteral("Shared"));
        QCOMPARE(loc.folder, int(FolderSentItems));
        QVERIFY(!unread);
        // Many changes of one message: the journal is rewritten short, and the other store
        // reads the rewritten journal from its start.
        for (int i = 0; i < 1100; ++i) {
            message.subject = QStringLiteral("Shared %1").arg(i);
            first.save(loc, message, std::nullopt);
        }
        const qsizetype lines = readFile(mailRoot() + QStringLiteral(".index/Sent.journal")).count('\n');
        QVERIFY2(lines < 200, qPrintable(QString::number(lines)));
        QCOMPARE(second.findFaxId(FolderSentItems, QStringLiteral("s1"), QStringLiteral("Shared 1099")), 1);
        QCOMPARE(MaildirStore(mailRoot()).countWithSubject(FolderSentItems, QStringLiteral("Shared 1099")), 1);

        first.erase(loc, message.messageId);
        QCOMPARE(second.count(FolderSentItems), 0);
        QVERIFY(!second.findEntryId(message.messageId));
    }

    // Move files the item under the same name into the target; Delete moves it into Deleted
    // Items, and deleting it there removes it.
    void moveAndDeleteKeepOneCopy() {
        auto ns = openNamespace();
        auto item = ns->GetDefaultFolder(FolderOutbox)->addItem(QStringLiteral("IPM.Note"));
        item->setSubject(QStringLiteral("Travelling"));
        item->Save();
        const QString name = messageFiles(QStringLiteral(".Outbox")).value(0);
        item->Move(FolderSentItems);
        QCOMPARE(messageFiles(QStringLiteral(".Outbox")), QStringList());
        QCOMPARE(messageFiles(QStringLiteral(".Sent")), QStringList{name});
        QCOMPARE(item->parentEntryID(), ns->GetDefaultFolder(FolderSentItems)->EntryID());
        item->Delete();
        QCOMPARE(messageFiles(QStringLiteral(".Sent")), QStringList());
        QCOMPARE(messageFiles(QStringLiteral(".Trash")), QStringList{name});
        item->Delete();
        QCOMPARE(messageFiles(QStringLiteral(".Trash")), QStringList());
        QCOMPARE(errorOf([&] { item->Delete(); }), err::MapiNotFound);
        QCOMPARE(QFileInfo(folderDir(QStringLiteral(".Sent")) + QStringLiteral("/maildirfolder")).exists(), true);
    }

    // While staged, items saved anew stay out of every reader's sight yet can be read,
    // saved, moved and deleted; they appear, as last saved and where last moved, when the
    // outermost staging ends. Left-over tmp/ files go once they are 36 hours old.
    void stagedItemsAppearOnlyWhole() {
        auto ns = openNamespace();
        MaildirStore reader(mailRoot());
        QString entryId;
        {
            const StagedItems staging;
            auto item = ns->GetDefaultFolder(FolderOutbox)->addItem(QStringLiteral("IPM.Note"));
            item->setSubject(QStringLiteral("Staged"));
            item->Save();
            entryId = item->EntryID();
            item->setUserProperty(QStringLiteral("FaxID"), QStringLiteral("f1"));
            item->setUnRead(true);
            item->Save();
            QCOMPARE(messageFiles(QStringLiteral(".Outbox")), QStringList());
            QCOMPARE(reader.count(FolderOutbox), 0);
            QCOMPARE(ns->GetDefaultFolder(FolderOutbox)->count(), 0);
            QCOMPARE(ns->GetItemFromID(entryId)->userProperty(QStringLiteral("FaxID")).toString(), QStringLiteral("f1"));
            item->Move(FolderSentItems);
            QCOMPARE(item->parentEntryID(), ns->GetDefaultFolder(FolderSentItems)->EntryID());
            {
                const StagedItems inner;
                auto gone = ns->GetDefaultFolder(FolderInbox)->addItem(QStringLiteral("IPM.Note"));
                gone->Save();
                gone->Delete();
                QCOMPARE(gone->parentEntryID(), ns->GetDefaultFolder(FolderDeletedItems)->EntryID());
                gone->Delete();
                QCOMPARE(errorOf([&] { gone->Delete(); }), err::MapiNotFound);
            }
            QCOMPARE(messageFiles(QStringLiteral(".Sent")), QStringList());  // the inner end publishes nothing
            QCOMPARE(reader.count(FolderSentItems), 0);
        }
        for (const QString &folder : {QString(), QStringLiteral(".Outbox"), QStringLiteral(".Trash")})
            QCOMPARE(messageFiles(folder), QStringList());
        QCOMPARE(messageFiles(QStringLiteral(".Sent")).size(), 1);
        for (const QString &folder : {QString(), QStringLiteral(".Outbox"), QStringLiteral(".Sent"), QStringLiteral(".Trash")})
            QCOMPARE(QDir(folderDir(folder) + QStringLiteral("/tmp")).entryList(QDir::Files), QStringList());
        QCOMPARE(reader.findFaxId(FolderSentItems, QStringLiteral("f1"), QStringLiteral("Staged")), 1);
        auto item = ns->GetItemFromID(entryId);
        QVERIFY(item->UnRead());
        QCOMPARE(item->Subject(), QStringLiteral("Staged"));

        // What a killed program left in tmp/: only the old file goes.
        const QString tmp = folderDir(QStringLiteral(".Outbox")) + QStringLiteral("/tmp/");
        QVERIFY(writeFile(tmp + QStringLiteral("old"), "Subject: old\r\n\r\n"));
        QVERIFY(writeFile(tmp + QStringLiteral("recent"), "Subject: recent\r\n\r\n"));
        for (const auto &[name, hours] : {std::pair{QStringLiteral("old"), 37}, std::pair{QStringLiteral("recent"), 35}}) {
            QFile file(tmp + name);
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(-hours * 3600), QFileDevice::FileModificationTime));
        }
        QCOMPARE(MaildirStore(mailRoot()).count(FolderOutbox), 0);
        QCOMPARE(QDir(tmp).entryList(QDir::Files), QStringList{QStringLiteral("recent")});
    }

    // A damaged message, a read-only store and a full disk each fail clearly and leave every
    // existing message as it was.
    void damagedReadOnlyAndFullStoresLoseNothing() {
        auto ns = openNamespace();
        auto folder = ns->GetDefaultFolder(FolderInbox);
        auto kept = folder->addItem(QStringLiteral("IPM.Note"));
        kept->setSubject(QStringLiteral("Keep me"));
        kept->Save();
        const QString keptFile = folderDir(QString()) + u'/' + messageFiles(QString()).value(0);
        const QByteArray keptBytes = readFile(keptFile);
        QVERIFY(writeFile(folderDir(QString()) + QStringLiteral("/cur/1733300003.M4P4.otherhost:2,S"), QByteArray()));
        QVERIFY(writeFile(folderDir(QString()) + QStringLiteral("/cur/1733300004.M5P5.otherhost:2,"), QByteArray("\0\xff\x01garbage\n\n", 12)));
        QCOMPARE(folder->count(), 3);
        QCOMPARE(folder->Items()->Restrict(QStringLiteral("[Subject]='Keep me'"))->count(), 1);
        auto empty = folder->Items()->Item(2);
        QCOMPARE(errorOf([&] { empty->Subject(); }), err::PathFileAccessError);
        QCOMPARE(errorOf([&] { folder->Items()->Item(3)->Subject(); }), err::PathFileAccessError);
        QCOMPARE(readFile(folderDir(QString()) + QStringLiteral("/cur/1733300004.M5P5.otherhost:2,")), QByteArray("\0\xff\x01garbage\n\n", 12));

        const QString big = writeAttachmentFile(QStringLiteral("big.bin"), QByteArray(256 * 1024, 'x'));
        {
            FileSizeLimit limit(64 * 1024);
            auto item = folder->addItem(QStringLiteral("IPM.Note"));
            item->addAttachment(big, 1, QStringLiteral("big"));
            QCOMPARE(errorOf([&] { item->Save(); }), 61);
            kept->addAttachment(big, 1, QStringLiteral("big"));
            QCOMPARE(errorOf([&] { kept->Save(); }), 61);
        }
        QCOMPARE(readFile(keptFile), keptBytes);
        QVERIFY(QDir(folderDir(QString()) + QStringLiteral("/tmp")).isEmpty());
        QCOMPARE(folder->count(), 3);

        kept->removeAttachment(1);
        kept->setSubject(QStringLiteral("Changed"));
        const auto mode = QFile::permissions(folderDir(QString()) + QStringLiteral("/cur"));
        const QFileDevice::Permissions readOnly = QFileDevice::ReadOwner | QFileDevice::ExeOwner;
        QVERIFY(QFile::setPermissions(folderDir(QString()) + QStringLiteral("/cur"), readOnly));
        QVERIFY(QFile::setPermissions(folderDir(QString()) + QStringLiteral("/tmp"), readOnly));
        {
            ObeyFilePermissions obey;
            QCOMPARE(errorOf([&] { kept->Save(); }), err::PermissionDenied);
            auto item = folder->addItem(QStringLiteral("IPM.Note"));
            QCOMPARE(errorOf([&] { item->Save(); }), err::PermissionDenied);
            QCOMPARE(errorOf([&] { kept->Delete(); }), err::PermissionDenied);
        }
        QFile::setPermissions(folderDir(QString()) + QStringLiteral("/cur"), mode);
        QFile::setPermissions(folderDir(QString()) + QStringLiteral("/tmp"), mode);
        QCOMPARE(readFile(keptFile), keptBytes);
        QCOMPARE(folder->count(), 3);
    }

    // Each component exists while it is registered in the classes root.
    void componentsFollowTheirRegistration() {
        for (const QString &name : {ApplicationClass, SessionClass, SafeMailItemClass, MapiUtilsClass})
            QVERIFY2(componentRegistered(name), qPrintable(name));
        QVERIFY(createSession());
        unregister(SessionClass);
        QCOMPARE(errorOf([] { createSession(); }), err::CannotCreateObject);
        QVERIFY(attachRunningApplication());
        unregister(ApplicationClass);
        QCOMPARE(errorOf([] { attachRunningApplication(); }), err::CannotCreateObject);
        QCOMPARE(errorOf([] { startApplication(); }), err::CannotCreateObject);
        unregister(SafeMailItemClass);
        QCOMPARE(errorOf([] { createSafeMailItem(); }), err::CannotCreateObject);
        unregister(MapiUtilsClass);
        QCOMPARE(errorOf([] { createMapiUtils(); }), err::CannotCreateObject);
        for (const QString &name : {ApplicationClass, SessionClass, SafeMailItemClass, MapiUtilsClass}) reregister(name);
        QVERIFY(createMapiUtils());

        // The session writes into the same store, and its message is an item there.
        auto session = createSession();
        session->Logon(false, false);
        auto message = session->Outbox()->addMessage();
        QCOMPARE(errorOf([&] { message->Id(); }), err::MapiNotFound);
        message->setField(QStringLiteral("Subject"), QStringLiteral("From the session"));
        message->setField(QStringLiteral("TimeSent"), QDateTime(QDate(2026, 12, 4), QTime(8, 0), Qt::UTC));
        message->setField(QStringLiteral("Text"), QStringLiteral("body"));
        message->setField(QStringLiteral("Sent"), true);
        QCOMPARE(errorOf([&] { message->setField(QStringLiteral("Colour"), 1); }), err::MapiNotFound);
        message->Update();
        auto item = openNamespace()->GetItemFromID(message->Id());
        QCOMPARE(item->Subject(), QStringLiteral("From the session"));
        QCOMPARE(item->Body(), QStringLiteral("body"));
        QCOMPARE(item->property(tag::PR_CLIENT_SUBMIT_TIME).toDateTime(), QDateTime(QDate(2026, 12, 4), QTime(8, 0), Qt::UTC));
        QCOMPARE(item->parentEntryID(), openNamespace()->GetDefaultFolder(FolderOutbox)->EntryID());
    }
};

QTEST_GUILESS_MAIN(MailStoreTest)
#include "tst_mailstore.moc"
