// The mail store on a real Maildir under the test's XDG data directory: what the program writes, what other mail programs wrote or changed,
// and what a damaged, read-only or full store does.
#include "MailTestKit.h"
#include "platform/mail/MaildirStore.h"

#include <QRegularExpression>
#include <QSysInfo>
#include <atomic>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace sendmere;
using namespace sendmere::mail;
using namespace sendmere::mailtest;

namespace {

const QDateTime Submitted(QDate(2026, 12, 4), QTime(6, 30), Qt::UTC);
const QByteArray Tiff("II*\0fake", 8), Png("\x89PNG\r\n\x1a\npicture", 16);

// A message as another mail program delivers it: multipart, quoted-printable and base64, encoded words, no headers of ours.
const QByteArray HandWritten = "Return-Path: <ann@example.org>\r\nFrom: =?utf-8?q?J=C3=BCrgen_Ann?= <ann@example.org>\r\n"
                               "To: Bob Sender <bob@example.org>, carol@example.org\r\n"
                               "Subject: =?utf-8?q?Gr=C3=BC=C3=9Fe?= from the office\r\nDate: Fri, 04 Dec 2026 07:30:00 +0100\r\n"
                               "Message-ID: <hand-1@example.org>\r\nX-Priority: 1\r\nMIME-Version: 1.0\r\n"
                               "Content-Type: multipart/mixed; boundary=\"outer\"\r\n\r\n--outer\r\n"
                               "Content-Type: multipart/alternative; boundary=\"inner\"\r\n\r\n--inner\r\n"
                               "Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
                               "Sch=C3=B6ne Gr=C3=BC=C3=9Fe\r\n--inner\r\nContent-Type: text/html; charset=us-ascii\r\n\r\n"
                               "<p>Hello</p>\r\n--inner--\r\n--outer\r\nContent-Type: application/octet-stream; name=\"data.bin\"\r\n"
                               "Content-Disposition: attachment; filename=\"data.bin\"\r\nContent-Transfer-Encoding: base64\r\n\r\n"
                               "AAECAwQF\r\n--outer--\r\n";

// An item made through the namespace, saved once.
std::unique_ptr<MailItem> addItem(int folder, const QString &subject, const QString &faxId = {}) {
    auto item = openNamespace()->GetDefaultFolder(folder)->addItem(u"IPM.Note"_s);
    item->setSubject(subject);
    if (!faxId.isEmpty()) item->setUserProperty(u"FaxID"_s, faxId);
    item->Save();
    return item;
}

MessageData fax(const QString &faxId, const QString &subject = u"Fax"_s) {
    MessageData m;
    m.messageId = MaildirStore::newEntryId();
    m.subject = subject;
    if (!faxId.isEmpty()) m.userProperties = {{u"FaxID"_s, faxId}};
    return m;
}
// Writes a new message straight into the store: unread ones land in new/, read ones in cur/.
MessageLocation put(MaildirStore &store, int folder, const MessageData &m, bool unread = true) {
    MessageLocation loc{folder, {}};
    store.save(loc, m, unread);
    return loc;
}

QString entryOf(const QString &folder, int i = 0) { return folderDir(folder) + u'/' + messageFiles(folder).value(i); }

}  // namespace

class MailStoreTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init() { QDir(mailRoot()).removeRecursively(), QDir(mailRoot() + u".index"_s).removeRecursively(); }

    // Every field, user property, attachment and property an item is given reads back the
    // same after the store was closed, and sits in the file where a mail reader looks.
    void itemRoundTripsThroughTheMaildir() {
        QString entryId;
        {
            auto folder = openNamespace()->GetDefaultFolder(FolderSentItems);
            auto item = folder->Items()->Add(u"IPM.Note"_s);
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
            SafeMailItem::Attachment picture = safe.addAttachment(tempFile(u"Fax.png"_s, Png));
            picture.setFields(tag::PR_ATTACH_MIME_TAG, u"image/png"_s);
            picture.setFields(tag::PR_ATTACH_CONTENT_ID, u"Page000"_s);
            QCOMPARE(item->addAttachment(tempFile(u"page.tiff"_s, Tiff), 1, u"FaxImage"_s), 1);
            item->Save();
            entryId = item->EntryID();
            QVERIFY(!entryId.isEmpty());
            MapiUtils utils;
            const QList<QPair<quint32, QVariant>> props = {
                {tag::PR_ICON_INDEX, 0x609}, {tag::PR_CLIENT_SUBMIT_TIME, Submitted}, {tag::PR_SENDER_NAME, u"Bob Sender"_s},
                {tag::PR_SENDER_EMAIL_ADDRESS, u"5550111"_s}, {tag::PR_SENDER_ADDRTYPE, u"Fax"_s},
                {tag::PR_RECEIVED_BY_EMAIL_ADDRESS, u"5550100"_s}, {tag::PR_RECEIVED_BY_ADDRTYPE, u"Fax"_s}};
            for (const auto &[t, value] : props) utils.HrSetOneProp(*item, t, value, true);
            QCOMPARE(item->parentEntryID(), folder->EntryID());
        }
        const QStringList files = messageFiles(u".Sent"_s);
        QCOMPARE(files.size(), 1);
        QVERIFY2(files[0].startsWith(QLatin1String("new/")) && !files[0].contains(u':'), qPrintable(files[0]));  // unread, unseen: new mail
        QVERIFY(QDir(folderDir(u".Sent"_s) + u"/tmp"_s).isEmpty());
        const QString text = QString::fromUtf8(readFile(entryOf(u".Sent"_s)));
        for (const char *line : {"Subject: Quarterly figures", "From: Bob Sender <FAX=5550111@fax.invalid>", "Delivered-To: FAX=5550100@fax.invalid",
                                 "Importance: high", "X-Priority: 1 (Highest)"})
            QVERIFY2(text.contains(QLatin1String(line), Qt::CaseInsensitive), line);
        QVERIFY(text.contains(QRegularExpression(u"To: Ann Example <FAX=\\+4930555?0100@fax.invalid>"_s)) || text.contains(u"FAX=+49305550100@fax.invalid"_s));

        auto item = openNamespace()->GetItemFromID(entryId);
        QCOMPARE((QVariantList{item->Subject(), item->To(), item->Body(), item->HTMLBody(), item->UnRead(), item->Importance(),
                               item->MessageClass(), item->userProperty(u"FaxID"_s), item->userProperty(u"Other"_s).isValid()}),
                 (QVariantList{u"Quarterly figures"_s, u"Ann Example[Fax:+49 30 5550100]"_s, u"Plain text, äöü"_s,
                               u"<br><IMG src=cid:Fax.png>"_s, true, 2, u"IPM.Note"_s, u"1042"_s, false}));
        QCOMPARE((QVariantList{item->attachmentCount(), item->attachmentDisplayName(1), item->attachmentFileName(1), item->attachmentData(1),
                               item->attachmentDisplayName(2), item->attachmentData(2), item->attachmentField(2, tag::PR_ATTACH_CONTENT_ID),
                               item->attachmentField(2, tag::PR_ATTACH_MIME_TAG)}),
                 (QVariantList{2, u"FaxImage"_s, u"page.tiff"_s, Tiff, u"Fax.png"_s, Png, u"Page000"_s, u"image/png"_s}));
        QCOMPARE(errorOf([&] { item->attachmentData(3); }), err::SubscriptOutOfRange);
        MapiUtils utils;
        QCOMPARE((QVariantList{utils.HrGetOneProp(*item, tag::PR_ICON_INDEX).toInt(), utils.HrGetOneProp(*item, tag::PR_CLIENT_SUBMIT_TIME).toDateTime(),
                               utils.HrGetOneProp(*item, tag::PR_SENDER_NAME), utils.HrGetOneProp(*item, tag::PR_RECEIVED_BY_ADDRTYPE)}),
                 (QVariantList{0x609, Submitted, u"Bob Sender"_s, u"Fax"_s}));
        QCOMPARE(errorOf([&] { utils.HrGetOneProp(*item, tag::PR_RCVD_REPRESENTING_NAME); }), err::MapiNotFound);
        QCOMPARE(errorOf([&] { item->setImportance(3); }), err::InvalidProcedureCall);
    }

    // A message another mail program delivered into new/ is read with its parts; marking it
    // read moves it to cur/ with the seen flag, its content unchanged.
    void handWrittenMessageIsRead() {
        const QString dir = folderDir(u".Outbox"_s);
        for (const char *sub : {"/cur", "/new", "/tmp"}) QVERIFY(QDir().mkpath(dir + QLatin1String(sub)));
        writeFile(dir + u"/new/1733300000.M1P1.otherhost"_s, HandWritten);
        auto items = openNamespace()->GetDefaultFolder(FolderOutbox)->Items();
        QCOMPARE(items->count(), 1);
        auto item = items->Item(1);
        QCOMPARE((QVariantList{item->Subject(), item->To(), item->Body().trimmed(), item->HTMLBody().trimmed(), item->Importance(),
                               item->UnRead(), item->EntryID(), item->attachmentCount(), item->attachmentDisplayName(1),
                               item->attachmentData(1), item->property(tag::PR_SENDER_NAME),
                               item->property(tag::PR_SENDER_EMAIL_ADDRESS), item->property(tag::PR_CLIENT_SUBMIT_TIME).toDateTime()}),
                 (QVariantList{u"Grüße from the office"_s, u"Bob Sender; carol@example.org"_s, u"Schöne Grüße"_s, u"<p>Hello</p>"_s, 2,
                               true, u"hand-1@example.org"_s, 1, u"data.bin"_s, QByteArray("\0\1\2\3\4\5", 6), u"Jürgen Ann"_s,
                               u"ann@example.org"_s, Submitted}));
        item->setUnRead(false);
        item->Save();
        QCOMPARE(messageFiles(u".Outbox"_s), QStringList{u"cur/1733300000.M1P1.otherhost:2,S"_s});
        QVERIFY(readFile(dir + u"/cur/1733300000.M1P1.otherhost:2,S"_s).contains("Return-Path: <ann@example.org>"));
        QVERIFY(!openNamespace()->GetItemFromID(u"hand-1@example.org"_s)->UnRead());
    }

    // Another program's flag changes, moves and deletions are noticed: the held item is found where it went or
    // reported missing, and nothing is duplicated.
    void changesAreFoundNeverDuplicated() {
        auto ns = openNamespace();
        auto item = ns->GetDefaultFolder(FolderInbox)->addItem(u"IPM.Note"_s);
        item->setSubject(u"Moving"_s);
        item->setUnRead(true);
        item->setUserProperty(u"FaxID"_s, u"7"_s);
        item->Save();
        const QString fresh = messageFiles(QString()).value(0);
        QVERIFY2(fresh.startsWith(QLatin1String("new/")), qPrintable(fresh));
        const QString seen = u"/cur/"_s + fresh.mid(4) + u":2,FS"_s;  // read and flagged by a mail reader
        QVERIFY(QFile::rename(folderDir(QString()) + u'/' + fresh, folderDir(QString()) + seen));
        auto held = ns->GetItemFromID(item->EntryID());
        QVERIFY(!held->UnRead());
        held->setSubject(u"Moving on"_s);
        held->Save();
        QCOMPARE(messageFiles(QString()), QStringList{seen.mid(1)});
        QCOMPARE(ns->GetDefaultFolder(FolderInbox)->Items()->Restrict(u"[Subject]='Moving on'"_s)->count(), 1);
        // The reader files it into Sent under the same name.
        QVERIFY(QDir().mkpath(folderDir(u".Sent"_s) + u"/cur"_s));
        QVERIFY(QFile::rename(folderDir(QString()) + seen, folderDir(u".Sent"_s) + seen));
        QCOMPARE((QVariantList{held->parentEntryID(), ns->GetDefaultFolder(FolderInbox)->count(),
                               ns->GetDefaultFolder(FolderSentItems)->Items()->findUserProperty(u"FaxID"_s, u"7"_s)}),
                 (QVariantList{ns->GetDefaultFolder(FolderSentItems)->EntryID(), 0, 1}));
        // It copies it into Trash under a new name and removes the original, as IMAP MOVE does.
        const QString moved = folderDir(u".Trash"_s) + u"/cur/1733300001.M2P2.otherhost:2,S"_s;
        writeFile(moved, readFile(folderDir(u".Sent"_s) + seen));
        QVERIFY(QFile::remove(folderDir(u".Sent"_s) + seen));
        auto found = ns->GetItemFromID(item->EntryID());
        QCOMPARE(found->parentEntryID() + found->Subject(), ns->GetDefaultFolder(FolderDeletedItems)->EntryID() + u"Moving on"_s);
        QVERIFY(QFile::remove(moved));  // and deletes it for good
        QCOMPARE(errorOf([&] { found->Save(); }), err::MapiNotFound);
        QCOMPARE(errorOf([&] { ns->GetItemFromID(item->EntryID()); }), err::MapiNotFound);
        for (const QString &f : {QString(), u".Sent"_s, u".Trash"_s, u".Outbox"_s}) QVERIFY2(messageFiles(f).isEmpty(), qPrintable(f));

    }

    // The index survives a restart: an unchanged folder is answered from it, a folder another program changed is read anew.
    void indexSurvivesRestartAndNoticesChanges() {
        for (int i = 0; i < 3; ++i) addItem(FolderOutbox, u"Indexed %1"_s.arg(i), u"idx%1"_s.arg(i));
        QVERIFY(QFileInfo::exists(mailRoot() + u".index/Outbox.journal"_s));
        // The first write made every folder; asking an unchanged one again records nothing.
        for (const char *dir : {"", "/.Sent", "/.Trash"}) QVERIFY(QFileInfo::exists(mailRoot() + QLatin1String(dir) + u"/cur"_s));
        QCOMPARE(openNamespace()->GetDefaultFolder(FolderDeletedItems)->count(), 0);
        const QByteArray journal = readFile(mailRoot() + u".index/Trash.journal"_s);
        for (int i = 0; i < 50; ++i) QCOMPARE(openNamespace()->GetDefaultFolder(FolderDeletedItems)->count(), 0);
        QCOMPARE(readFile(mailRoot() + u".index/Trash.journal"_s), journal);
        // Rewritten in place, the directory unchanged: only the index still knows the old subject.
        QFile first(entryOf(u".Outbox"_s));
        QVERIFY(first.open(QIODevice::ReadWrite));
        const QByteArray bytes = first.readAll().replace("Subject: Indexed 0", "Subject: Changed 0");
        first.seek(0), first.write(bytes), first.close();
        auto indexed = openNamespace()->GetDefaultFolder(FolderOutbox)->Items();
        QCOMPARE(indexed->Restrict(u"[Subject]='Indexed 0'"_s)->count(), 1);
        QCOMPARE(indexed->findUserProperty(u"FaxID"_s, u"idx2"_s), 3);
        // A message another program delivers changes the directory: the folder is read again.
        writeFile(folderDir(u".Outbox"_s) + u"/new/1733300002.M3P3.otherhost"_s, HandWritten);
        auto items = openNamespace()->GetDefaultFolder(FolderOutbox)->Items();
        QCOMPARE(items->count(), 4);
        QCOMPARE(items->Restrict(u"[Subject]='Grüße from the office'"_s)->count(), 1);
        QCOMPARE(items->findUserProperty(u"FaxID"_s, u"idx1"_s), 2);
    }

    // While staged, items saved anew stay out of every reader's sight yet can be read, saved, moved and deleted; they appear as last saved
    // and where last moved when the outermost staging ends. Leftovers in tmp/ go when 36 hours old or when their writer has ended.
    void stagedItemsAppearOnlyWhole() {
        auto ns = openNamespace();
        MaildirStore reader(mailRoot());
        QString entryId;
        {
            StagedItems staging;
            auto item = addItem(FolderOutbox, u"Staged"_s);
            entryId = item->EntryID();
            item->setUserProperty(u"FaxID"_s, u"f1"_s);
            item->setUnRead(true);
            item->Save();
            QCOMPARE((QVariantList{messageFiles(u".Outbox"_s).size(), reader.count(FolderOutbox), ns->GetDefaultFolder(FolderOutbox)->count(),
                                   ns->GetItemFromID(entryId)->userProperty(u"FaxID"_s)}),
                     (QVariantList{0, 0, 0, u"f1"_s}));
            item->Move(FolderSentItems);
            QCOMPARE(item->parentEntryID(), ns->GetDefaultFolder(FolderSentItems)->EntryID());
            {
                const StagedItems inner;
                auto gone = addItem(FolderInbox, QString());
                gone->Delete();
                QCOMPARE(gone->parentEntryID(), ns->GetDefaultFolder(FolderDeletedItems)->EntryID());
                gone->Delete();
                QCOMPARE(errorOf([&] { gone->Delete(); }), err::MapiNotFound);
            }
            QCOMPARE(messageFiles(u".Sent"_s).size() + reader.count(FolderSentItems), 0);  // the inner end publishes nothing
            staging.keep();
        }
        for (const QString &folder : {QString(), u".Outbox"_s, u".Sent"_s, u".Trash"_s})
            QCOMPARE(messageFiles(folder).size() + QDir(folderDir(folder) + u"/tmp"_s).entryList(QDir::Files).size(), folder == u".Sent"_s ? 1 : 0);
        QCOMPARE(reader.findFaxId(FolderSentItems, u"f1"_s, u"Staged"_s), 1);
        QVERIFY(ns->GetItemFromID(entryId)->UnRead());

        const QString tmp = folderDir(u".Outbox"_s) + u"/tmp/"_s;
        for (const auto &[name, hours] : {std::pair{u"old"_s, 37}, std::pair{u"recent"_s, 35}}) {
            writeFile(tmp + name, "Subject: left\r\n\r\n");
            QFile file(tmp + name);
            QVERIFY(file.open(QIODevice::ReadWrite) && file.setFileTime(QDateTime::currentDateTime().addSecs(-hours * 3600), QFileDevice::FileModificationTime));
        }
        const QString host = QSysInfo::machineHostName();
        const pid_t ended = [] {
            const pid_t child = ::fork();
            if (child == 0) ::_exit(0);
            ::waitpid(child, nullptr, 0);
            return child;
        }();
        const QString running = u"1733300012.M1P%1Q9.%2"_s.arg(::getppid()).arg(host);
        for (const QString &name : {u"1733300010.M1P%1Q7.%2"_s.arg(ended).arg(host), running,
                                    u"1733300011.M1P%1Q8.%2.%3.2"_s.arg(::getppid()).arg(host).arg(ended)})  // replacing for an ended one
            writeFile(tmp + name, "Subject: half\r\n\r\n");
        QCOMPARE(MaildirStore(mailRoot()).count(FolderOutbox), 0);
        QCOMPARE(QDir(tmp).entryList(QDir::Files), (QStringList{running, u"recent"_s}));
    }

    // A staging in which a write failed publishes nothing even when its maker keeps it, and leaves tmp/ empty; one without failures
    // publishes only when kept. A watch on the store raises unless the items were published.
    void aStagingThatFailedPublishesNothing() {
        const QString big = tempFile(u"big.bin"_s, QByteArray(256 * 1024, 'x'));
        for (const auto &[fails, kept, published, raised] : {std::tuple{true, false, 0, 61}, {true, true, 0, 61},
                                                             {false, false, 0, int(err::PathFileAccessError)}, {false, true, 1, 0}}) {
            const StoreWatch watch;
            {
                StagedItems staging;
                auto item = addItem(FolderInbox, u"Fax"_s);  // small: it fits
                if (fails) {
                    item->addAttachment(big, 1, u"FaxImage"_s);
                    FileSizeLimit limit(64 * 1024);
                    QCOMPARE(errorOf([&] { item->Save(); }), 61);
                }
                if (kept) staging.keep();
            }
            QCOMPARE(int(messageFiles(QString()).size() + QDir(folderDir(QString()) + u"/tmp"_s).entryList(QDir::Files).size()), published);
            QCOMPARE(errorOf([&] { watch.check(); }), raised);
        }
    }

    // A subject that looks like encoded words, that the MIME library would split into padded
    // words, or that begins or ends with a blank, reads back from the file as written.
    void subjectsThatLookEncodedReadBackAsWritten() {
        const QStringList subjects = {u"=?utf-8?q?abc?="_s, u"Invoice =?iso-8859-1?q?x?= due"_s, u"Grüße =?utf-8?b?R3LDvA==?= "_s + QString(60, u'ü'),
                                      u"plain"_s, u"Grüße fro"_s + QString(37, u'Í') + u"m the office"_s, u" Annou"_s, u"due\t"_s};
        {
            MaildirStore writer(mailRoot());
            for (const QString &subject : subjects) put(writer, FolderOutbox, fax({}, subject), false);
        }
        QVERIFY(QFile::remove(mailRoot() + u".index/Outbox.journal"_s));  // read from the files
        MaildirStore reader(mailRoot());
        for (const QString &subject : subjects) QVERIFY2(reader.countWithSubject(FolderOutbox, subject) == 1, qPrintable(subject));
    }

    // An item the index cannot know of (another program restored it and set the folder's time back) is still found by its FaxID before
    // a second item of its fax is made. (Whatever bytes the journal holds, the index fuzzer holds the store to the same rule.)
    void theFaxIdRuleHoldsWhateverTheIndexSays() {
        {
            MaildirStore writer(mailRoot());
            for (const char *id : {"a1", "a2"}) put(writer, FolderInbox, fax(QLatin1String(id)));
        }
        const QByteArray curDir = QFile::encodeName(folderDir(QString()) + u"/cur"_s);
        struct stat before {};
        QCOMPARE(::stat(curDir.constData(), &before), 0);
        MaildirStore stale(mailRoot()), other(mailRoot() + u"-elsewhere"_s);
        QCOMPARE(stale.count(FolderInbox), 2);
        put(other, FolderInbox, fax(u"a3"_s), false);
        const QString restored = messageFiles(u"../Mail-elsewhere"_s).value(0);
        QVERIFY(QFile::rename(folderDir(u"../Mail-elsewhere"_s) + u'/' + restored, folderDir(QString()) + u'/' + restored));
        const struct timespec times[2] = {before.st_atim, before.st_mtim};
        QCOMPARE(::utimensat(AT_FDCWD, curDir.constData(), times, 0), 0);
        QCOMPARE(stale.findFaxId(FolderInbox, u"a3"_s, u"Fax"_s), 0);  // the index does not know it
        for (const char *id : {"a1", "a3"}) {  // as the import does: check, then make
            stale.beginStaging();
            if (stale.findFaxId(FolderInbox, QLatin1String(id), u"Fax"_s) == 0) put(stale, FolderInbox, fax(QLatin1String(id)));
            stale.endStaging();
        }
        QCOMPARE(messageFiles(QString()).size(), 3);
        QCOMPARE(stale.findFaxId(FolderInbox, u"a3"_s, u"Fax"_s), 3);
    }

    // Another program renames cur/X:2, to cur/X:2,S and back while the index is rebuilt from the folder: no message is missed.
    void renamesDuringARebuildMissNothing() {
        MaildirStore writer(mailRoot());
        for (int i = 0; i < 300; ++i) put(writer, FolderInbox, fax(u"r%1"_s.arg(i)), false);  // read: in cur/ as X:2,S
        const QString cur = folderDir(QString()) + u"/cur/"_s;
        const QStringList names = QDir(cur).entryList(QDir::Files);
        QCOMPARE(names.size(), 300);
        QStringList missed;
        std::atomic<int> renamed{0};
        for (int round = 0; round < 20; ++round) {
            QFile::remove(mailRoot() + u".index/INBOX.journal"_s);
            std::atomic<bool> stop{false};
            std::thread flagger([&] {
                for (int pass = 0; !stop; ++pass)
                    for (int i = 0; i < names.size() && !stop; i += 7) {
                        const QByteArray seen = QFile::encodeName(cur + names[i]), plain = seen.chopped(1);
                        if (::rename((pass % 2 ? plain : seen).constData(), (pass % 2 ? seen : plain).constData()) == 0) ++renamed;
                    }
            });
            MaildirStore rebuilt(mailRoot());
            rebuilt.count(FolderInbox);  // rebuilt while the files are renamed
            stop = true;
            flagger.join();
            if (const int counted = rebuilt.count(FolderInbox); counted != 300) missed << u"round %1: %2 items"_s.arg(round).arg(counted);
            for (int i = 0; i < 300; ++i)
                if (rebuilt.findFaxId(FolderInbox, u"r%1"_s.arg(i), u"Fax"_s) == 0) missed << u"round %1: r%2"_s.arg(round).arg(i);
        }
        QVERIFY2(missed.isEmpty(), qPrintable(missed.join(u", "_s)));
        QVERIFY(renamed > 0);
    }

    // What is not a message file in cur/ or new/ (a folder, a FIFO, a link to a device or to a message) is left out and never read; an item
    // cut short where it lies is set aside into Deleted Items, so that its fax is made again.
    void onlyWholeRegularFilesAreItems() {
        MaildirStore store(mailRoot());
        MessageData m = fax(u"whole"_s);
        m.body = QString(20000, u'x');
        put(store, FolderInbox, m);
        const QString cur = folderDir(QString()) + u"/cur/"_s, message = entryOf(QString());  // unread: in new/
        QVERIFY(QDir().mkdir(cur + u"1733300020.M1P1.otherhost:2,"_s));
        QCOMPARE(::mkfifo(QFile::encodeName(cur + u"1733300021.M1P1.otherhost:2,"_s).constData(), 0600), 0);
        QVERIFY(QFile::link(u"/dev/zero"_s, cur + u"1733300022.M1P1.otherhost:2,"_s));
        QVERIFY(QFile::link(message, cur + u"1733300023.M1P1.otherhost:2,"_s));
        QCOMPARE(::mkfifo(QFile::encodeName(folderDir(QString()) + u"/new/1733300024.M1P1.otherhost"_s).constData(), 0600), 0);
        MaildirStore reader(mailRoot());
        QCOMPARE(reader.count(FolderInbox), 1);
        QCOMPARE(reader.findFaxId(FolderInbox, u"whole"_s, u"Fax"_s), 1);
        QVERIFY(QFile::resize(message, 300));  // cut short in place: the directory does not change
        QCOMPARE(reader.findFaxId(FolderInbox, u"whole"_s, u"Fax"_s), 0);
        QCOMPARE(reader.count(FolderInbox), 0);
        QCOMPARE(reader.count(FolderDeletedItems), 1);
        QCOMPARE(messageFiles(u".Trash"_s).size(), 1);
        put(reader, FolderInbox, m);
        QCOMPARE(MaildirStore(mailRoot()).findFaxId(FolderInbox, u"whole"_s, u"Fax"_s), 1);
    }

    // A damaged message, a read-only store and a full disk each fail clearly and leave every existing message as it was.
    void damagedReadOnlyAndFullStoresLoseNothing() {
        auto folder = openNamespace()->GetDefaultFolder(FolderInbox);
        auto kept = addItem(FolderInbox, u"Keep me"_s);
        const QString keptFile = entryOf(QString());
        const QByteArray keptBytes = readFile(keptFile), garbage("\0\xff\x01garbage\n\n", 12);
        writeFile(folderDir(QString()) + u"/cur/1733300003.M4P4.otherhost:2,S"_s, QByteArray());
        writeFile(folderDir(QString()) + u"/cur/1733300004.M5P5.otherhost:2,"_s, garbage);
        QCOMPARE(folder->count(), 3);
        QCOMPARE(folder->Items()->Restrict(u"[Subject]='Keep me'"_s)->count(), 1);
        for (int damaged : {2, 3}) {
            auto item = folder->Items()->Item(damaged);
            QCOMPARE(errorOf([&] { item->Subject(); }), err::PathFileAccessError);
        }
        QCOMPARE(readFile(folderDir(QString()) + u"/cur/1733300004.M5P5.otherhost:2,"_s), garbage);

        const QString big = tempFile(u"big.bin"_s, QByteArray(256 * 1024, 'x'));
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
            QCOMPARE(errorOf([&] { folder->addItem(u"IPM.Note"_s)->Save(); }), err::PermissionDenied);
            QCOMPARE(errorOf([&] { kept->Delete(); }), err::PermissionDenied);
        }
        QCOMPARE(readFile(keptFile), keptBytes);
        QCOMPARE(folder->count(), 3);
    }

};

QTEST_GUILESS_MAIN(MailStoreTest)
#include "tst_mailstore.moc"
