// The import window and the finish page's Preview on a real X server with a window manager:
// real message boxes closed from the keyboard, buttons pressed through their accessibility
// actions, the import window kept above the others while it is shown.
#include "BridgeTestKit.h"
#include "DesktopKit.h"
#include "MailCheck.h"
#include "TestSupport.h"
#include "WizardTestKit.h"
#include "app/Init.h"
#include "bridge/frmImport.h"
#include "wizard/frmFinish.h"

#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>

using namespace sendmere;
using test::doAccessibleAction;

namespace {

// The window manager's state of a window, as xprop shows it.
QString windowState(QWidget *window) {
    QProcess xprop;
    xprop.start(QStringLiteral("xprop"), {QStringLiteral("-id"), QString::number(window->winId()), QStringLiteral("_NET_WM_STATE")});
    xprop.waitForFinished(5000);
    return QString::fromLatin1(xprop.readAllStandardOutput());
}

// Records the viewer being asked to open the preview; the message boxes stay real.
class RecordingLauncher final : public shell::Launcher {
public:
    explicit RecordingLauncher(QStringList &opened) : m_opened(opened) {}
    bool open(const QString &fileOrUrl) override {
        m_opened << fileOrUrl;
        return true;
    }
    bool start(const QString &, const QStringList &) override { return false; }

private:
    QStringList &m_opened;
};

}  // namespace

class TestDesktopBridge : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() {
        test::holdFaxJobsBack();
        test::useCoverPageDirectories(test::coverBase());
        test::writeFile(test::coverBase() + QStringLiteral("/server/general.svg"), test::coverTemplate(QStringLiteral("General")));
    }
    void init() {
        test::clearErrorLog();
        test::emptyMailStore();
    }
    void cleanup() { test::releaseAllPages(); }

    // Twenty faxes: the window comes up above the others with the last day chosen; Import
    // imports, the real success box closes with Return, the program ends.
    void theImportWindowOnTheDesktop() {
        test::refillSpool(test::faxesNow(10, 0, 10));
        test::RealDialogsSeams seams;
        runEntry(QStringLiteral("import"));
        frmImport *page = existingPage<frmImport>();
        QVERIFY(page);
        QTRY_VERIFY(page->isVisible() && page->optLast->isChecked());
        QCOMPARE(page->progress->maximum(), 20);
        QTRY_VERIFY(windowState(page).contains(QStringLiteral("_NET_WM_STATE_ABOVE")));

        QVERIFY(doAccessibleAction(page->optAll, QStringLiteral("Press")) || doAccessibleAction(page->optAll, QStringLiteral("Toggle")));
        QTRY_VERIFY(page->optAll->isChecked());
        test::ClosedDialog shown;
        test::closeNextMessageBox(&shown);
        QVERIFY(doAccessibleAction(page->OKButton, QStringLiteral("Press")));
        QTRY_COMPARE_WITH_TIMEOUT(seams.exitCodes, QList<int>{0}, 30000);
        QCOMPARE(shown.text, QStringLiteral("Import Faxes from FaxConsole successfully."));
        QCOMPARE(shown.title, mCommon::ProgramTitle);
        QCOMPARE(test::itemCount(mail::FolderOutbox), 10);
        QCOMPARE(test::itemCount(mail::FolderInbox), 10);
    }

    // Preview without a registered viewer: the real box says so, closing it does not
    // activate the page again, and Back deletes the preview.
    void previewOnTheDesktop() {
        test::RealDialogsSeams seams;
        QStringList opened;
        std::unique_ptr<shell::Launcher> desktopLauncher =
            std::exchange(shell::seams().launcher, std::make_unique<RecordingLauncher>(opened));
        test::registerTiffViewer(QString());
        test::jobToAnn(test::coverBase() + QStringLiteral("/server/general.svg"), true).FaxSubject = QStringLiteral("On the desktop");
        frmFinish &page = sendmere::page<frmFinish>();
        page.showPage();
        QTRY_VERIFY(page.isActiveWindow());

        test::ClosedDialog shown;
        test::closeNextMessageBox(&shown);
        QVERIFY(doAccessibleAction(page.btnPreview, QStringLiteral("Press")));
        QTRY_COMPARE(shown.text, QStringLiteral("Please install tiff viewer."));
        const QString file = faxJob().PreviewFile;
        QVERIFY(QFile::exists(file));
        QTRY_VERIFY(page.isActiveWindow());
        QVERIFY(page.btnPreview->isEnabled());
        QCOMPARE(faxJob().PreviewMode, VbFalse);

        // With a viewer, the same file is opened without another rendering.
        test::registerTiffViewer(QStringLiteral("/usr/bin/tiffview %1"));
        QVERIFY(doAccessibleAction(page.btnPreview, QStringLiteral("Press")));
        QTRY_COMPARE(opened, QStringList{file});
        QVERIFY(doAccessibleAction(page.btnBack, QStringLiteral("Press")));
        QTRY_VERIFY(!QFile::exists(file));
        QVERIFY(faxJob().PreviewFile.isEmpty());
        shell::seams().launcher = std::move(desktopLauncher);
        faxJob().PreviewSink.reset();
    }
};

QTEST_MAIN(TestDesktopBridge)
#include "tst_desktop_bridge.moc"
