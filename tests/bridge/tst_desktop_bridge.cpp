// The import window and the finish page's Preview on a real X server with a window manager.
#include "BridgeTestKit.h"
#include "DesktopKit.h"
#include "bridge/frmImport.h"
#include "wizard/frmFinish.h"

using namespace sendmere;
using namespace sendmere::test;

namespace {

bool press(QWidget *control) { return doAccessibleAction(control, u"Press"_s); }

// Records the viewer being asked to open the preview; the message boxes stay real.
struct RecordingLauncher final : shell::Launcher {
    QStringList &opened;
    explicit RecordingLauncher(QStringList &list) : opened(list) {}
    bool open(const QString &fileOrUrl) override {
        opened << fileOrUrl;
        return true;
    }
    bool start(const QString &, const QStringList &) override { return false; }
};

}  // namespace

class TestDesktopBridge : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() {
        holdFaxJobsBack();
        useCoverPageDirectories(coverBase());
        writeFile(coverBase() + u"/server/general.svg"_s, coverTemplate(u"General"_s));
    }
    void cleanup() { releaseAllPages(); }

    // Twenty faxes: the window above the others with the last day chosen; the real success box closes with Return.
    void theImportWindowOnTheDesktop() {
        emptyMailStore();
        refillSpool(faxesNow(10, 0, 10));
        RealDialogsSeams seams;
        runEntry(u"import"_s);
        frmImport *page = existingPage<frmImport>();
        QVERIFY(page);
        QTRY_VERIFY(page->isVisible() && page->optLast->isChecked());
        QCOMPARE(page->progress->maximum(), 20);
        const auto windowState = [&] {  // as the window manager keeps it
            QProcess xprop;
            xprop.start(u"xprop"_s, {u"-id"_s, QString::number(page->winId()), u"_NET_WM_STATE"_s});
            return xprop.waitForFinished(5000) ? xprop.readAllStandardOutput() : QByteArray();
        };
        QTRY_VERIFY(windowState().contains("_NET_WM_STATE_ABOVE"));

        QVERIFY(press(page->optAll) || doAccessibleAction(page->optAll, u"Toggle"_s));
        QTRY_VERIFY(page->optAll->isChecked());
        ClosedDialog shown;
        closeNextMessageBox(&shown);
        QVERIFY(press(page->OKButton));
        QTRY_COMPARE_WITH_TIMEOUT(seams.exitCodes, QList<int>{0}, 30000);
        QCOMPARE(shown.text, u"Import Faxes from FaxConsole successfully."_s);
        QCOMPARE(shown.title, mCommon::ProgramTitle);
        QVERIFY(itemCount(mail::FolderOutbox) == 10 && itemCount(mail::FolderInbox) == 10);
    }

    // The real box without a viewer leaves the page active; with one the same file opens; Cancel deletes it.
    void previewOnTheDesktop() {
        RealDialogsSeams seams;
        QStringList opened;
        std::unique_ptr<shell::Launcher> desktopLauncher = std::exchange(shell::seams().launcher, std::make_unique<RecordingLauncher>(opened));
        registerTiffViewer(QString());
        jobToAnn(coverBase() + u"/server/general.svg"_s, true).FaxSubject = u"On the desktop"_s;
        frmFinish &page = shownPage<frmFinish>();
        QTRY_VERIFY(page.isActiveWindow());

        ClosedDialog shown;
        closeNextMessageBox(&shown);
        QVERIFY(press(page.btnPreview));
        QTRY_COMPARE(shown.text, u"Please install tiff viewer."_s);
        const QString file = faxJob().PreviewFile;
        QVERIFY(QFile::exists(file));
        QTRY_VERIFY(page.isActiveWindow());
        QVERIFY(page.btnPreview->isEnabled() && faxJob().PreviewMode == VbFalse);

        registerTiffViewer(u"/usr/bin/tiffview %1"_s);
        QVERIFY(press(page.btnPreview));
        QTRY_COMPARE(opened, QStringList{file});
        QVERIFY(press(page.CancelButton));
        QTRY_COMPARE(seams.exitCodes, QList<int>{0});
        QVERIFY(!QFile::exists(file));
        shell::seams().launcher = std::move(desktopLauncher);
        faxJob().PreviewSink.reset();
    }
};

QTEST_MAIN(TestDesktopBridge)
#include "tst_desktop_bridge.moc"
