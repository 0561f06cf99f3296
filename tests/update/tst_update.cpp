// The update check and download against a real HTTP server on this machine: the three
// answers of the check, a download with and without its length, one cut short, one
// refused, one cancelled. The about box's Update button is driven in the desktop test.
#include "LocalHttpServer.h"
#include "FileLimits.h"
#include "TestSeams.h"
#include "TestSupport.h"
#include "app/CWinReg.h"
#include "extras/frmUpdate.h"

#include <QCoreApplication>
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
        }
        // What arrived of the file cut short stays where it was written.
        QCOMPARE(test::readFile(QCoreApplication::applicationDirPath() + QStringLiteral("/cut.deb")).size(), 4000);
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
