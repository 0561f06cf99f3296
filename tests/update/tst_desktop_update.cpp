// The about box's Update and the update dialog on a real X server: real message boxes closed
// from the keyboard, buttons pressed through their accessibility actions.
#include "DesktopKit.h"
#include "LocalHttpServer.h"
#include "TestSupport.h"
#include "extras/frmAbout.h"
#include "extras/frmUpdate.h"

#include <QAccessible>
#include <QPushButton>
#include <QtTest>

using namespace sendmere;
using test::doAccessibleAction;

class TestDesktopUpdate : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void cleanup() {
        releasePages();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // The server names a file that arrives cut short: the dialog says so and opens nothing.
    void aDownloadCutShortIsToldAndTheDialogCloses() {
        test::RealDialogsSeams seams;
        test::LocalHttpServer server;
        test::useServer(server.base());
        const QByteArray url = server.base().toUtf8() + "/cut-short.deb";
        server.route(test::CheckPath, {"200 OK", "text/plain", url});
        test::LocalHttpServer::Response cut{"200 OK", "application/octet-stream", QByteArray(20000, 'x')};
        cut.sendBytes = 5000;
        server.route("/cut-short.deb", cut);
        frmAbout &about = page<frmAbout>();
        about.showPage();
        QTRY_VERIFY(about.isActiveWindow());
        QVERIFY(doAccessibleAction(about.cmdUpdate, QAccessibleActionInterface::pressAction()));
        QTRY_VERIFY(existingPage<frmUpdate>() && existingPage<frmUpdate>()->isActiveWindow());
        frmUpdate *dialog = existingPage<frmUpdate>();
        test::ClosedDialog shown;
        test::closeNextMessageBox(&shown);
        QVERIFY(doAccessibleAction(dialog->cmdDownLoad, QAccessibleActionInterface::pressAction()));
        QTRY_COMPARE(shown.text, QStringLiteral("Can not download. Try later."));
        QCOMPARE(shown.title, QStringLiteral("Quillpost update"));
        QTRY_VERIFY(!existingPage<frmUpdate>());
        QVERIFY(about.isVisible());
    }
};

QTEST_MAIN(TestDesktopUpdate)
#include "tst_desktop_update.moc"
