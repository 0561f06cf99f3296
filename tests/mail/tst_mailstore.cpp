// The mail store on a real Maildir under the test's XDG data directory: what the program
// writes, what other mail programs wrote or changed, and what a damaged, read-only or full
// store does.
#include "MailTestKit.h"
#include "platform/mail/MailClient.h"
#include "platform/mail/MaildirStore.h"

#include <QRegularExpression>
#include <QSysInfo>
#include <QTest>
#include <QTimeZone>
#include <atomic>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace sendmere;
using namespace sendmere::mail;
using namespace sendmere::mailtest;
using namespace Qt::StringLiterals;

namespace {

std::unique_ptr<MailNamespace> openNamespace() { return attachRunningApplication()->GetNamespace(u"MAPI"_s); }

qint32 errorOf(auto &&call) { return test::automationError(call).number(); }

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
    void init() { QDir(mailRoot()).removeRecursively(), QDir(mailRoot() + u".index"_s).removeRecursively(); }

    // Every field, user property, attachment and property an item is given reads back the
    // same from the file after the store was closed, and sits where a mail reader looks.
    void itemRoundTripsThroughTheMaildir() {
        const QString tiff = writeAttachmentFile(u"page.tiff"_s, QByteArray("II*\0fake", 8));
        const QString png = writeAttachmentFile(u"Fax.png"_s, QByteArray("\x89PNG\r\n\x1a\npicture", 16));
        QString entryId;
        {
            auto ns = openNamespace();
            auto folder = ns->GetDefaultFolder(FolderSentItems);
            auto item = folder->Items()->Add(u"IPM.Note"_s);
            QVERIFY(item->EntryID().isEmpty());
            item->setSubject(u"Quarterly figures"_s);
            item->setTo(u"Ann Example[Fax:+49 30 5550100]"_s);
            item->setBody(u"Plain text, äöü"_s);
            item->setUnRead(true);
            item->setImportance(2);
            item->addUserProperty(u"FaxID"_s);
            QCOMPARE(item->userProperty(u"FaxID"_s), QVariant(QString()));
            item->setUserProperty(u"FaxID"_s, u"1042"_s);
            SafeMailItem safe;
            safe.setItem(item.get());
            safe.setHTMLBody(u"<br><IMG src=cid:Fax.png>"_s);
            SafeMailItem::Attachment picture = safe.addAttachment(png);
            picture.setFields(tag::PR_ATTACH_MIME_TAG, u"image/png"_s);
            picture.setFields(tag::PR_ATTACH_CONTENT_ID, u"Page000"_s);
            QCOMPARE(item->addAttachment(tiff, 1, u"FaxImage"_s), 1);
            item->Save();
            entryId = item->EntryID();
            QVERIFY(!entryId.isEmpty());
            MapiUtils utils;
            const QDateTime submitted(QDate(2026, 12, 4), QTime(6, 30), Qt::UTC);
            utils.HrSetOneProp(*item, tag::PR_ICON_INDEX, 0x609, true);
            utils.HrSetOneProp(*item, tag::PR_CLIENT_SUBMIT_TIME, submitted, true);
            utils.HrSetOneProp(*item, tag::PR_SENDER_NAME, u"Bob Sender"_s, true);
            utils.HrSetOneProp(*item, tag::PR_SENDER_EMAIL_ADDRESS, u"5550111"_s, true);
            utils.HrSetOneProp(*item, tag::PR_SENDER_ADDRTYPE, u"Fax"_s, true);
            utils.HrSetOneProp(*item, tag::PR_RECEIVED_BY_EMAIL_ADDRESS, u"5550100"_s, true);
            utils.HrSetOneProp(*item, tag::PR_RECEIVED_BY_ADDRTYPE, u"Fax"_s, true);
            QCOMPARE(item->parentEntryID(), folder->EntryID());
        }
        const QStringList files = messageFiles(u".Sent"_s);
        QCOMPARE(files.size(), 1);
        // Unread and seen by no reader yet: new mail.
        QVERIFY2(files[0].startsWith(QLatin1String("new/")) && !files[0].contains(u':'), qPrintable(files[0]));
        QVERIFY(QDir(folderDir(u".Sent"_s) + u"/tmp"_s).isEmpty());
        const QString text = QString::fromUtf8(readFile(folderDir(u".Sent"_s) + u'/' + files[0]));
        for (const char *line : {"Subject: Quarterly figures", "Importance: high", "X-Priority: 1",
                                 "From: Bob Sender <FAX=5550111@fax.invalid>", "Delivered-To: FAX=5550100@fax.invalid",
                                 "Content-Type: image/tiff", "Content-Id: <Fax.png>", "Content-Type: multipart/related"})
            QVERIFY2(text.contains(QLatin1String(line), Qt::CaseInsensitive), line);
        QVERIFY(text.contains(QRegularExpression(u"To: Ann Example <FAX=\\+4930555?0100@fax.invalid>"_s)) ||
                text.contains(u"FAX=+49305550100@fax.invalid"_s));
        QVERIFY(text.contains(u"filename=FaxImage"_s) || text.contains(u"filename=\"FaxImage\""_s));

        auto ns = openNamespace();
        auto item = ns->GetItemFromID(entryId);
        QCOMPARE(item->Subject(), u"Quarterly figures"_s);
        QCOMPARE(item->To(), u"Ann Example[Fax:+49 30 5550100]"_s);
        QCOMPARE(item->Body(), u"Plain text, äöü"_s);
        QCOMPARE(item->HTMLBody(), u"<br><IMG src=cid:Fax.png>"_s);
        QVERIFY(item->UnRead());
        QCOMPARE(item->Importance(), 2);
        QCOMPARE(item->MessageClass(), u"IPM.Note"_s);
        QCOMPARE(item->userProperty(u"FaxID"_s), QVariant(u"1042"_s));
        QVERIFY(!item->userProperty(u"Other"_s).isValid());
        QCOMPARE(item->attachmentCount(), 2);
        QCOMPARE(item->attachmentDisplayName(1), u"FaxImage"_s);
        QCOMPARE(item->attachmentFileName(1), u"page.tiff"_s);
        QCOMPARE(item->attachmentData(1), QByteArray("II*\0fake", 8));
        QCOMPARE(item->attachmentDisplayName(2), u"Fax.png"_s);
        QCOMPARE(item->attachmentData(2), QByteArray("\x89PNG\r\n\x1a\npicture", 16));
        QCOMPARE(item->attachmentField(2, tag::PR_ATTACH_CONTENT_ID), QVariant(u"Page000"_s));
        QCOMPARE(item->attachmentField(2, tag::PR_ATTACH_MIME_TAG), QVariant(u"image/png"_s));
        QCOMPARE(errorOf([&] { item->attachmentData(3); }), err::SubscriptOutOfRange);
        MapiUtils utils;
        QCOMPARE(utils.HrGetOneProp(*item, tag::PR_ICON_INDEX).toInt(), 0x609);
        QCOMPARE(utils.HrGetOneProp(*item, tag::PR_CLIENT_SUBMIT_TIME).toDateTime(), QDateTime(QDate(2026, 12, 4), QTime(6, 30), Qt::UTC));
        QCOMPARE(utils.HrGetOneProp(*item, tag::PR_SENDER_NAME), QVariant(u"Bob Sender"_s));
        QCOMPARE(utils.HrGetOneProp(*item, tag::PR_RECEIVED_BY_ADDRTYPE), QVariant(u"Fax"_s));
        QCOMPARE(errorOf([&] { utils.HrGetOneProp(*item, tag::PR_RCVD_REPRESENTING_NAME); }), err::MapiNotFound);
        QCOMPARE(errorOf([&] { item->setImportance(3); }), err::InvalidProcedureCall);
    }

    // A message another mail program delivered into new/ is read with its parts, and
    // marking it read moves it to cur/ with the seen flag, its content unchanged.
    void handWrittenMessageIsRead() {
        const QString dir = folderDir(u".Outbox"_s);
        for (const char *sub : {"cur", "new", "tmp"}) QVERIFY(QDir().mkpath(dir + u'/' + QLatin1String(sub)));
        writeFile(dir + u"/new/1733300000.M1P1.otherhost"_s, HandWritten);
        auto ns = openNamespace();
        auto items = ns->GetDefaultFolder(FolderOutbox)->Items();
        QCOMPARE(items->count(), 1);
        auto item = items->Item(1);
        QCOMPARE(item->Subject(), u"Grüße from the office"_s);
        QCOMPARE(item->To(), u"Bob Sender; carol@example.org"_s);
        QCOMPARE(item->Body().trimmed(), u"Schöne Grüße"_s);
        QCOMPARE(item->HTMLBody().trimmed(), u"<p>Hello</p>"_s);
        QCOMPARE(item->Importance(), 2);
        QVERIFY(item->UnRead());
        QCOMPARE(item->EntryID(), u"hand-1@example.org"_s);
        QCOMPARE(item->attachmentCount(), 1);
        QCOMPARE(item->attachmentDisplayName(1), u"data.bin"_s);
        QCOMPARE(item->attachmentData(1), QByteArray("\0\1\2\3\4\5", 6));
        QCOMPARE(item->property(tag::PR_SENDER_NAME), QVariant(u"Jürgen Ann"_s));
        QCOMPARE(item->property(tag::PR_SENDER_EMAIL_ADDRESS), QVariant(u"ann@example.org"_s));
        QCOMPARE(item->property(tag::PR_CLIENT_SUBMIT_TIME).toDateTime(), QDateTime(QDate(2026, 12, 4), QTime(6, 30), Qt::UTC));
        item->setUnRead(false);
        item->Save();
        QCOMPARE(messageFiles(u".Outbox"_s), QStringList{u"cur/1733300000.M1P1.otherhost:2,S"_s});
        const QByteArray saved = readFile(dir + u"/cur/1733300000.M1P1.otherhost:2,S"_s);
        QVERIFY(saved.contains("Return-Path: <ann@example.org>"));
        auto again = openNamespace()->GetItemFromID(u"hand-1@example.org"_s);
        QVERIFY(!again->UnRead());
    }

    // The subject filter, positions from 1, and the FaxID lookup agree with walking the items.
    void restrictCountsAndFindsInFolderOrder() {
        auto ns = openNamespace();
        auto folder = ns->GetDefaultFolder(FolderInbox);
        const QStringList subjects = {u"Fax"_s, u"O'Brien's fax"_s, u"Fax"_s};
        for (int i = 0; i < subjects.size(); ++i) {
            auto item = folder->addItem(u"IPM.Note"_s);
            item->setSubject(subjects[i]);
            item->setUserProperty(u"FaxID"_s, QString::number(100 + i));
            item->Save();
        }
        auto items = folder->Items();
        QCOMPARE(items->count(), 3);
        QCOMPARE(items->Item(2)->Subject(), u"O'Brien's fax"_s);
        QCOMPARE(errorOf([&] { items->Item(0); }), err::SubscriptOutOfRange);
        QCOMPARE(errorOf([&] { items->Item(4); }), err::SubscriptOutOfRange);
        auto faxes = items->Restrict(u"[Subject]='Fax'"_s);
        QCOMPARE(faxes->count(), 2);
        QCOMPARE(faxes->Item(2)->userProperty(u"FaxID"_s), QVariant(u"102"_s));
        QCOMPARE(faxes->findUserProperty(u"FaxID"_s, u"102"_s), 2);
        QCOMPARE(faxes->findUserProperty(u"FaxID"_s, u"101"_s), 0);
        QVERIFY(!faxes->containsUserProperty(u"FaxID"_s, u"101"_s));
        QCOMPARE(items->findUserProperty(u"FaxID"_s, u"101"_s), 2);
        QCOMPARE(items->Restrict(u"[Subject]='O'Brien's fax'"_s)->count(), 1);
        QCOMPARE(items->Restrict(u"[Subject]=''"_s)->count(), 0);
        QCOMPARE(errorOf([&] { items->Restrict(u"[Subject]='unclosed"_s); }), err::InvalidProcedureCall);
        QCOMPARE(errorOf([&] { ns->GetDefaultFolder(7); }), err::InvalidProcedureCall);
        QCOMPARE(errorOf([&] { attachRunningApplication()->GetNamespace(u"IMAP"_s); }), err::InvalidProcedureCall);
    }

    // Flag changes, moves and deletions by another program are noticed: the held item is
    // found where it went, or reported missing, and nothing is duplicated.
    void otherProgramsChangesAreFoundNeverDuplicated() {
        auto ns = openNamespace();
        auto item = ns->GetDefaultFolder(FolderInbox)->addItem(u"IPM.Note"_s);
        item->setSubject(u"Moving"_s);
        item->setUnRead(true);
        item->setUserProperty(u"FaxID"_s, u"7"_s);
        item->Save();
        const QString entryId = item->EntryID();
        const QString fresh = messageFiles(QString()).value(0);
        QVERIFY2(fresh.startsWith(QLatin1String("new/")), qPrintable(fresh));
        // What a reader names it once it has seen it; the tests add the flags.
        const QString name = u"cur/"_s + fresh.mid(4) + u":2,"_s;

        // A mail reader marks it read and flagged.
        QVERIFY(QFile::rename(folderDir(QString()) + u'/' + fresh, folderDir(QString()) + u'/' + name + u"FS"_s));
        auto held = ns->GetItemFromID(entryId);
        QVERIFY(!held->UnRead());
        held->setSubject(u"Moving on"_s);
        held->Save();
        QCOMPARE(messageFiles(QString()), QStringList{name + u"FS"_s});
        QCOMPARE(ns->GetDefaultFolder(FolderInbox)->Items()->Restrict(u"[Subject]='Moving on'"_s)->count(), 1);

        // It files the message into Sent under the same name.
        QVERIFY(QDir().mkpath(folderDir(u".Sent"_s) + u"/cur"_s));
        QVERIFY(QFile::rename(folderDir(QString()) + u'/' + name + u"FS"_s, folderDir(u".Sent"_s) + u'/' + name + u"FS"_s));
        QCOMPARE(held->parentEntryID(), ns->GetDefaultFolder(FolderSentItems)->EntryID());
        QCOMPARE(ns->GetDefaultFolder(FolderInbox)->count(), 0);
        QCOMPARE(ns->GetDefaultFolder(FolderSentItems)->Items()->findUserProperty(u"FaxID"_s, u"7"_s), 1);

        // It copies it into Trash under a new name and removes the original, as IMAP MOVE does.
        const QString moved = folderDir(u".Trash"_s) + u"/cur/1733300001.M2P2.otherhost:2,S"_s;
        writeFile(moved, readFile(folderDir(u".Sent"_s) + u'/' + name + u"FS"_s));
        QVERIFY(QFile::remove(folderDir(u".Sent"_s) + u'/' + name + u"FS"_s));
        auto found = ns->GetItemFromID(entryId);
        QCOMPARE(found->parentEntryID(), ns->GetDefaultFolder(FolderDeletedItems)->EntryID());
        QCOMPARE(found->Subject(), u"Moving on"_s);

        // It deletes it for good.
        QVERIFY(QFile::remove(moved));
        QCOMPARE(errorOf([&] { found->Save(); }), err::MapiNotFound);
        QCOMPARE(errorOf([&] { ns->GetItemFromID(entryId); }), err::MapiNotFound);
        for (const QString &f : {QString(), u".Sent"_s, u".Trash"_s, u".Outbox"_s}) QVERIFY2(messageFiles(f).isEmpty(), qPrintable(f));
    }

    // The index beside the Maildir survives a restart: an unchanged folder is answered from it
    // without reading the messages again, and a folder another program changed is read anew.
    void indexSurvivesRestartAndNoticesChanges() {
        {
            auto folder = openNamespace()->GetDefaultFolder(FolderOutbox);
            for (int i = 0; i < 3; ++i) {
                auto item = folder->addItem(u"IPM.Note"_s);
                item->setSubject(u"Indexed %1"_s.arg(i));
                item->setUserProperty(u"FaxID"_s, u"idx%1"_s.arg(i));
                item->Save();
            }
        }
        QVERIFY(QFileInfo::exists(mailRoot() + u".index/Outbox.journal"_s));
        // The first write made every folder; asking an unchanged folder again and again
        // reads nothing and records nothing.
        for (const char *dir : {"", "/.Sent", "/.Trash"}) QVERIFY(QFileInfo::exists(mailRoot() + QLatin1String(dir) + u"/cur"_s));
        QCOMPARE(openNamespace()->GetDefaultFolder(FolderDeletedItems)->count(), 0);  // read once
        const QByteArray journal = readFile(mailRoot() + u".index/Trash.journal"_s);
        for (int i = 0; i < 50; ++i) QCOMPARE(openNamespace()->GetDefaultFolder(FolderDeletedItems)->count(), 0);
        QCOMPARE(readFile(mailRoot() + u".index/Trash.journal"_s), journal);
        // Rewritten in place, the directory unchanged: only the index still knows the old subject.
        const QString first = folderDir(u".Outbox"_s) + u'/' + messageFiles(u".Outbox"_s).value(0);
        QByteArray bytes = readFile(first);
        bytes.replace("Subject: Indexed 0", "Subject: Changed 0");
        {
            QFile file(first);
            QVERIFY(file.open(QIODevice::ReadWrite));
            file.write(bytes);
        }
        {
            auto items = openNamespace()->GetDefaultFolder(FolderOutbox)->Items();
            QCOMPARE(items->Restrict(u"[Subject]='Indexed 0'"_s)->count(), 1);
            QCOMPARE(items->findUserProperty(u"FaxID"_s, u"idx2"_s), 3);
        }
        // A message another program delivers changes the directory: the folder is read again.
        writeFile(folderDir(u".Outbox"_s) + u"/new/1733300002.M3P3.otherhost"_s, HandWritten);
        auto items = openNamespace()->GetDefaultFolder(FolderOutbox)->Items();
        QCOMPARE(items->count(), 4);
        QCOMPARE(items->Restrict(u"[Subject]='Grüße from the office'"_s)->count(), 1);
        QCOMPARE(items->findUserProperty(u"FaxID"_s, u"idx1"_s), 2);
    }

    // Two programs on one store (two store objects here, each with its own index) see each
    // other's additions and deletions, through the shared journal or the folder itself.
    void twoStoresOnOneMaildirAgree() {
        MaildirStore first(mailRoot()), second(mailRoot());
        MessageData message;
        message.messageId = MaildirStore::newEntryId();
        message.subject = u"Shared"_s;
        message.userProperties = {{u"FaxID"_s, u"s1"_s}};
        MessageLocation loc{FolderOutbox, {}};
        QCOMPARE(second.count(FolderOutbox), 0);
        first.save(loc, message, false);
        QCOMPARE(second.count(FolderOutbox), 1);
        QCOMPARE(second.findFaxId(FolderOutbox, u"s1"_s, u"Shared"_s), 1);
        MessageLocation other = *second.findEntryId(message.messageId);
        second.move(other, message.messageId, FolderSentItems);
        QCOMPARE(first.count(FolderOutbox), 0);
        QCOMPARE(first.findFaxId(FolderSentItems, u"s1"_s, std::nullopt), 1);
        bool unread = true;
        QCOMPARE(first.load(loc, message.messageId, &unread).subject, u"Shared"_s);
        QCOMPARE(loc.folder, int(FolderSentItems));
        QVERIFY(!unread);
        // Many changes of one message: the journal is rewritten short, and the other store
        // reads the rewritten journal from its start.
        for (int i = 0; i < 1100; ++i) {
            message.subject = u"Shared %1"_s.arg(i);
            first.save(loc, message, std::nullopt);
        }
        const qsizetype lines = readFile(mailRoot() + u".index/Sent.journal"_s).count('\n');
        QVERIFY2(lines < 200, qPrintable(QString::number(lines)));
        QCOMPARE(second.findFaxId(FolderSentItems, u"s1"_s, u"Shared 1099"_s), 1);
        QCOMPARE(MaildirStore(mailRoot()).countWithSubject(FolderSentItems, u"Shared 1099"_s), 1);

        first.erase(loc, message.messageId);
        QCOMPARE(second.count(FolderSentItems), 0);
        QVERIFY(!second.findEntryId(message.messageId));
    }

    // Move files the item under the same name into the target; Delete moves it into Deleted
    // Items, and deleting it there removes it.
    void moveAndDeleteKeepOneCopy() {
        auto ns = openNamespace();
        auto item = ns->GetDefaultFolder(FolderOutbox)->addItem(u"IPM.Note"_s);
        item->setSubject(u"Travelling"_s);
        item->Save();
        const QString name = messageFiles(u".Outbox"_s).value(0);
        item->Move(FolderSentItems);
        QCOMPARE(messageFiles(u".Outbox"_s), QStringList());
        QCOMPARE(messageFiles(u".Sent"_s), QStringList{name});
        QCOMPARE(item->parentEntryID(), ns->GetDefaultFolder(FolderSentItems)->EntryID());
        item->Delete();
        QCOMPARE(messageFiles(u".Sent"_s), QStringList());
        QCOMPARE(messageFiles(u".Trash"_s), QStringList{name});
        item->Delete();
        QCOMPARE(messageFiles(u".Trash"_s), QStringList());
        QCOMPARE(errorOf([&] { item->Delete(); }), err::MapiNotFound);
        QCOMPARE(QFileInfo(folderDir(u".Sent"_s) + u"/maildirfolder"_s).exists(), true);
    }

    // While staged, items saved anew stay out of every reader's sight yet can be read,
    // saved, moved and deleted; they appear, as last saved and where last moved, when the
    // outermost staging ends. Left-over tmp/ files go once they are 36 hours old.
    void stagedItemsAppearOnlyWhole() {
        auto ns = openNamespace();
        MaildirStore reader(mailRoot());
        QString entryId;
        {
            StagedItems staging;
            auto item = ns->GetDefaultFolder(FolderOutbox)->addItem(u"IPM.Note"_s);
            item->setSubject(u"Staged"_s);
            item->Save();
            entryId = item->EntryID();
            item->setUserProperty(u"FaxID"_s, u"f1"_s);
            item->setUnRead(true);
            item->Save();
            QCOMPARE(messageFiles(u".Outbox"_s), QStringList());
            QCOMPARE(reader.count(FolderOutbox), 0);
            QCOMPARE(ns->GetDefaultFolder(FolderOutbox)->count(), 0);
            QCOMPARE(ns->GetItemFromID(entryId)->userProperty(u"FaxID"_s).toString(), u"f1"_s);
            item->Move(FolderSentItems);
            QCOMPARE(item->parentEntryID(), ns->GetDefaultFolder(FolderSentItems)->EntryID());
            {
                const StagedItems inner;
                auto gone = ns->GetDefaultFolder(FolderInbox)->addItem(u"IPM.Note"_s);
                gone->Save();
                gone->Delete();
                QCOMPARE(gone->parentEntryID(), ns->GetDefaultFolder(FolderDeletedItems)->EntryID());
                gone->Delete();
                QCOMPARE(errorOf([&] { gone->Delete(); }), err::MapiNotFound);
            }
            QCOMPARE(messageFiles(u".Sent"_s), QStringList());  // the inner end publishes nothing
            QCOMPARE(reader.count(FolderSentItems), 0);
            staging.keep();
        }
        for (const QString &folder : {QString(), u".Outbox"_s, u".Trash"_s}) QCOMPARE(messageFiles(folder), QStringList());
        QCOMPARE(messageFiles(u".Sent"_s).size(), 1);
        for (const QString &folder : {QString(), u".Outbox"_s, u".Sent"_s, u".Trash"_s})
            QCOMPARE(QDir(folderDir(folder) + u"/tmp"_s).entryList(QDir::Files), QStringList());
        QCOMPARE(reader.findFaxId(FolderSentItems, u"f1"_s, u"Staged"_s), 1);
        auto item = ns->GetItemFromID(entryId);
        QVERIFY(item->UnRead());
        QCOMPARE(item->Subject(), u"Staged"_s);

        // What a killed program left in tmp/: only the old file goes.
        const QString tmp = folderDir(u".Outbox"_s) + u"/tmp/"_s;
        writeFile(tmp + u"old"_s, "Subject: old\r\n\r\n");
        writeFile(tmp + u"recent"_s, "Subject: recent\r\n\r\n");
        for (const auto &[name, hours] : {std::pair{u"old"_s, 37}, std::pair{u"recent"_s, 35}}) {
            QFile file(tmp + name);
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.setFileTime(QDateTime::currentDateTime().addSecs(-hours * 3600), QFileDevice::FileModificationTime));
        }
        // This program's own leftovers go at once when the process that wrote them has
        // ended; those of a running process stay.
        const QString host = QSysInfo::machineHostName();
        const pid_t ended = [] {
            const pid_t child = ::fork();
            if (child == 0) ::_exit(0);
            ::waitpid(child, nullptr, 0);
            return child;
        }();
        const QString killed = u"1733300010.M1P%1Q7.%2"_s.arg(ended).arg(host);
        const QString replacing = u"1733300011.M1P%1Q8.%2.%3.2"_s.arg(::getppid()).arg(host).arg(ended);
        const QString running = u"1733300012.M1P%1Q9.%2"_s.arg(::getppid()).arg(host);
        for (const QString &name : {killed, replacing, running}) writeFile(tmp + name, "Subject: half\r\n\r\n");
        QCOMPARE(MaildirStore(mailRoot()).count(FolderOutbox), 0);
        QCOMPARE(QDir(tmp).entryList(QDir::Files), (QStringList{running, u"recent"_s}));
    }

    // An item is kept only when its maker said it is whole and no write failed meanwhile:
    // otherwise nothing of it appears, tmp/ is left empty, and a watch on the store raises
    // the failure.
    void aStagingThatFailedPublishesNothing() {
        auto ns = openNamespace();
        const QString big = writeAttachmentFile(u"big.bin"_s, QByteArray(256 * 1024, 'x'));
        for (const bool kept : {false, true}) {
            const StoreWatch watch;
            {
                StagedItems staging;
                auto item = ns->GetDefaultFolder(FolderInbox)->addItem(u"IPM.Note"_s);
                item->setSubject(u"Fax"_s);
                item->Save();  // small: it fits
                item->addAttachment(big, 1, u"FaxImage"_s);
                item->setUserProperty(u"FaxID"_s, u"full"_s);
                FileSizeLimit limit(64 * 1024);
                QCOMPARE(errorOf([&] { item->Save(); }), 61);
                if (kept) staging.keep();
            }
            QCOMPARE(messageFiles(QString()), QStringList());
            QCOMPARE(QDir(folderDir(QString()) + u"/tmp"_s).entryList(QDir::Files), QStringList());
            QCOMPARE(errorOf([&] { watch.check(); }), 61);
        }
        // Not kept, without any failure: gone as well, and the watch says so.
        const StoreWatch watch;
        {
            const StagedItems staging;
            auto item = ns->GetDefaultFolder(FolderInbox)->addItem(u"IPM.Note"_s);
            item->setSubject(u"Fax"_s);
            item->Save();
        }
        QCOMPARE(messageFiles(QString()), QStringList());
        QCOMPARE(errorOf([&] { watch.check(); }), err::PathFileAccessError);
        const StoreWatch quiet;
        {
            StagedItems staging;
            auto item = ns->GetDefaultFolder(FolderInbox)->addItem(u"IPM.Note"_s);
            item->Save();
            staging.keep();
        }
        QCOMPARE(messageFiles(QString()).size(), 1);
        quiet.check();
    }

    // A subject that looks like encoded words, that the MIME library would split into
    // adjacent padded words, or that begins or ends with a blank, reads back from the file as
    // it was written, so that the duplicate check still finds its item by subject.
    void subjectsThatLookEncodedReadBackAsWritten() {
        const QStringList subjects = {u"=?utf-8?q?abc?="_s, u"Invoice =?iso-8859-1?q?x?= due"_s,
                                      u"Grüße =?utf-8?b?R3LDvA==?= "_s + QString(60, u'ü'), u"plain"_s,
                                      u"Grüße fro"_s + QString(37, u'Í') + u"m the office"_s, u" Annou"_s, u"due\t"_s};
        {
            MaildirStore writer(mailRoot());
            for (const QString &subject : subjects) {
                MessageData m;
                m.messageId = MaildirStore::newEntryId();
                m.subject = subject;
                MessageLocation loc{FolderOutbox, {}};
                writer.save(loc, m, false);
            }
        }
        QVERIFY(QFile::remove(mailRoot() + u".index/Outbox.journal"_s));  // read from the files
        MaildirStore reader(mailRoot());
        for (const QString &subject : subjects) QVERIFY2(reader.countWithSubject(FolderOutbox, subject) == 1, qPrintable(subject));
    }

    // Whatever the index says (a journal cut in the middle of a line, random bytes, a
    // folder whose times did not change), a fax the folder holds is found by its "FaxID",
    // and a second item for it is never published.
    void theFaxIdRuleHoldsWhateverTheIndexSays() {
        const auto faxItem = [](const QString &faxId) {
            MessageData m;
            m.messageId = MaildirStore::newEntryId();
            m.subject = u"Fax"_s;
            m.userProperties = {{u"FaxID"_s, faxId}};
            return m;
        };
        const auto add = [&](MaildirStore &store, const QString &faxId) {
            MessageLocation loc{FolderInbox, {}};
            store.save(loc, faxItem(faxId), true);
        };
        // What the import does for one fax: check, then make it within a staging.
        const auto importOne = [&](MaildirStore &store, const QString &faxId) {
            store.beginStaging();
            if (store.findFaxId(FolderInbox, faxId, u"Fax"_s) == 0) add(store, faxId);
            store.endStaging();
        };
        const QString journal = mailRoot() + u".index/INBOX.journal"_s;
        const auto appendToJournal = [&](const QByteArray &bytes) {
            QFile file(journal);
            QVERIFY(file.open(QIODevice::Append));
            file.write(bytes);
        };
        {
            MaildirStore first(mailRoot());
            for (const char *id : {"a1", "a2", "a3"}) add(first, QString::fromLatin1(id));
        }
        // A writer killed in the middle of its line; the next writer's line is glued to it,
        // and a later one says the folder is current.
        appendToJournal("+\t1733300000.0\t1733300000.0\tcut-");
        {
            MaildirStore second(mailRoot());
            add(second, u"a4"_s);
            add(second, u"a5"_s);
        }
        for (const char *id : {"a1", "a2", "a3", "a4", "a5"})
            QVERIFY2(MaildirStore(mailRoot()).findFaxId(FolderInbox, QString::fromLatin1(id), u"Fax"_s) > 0, id);
        // Random bytes, with tabs and line ends among them, in the middle and at the end.
        QByteArray noise;
        quint32 seed = 19;
        for (int i = 0; i < 600; ++i) {
            seed = seed * 1103515245u + 12345u;
            const char c = char(seed >> 16);
            noise += (i % 37 == 0) ? '\n' : (i % 11 == 0) ? '\t' : c;
        }
        appendToJournal(noise);
        {
            MaildirStore third(mailRoot());
            add(third, u"a6"_s);
            add(third, u"b6"_s);
        }
        MaildirStore reader(mailRoot());
        QCOMPARE(reader.count(FolderInbox), 7);
        for (const char *id : {"a1", "a2", "a3", "a4", "a5", "a6", "b6"})
            QVERIFY2(reader.findFaxId(FolderInbox, QString::fromLatin1(id), u"Fax"_s) > 0, id);
        for (const char *id : {"a1", "a4", "a5", "a6"}) importOne(reader, QString::fromLatin1(id));
        QCOMPARE(messageFiles(QString()).size(), 7);

        // An item the index cannot know of: another program restored it and set the
        // folder's time back. The folder itself is asked before the new item appears.
        const QByteArray curDir = QFile::encodeName(folderDir(QString()) + u"/cur"_s);
        struct stat before {};
        QCOMPARE(::stat(curDir.constData(), &before), 0);
        MaildirStore stale(mailRoot());
        QCOMPARE(stale.count(FolderInbox), 7);
        MaildirStore other(mailRoot() + u"-elsewhere"_s);
        MessageLocation loc{FolderInbox, {}};
        other.save(loc, faxItem(u"a7"_s), false);  // read: it lands in cur/
        const QString restored = messageFiles(u"../Mail-elsewhere"_s).value(0);
        QVERIFY(QFile::rename(folderDir(u"../Mail-elsewhere"_s) + u'/' + restored, folderDir(QString()) + u'/' + restored));
        const struct timespec times[2] = {before.st_atim, before.st_mtim};
        QCOMPARE(::utimensat(AT_FDCWD, curDir.constData(), times, 0), 0);
        QCOMPARE(stale.findFaxId(FolderInbox, u"a7"_s, u"Fax"_s), 0);  // the index does not know it
        importOne(stale, u"a7"_s);
        QCOMPARE(messageFiles(QString()).size(), 8);
        QCOMPARE(stale.findFaxId(FolderInbox, u"a7"_s, u"Fax"_s), 8);
    }

    // Another program changes flags (renames cur/X:2, to cur/X:2,S and back) while the
    // index is rebuilt from the folder: no message is missed.
    void renamesDuringARebuildMissNothing() {
        MaildirStore writer(mailRoot());
        for (int i = 0; i < 300; ++i) {
            MessageData m;
            m.messageId = MaildirStore::newEntryId();
            m.subject = u"Fax"_s;
            m.userProperties = {{u"FaxID"_s, u"r%1"_s.arg(i)}};
            MessageLocation loc{FolderInbox, {}};
            writer.save(loc, m, true);
        }
        const QString cur = folderDir(QString()) + u"/cur/"_s;
        const QStringList names = QDir(cur).entryList(QDir::Files);
        QStringList missed;
        for (int round = 0; round < 20; ++round) {
            QFile::remove(mailRoot() + u".index/INBOX.journal"_s);
            std::atomic<bool> stop{false};
            std::thread flagger([&] {
                for (int pass = 0; !stop; ++pass) {
                    for (int i = 0; i < names.size() && !stop; i += 7) {
                        const QByteArray plain = QFile::encodeName(cur + names[i]);
                        const QByteArray seen = plain + 'S';
                        const bool even = pass % 2 == 0;
                        ::rename((even ? plain : seen).constData(), (even ? seen : plain).constData());
                    }
                }
            });
            MaildirStore rebuilt(mailRoot());
            rebuilt.count(FolderInbox);  // rebuilt while the files are renamed
            stop = true;
            flagger.join();
            const int counted = rebuilt.count(FolderInbox);
            if (counted != 300) missed << u"round %1: %2 items"_s.arg(round).arg(counted);
            for (int i = 0; i < 300; ++i)
                if (rebuilt.findFaxId(FolderInbox, u"r%1"_s.arg(i), u"Fax"_s) == 0) missed << u"round %1: r%2"_s.arg(round).arg(i);
        }
        QVERIFY2(missed.isEmpty(), qPrintable(missed.join(u", "_s)));
    }

    // What is not a message file in cur/ or new/ (a folder named like a message, a FIFO,
    // a link to a device or to a message) is left out and never read; an item cut short
    // where it lies is set aside into Deleted Items, so that its fax is made again.
    void onlyWholeRegularFilesAreItems() {
        MaildirStore store(mailRoot());
        MessageData m;
        m.messageId = MaildirStore::newEntryId();
        m.subject = u"Fax"_s;
        m.userProperties = {{u"FaxID"_s, u"whole"_s}};
        m.body = QString(20000, u'x');
        MessageLocation loc{FolderInbox, {}};
        store.save(loc, m, true);
        const QString cur = folderDir(QString()) + u"/cur/"_s;
        const QString message = folderDir(QString()) + u'/' + messageFiles(QString()).value(0);  // unread: in new/
        QVERIFY(QDir().mkdir(cur + u"1733300020.M1P1.otherhost:2,"_s));
        QCOMPARE(::mkfifo(QFile::encodeName(cur + u"1733300021.M1P1.otherhost:2,"_s).constData(), 0600), 0);
        QVERIFY(QFile::link(u"/dev/zero"_s, cur + u"1733300022.M1P1.otherhost:2,"_s));
        QVERIFY(QFile::link(message, cur + u"1733300023.M1P1.otherhost:2,"_s));
        QCOMPARE(::mkfifo(QFile::encodeName(folderDir(QString()) + u"/new/1733300024.M1P1.otherhost"_s).constData(), 0600), 0);
        MaildirStore reader(mailRoot());
        QCOMPARE(reader.count(FolderInbox), 1);
        QCOMPARE(reader.findFaxId(FolderInbox, u"whole"_s, u"Fax"_s), 1);

        // Cut short in place: the directory does not change, the item is no longer whole.
        QVERIFY(QFile::resize(message, 300));
        QCOMPARE(reader.findFaxId(FolderInbox, u"whole"_s, u"Fax"_s), 0);
        QCOMPARE(reader.count(FolderInbox), 0);
        QCOMPARE(reader.count(FolderDeletedItems), 1);
        QCOMPARE(messageFiles(u".Trash"_s).size(), 1);
        MessageLocation again{FolderInbox, {}};
        reader.save(again, m, true);
        QCOMPARE(MaildirStore(mailRoot()).findFaxId(FolderInbox, u"whole"_s, u"Fax"_s), 1);
    }

    // A damaged message, a read-only store and a full disk each fail clearly and leave every
    // existing message as it was.
    void damagedReadOnlyAndFullStoresLoseNothing() {
        auto ns = openNamespace();
        auto folder = ns->GetDefaultFolder(FolderInbox);
        auto kept = folder->addItem(u"IPM.Note"_s);
        kept->setSubject(u"Keep me"_s);
        kept->Save();
        const QString keptFile = folderDir(QString()) + u'/' + messageFiles(QString()).value(0);
        const QByteArray keptBytes = readFile(keptFile);
        writeFile(folderDir(QString()) + u"/cur/1733300003.M4P4.otherhost:2,S"_s, QByteArray());
        writeFile(folderDir(QString()) + u"/cur/1733300004.M5P5.otherhost:2,"_s, QByteArray("\0\xff\x01garbage\n\n", 12));
        QCOMPARE(folder->count(), 3);
        QCOMPARE(folder->Items()->Restrict(u"[Subject]='Keep me'"_s)->count(), 1);
        auto empty = folder->Items()->Item(2);
        QCOMPARE(errorOf([&] { empty->Subject(); }), err::PathFileAccessError);
        QCOMPARE(errorOf([&] { folder->Items()->Item(3)->Subject(); }), err::PathFileAccessError);
        QCOMPARE(readFile(folderDir(QString()) + u"/cur/1733300004.M5P5.otherhost:2,"_s), QByteArray("\0\xff\x01garbage\n\n", 12));

        const QString big = writeAttachmentFile(u"big.bin"_s, QByteArray(256 * 1024, 'x'));
        {
            FileSizeLimit limit(64 * 1024);
            auto item = folder->addItem(u"IPM.Note"_s);
            item->addAttachment(big, 1, u"big"_s);
            QCOMPARE(errorOf([&] { item->Save(); }), 61);
            kept->addAttachment(big, 1, u"big"_s);
            QCOMPARE(errorOf([&] { kept->Save(); }), 61);
        }
        QCOMPARE(readFile(keptFile), keptBytes);
        QVERIFY(QDir(folderDir(QString()) + u"/tmp"_s).isEmpty());
        QCOMPARE(folder->count(), 3);

        kept->removeAttachment(1);
        kept->setSubject(u"Changed"_s);
        {
            ReadOnlyFolder readOnly{QString()};
            QCOMPARE(errorOf([&] { kept->Save(); }), err::PermissionDenied);
            auto item = folder->addItem(u"IPM.Note"_s);
            QCOMPARE(errorOf([&] { item->Save(); }), err::PermissionDenied);
            QCOMPARE(errorOf([&] { kept->Delete(); }), err::PermissionDenied);
        }
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
        message->setField(u"Subject"_s, u"From the session"_s);
        message->setField(u"TimeSent"_s, QDateTime(QDate(2026, 12, 4), QTime(8, 0), Qt::UTC));
        message->setField(u"Text"_s, u"body"_s);
        message->setField(u"Sent"_s, true);
        QCOMPARE(errorOf([&] { message->setField(u"Colour"_s, 1); }), err::MapiNotFound);
        message->Update();
        auto item = openNamespace()->GetItemFromID(message->Id());
        QCOMPARE(item->Subject(), u"From the session"_s);
        QCOMPARE(item->Body(), u"body"_s);
        QCOMPARE(item->property(tag::PR_CLIENT_SUBMIT_TIME).toDateTime(), QDateTime(QDate(2026, 12, 4), QTime(8, 0), Qt::UTC));
        QCOMPARE(item->parentEntryID(), openNamespace()->GetDefaultFolder(FolderOutbox)->EntryID());
    }
};

QTEST_GUILESS_MAIN(MailStoreTest)
#include "tst_mailstore.moc"
