// The "import" action against the real fax service and the real mail store.
#include "BridgeTestKit.h"
#include "FileLimits.h"
#include "bridge/FaxImport.h"
#include "bridge/frmImport.h"

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

    void countsCoverEveryQueueJobAndArchivedMessage() {
        refillSpool({{{at(3, 9, 10, 0), 1}, {at(3, 10, 11, 0), 512}}, {at(3, 8, 8, 0)}, {at(3, 10, 9, 30), at(3, 1, 0, 0)}});  // a cancelled job counts too
        QDateTime newest, archiveNewest = at(3, 9, 0, 0);
        QCOMPARE(CountFaxesForImport(newest), qint16(5));
        QCOMPARE(newest, at(3, 10, 11, 0));
        QCOMPARE(CountOutgoingArchiveFaxes(archiveNewest), qint16(1));
        QCOMPARE(archiveNewest, at(3, 9, 0, 0));  // only ever raised
        QCOMPARE(CountIncomingArchiveFaxes(archiveNewest), qint16(2));
        QCOMPARE(archiveNewest, at(3, 10, 9, 30));
        refillSpool({});
        QVERIFY(CountFaxesForImport(newest) == 0 && !newest.isValid());
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
            QCOMPARE(visibleAtMessage, QList<bool>{false});
            QCOMPARE(std::exchange(watch.shows, 0), 1);  // the activation's own show, hidden at once
            QCOMPARE(counts(), (QList<int>{row.jobs, row.sent, row.received}));
            QCOMPARE(everyItem(), idsUpTo(row.jobs + row.sent + row.received));
            QCOMPARE(faxIds(FolderSentItems, u"Sent 261"_s), row.sent ? QStringList{faxd::idText(0x105)} : QStringList());
            releaseAllPages();
        }
    }

    // A job its fax server is still cancelling (the server is away) gets no Outbox item.
    void aJobBeingCancelledIsLeftOut() {
        QSettings conf(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + u"/sendmere/faxd.conf"_s, QSettings::IniFormat);
        const auto loopbackAgain = qScopeGuard([&] { conf.remove(u"Line"_s), conf.sync(), refillSpool({}); });
        for (const auto &[key, value] : {std::pair{u"Line/Backend"_s, u"hylafax"_s}, {u"Line/Server"_s, u"127.0.0.1:1"_s}, {u"Line/User"_s, u"fax"_s}})
            conf.setValue(key, value);
        conf.sync();
        refillSpool({{{at(3, 9, 6, 0), 1}, {at(3, 9, 7, 0), 1024}}, {}, {}});
        RecordingSeams seams;
        runEntry(u"import;x"_s);
        QTRY_COMPARE_WITH_TIMEOUT(seams.recorded().exitCodes, QList<int>{0}, 60000);
        QCOMPARE(everyItem(), QStringList{faxd::idText(0x100)});
    }

    // Twenty faxes offer the choice; Cancel imports nothing; the last day (from 10 March 09:00) takes 9 and 10 March.
    void twentyFaxesOfferTheChoiceOfTheLastDay() {
        refillSpool({{{at(3, 9, 6, 0), 1}, {at(3, 8, 12, 0), 1}, {at(3, 10, 8, 0), 512}}, {at(3, 9, 0, 0), at(3, 8, 23, 59)},
                     QList<QDateTime>{at(3, 10, 9, 0), at(3, 9, 23, 59)} + QList<QDateTime>(13, at(3, 1, 12, 0))});
        for (const bool cancel : {true, false}) {
            RecordingSeams seams;
            frmImport *page = offeringTheChoice();
            QVERIFY(page);
            QTest::qWait(200);
            QVERIFY(page->isVisible());  // shown once, not hidden again by its own activation
            QVERIFY(page->windowFlags().testFlag(Qt::WindowStaysOnTopHint) && seams.recorded().exitCodes.isEmpty());
            QCOMPARE(page->progress->maximum(), 20);
            QCOMPARE(page->progress->value(), 0);
            QTest::mouseClick(cancel ? page->CancelButton : page->OKButton, Qt::LeftButton);
            QCOMPARE(seams.recorded().exitCodes, QList<int>{0});
            QCOMPARE(seams.recorded().texts(), cancel ? QStringList() : QStringList{Success});
            QCOMPARE(counts(), (cancel ? QList<int>{0, 0, 0} : QList<int>{1, 1, 2}));
            if (!cancel) QCOMPARE(page->progress->value(), 20);
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
            QCOMPARE(page->progress->value(), counted);
            QCOMPARE(counts(), (QList<int>{58 + 3, 70, 70}));
            QCOMPARE(faxIds(FolderOutbox, u"Late 1"_s).size(), 1);
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
};

QTEST_MAIN(TestImport)
#include "tst_import.moc"
