// The about box's Update and the update dialog on a real X server: real message boxes closed from the keyboard, buttons pressed through
// their accessibility actions.
#include "DesktopKit.h"
#include "LocalHttpServer.h"
#include "TestSupport.h"
#include "extras/frmAbout.h"

#include <QtWidgets>

using namespace sendmere;
using test::doAccessibleAction;

namespace {
bool press(QWidget *button) { return doAccessibleAction(button, QAccessibleActionInterface::pressAction()); }
QMessageBox *shownBox() {
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    return box && box->isVisible() ? box : nullptr;
}
}  // namespace

class TestDesktopUpdate : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() {  // downloads of an earlier run would stand for files of this one
        for (const QFileInfo &file : QDir(QCoreApplication::applicationDirPath()).entryInfoList(QDir::Files | QDir::Hidden))
            if (!file.isExecutable()) QFile::remove(file.filePath());
    }
    void cleanup() {
        releasePages();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // While the check waits for the server the Update button is unavailable to a screen reader as to the mouse and the pointer shows the
    // program at work; pressing it again asks nothing more. The answer then comes in a real box, closed from the keyboard.
    void theCheckIsBusyWhileItWaits() {
        test::RealDialogsSeams seams;
        test::LocalHttpServer server;
        test::useServer(server.base());
        test::LocalHttpServer::Response held{"200 OK", "text/plain", "0"};
        held.holdHalf = true;
        server.route(test::CheckPath, held);
        frmAbout &about = page<frmAbout>();
        about.showPage();
        QTRY_VERIFY(about.isActiveWindow());
        bool busy = false;
        int ticks = 0;
        QStringList boxes;
        QTimer poll;  // acts from inside the check's wait, without blocking it
        connect(&poll, &QTimer::timeout, this, [&] {
            if (QMessageBox *box = shownBox()) {
                boxes << box->text();
                QTest::keyClick(box, Qt::Key_Return);
            } else if (server.holding() && ticks++ == 0) {
                QAccessibleInterface *button = QAccessible::queryAccessibleInterface(about.cmdUpdate);
                busy = button && button->state().disabled && QGuiApplication::overrideCursor() &&
                       QGuiApplication::overrideCursor()->shape() == Qt::BusyCursor;
                press(about.cmdUpdate);  // as far as a disabled button lets itself be pressed
            } else if (server.holding() && ticks > 10) {
                server.release();
            }
        });
        poll.start(20);
        QVERIFY(press(about.cmdUpdate));
        QTRY_VERIFY(!boxes.isEmpty());
        QTest::qWait(300);  // a second box would come meanwhile
        QCOMPARE(boxes, QStringList{QStringLiteral("Update not available.")});
        QVERIFY(busy);
        QCOMPARE(server.requests().size(), 1);
        QTRY_VERIFY(about.cmdUpdate->isEnabled());
        QVERIFY(!QGuiApplication::overrideCursor());
    }

    // Update in the about box opens the dialog for the file the server names; the file arrives cut short and the failure box, with the stop
    // sign, says so. Cancel of the dialog pressed through the accessibility bus while the box is open closes the dialog and its box, opens
    // nothing, and the about box goes on.
    void aDownloadCutShortAndCancelWhileItsBoxIsOpen() {
        test::RealDialogsSeams seams;
        test::LocalHttpServer server;
        test::useServer(server.base());
        server.route(test::CheckPath, {"200 OK", "text/plain", server.base().toUtf8() + "/cut-short.deb"});
        test::LocalHttpServer::Response cut{"200 OK", "application/octet-stream", QByteArray(20000, 'x')};
        cut.sendBytes = 5000;
        server.route("/cut-short.deb", cut);
        frmAbout &about = page<frmAbout>();
        about.showPage();
        QTRY_VERIFY(about.isActiveWindow());
        QVERIFY(press(about.cmdUpdate));
        QTRY_VERIFY(existingPage<frmUpdate>() && existingPage<frmUpdate>()->isActiveWindow());
        const QPointer<frmUpdate> dialog = existingPage<frmUpdate>();
        QPointer<QMessageBox> box;
        QStringList boxes;  // each as "title|text|icon"
        QTimer poll;
        connect(&poll, &QTimer::timeout, this, [&] {
            QMessageBox *shown = shownBox();
            if (!shown || shown == box) return;
            box = shown;
            boxes << shown->windowTitle() + u'|' + shown->text() + u'|' + QString::number(shown->icon());
            QVERIFY(press(dialog->cmdCancel));
        });
        poll.start(20);
        QVERIFY(press(dialog->cmdDownLoad));
        QTRY_COMPARE(boxes.size(), 1);
        QTRY_VERIFY(!dialog && !box);
        QTest::qWait(200);  // a second box would come meanwhile
        QCOMPARE(boxes, QStringList{QStringLiteral("Quillpost update|Can not download. Try later.|%1").arg(int(QMessageBox::Critical))});
        QVERIFY(!existingPage<frmUpdate>() && about.isVisible());
        QVERIFY(!QFile::exists(QCoreApplication::applicationDirPath() + QStringLiteral("/cut-short.deb")));
    }
};

QTEST_MAIN(TestDesktopUpdate)
#include "tst_desktop_update.moc"
