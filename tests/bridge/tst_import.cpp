// The "import" action and the fax items it makes, against the real fax service and the real mail store.
#include "BridgeTestKit.h"
#include "FileLimits.h"
#include "bridge/FaxImport.h"
#include "bridge/FaxItems.h"
#include "bridge/frmImport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimeZone>
#include <pwd.h>
#include <unistd.h>

using namespace sendmere;
using namespace sendmere::test;
using mail::FolderInbox, mail::FolderOutbox, mail::FolderSentItems;

namespace {

const QString Success = u"Import Faxes from FaxConsole successfully."_s;

QDateTime at(int month, int day, int hour, int minute) { return QDateTime(QDate(2031, month, day), QTime(hour, minute)); }
QList<int> counts() { return {itemCount(FolderOutbox), itemCount(FolderSentItems), itemCount(FolderInbox)}; }

// Every item's "FaxID", Deleted Items too, sorted; "half made" for one not yet given its last property.
QStringList everyItem() {
    QStringList ids;
    for (const int folder : {FolderOutbox, FolderSentItems, FolderInbox, mail::FolderDeletedItems}) {
        const auto items = mCommon::GetMailNamespace()->GetDefaultFolder(folder)->Items();
        for (int i = 1; i <= items->count(); ++i)
            ids << (items->Item(i)->property(mail::tag::PR_SENDER_ADDRTYPE).toString() == u"Fax"_s ? items->Item(i)->userProperty(u"FaxID"_s).toString()
                                                                                                   : u"half made"_s);
    }
    ids.sort();
    return ids;
}

QStringList idsUpTo(int n) {  // of n faxes from 0x100 on
    QStringList ids;
    for (qint64 id = 0x100; id < 0x100 + n; ++id) ids << faxd::idText(id);
    return ids;
}

struct ShowCount : QObject {  // the import window's Show events
    int shows = 0;
    ShowCount() { qApp->installEventFilter(this); }
    bool eventFilter(QObject *watched, QEvent *event) override { return (shows += event->type() == QEvent::Show && qobject_cast<frmImport *>(watched)), false; }
};

// The window once its activation offers the choice, the last day chosen.
frmImport *offeringTheChoice() {
    runEntry(u"import"_s);
    frmImport *page = existingPage<frmImport>();
    return page && QTest::qWaitFor([&] { return page->isVisible() && page->optLast->isChecked(); }) ? page : nullptr;
}

bool startImport(QProcess &program) {  // as the add-in starts it
    program.setProcessChannelMode(QProcess::ForwardedChannels);
    program.start(binDir() + u"/sendmere"_s, {u"import"_s});
    return program.waitForStarted();
}

// The message file of a folder that holds just one, as "new/name" or "cur/name"; its path with full.
QString messageFile(int folder, bool full = false) {
    QStringList files;
    for (const QString &sub : {u"new"_s, u"cur"_s})
        for (const QString &name : QDir(folderDir(folder) + u'/' + sub).entryList(QDir::Files)) files << sub + u'/' + name;
    return files.size() != 1 ? u"%1 files"_s.arg(files.size()) : (full ? folderDir(folder) + u'/' : QString()) + files[0];
}

// What mailview.py (Python's email package) makes of the files, by path.
QJsonObject mailView(const QStringList &paths) {
    QProcess python;
    python.start(u"python3"_s, QStringList{qEnvironmentVariable("SENDMERE_SOURCE_DIR") + u"/tests/bridge/mailview.py"_s} + paths);
    if (!python.waitForFinished(30000) || python.exitCode() != 0) qWarning("%s", python.readAllStandardError().constData());
    return QJsonDocument::fromJson(python.readAllStandardOutput()).object();
}

// A list of the view as text; an address as "name | address".
QStringList strings(const QJsonValue &list) {
    QStringList out;
    for (const QJsonValue &v : list.toArray()) out << (v.isArray() ? strings(v).join(u" | "_s) : v.toString());
    return out;
}

QDateTime berlin(int y, int mo, int d, int h, int mi) { return QDateTime(QDate(y, mo, d), QTime(h, mi), QTimeZone("Europe/Berlin")); }

// Headers of a whole file (without the ones that differ from any one write to the next).
QStringList topHeaders(const QString &path) {
    const QByteArray bytes = readFile(path);
    QStringList lines;
    for (const QByteArray &line : bytes.left(bytes.indexOf("\n\n")).split('\n'))
        if ((line.startsWith(' ') || line.startsWith('\t')) && !lines.isEmpty()) lines.last() += QString::fromUtf8(line);
        else lines << QString::fromUtf8(line);
    return lines.filter(QRegularExpression(u"^(?!Message-Id:|Content-Type:)"_s, QRegularExpression::CaseInsensitiveOption));
}

}  // namespace

class TestImport : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { holdFaxJobsBack(); }
    void init() { clearErrorLog(), emptyMailStore(); }
    void cleanup() { releaseAllPages(); }

    // At most one midnight between the fax and the reference; a later fax passes too.
    void theLastDayCountsMidnights() {
        const std::tuple<QDateTime, QDateTime, bool> rows[] = {{at(3, 9, 0, 0), at(3, 10, 9, 0), true}, {at(3, 8, 23, 59), at(3, 10, 9, 0), false},
                                                               {at(3, 11, 12, 0), at(3, 10, 9, 0), true}, {at(2, 28, 9, 0), at(3, 10, 9, 0), false},
                                                               {at(3, 1, 0, 0), at(2, 28, 23, 59), true}};  // across a month's end
        for (const auto &[t, reference, expected] : rows) QVERIFY2(withinLastDay(t, reference) == expected, qPrintable(t.toString()));
    }

    // Below twenty faxes the import runs at once, its window never seen at its message.
    void fewFaxesGoInAtOnce() {
        const struct { int jobs, sent, received; QString told; } rows[] = {{0, 0, 0, u"You haven't faxes for import."_s}, {5, 7, 7, Success}};
        ShowCount watch;
        for (const auto &row : rows) {
            emptyMailStore();
            refillSpool(faxesNow(row.jobs, row.sent, row.received));
            RecordingSeams seams;
            QList<bool> visibleAtMessage;
            seams.recorded().onMessage = [&] { visibleAtMessage << (existingPage<frmImport>() && existingPage<frmImport>()->isVisible()); };
            runEntry(u"import;x"_s);
            QTRY_COMPARE_WITH_TIMEOUT(seams.recorded().exitCodes, QList<int>{0}, 60000);
            QCOMPARE(seams.recorded().texts(), QStringList{row.told});
            QVERIFY(visibleAtMessage == QList<bool>{false} && std::exchange(watch.shows, 0) == 1);  // the activation's own show, hidden at once
            QCOMPARE(counts(), (QList<int>{row.jobs, row.sent, row.received}));
            QCOMPARE(everyItem(), idsUpTo(row.jobs + row.sent + row.received));
            QCOMPARE(faxIds(FolderSentItems, u"Sent 261"_s), row.sent ? QStringList{faxd::idText(0x105)} : QStringList());
            releaseAllPages();
        }
    }

    // Twenty faxes offer the choice; Cancel imports nothing; the last day (from 10 March 09:00) takes 9 and 10 March.
    void twentyFaxesOfferTheChoiceOfTheLastDay() {
        refillSpool({{{at(3, 9, 6, 0), 1}, {at(3, 8, 12, 0), 1}, {at(3, 10, 8, 0), 512}}, {at(3, 9, 0, 0), at(3, 8, 23, 59)},
                     QList<QDateTime>{at(3, 10, 9, 0), at(3, 9, 23, 59)} + QList<QDateTime>(13, at(3, 1, 12, 0))});
        for (const bool cancel : {true, false}) {
            RecordingSeams seams;
            frmImport *page = offeringTheChoice();
            QVERIFY(page);
            QTest::qWait(200);  // shown once, not hidden again by its own activation
            QVERIFY(page->isVisible() && page->windowFlags().testFlag(Qt::WindowStaysOnTopHint) && seams.recorded().exitCodes.isEmpty());
            QVERIFY(page->progress->maximum() == 20 && page->progress->value() == 0);
            QTest::mouseClick(cancel ? page->CancelButton : page->OKButton, Qt::LeftButton);
            QCOMPARE(seams.recorded().exitCodes, QList<int>{0});
            QCOMPARE(seams.recorded().texts(), cancel ? QStringList() : QStringList{Success});
            QCOMPARE(counts() << page->progress->value(), (cancel ? QList<int>{0, 0, 0, 0} : QList<int>{1, 1, 2, 20}));
            releaseAllPages();
        }
        QCOMPARE(faxIds(FolderOutbox, u"Queued 256"_s), QStringList{faxd::idText(0x100)});
        QCOMPARE(faxIds(FolderSentItems, u"Sent 259"_s).size(), 1);
    }

    // All 200 and those that come after the count; a second run adds nothing; cancelled jobs are never mirrored.
    void allFaxesTwiceMakeOneItemEach() {
        SpoolFill fill = faxesNow(60, 70, 70);
        fill.jobs[0].second = 512;
        fill.jobs[1].second = 1024;
        refillSpool(fill);
        for (int run = 1; run <= 2; ++run) {
            RecordingSeams seams;
            frmImport *page = offeringTheChoice();
            QVERIFY(page);
            const int counted = page->progress->maximum();
            QCOMPARE(counted, run == 1 ? 200 : 203);
            for (int i = 0; run == 1 && i < 3; ++i) {
                fax::FaxServer server;
                server.Connect(QString());
                fax::FaxDocument doc;
                doc.Recipients.Add(u"333"_s, u"Late"_s);
                doc.Subject = u"Late %1"_s.arg(i);
                writeFile(doc.Body = QDir::tempPath() + u"/late.txt"_s, "late\n");
                doc.ConnectedSubmit(server);
            }
            QTest::mouseClick(page->optAll, Qt::LeftButton);
            QTest::mouseClick(page->OKButton, Qt::LeftButton);
            QCOMPARE(seams.recorded().exitCodes, QList<int>{0});
            QCOMPARE(counts() << page->progress->value() << int(faxIds(FolderOutbox, u"Late 1"_s).size()), (QList<int>{58 + 3, 70, 70, counted, 1}));
            releaseAllPages();
            mCommon::ShutDown();
        }
    }

    // Killed at different moments of making an item, then three at once: in the end one whole item per fax.
    void killedAndConcurrentImportsMakeOneItemEach() {
        constexpr int faxes = 6 + 6 + 7;
        refillSpool(faxesNow(6, 6, 7));
        for (const int delayMs : {0, 10, 25, 40}) {
            const qsizetype before = everyItem().size();
            QProcess killed;
            QVERIFY(startImport(killed));
            QTRY_VERIFY_WITH_TIMEOUT(everyItem().size() > before, 60000);
            QTest::qWait(delayMs);
            ::kill(pid_t(killed.processId()), SIGKILL);
            killed.waitForFinished();
            const QStringList left = everyItem();
            QVERIFY2(left.size() < faxes, "the import ended before it was killed");
            QCOMPARE(QSet<QString>(left.begin(), left.end()).size(), left.size());
            for (const QString &id : left) QVERIFY2(idsUpTo(faxes).contains(id), qPrintable(id));
        }
        QProcess programs[3];
        for (QProcess &program : programs) QVERIFY(startImport(program));
        // Each ends at its success message, which waits for a user; nothing may come after.
        QTRY_COMPARE_WITH_TIMEOUT(everyItem(), idsUpTo(faxes), 120000);
        QTest::qWait(3000);
        QCOMPARE(everyItem(), idsUpTo(faxes));
        for (QProcess &program : programs) program.kill(), program.waitForFinished();
    }

    // An import that could not write every item (a read-only Inbox) is logged, with no word of success.
    void anImportThatCouldNotWriteSaysSo() {
        refillSpool(faxesNow(1, 1, 2));
        const auto inboxWritable = [](bool writable) {
            for (const QString &sub : {u"/cur"_s, u"/new"_s, u"/tmp"_s})
                QVERIFY(QDir().mkpath(mailRoot() + sub) && (sub == u"/new"_s || QFile::setPermissions(mailRoot() + sub, QFileDevice::ReadOwner | QFileDevice::ExeOwner |
                                                                                                        (writable ? QFileDevice::WriteOwner : QFileDevice::ReadOwner))));
        };
        inboxWritable(false);
        {
            ObeyFilePermissions asTheUser;
            RecordingSeams seams;
            runEntry(u"import"_s);
            const auto failure = [] { return errorLogLines().filter(u"\"frmImport.Form_Active\""_s); };
            QTRY_VERIFY_WITH_TIMEOUT(!failure().isEmpty(), 60000);
            QVERIFY(!seams.recorded().texts().contains(Success));
            QVERIFY2(failure().size() == 1 && failure().first().startsWith(u"70,"_s), qPrintable(failure().join(u'\n')));
            QCOMPARE(errorLogLines().filter(u"\"msend.GenerateOutlookInboxFax\""_s).size(), 2);
        }
        inboxWritable(true);
        QCOMPARE(counts(), (QList<int>{1, 1, 0}));
        QCOMPARE(QDir(mailRoot() + u"/tmp"_s).entryList(QDir::Files), QStringList());
    }
    // What mail readers (Python's email package) see of the fax items in the real Maildir, TZ having summer time: no defects, true
    // dates with the summer offset, authors, recipients, .tif images, text parts, new/ and cur/.
    void itemsReadAsMailReadersReadThem() {
        QCOMPARE(qEnvironmentVariable("TZ"), u"Europe/Berlin"_s);
        // A job due next summer, a fax sent and one received last summer: 0x100 to 0x102.
        refillSpool({{{berlin(2027, 7, 15, 10, 30), fax::StatusPending}}, {berlin(2026, 7, 14, 9, 15)}, {berlin(2026, 7, 14, 9, 20)}});
        fax::FaxServer server;
        server.Connect(QString());
        const fax::FaxOutgoingJob job = server.Folders().OutgoingQueue().GetJob(queuedJobIds(server).value(0));
        const fax::FaxMessage sent = server.Folders().OutgoingArchive().GetMessage(archivedIds(server.Folders().OutgoingArchive()).value(0));
        const fax::FaxMessage received = server.Folders().IncomingArchive().GetMessage(archivedIds(server.Folders().IncomingArchive()).value(0));
        mCommon::Start(false);
        QVERIFY(faxJob().SenderFullName.isEmpty() && faxJob().SenderfaxNumber.isEmpty());  // the user never saved sender information
        // An empty store, then an item of each fax; their headers.
        const auto mirrorAll = [&] {
            emptyMailStore();
            QDir(mailRoot() + u".index"_s).removeRecursively();
            mSend::GenerateOutlookOutboxFax(job);
            mSend::GenerateOutlookSentFax(sent);
            mSend::GenerateOutlookInboxFax(received);
            return QList<QStringList>{topHeaders(messageFile(FolderInbox, true)), topHeaders(messageFile(FolderSentItems, true)),
                                      topHeaders(messageFile(FolderOutbox, true))};
        };
        const QList<QStringList> throughSession = mirrorAll();
        QVERIFY(itemCount(FolderInbox) == 1 && itemCount(FolderSentItems) == 1);
        const passwd *account = ::getpwuid(::getuid());
        QVERIFY(account);
        const struct {
            int folder;
            QString file;  // as new/ or cur/ file: unread items nobody has seen are new mail
            QDateTime time;
            QString text;  // the plain-text part, for readers without HTML
        } rows[] = {{FolderInbox, u"^new/[^:]*$"_s, received.TransmissionEnd(), u"Sendmere"_s},  // the CSID, as before
                    {FolderSentItems, u"^new/"_s, sent.OriginalScheduledTime(), u"Subject: Sent 257\nFax number: 111\nPages: 1\nTime: 2026-07-14 09:15"_s},
                    {FolderOutbox, u"^cur/.*:2,S$"_s, job.OriginalScheduledTime(), u"Subject: Queued 256\nFax number: 111\nPages: 1\nTime: 2027-07-15 10:30"_s}};
        const QJsonObject view = mailView({messageFile(FolderInbox, true), messageFile(FolderSentItems, true), messageFile(FolderOutbox, true)});
        for (const auto &row : rows) {
            const bool inbox = row.folder == FolderInbox;
            QVERIFY2(QRegularExpression(row.file).match(messageFile(row.folder)).hasMatch(), qPrintable(messageFile(row.folder)));
            const QJsonObject seen = view.value(messageFile(row.folder, true)).toObject();
            QVERIFY2(strings(seen[u"defects"_s]).isEmpty(), qPrintable(strings(seen[u"defects"_s]).join(u'\n') + u' ' + row.file));
            // The true time with the offset of summer time, while the properties keep the bias.
            const QString date = seen[u"date"_s].toString();
            QCOMPARE(date, row.time.toTimeZone(QTimeZone("Europe/Berlin")).toString(Qt::ISODate));
            QVERIFY2(date.endsWith(u"+02:00"_s), qPrintable(date));
            QCOMPARE(strings(seen[u"received"_s]), inbox ? QStringList{date} : QStringList());
            QCOMPARE(QFileInfo(messageFile(row.folder, true)).lastModified(), row.time);
            const QStringList from = strings(seen[u"from"_s]);
            if (inbox) QCOMPARE(from, QStringList{u"5550199 | FAX=5550199@fax.invalid"_s});  // the sending station
            else QVERIFY2(from.size() == 1 && from[0].contains(u" | "_s + QString::fromLocal8Bit(account->pw_name) + u'@'), qPrintable(from.join(u',')));
            // The To text of outgoing faxes is the name the item shows, with the fax address.
            if (!inbox) QCOMPARE(strings(seen[u"to"_s]), QStringList{u"Ann[Fax:111] | FAX=111@fax.invalid"_s});
            QStringList images;
            QString text;
            for (const QJsonValue &part : seen[u"parts"_s].toArray()) {
                if (part[u"type"_s].toString() == u"image/tiff"_s) images << part[u"filename"_s].toString();
                if (part[u"type"_s].toString() == u"text/plain"_s) text = part[u"text"_s].toString();
            }
            QCOMPARE(images, QStringList{u"FaxImage.tif"_s});
            QCOMPARE(text.trimmed(), row.text);
        }

        // Marked read, an item leaves new/ for cur/ with the seen flag, its time kept.
        auto inboxItem = mCommon::GetMailNamespace()->GetDefaultFolder(FolderInbox)->Items()->Item(1);
        inboxItem->setUnRead(false);
        inboxItem->Save();
        QVERIFY2(messageFile(FolderInbox).startsWith(u"cur/"_s) && messageFile(FolderInbox).endsWith(u":2,S"_s), qPrintable(messageFile(FolderInbox)));
        QCOMPARE(QFileInfo(messageFile(FolderInbox, true)).lastModified(), received.TransmissionEnd());

        // Through the mail client's folder instead of the messaging session, each item ends as the same file.
        const QString key = u"MAPI.Session\\CLSID"_s, clsid = registry::RegistryStore().value(registry::Root::ClassesRoot, key, QString()).value().text;
        setRegistryString(CWinReg::HKEY_CLASSES_ROOT(), key, QString(), QString());
        QCOMPARE(mirrorAll(), throughSession);
        QVERIFY(!clsid.isEmpty() && !mCommon::GetCdoSession());
        setRegistryString(CWinReg::HKEY_CLASSES_ROOT(), key, QString(), clsid);
        QCOMPARE(errorLogLines(), QStringList());
        mCommon::ShutDown();
    }
};

QTEST_MAIN(TestImport)
#include "tst_import.moc"
