// The update check and download against a real HTTP server on this machine: the three
// answers of the check, a download with and without its length, one cut short, one
// refused, one cancelled. The about box's Update button is driven in the desktop test.
#include "LocalHttpServer.h"
#include "FileLimits.h"
#include "TestSeams.h"
#include "TestSupport.h"
#include "extras/frmAbout.h"
#include "extras/frmUpdate.h"
#include "services/CWinReg.h"

#include <QCoreApplication>
#include <QCursor>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QFile>
#include <QStandardPaths>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTcpServer>
#include <QtTest>

using namespace sendmere;
using test::CheckPath;
using test::LocalHttpServer;
using test::useServer;

namespace {

QByteArray payload(int size) {
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i) bytes[i] = char((i * 7 + i / 251) & 0xff);
    return bytes;
}

// A binary download; held ones send half and wait for the test to release the rest.
LocalHttpServer::Response binary(const QByteArray &body, bool held = false, bool withLength = true) {
    LocalHttpServer::Response response{"200 OK", "application/octet-stream", body, withLength};
    response.holdHalf = held;
    return response;
}

QString errorLog() { return QCoreApplication::applicationDirPath() + QStringLiteral("/Errors.log"); }

// The files of the program's directory whose names start with name: the file itself and any
// temporary file written beside it.
QStringList leftovers(const QString &name) {
    return QDir(QCoreApplication::applicationDirPath()).entryList({name + QLatin1Char('*')}, QDir::Files | QDir::Hidden | QDir::System);
}

// A local address that nobody listens on any more.
QString refusedServer() {
    QTcpServer closed;
    if (!closed.listen(QHostAddress::LocalHost)) return {};
    const quint16 port = closed.serverPort();
    closed.close();
    return QStringLiteral("http://127.0.0.1:%1").arg(port);
}
}  // namespace

class TestUpdate : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Downloads of an earlier run of this test left in its folder would stand for files of this one.
    void initTestCase() {
        const QDir dir(QCoreApplication::applicationDirPath());
        for (const QFileInfo &file : dir.entryInfoList(QDir::Files | QDir::Hidden))
            if (!file.isExecutable()) QFile::remove(file.filePath());
    }
    void init() { QFile::remove(errorLog()); }
    void cleanup() {
        releasePages();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void theCheckAsksForThisVersionOnTheConfiguredServer() {
        QCOMPARE(frmUpdate::checkUrl(3, 2).toString(), QStringLiteral("https://www.sendmere.org/_check_update.asp?ver=3.2"));
        useServer(QStringLiteral("updates.example.net:8080/"));  // no scheme, a trailing slash
        QCOMPARE(frmUpdate::checkUrl(1, 7).toString(), QStringLiteral("https://updates.example.net:8080/_check_update.asp?ver=1.7"));
        const QString dir = QCoreApplication::applicationDirPath();
        QCOMPARE(frmUpdate::localFileFor(QStringLiteral("http://h/a/b/setup-2.0.deb")), dir + QStringLiteral("/setup-2.0.deb"));
        QCOMPARE(frmUpdate::localFileFor(QStringLiteral("http://h/a/")), dir + QStringLiteral("/"));
    }

    void everyTransferStateHasItsText() {
        const QStringList texts = {QStringLiteral("Not state"), QStringLiteral("Resolving Host"), QStringLiteral("Host Resolved"),
                                   QStringLiteral("Connecting"), QStringLiteral("Connected"), QStringLiteral("Requesting"),
                                   QStringLiteral("Request Sent"), QString(), QString(), QStringLiteral("Disconnecting"),
                                   QStringLiteral("Disconnected"), QStringLiteral("Error"), QString()};
        for (int state = 0; state < texts.size(); ++state)
            QCOMPARE(frmUpdate::stateText(state).value_or(QString()), texts[state]);
        QVERIFY(!frmUpdate::stateText(7) && !frmUpdate::stateText(8) && !frmUpdate::stateText(12));
        QVERIFY(!frmUpdate::stateText(13) && !frmUpdate::stateText(-1));
    }

    void theThreeAnswersAndAFailedCheck() {
        LocalHttpServer server;
        useServer(server.base());
        test::RecordingSeams seams;
        auto &messages = seams.recorded().messages;

        server.route(CheckPath, {"200 OK", "text/plain", "0\r\n"});
        frmUpdate::CheckForUpdate(nullptr);
        QCOMPARE(server.requests(), QList<QByteArray>{CheckPath});
        QCOMPARE(messages.size(), 1);
        QCOMPARE(messages[0].text, QStringLiteral("Update not available."));
        QCOMPARE(messages[0].title, QStringLiteral("Quillpost"));

        server.route(CheckPath, {"200 OK", "text/html", "<html><body>1</body></html>"});
        frmUpdate::CheckForUpdate(nullptr);
        QCOMPARE(messages.size(), 1);
        QVERIFY(!existingPage<frmUpdate>());

        const QString url = server.base() + QStringLiteral("/files/sendmere-2.0.deb");
        server.route(CheckPath, {"200 OK", "text/html", "<html><body><p>" + url.toUtf8() + "</p></body></html>"});
        frmUpdate::CheckForUpdate(nullptr);
        QCOMPARE(messages.size(), 1);
        frmUpdate *dialog = existingPage<frmUpdate>();
        QVERIFY(dialog && dialog->isVisible());
        QCOMPARE(dialog->downloadUrl(), url);
        QCOMPARE(dialog->localFile(), QCoreApplication::applicationDirPath() + QStringLiteral("/sendmere-2.0.deb"));
        dialog->cmdCancel_Click();
        QTRY_VERIFY(!existingPage<frmUpdate>());

        server.route(CheckPath, {"500 Internal Server Error", "text/plain", "0"});
        frmUpdate::CheckForUpdate(nullptr);
        QCOMPARE(messages.size(), 2);
        QCOMPARE(messages[1].text, QStringLiteral("Connect error. Check yor interner"));

        useServer(refusedServer());
        frmUpdate::CheckForUpdate(nullptr);
        QCOMPARE(messages.size(), 3);
        QCOMPARE(messages[2].text, QStringLiteral("Connect error. Check yor interner"));
        QVERIFY(!existingPage<frmUpdate>());
    }

    // With its length the progress shows the share arrived; without it no percentage. Both
    // files arrive whole and are opened once.
    void downloadsShowProgressAndAreOpened() {
        LocalHttpServer server;
        test::RecordingSeams seams;
        const QByteArray body = payload(100000);
        server.route("/files/full.deb", binary(body, true));
        server.route("/unsized.bin", binary(body, true, false));
        QStringList locals;
        for (const char *path : {"/files/full.deb", "/unsized.bin"}) {
            const bool sized = path[1] == 'f';
            frmUpdate &dialog = page<frmUpdate>();
            dialog.setDownloadUrl(server.base() + QLatin1String(path));
            dialog.showPage();
            QSignalSpy ended(&dialog, &frmUpdate::downloadEnded);
            QTest::mouseClick(dialog.cmdDownLoad, Qt::LeftButton);
            QVERIFY(!dialog.cmdDownLoad->isEnabled());
            QTRY_VERIFY(server.holding());
            if (sized) {
                QTRY_COMPARE(dialog.lblProgressInfo->text(), QStringLiteral("Downloaded 50000 bytes (50%)"));
                QCOMPARE(dialog.ProgressBar1->value(), 50);
            } else {
                QTest::qWait(100);
                QVERIFY(!dialog.lblProgressInfo->text().startsWith(QStringLiteral("Downloaded")));
                QCOMPARE(dialog.ProgressBar1->value(), 0);
            }
            QCOMPARE(seams.recorded().opened, locals);
            const QString local = dialog.localFile();  // the page goes once the file is opened
            server.release();
            QTRY_COMPARE(ended.size(), 1);
            QCOMPARE(ended[0][0].toBool(), true);
            locals << local;
            QCOMPARE(test::readFile(locals.last()), body);
            QCOMPARE(seams.recorded().opened, locals);
            QTRY_VERIFY(!existingPage<frmUpdate>());
        }
        QCOMPARE(locals.first(), QCoreApplication::applicationDirPath() + QStringLiteral("/full.deb"));
        QVERIFY(seams.recorded().messages.isEmpty());
    }

    // Cut short, refused, a single byte: nothing is opened and the user is told to try later.
    void aFailedDownloadOpensNothing() {
        LocalHttpServer server;
        test::RecordingSeams seams;
        LocalHttpServer::Response truncated = binary(payload(10000));
        truncated.sendBytes = 4000;
        server.route("/cut.deb", truncated);
        server.route("/one.bin", {"200 OK", "application/octet-stream", "x"});

        const QStringList urls = {server.base() + QStringLiteral("/cut.deb"), refusedServer() + QStringLiteral("/refused.deb"), server.base() + QStringLiteral("/one.bin"),
                                  server.base() + QStringLiteral("/missing.deb"), QString()};
        for (const QString &url : urls) {
            frmUpdate &dialog = page<frmUpdate>();
            dialog.setDownloadUrl(url);
            QSignalSpy ended(&dialog, &frmUpdate::downloadEnded);
            dialog.cmdDownLoad_Click();
            QTRY_COMPARE(ended.size(), 1);
            QCOMPARE(ended[0][0].toBool(), false);
            QTRY_VERIFY(!existingPage<frmUpdate>());
        }
        QVERIFY(seams.recorded().opened.isEmpty());
        QCOMPARE(seams.recorded().messages.size(), urls.size());
        for (const test::ShownMessage &message : seams.recorded().messages) {
            QCOMPARE(message.text, QStringLiteral("Can not download. Try later."));
            QCOMPARE(message.title, QStringLiteral("Quillpost update"));
            QCOMPARE(message.icon, shell::MessageBox::Icon::Stop);
        }
        // Nothing of a failed download stays behind, not even a temporary file beside it.
        QVERIFY(leftovers(QStringLiteral("cut.deb")).isEmpty());
        QVERIFY(leftovers(QStringLiteral("one.bin")).isEmpty());
        QVERIFY(leftovers(QStringLiteral("missing.deb")).isEmpty());
    }

    // An answer to the check is a digit or an address: a huge or endless one is cut off, the
    // user hears of a failed check, and the log says why.
    void aHugeOrEndlessCheckAnswerIsCutOff() {
        LocalHttpServer server;
        useServer(server.base());
        test::RecordingSeams seams;
        server.route(CheckPath, {"200 OK", "text/plain", QByteArray(1024 * 1024, '7')});
        frmUpdate::CheckForUpdate(nullptr);
        QVERIFY(!existingPage<frmUpdate>());
        QCOMPARE(seams.recorded().texts(), QStringList{QStringLiteral("Connect error. Check yor interner")});

        LocalHttpServer::Response endless{"200 OK", "text/plain", QByteArray(64 * 1024, 'x'), false};
        endless.endless = true;
        server.route(CheckPath, endless);
        frmUpdate::CheckForUpdate(nullptr);
        QVERIFY(!existingPage<frmUpdate>());
        QCOMPARE(seams.recorded().messages.size(), 2);
        QCOMPARE(seams.recorded().messages[1].text, QStringLiteral("Connect error. Check yor interner"));
        QVERIFY(test::readFile(errorLog()).contains("answer is longer than 65536 bytes"));
    }

    // The server may name any address and any file: only http and https are fetched, never into
    // one of the program's own files, and an error page never takes a file's place.
    void aDownloadNeverReplacesTheProgramsOwnFiles() {
        LocalHttpServer server;
        test::RecordingSeams seams;
        const QString dir = QCoreApplication::applicationDirPath();
        const QByteArray converter = "converter that previews need";
        test::writeFile(dir + QStringLiteral("/tiff2png.exe"), converter);
        test::writeFile(dir + QStringLiteral("/helper.so.1"), "library");
        server.route("/tiff2png.exe", {"200 OK", "application/octet-stream", QByteArray(5000, 'h')});
        server.route("/Errors.log", {"200 OK", "text/plain", "Replaced log"});
        server.route("/helper.so.1", {"200 OK", "application/octet-stream", QByteArray(5000, 'h')});
        QFile::link(QStringLiteral("/etc/hostname"), dir + QStringLiteral("/linked.deb"));
        server.route("/linked.deb", {"200 OK", "application/octet-stream", QByteArray(5000, 'h')});
        const QString self = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
        const QStringList refused = {
            server.base() + QStringLiteral("/tiff2png.exe"), server.base() + QStringLiteral("/Errors.log"),
            server.base() + QStringLiteral("/helper.so.1"), server.base() + QStringLiteral("/linked.deb"),
            server.base() + QLatin1Char('/') + self, QStringLiteral("file:///etc/passwd"),
            QStringLiteral("ftp://127.0.0.1/file.deb"), QStringLiteral("data:text/plain,hello.deb"), server.base() + QStringLiteral("/")};
        for (const QString &url : refused) {
            frmUpdate &dialog = page<frmUpdate>();
            dialog.setDownloadUrl(url);
            QSignalSpy ended(&dialog, &frmUpdate::downloadEnded);
            dialog.cmdDownLoad_Click();
            QTRY_COMPARE(ended.size(), 1);
            QCOMPARE(ended[0][0].toBool(), false);
            QTRY_VERIFY(!existingPage<frmUpdate>());
        }
        QVERIFY2(server.requests().isEmpty(), server.requests().join(' ').constData());
        QCOMPARE(test::readFile(dir + QStringLiteral("/tiff2png.exe")), converter);
        QCOMPARE(test::readFile(dir + QStringLiteral("/helper.so.1")), QByteArray("library"));
        QVERIFY(QFileInfo(dir + QStringLiteral("/linked.deb")).isSymLink());
        QVERIFY(!test::readFile(errorLog()).contains("Replaced log"));
        QVERIFY(!QFile::exists(dir + QStringLiteral("/passwd")));
        QVERIFY(seams.recorded().opened.isEmpty());
        QCOMPARE(seams.recorded().messages.size(), refused.size());
        const QByteArray log = test::readFile(errorLog());
        QVERIFY(log.contains("Only http and https addresses are downloaded, not \"file:///etc/passwd\""));
        QVERIFY(log.contains("one of the program's own files"));
        QFile::remove(dir + QStringLiteral("/tiff2png.exe"));
        QFile::remove(dir + QStringLiteral("/helper.so.1"));
        QFile::remove(dir + QStringLiteral("/linked.deb"));
    }

    // An error page is not the file; a file that does not fit on the disk is not the file; an
    // existing file of that name stays as it was until a whole new one takes its place.
    void aFailedDownloadKeepsWhatWasThere() {
        LocalHttpServer server;
        test::RecordingSeams seams;
        const QString dir = QCoreApplication::applicationDirPath();
        const QString target = dir + QStringLiteral("/setup-3.0.deb");
        test::writeFile(target, "the earlier download");
        server.route("/setup-3.0.deb", {"404 Not Found", "text/html", "<html>no such file</html>"});
        // 1: the file arrived whole; 0: the download failed; -1: it never ended.
        const auto download = [&](const QString &path) -> int {
            frmUpdate &dialog = page<frmUpdate>();
            dialog.setDownloadUrl(server.base() + path);
            QSignalSpy ended(&dialog, &frmUpdate::downloadEnded);
            dialog.cmdDownLoad_Click();
            if (!QTest::qWaitFor([&] { return ended.size() == 1; }, 20000)) return -1;
            if (!QTest::qWaitFor([] { return !existingPage<frmUpdate>(); }, 5000)) return -1;
            return ended[0][0].toBool() ? 1 : 0;
        };
        QCOMPARE(download(QStringLiteral("/setup-3.0.deb")), 0);
        QCOMPARE(test::readFile(target), QByteArray("the earlier download"));
        QVERIFY(test::readFile(errorLog()).contains("The server answered 404 Not Found"));

        // A disk that takes no more: the transfer ends at once (also an endless one) and says so.
        server.route("/setup-3.0.deb", binary(payload(200000)));
        LocalHttpServer::Response endless{"200 OK", "application/octet-stream", payload(64 * 1024), false};
        endless.endless = true;
        server.route("/endless.deb", endless);
        {
            const test::FileSizeLimit fullDisk(64 * 1024);
            QCOMPARE(download(QStringLiteral("/setup-3.0.deb")), 0);
            QCOMPARE(download(QStringLiteral("/endless.deb")), 0);
        }
        QCOMPARE(test::readFile(target), QByteArray("the earlier download"));
        QVERIFY(leftovers(QStringLiteral("endless.deb")).isEmpty());
        QCOMPARE(leftovers(QStringLiteral("setup-3.0.deb")), QStringList{QStringLiteral("setup-3.0.deb")});
        QCOMPARE(test::readFile(errorLog()).count("The disk is full."), 2);

        // Whole at last: the new file takes the name.
        QCOMPARE(download(QStringLiteral("/setup-3.0.deb")), 1);
        QCOMPARE(test::readFile(target), payload(200000));
        QCOMPARE(seams.recorded().opened, QStringList{target});
        QFile::remove(target);
    }

    // A redirect's own length is not the file's: the progress counts against the file's length.
    // Every state the transfer passes through is shown in turn.
    void progressAfterARedirectAndTheStatesShown() {
        LocalHttpServer server;
        test::RecordingSeams seams;
        LocalHttpServer::Response moved{"302 Found", "text/html", QByteArray(54, 'r')};
        moved.extraHeaders = "Location: " + server.base().toUtf8() + "/files/new.deb\r\n";
        server.route("/old.deb", moved);
        server.route("/files/new.deb", binary(payload(20000), true));
        frmUpdate &dialog = page<frmUpdate>();
        dialog.setDownloadUrl(server.base() + QStringLiteral("/old.deb"));
        dialog.showPage();
        QSignalSpy texts(&dialog, &frmUpdate::progressTextChanged);
        QSignalSpy ended(&dialog, &frmUpdate::downloadEnded);
        dialog.cmdDownLoad_Click();
        QTRY_COMPARE(dialog.lblProgressInfo->text(), QStringLiteral("Downloaded 10000 bytes (50%)"));
        server.release();
        QTRY_COMPARE(ended.size(), 1);
        QVERIFY(ended[0][0].toBool());
        QStringList shown;
        for (const QList<QVariant> &text : texts) shown << text[0].toString();
        QCOMPARE(shown.first(), QStringLiteral("Connecting"));
        for (const char *state : {"Connected", "Requesting", "Request Sent", "Disconnecting", "Disconnected"})
            QVERIFY2(shown.contains(QLatin1String(state)), qPrintable(shown.join(u'|')));
        QCOMPARE(shown.last(), QStringLiteral("Disconnected"));
        QCOMPARE(shown.at(shown.size() - 3), QStringLiteral("Downloaded 20000 bytes (100%)"));
        QFile::remove(QCoreApplication::applicationDirPath() + QStringLiteral("/new.deb"));

        // A refused connection ends in "Error".
        frmUpdate &failing = page<frmUpdate>();
        failing.setDownloadUrl(refusedServer() + QStringLiteral("/x.deb"));
        QSignalSpy failingTexts(&failing, &frmUpdate::progressTextChanged);
        QSignalSpy failingEnded(&failing, &frmUpdate::downloadEnded);
        failing.cmdDownLoad_Click();
        QTRY_COMPARE(failingEnded.size(), 1);
        QCOMPARE(failingTexts.last()[0].toString(), QStringLiteral("Error"));
    }

    // The check shows that it is at work, and a second click while it waits asks nothing more.
    void theCheckIsBusyAndAsksOnce() {
        LocalHttpServer server;
        useServer(server.base());
        test::RecordingSeams seams;
        LocalHttpServer::Response held{"200 OK", "text/plain", "0"};
        held.holdHalf = true;
        server.route(CheckPath, held);
        frmAbout &about = page<frmAbout>();
        about.showPage();
        bool busyWhileWaiting = false;
        int ticks = 0;
        QTimer poll;  // acts from inside the check's wait, without blocking it
        connect(&poll, &QTimer::timeout, this, [&] {
            if (!server.holding()) return;
            if (ticks++ == 0) {
                busyWhileWaiting = !about.cmdUpdate->isEnabled() && QGuiApplication::overrideCursor() &&
                                   QGuiApplication::overrideCursor()->shape() == Qt::BusyCursor;
                QTimer::singleShot(0, this, [&] { QTest::mouseClick(about.cmdUpdate, Qt::LeftButton); });  // a second click
            } else if (ticks > 10) {
                server.release();
            }
        });
        poll.start(20);
        QTest::mouseClick(about.cmdUpdate, Qt::LeftButton);
        QVERIFY(busyWhileWaiting);
        QCOMPARE(server.requests().size(), 1);
        QCOMPARE(seams.recorded().texts(), QStringList{QStringLiteral("Update not available.")});
        QVERIFY(about.cmdUpdate->isEnabled());
        QVERIFY(!QGuiApplication::overrideCursor());
    }

    // An installed program's directory is not the user's to write: the file goes to the
    // user's download folder instead.
    void aReadOnlyProgramDirectorySendsTheFileToTheDownloadFolder() {
        const QString programDir = QCoreApplication::applicationDirPath();
        const QFile::Permissions saved = QFile::permissions(programDir);
        QVERIFY(QFile::setPermissions(programDir, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup |
                                                      QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther));
        LocalHttpServer server;
        test::RecordingSeams seams;
        const QByteArray body = payload(5000);
        server.route("/files/elsewhere.deb", binary(body));
        QString local;
        {
            test::ObeyFilePermissions asAUser;
            frmUpdate &dialog = page<frmUpdate>();
            dialog.setDownloadUrl(server.base() + QStringLiteral("/files/elsewhere.deb"));
            local = dialog.localFile();
            QSignalSpy ended(&dialog, &frmUpdate::downloadEnded);
            dialog.cmdDownLoad_Click();
            QTRY_COMPARE(ended.size(), 1);
        }
        QFile::setPermissions(programDir, saved);
        QCOMPARE(local, QStandardPaths::writableLocation(QStandardPaths::DownloadLocation) + QStringLiteral("/elsewhere.deb"));
        QCOMPARE(test::readFile(local), body);
        QCOMPARE(seams.recorded().opened, QStringList{local});
    }

    void cancelStopsTheTransferAtOnce() {
        LocalHttpServer server;
        test::RecordingSeams seams;
        server.route("/slow.deb", binary(payload(50000), true));
        frmUpdate &dialog = page<frmUpdate>();
        dialog.setDownloadUrl(server.base() + QStringLiteral("/slow.deb"));
        dialog.showPage();
        QSignalSpy ended(&dialog, &frmUpdate::downloadEnded);
        dialog.cmdDownLoad_Click();
        QTRY_VERIFY(dialog.lblProgressInfo->text().startsWith(QStringLiteral("Downloaded")));
        QTest::mouseClick(dialog.cmdCancel, Qt::LeftButton);
        QCOMPARE(ended.size(), 1);  // at once, not when the server goes on
        QCOMPARE(ended[0][0].toBool(), false);
        QTRY_COMPARE(server.closedConnections(), 1);  // the connection was dropped
        QTRY_VERIFY(!existingPage<frmUpdate>());
        QVERIFY(seams.recorded().opened.isEmpty());
        QVERIFY(seams.recorded().messages.isEmpty());
    }
};

QTEST_MAIN(TestUpdate)
#include "tst_update.moc"
