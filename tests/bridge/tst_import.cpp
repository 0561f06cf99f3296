// The "import" action against the real fax service and the real mail store: the counts,
// the 20-fax threshold, the last-day choice, repeated and interrupted runs.
#include "BridgeTestKit.h"
#include "FileLimits.h"
#include "MailCheck.h"
#include "TestSeams.h"
#include "TestSupport.h"
#include "WizardTestKit.h"
#include "app/Init.h"
#include "bridge/FaxImport.h"
#include "bridge/frmImport.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QProgressBar>
#include <QSet>
#include <QPushButton>
#include <QRadioButton>

using namespace sendmere;
using mail::FolderDeletedItems;
using mail::FolderInbox;
using mail::FolderOutbox;
using mail::FolderSentItems;

namespace {

QDateTime at(int month, int day, int hour, int minute) {
    return QDateTime(QDate(2031, month, day), QTime(hour, minute));
}

// The window back on screen with the choice its activation set up.
bool offersChoice(const frmImport *page) { return page->isVisible() && page->optLast->isChecked(); }

int totalItems() {
    return test::itemCount(FolderOutbox) + test::itemCount(FolderSentItems) + test::itemCount(FolderInbox);
}

int allItems() { return totalItems() + test::itemCount(FolderDeletedItems); }

// The "FaxID" of every item in every folder, Deleted Items too, sorted: "" for an item
// without one, "half made" for one the program had not given its last property yet.
QStringList everyItem() {
    QStringList ids;
    mail::MailNamespace *ns = mCommon::GetMailNamespace();
    if (!ns) return ids;
    for (const int folder : {FolderOutbox, FolderSentItems, FolderInbox, FolderDeletedItems}) {
        const auto items = ns->GetDefaultFolder(folder)->Items();
        for (int i = 1; i <= items->count(); ++i) {
            const auto item = items->Item(i);
            const bool whole = item->property(mail::tag::PR_SENDER_ADDRTYPE).toString() == QStringLiteral("Fax");
            ids << (whole ? item->userProperty(QStringLiteral("FaxID")).toString() : QStringLiteral("half made"));
        }
    }
    ids.sort();
    return ids;
}

// Watches the import window: how often it was shown, and whether it was visible when a
// message came up.
struct WindowWatch : QObject {
    int shows = 0;
    QList<bool> visibleAtMessage;
    explicit WindowWatch(test::Recorded &recorded) {
        qApp->installEventFilter(this);
        recorded.onMessage = [this] {
            frmImport *page = existingPage<frmImport>();
            visibleAtMessage << (page && page->isVisible());
        };
    }
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (event->type() == QEvent::Show && qobject_cast<frmImport *>(watched)) ++shows;
        return false;
    }
};

// Starts the program with the action "import", as the add-in does.
bool startImport(QProcess &program) {
    program.setProgram(test::binDir() + QStringLiteral("/sendmere"));
    program.setArguments({QStringLiteral("import")});
    program.setProcessChannelMode(QProcess::ForwardedChannels);
    program.start();
    return program.waitForStarted();
}

}  // namespace

using test::mailRoot;

class TestImport : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() {
        test::holdFaxJobsBack();
    }
    void init() {
        test::clearErrorLog();
        test::emptyMailStore();
    }
    void cleanup() { test::releaseAllPages(); }

    // At most one midnight between the fax and the reference; a later fax passes too.
    void theLastDayCountsMidnights() {
        const QDateTime reference = at(3, 10, 9, 0);
        const std::pair<QDateTime, bool> rows[] = {
            {at(3, 9, 0, 0), true}, {at(3, 8, 23, 59), false}, {at(3, 11, 12, 0), true}, {at(2, 28, 9, 0), false},
        };
        for (const auto &[t, expected] : rows) QVERIFY2(withinLastDay(t, reference) == expected, qPrintable(t.toString()));
        QVERIFY(withinLastDay(at(3, 1, 0, 0), at(2, 28, 23, 59)));  // across a month's end
    }

    void countsCoverEveryQueueJobAndArchivedMessage() {
        test::SpoolFill fill;
        fill.jobs = {{at(3, 9, 10, 0), 1}, {at(3, 10, 11, 0), 512}};  // a cancelled job counts too
        fill.sent = {at(3, 8, 8, 0)};
        fill.received = {at(3, 10, 9, 30), at(3, 1, 0, 0)};
        test::refillSpool(fill);
        QDateTime newest;
        QCOMPARE(CountFaxesForImport(newest), qint16(5));
        QCOMPARE(newest, at(3, 10, 11, 0));
        QDateTime archiveNewest = at(3, 9, 0, 0);
        QCOMPARE(CountOutgoingArchiveFaxes(archiveNewest), qint16(1));
        QCOMPARE(archiveNewest, at(3, 9, 0, 0));  // only ever raised
        QCOMPARE(CountIncomingArchiveFaxes(archiveNewest), qint16(2));
        QCOMPARE(archiveNewest, at(3, 10, 9, 30));

        test::refillSpool({});
        QCOMPARE(CountFaxesForImport(newest), qint16(0));
        QVERIFY(!newest.isValid());
    }

    void noFaxesEndsWithAMessage() {
        test::refillSpool({});
        test::RecordingSeams seams;
        WindowWatch watch(seams.recorded());
        runEntry(QStringLiteral("import"));
        QTRY_COMPARE(seams.recorded().exitCodes, QList<int>{0});
        QCOMPARE(seams.recorded().texts(), QStringList{QStringLiteral("You haven't faxes for import.")});
        QCOMPARE(watch.visibleAtMessage, QList<bool>{false});
        QCOMPARE(totalItems(), 0);
    }

    void nineteenFaxesGoInAtOnce() {
        test::refillSpool(test::faxesNow(5, 7, 7));
        test::RecordingSeams seams;
        WindowWatch watch(seams.recorded());
        runEntry(QStringLiteral("import;x"));
        QTRY_COMPARE_WITH_TIMEOUT(seams.recorded().exitCodes, QList<int>{0}, 60000);
        QCOMPARE(seams.recorded().texts(), QStringList{QStringLiteral("Import Faxes from FaxConsole successfully.")});
        QCOMPARE(watch.visibleAtMessage, QList<bool>{false});
        QCOMPARE(watch.shows, 1);  // the activation's own show; it hid at once
        QCOMPARE(test::itemCount(FolderOutbox), 5);
        QCOMPARE(test::itemCount(FolderSentItems), 7);
        QCOMPARE(test::itemCount(FolderInbox), 7);
        QCOMPARE(test::faxIds(FolderOutbox, QStringLiteral("Queued 256")), QStringList{faxd::idText(0x100)});
        QCOMPARE(test::faxIds(FolderSentItems, QStringLiteral("Sent 261")), QStringList{faxd::idText(0x105)});
    }

    void twentyFaxesOfferTheChoice() {
        test::refillSpool(test::faxesNow(6, 7, 7));
        test::RecordingSeams seams;
        runEntry(QStringLiteral("import"));
        frmImport *page = existingPage<frmImport>();
        QVERIFY(page);
        QTRY_VERIFY(offersChoice(page));
        QTest::qWait(200);
        QVERIFY(page->isVisible());  // shown once, not hidden again by its own activation
        QCOMPARE(page->progress->maximum(), 20);
        QCOMPARE(page->progress->value(), 0);
        QVERIFY(page->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        QVERIFY(seams.recorded().exitCodes.isEmpty());

        QTest::mouseClick(page->CancelButton, Qt::LeftButton);
        QCOMPARE(seams.recorded().exitCodes, QList<int>{0});
        QVERIFY(seams.recorded().messages.isEmpty());
        QCOMPARE(totalItems(), 0);
    }

    // Newest fax 10 March 09:00: 9 and 10 March go in, 8 March 23:59 does not; a cancelled
    // job is never mirrored but moves the bar.
    void lastDayImportsFromTheDayBeforeTheNewestFax() {
        test::SpoolFill fill;
        fill.jobs = {{at(3, 9, 6, 0), 1}, {at(3, 8, 12, 0), 1}, {at(3, 10, 8, 0), 512}};
        fill.sent = {at(3, 9, 0, 0), at(3, 8, 23, 59)};
        fill.received = {at(3, 10, 9, 0), at(3, 9, 23, 59)};
        while (fill.received.size() < 17) fill.received.append(at(3, 1, 12, 0));
        test::refillSpool(fill);
        test::RecordingSeams seams;
        runEntry(QStringLiteral("import"));
        frmImport *page = existingPage<frmImport>();
        QVERIFY(page);
        QTRY_VERIFY(offersChoice(page));
        QCOMPARE(page->progress->maximum(), 22);
        QTest::mouseClick(page->OKButton, Qt::LeftButton);
        QCOMPARE(seams.recorded().exitCodes, QList<int>{0});
        QCOMPARE(seams.recorded().texts(), QStringList{QStringLiteral("Import Faxes from FaxConsole successfully.")});
        QCOMPARE(page->progress->value(), 22);
        QCOMPARE(test::faxIds(FolderOutbox, QStringLiteral("Queued 256")), QStringList{faxd::idText(0x100)});
        QCOMPARE(test::itemCount(FolderOutbox), 1);
        QCOMPARE(test::itemCount(FolderSentItems), 1);
        QCOMPARE(test::faxIds(FolderSentItems, QStringLiteral("Sent 259")).size(), 1);
        QCOMPARE(test::itemCount(FolderInbox), 2);
    }

    // All 200, then faxes that arrive after the count go in too and the bar stops at its
    // end; a second run adds nothing.
    void allFaxesTwiceMakeOneItemEach() {
        test::SpoolFill fill = test::faxesNow(60, 70, 70);
        fill.jobs[0].second = 512;
        fill.jobs[1].second = 1024;
        test::refillSpool(fill);
        for (int run = 1; run <= 2; ++run) {
            test::RecordingSeams seams;
            runEntry(QStringLiteral("import"));
            frmImport *page = existingPage<frmImport>();
            QVERIFY(page);
            QTRY_VERIFY(offersChoice(page));
            const int counted = page->progress->maximum();
            QCOMPARE(counted, run == 1 ? 200 : 203);
            if (run == 1) {
                fax::FaxServer server;
                server.Connect(QString());
                for (int i = 0; i < 3; ++i) {
                    fax::FaxDocument doc;
                    doc.Recipients.Add(QStringLiteral("333"), QStringLiteral("Late"));
                    doc.Subject = QStringLiteral("Late %1").arg(i);
                    doc.Body = QDir::tempPath() + QStringLiteral("/late.txt");
                    test::writeFile(doc.Body, "late\n");
                    doc.ConnectedSubmit(server);
                }
            }
            QTest::mouseClick(page->optAll, Qt::LeftButton);
            QTest::mouseClick(page->OKButton, Qt::LeftButton);
            QCOMPARE(seams.recorded().exitCodes, QList<int>{0});
            QCOMPARE(page->progress->value(), counted);
            QCOMPARE(test::itemCount(FolderOutbox), 58 + 3);
            QCOMPARE(test::itemCount(FolderSentItems), 70);
            QCOMPARE(test::itemCount(FolderInbox), 70);
            QCOMPARE(test::faxIds(FolderOutbox, QStringLiteral("Late 1")).size(), 1);
            test::releaseAllPages();
            mCommon::ShutDown();
        }
    }

    // The program killed in the middle of an import, several times at different moments of
    // making an item, then run to its end: after every kill each item there is a whole one
    // of a different fax, and at the end there is exactly one item per fax, in every folder
    // Deleted Items included.
    void aKilledImportRunAgainMakesNoDuplicates() {
        constexpr int jobs = 6, sent = 6, received = 7, faxes = jobs + sent + received;
        test::refillSpool(test::faxesNow(jobs, sent, received));
        QStringList allIds;
        for (qint64 id = 0x100; id < 0x100 + faxes; ++id) allIds << faxd::idText(id);
        allIds.sort();
        const auto runProgram = startImport;
        // Delays after an item appeared: the kill lands before, in and after the saves,
        // the message and the moves of the items being made then.
        for (const int delayMs : {0, 10, 25, 40}) {
            const int before = allItems();
            QProcess killed;
            QVERIFY(runProgram(killed));
            QTRY_VERIFY_WITH_TIMEOUT(allItems() > before, 60000);
            QTest::qWait(delayMs);
            ::kill(pid_t(killed.processId()), SIGKILL);
            killed.waitForFinished();
            const QStringList left = everyItem();
            QVERIFY2(left.size() < faxes, "the import ended before it was killed");
            QCOMPARE(QSet<QString>(left.begin(), left.end()).size(), left.size());  // no duplicates
            for (const QString &id : left) QVERIFY2(allIds.contains(id), qPrintable(id));  // none half made
        }

        QProcess last;
        QVERIFY(runProgram(last));
        // The success message waits for a user; the program has done its work by then.
        QTRY_COMPARE_WITH_TIMEOUT(allItems(), faxes, 60000);
        QTest::qWait(500);
        last.kill();
        last.waitForFinished();
        QCOMPARE(everyItem(), allIds);
    }

    // Three imports started at once write the store one at a time: one item per fax.
    void importsAtOnceMakeOneItemEach() {
        constexpr int faxes = 4 + 5 + 6;
        test::refillSpool(test::faxesNow(4, 5, 6));
        QStringList allIds;
        for (qint64 id = 0x100; id < 0x100 + faxes; ++id) allIds << faxd::idText(id);
        allIds.sort();
        QProcess programs[3];
        for (QProcess &program : programs) QVERIFY(startImport(program));
        // Each ends at its success message, which waits for a user: done once nothing
        // changes any more.
        int last = -1;
        QDeadlineTimer deadline(120000);
        for (int calm = 0; calm < 6 && !deadline.hasExpired(); QTest::qWait(500)) {
            const int now = allItems();
            calm = now == last && now >= faxes ? calm + 1 : 0;
            last = now;
        }
        for (QProcess &program : programs) {
            program.kill();
            program.waitForFinished();
        }
        QCOMPARE(everyItem(), allIds);
    }

    // An import that could not write every item (a read-only Inbox) takes the failure
    // path: logged, and no word of success.
    void anImportThatCouldNotWriteSaysSo() {
        test::refillSpool(test::faxesNow(1, 1, 2));
        for (const char *sub : {"/cur", "/new", "/tmp"}) QVERIFY(QDir().mkpath(mailRoot() + QLatin1String(sub)));
        for (const char *sub : {"/cur", "/tmp"})
            QVERIFY(QFile::setPermissions(mailRoot() + QLatin1String(sub), QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        {
            test::ObeyFilePermissions asTheUser;
            test::RecordingSeams seams;
            runEntry(QStringLiteral("import"));
            QTRY_VERIFY_WITH_TIMEOUT(!test::errorLogLines().filter(QStringLiteral("\"frmImport.Form_Active\"")).isEmpty(), 60000);
            QVERIFY(!seams.recorded().texts().contains(QStringLiteral("Import Faxes from FaxConsole successfully.")));
            const QStringList failure = test::errorLogLines().filter(QStringLiteral("\"frmImport.Form_Active\""));
            QCOMPARE(failure.size(), 1);
            QVERIFY2(failure.first().startsWith(QStringLiteral("70,")), qPrintable(failure.first()));
            QCOMPARE(test::errorLogLines().filter(QStringLiteral("\"msend.GenerateOutlookInboxFax\"")).size(), 2);
        }
        for (const char *sub : {"/cur", "/tmp"})
            QFile::setPermissions(mailRoot() + QLatin1String(sub), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        QCOMPARE(test::itemCount(FolderOutbox), 1);
        QCOMPARE(test::itemCount(FolderSentItems), 1);
        QCOMPARE(test::itemCount(FolderInbox), 0);
        QCOMPARE(QDir(mailRoot() + QStringLiteral("/tmp")).entryList(QDir::Files), QStringList());
    }
};

QTEST_MAIN(TestImport)
#include "tst_import.moc"
