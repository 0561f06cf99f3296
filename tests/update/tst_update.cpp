// The update check and download against a real HTTP server on this machine; the about box's Update button, busy while the check waits, is
// the desktop test's.
#include "LocalHttpServer.h"
#include "FileLimits.h"
#include "TestSeams.h"
#include "TestSupport.h"

#include <QtWidgets>

using namespace sendmere;
using namespace Qt::StringLiterals;
using test::CheckPath;
using test::LocalHttpServer;
using Response = LocalHttpServer::Response;

namespace {

const QString ConnectError = u"Connect error. Check yor interner"_s;

QByteArray payload(int size) {
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i) bytes[i] = char((i * 7 + i / 251) & 0xff);
    return bytes;
}

// A binary download; held ones send half and wait for the test to release the rest.
Response binary(const QByteArray &body, bool held = false, bool withLength = true) {
    Response response{"200 OK", "application/octet-stream", body, withLength};
    response.holdHalf = held;
    return response;
}

QString programDir() { return QCoreApplication::applicationDirPath(); }
QString errorLog() { return programDir() + u"/Errors.log"_s; }
QByteArray logText() { return test::readFile(errorLog()); }

// The file of that name in the program's directory and any temporary file written beside it.
QStringList leftovers(const QString &name) {
    return QDir(programDir()).entryList({name + u'*'}, QDir::Files | QDir::Hidden | QDir::System);
}

// A local address that nobody listens on any more.
QString refusedServer() {
    QTcpServer closed;
    return closed.listen(QHostAddress::LocalHost) ? u"http://127.0.0.1:%1"_s.arg(closed.serverPort()) : QString();
}

// Downloads url in a fresh dialog: 1 when the file arrived whole, 0 when the download failed, -1 when it never ended.
int download(const QString &url, QString *local = nullptr) {
    frmUpdate &dialog = page<frmUpdate>();
    dialog.setDownloadUrl(url);
    if (local) *local = dialog.localFile();
    QSignalSpy ended(&dialog, &frmUpdate::downloadEnded);
    dialog.cmdDownLoad_Click();
    if (!QTest::qWaitFor([&] { return ended.size() == 1; }, 20000) || !QTest::qWaitFor([] { return !existingPage<frmUpdate>(); }, 5000)) return -1;
    return ended[0][0].toBool() ? 1 : 0;
}

}  // namespace

class TestUpdate : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() {  // downloads of an earlier run would stand for files of this one
        for (const QFileInfo &file : QDir(programDir()).entryInfoList(QDir::Files | QDir::Hidden))
            if (!file.isExecutable()) QFile::remove(file.filePath());
    }
    void init() { QFile::remove(errorLog()); }
    void cleanup() {
        releasePages();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void addressesAndStateTexts() {
        QCOMPARE(frmUpdate::checkUrl(3, 2).toString(), u"https://www.sendmere.org/_check_update.asp?ver=3.2"_s);
        test::useServer(u"updates.example.net:8080/"_s);  // no scheme, a trailing slash
        QCOMPARE(frmUpdate::checkUrl(1, 7).toString(), u"https://updates.example.net:8080/_check_update.asp?ver=1.7"_s);
        QCOMPARE(frmUpdate::localFileFor(u"http://h/a/b/setup-2.0.deb"_s), programDir() + u"/setup-2.0.deb"_s);
        QCOMPARE(frmUpdate::localFileFor(u"http://h/a/"_s), programDir() + u"/"_s);
        const char *texts[] = {"Not state", "Resolving Host", "Host Resolved", "Connecting", "Connected", "Requesting",
                               "Request Sent", nullptr, nullptr, "Disconnecting", "Disconnected", "Error", nullptr};
        for (int state = -1; state <= 13; ++state) {
            const char *text = state >= 0 && state < 13 ? texts[state] : nullptr;
            QCOMPARE(frmUpdate::stateText(state).value_or(u"-"_s), text ? QString::fromLatin1(text) : u"-"_s);
        }
    }

    // "0", "1", an address, an error page, no server, a huge and an endless answer: the last two are cut off, and the log says why.
    void theCheckAnswers() {
        LocalHttpServer server;
        test::RecordingSeams seams;
        const QString url = server.base() + u"/files/sendmere-2.0.deb"_s;
        Response endless{"200 OK", "text/plain", QByteArray(64 * 1024, 'x'), false};
        endless.endless = true;
        const struct { Response answer; QString said; bool dialog = false, noServer = false; } rows[] = {
            {{"200 OK", "text/plain", "0\r\n"}, u"Update not available."_s},
            {{"200 OK", "text/html", "<html><body>1</body></html>"}, {}},
            {{"200 OK", "text/html", "<html><body><p>" + url.toUtf8() + "</p></body></html>"}, {}, true},
            {{"500 Internal Server Error", "text/plain", "0"}, ConnectError},
            {{}, ConnectError, false, true},
            {{"200 OK", "text/plain", QByteArray(1024 * 1024, '7')}, ConnectError},
            {endless, ConnectError}};
        for (const auto &row : rows) {
            test::useServer(row.noServer ? refusedServer() : server.base());
            server.route(CheckPath, row.answer);
            seams.recorded().messages.clear();
            frmUpdate::CheckForUpdate(nullptr);
            QCOMPARE(seams.recorded().texts(), row.said.isEmpty() ? QStringList() : QStringList{row.said});
            for (const test::ShownMessage &message : seams.recorded().messages) QCOMPARE(message.title, frmUpdate::MessageTitle);
            frmUpdate *dialog = existingPage<frmUpdate>();
            QCOMPARE(dialog && dialog->isVisible(), row.dialog);
            if (!dialog) continue;
            QCOMPARE(dialog->downloadUrl(), url);
            dialog->cmdCancel_Click();
            QTRY_VERIFY(!existingPage<frmUpdate>());
        }
        QCOMPARE(server.requests(), QList<QByteArray>(std::size(rows) - 1, CheckPath));
        QVERIFY(logText().contains("answer is longer than 65536 bytes"));
    }

    // Cut short, refused, a single byte, missing: nothing is opened or left behind and the user is told to try later. The server may name
    // any address and any file: only http and https are fetched, never into one of the program's own files.
    void failedAndRefusedDownloadsOpenNothing() {
        LocalHttpServer server;
        test::RecordingSeams seams;
        Response truncated = binary(payload(10000));
        truncated.sendBytes = 4000;
        server.route("/cut.deb", truncated);
        server.route("/one.bin", {"200 OK", "application/octet-stream", "x"});
        const QString base = server.base();
        for (const QString &url : {base + u"/cut.deb"_s, refusedServer() + u"/refused.deb"_s, base + u"/one.bin"_s,
                                   base + u"/missing.deb"_s, QString()})
            QCOMPARE(download(url), 0);
        for (const char *name : {"cut.deb", "one.bin", "missing.deb"}) QVERIFY(leftovers(QLatin1String(name)).isEmpty());
        const qsizetype requests = server.requests().size();

        const QByteArray converter = "converter that previews need";
        test::writeFile(programDir() + u"/tiff2png.exe"_s, converter);
        test::writeFile(programDir() + u"/helper.so.1"_s, "library");
        QFile::link(u"/etc/hostname"_s, programDir() + u"/linked.deb"_s);
        for (const char *path : {"/tiff2png.exe", "/helper.so.1", "/linked.deb"})
            server.route(path, {"200 OK", "application/octet-stream", QByteArray(5000, 'h')});
        server.route("/Errors.log", {"200 OK", "text/plain", "Replaced log"});
        const QStringList refused = {base + u"/tiff2png.exe"_s, base + u"/Errors.log"_s, base + u"/helper.so.1"_s,
                                     base + u"/linked.deb"_s, base + u'/' + QFileInfo(QCoreApplication::applicationFilePath()).fileName(),
                                     u"file:///etc/passwd"_s, u"ftp://127.0.0.1/file.deb"_s, u"data:text/plain,hello.deb"_s, base + u"/"_s};
        for (const QString &url : refused) QCOMPARE(download(url), 0);
        QCOMPARE(server.requests().size(), requests);
        QVERIFY(test::readFile(programDir() + u"/tiff2png.exe"_s) == converter && test::readFile(programDir() + u"/helper.so.1"_s) == "library");
        QVERIFY(QFileInfo(programDir() + u"/linked.deb"_s).isSymLink() && !QFile::exists(programDir() + u"/passwd"_s));
        QVERIFY(!logText().contains("Replaced log") && logText().contains("one of the program's own files"));
        QVERIFY(logText().contains("Only http and https addresses are downloaded, not \"file:///etc/passwd\""));

        QVERIFY(seams.recorded().opened.isEmpty());
        QCOMPARE(seams.recorded().messages.size(), 5 + refused.size());
        for (const test::ShownMessage &message : seams.recorded().messages)
            QVERIFY(message.text == u"Can not download. Try later."_s && message.title == u"Quillpost update"_s &&
                    message.icon == shell::MessageBox::Icon::Stop);
        for (const char *name : {"/tiff2png.exe", "/helper.so.1", "/linked.deb"}) QFile::remove(programDir() + QLatin1String(name));
    }

    // An error page is not the file; a file that does not fit on the disk is not the file; an existing file of that name stays as it was
    // until a whole new one takes its place; where the program's directory cannot be written, the file goes elsewhere.
    void whereTheFileGoesAndWhatStays() {
        LocalHttpServer server;
        test::RecordingSeams seams;
        const QString target = programDir() + u"/setup-3.0.deb"_s, url = server.base() + u"/setup-3.0.deb"_s;
        test::writeFile(target, "the earlier download");
        server.route("/setup-3.0.deb", {"404 Not Found", "text/html", "<html>no such file</html>"});
        QCOMPARE(download(url), 0);
        QCOMPARE(test::readFile(target), QByteArray("the earlier download"));
        QVERIFY(logText().contains("The server answered 404 Not Found"));

        // A disk that takes no more: the transfer ends at once (also an endless one) and says so.
        server.route("/setup-3.0.deb", binary(payload(200000)));
        Response endless{"200 OK", "application/octet-stream", payload(64 * 1024), false};
        endless.endless = true;
        server.route("/endless.deb", endless);
        {
            const test::FileSizeLimit fullDisk(64 * 1024);
            QCOMPARE(download(url), 0);
            QCOMPARE(download(server.base() + u"/endless.deb"_s), 0);
        }
        QCOMPARE(test::readFile(target), QByteArray("the earlier download"));
        QVERIFY(leftovers(u"endless.deb"_s).isEmpty() && leftovers(u"setup-3.0.deb"_s) == QStringList{u"setup-3.0.deb"_s});
        QCOMPARE(logText().count("The disk is full."), 2);

        QCOMPARE(download(url), 1);  // whole at last: the new file takes the name
        QVERIFY(test::readFile(target) == payload(200000) && seams.recorded().opened == QStringList{target});
        QFile::remove(target);

        // An installed program's directory is not the user's to write: the file goes to the user's download folder instead.
        const QFile::Permissions saved = QFile::permissions(programDir());
        QVERIFY(QFile::setPermissions(programDir(), QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup |
                                                        QFile::ReadOther | QFile::ExeOther));
        QString local;
        std::optional<test::ObeyFilePermissions> asAUser(std::in_place);
        const int whole = download(url, &local);
        asAUser.reset();
        QFile::setPermissions(programDir(), saved);
        QVERIFY(whole == 1 && local == QStandardPaths::writableLocation(QStandardPaths::DownloadLocation) + u"/setup-3.0.deb"_s);
        QVERIFY(test::readFile(local) == payload(200000) && seams.recorded().opened == (QStringList{target, local}) && !QFile::exists(target));
    }

    // A redirect's own length is not the file's: the share shown counts against the file's length, every state passes in turn, and the
    // whole file is opened once. Without a length no share is shown. The whole 3xx range is a redirect, never the file nor a refusal: one
    // the network does not follow brings nothing; 400 is a refusal.
    void progressRedirectsAndTheStatesShown() {
        LocalHttpServer server;
        test::RecordingSeams seams;
        const auto moved = [&](const QByteArray &status) {
            Response response{status, "text/html", QByteArray(54, 'r')};
            response.extraHeaders = "Location: " + server.base().toUtf8() + "/files/new.deb\r\n";
            return response;
        };
        server.route("/old.deb", moved("302 Found"));
        server.route("/files/new.deb", binary(payload(100000), true));
        server.route("/unsized.bin", binary(payload(100000), true, false));
        for (const QString &path : {u"/old.deb"_s, u"/unsized.bin"_s}) {
            const bool sized = path == u"/old.deb"_s;
            frmUpdate &dialog = page<frmUpdate>();
            dialog.setDownloadUrl(server.base() + path);
            dialog.showPage();
            QSignalSpy texts(&dialog, &frmUpdate::progressTextChanged);
            QSignalSpy ended(&dialog, &frmUpdate::downloadEnded);
            QTest::mouseClick(dialog.cmdDownLoad, Qt::LeftButton);
            QVERIFY(!dialog.cmdDownLoad->isEnabled());
            QTRY_VERIFY(server.holding());
            if (sized) QTRY_COMPARE(dialog.lblProgressInfo->text(), u"Downloaded 50000 bytes (50%)"_s);
            else QTest::qWait(100);
            QCOMPARE(dialog.lblProgressInfo->text().startsWith(u"Downloaded"_s), sized);
            QVERIFY(dialog.ProgressBar1->value() == (sized ? 50 : 0) && seams.recorded().opened.size() == (sized ? 0 : 1));
            const QString local = dialog.localFile();  // the page goes once the file is opened
            server.release();
            QTRY_COMPARE(ended.size(), 1);
            QVERIFY(ended[0][0].toBool() && test::readFile(local) == payload(100000) && seams.recorded().opened.last() == local);
            QTRY_VERIFY(!existingPage<frmUpdate>());
            if (!sized) continue;
            QStringList shown;
            for (const QList<QVariant> &text : texts) shown << text[0].toString();
            QCOMPARE(shown.first(), u"Connecting"_s);
            for (const char *state : {"Connected", "Requesting", "Request Sent"}) QVERIFY2(shown.contains(QLatin1String(state)), state);
            QCOMPARE(shown.mid(shown.size() - 3), (QStringList{u"Downloaded 100000 bytes (100%)"_s, u"Disconnecting"_s, u"Disconnected"_s}));
        }
        QVERIFY(seams.recorded().opened.size() == 2 && seams.recorded().messages.isEmpty());

        for (const auto &[status, logged] : {std::pair{"300 Multiple Choices", "brought 0 bytes"}, {"399 Other", "brought 0 bytes"},
                                             {"400 Bad Request", "The server answered 400 Bad Request"}}) {
            server.route("/choice.deb", moved(status));
            QFile::remove(errorLog());
            QCOMPARE(download(server.base() + u"/choice.deb"_s), 0);
            QVERIFY2(logText().contains(logged), logText().constData());
        }
        // A refused connection ends in "Error".
        frmUpdate &failing = page<frmUpdate>();
        failing.setDownloadUrl(refusedServer() + u"/x.deb"_s);
        QSignalSpy failingTexts(&failing, &frmUpdate::progressTextChanged);
        failing.cmdDownLoad_Click();
        QTRY_VERIFY(!failingTexts.isEmpty() && failingTexts.last()[0].toString() == u"Error"_s);
        for (const char *name : {"/old.deb", "/unsized.bin"}) QFile::remove(programDir() + QLatin1String(name));
    }

    void cancelStopsTheTransferAtOnce() {
        LocalHttpServer server;
        test::RecordingSeams seams;
        server.route("/slow.deb", binary(payload(50000), true));
        frmUpdate &dialog = page<frmUpdate>();
        dialog.setDownloadUrl(server.base() + u"/slow.deb"_s);
        dialog.showPage();
        QSignalSpy ended(&dialog, &frmUpdate::downloadEnded);
        dialog.cmdDownLoad_Click();
        QTRY_VERIFY(dialog.lblProgressInfo->text().startsWith(u"Downloaded"_s));
        QTest::mouseClick(dialog.cmdCancel, Qt::LeftButton);
        QVERIFY(ended.size() == 1 && !ended[0][0].toBool());  // at once, not when the server goes on
        QTRY_COMPARE(server.closedConnections(), 1);  // the connection was dropped
        QTRY_VERIFY(!existingPage<frmUpdate>());
        QVERIFY(seams.recorded().opened.isEmpty() && seams.recorded().messages.isEmpty());
    }
};

QTEST_MAIN(TestUpdate)
#include "tst_update.moc"
