// The real program on a real X server, driven through the accessibility bus as a screen
// reader user drives it: each action ends the process by itself, with code 0.
#include "DesktopKit.h"
#include "TestSupport.h"
#include "WizardTestKit.h"
#include "platform/fax/FaxClient.h"

#include <QColor>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

using namespace sendmere;
using test::AtSpi;
using test::RunningProgram;

namespace {

QString readText(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// What xprop says of one property of a window ("-root" for the root window), as one line.
QString xprop(const QString &window, const QString &property, const QStringList &format = {}) {
    QProcess process;
    const QStringList which = window == QStringLiteral("-root") ? QStringList{window} : QStringList{QStringLiteral("-id"), window};
    process.start(QStringLiteral("xprop"), which + format + QStringList{property});
    if (!process.waitForFinished(10000)) return {};
    return QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
}

// The window manager's client window of the process pid, as xprop names windows.
QString windowOf(qint64 pid) {
    const QString clients = xprop(QStringLiteral("-root"), QStringLiteral("_NET_CLIENT_LIST")).section(u'#', 1);
    for (const QString &id : clients.split(u',', Qt::SkipEmptyParts)) {
        const QString window = id.trimmed();
        if (xprop(window, QStringLiteral("_NET_WM_PID")).endsWith(QStringLiteral(" = %1").arg(pid))) return window;
    }
    return {};
}

// The colour in the middle of the window's first icon (_NET_WM_ICON: width, height, then
// one ARGB value per pixel, row by row); invalid when the window has no icon.
QColor iconCentre(const QString &window) {
    const QString text = xprop(window, QStringLiteral("_NET_WM_ICON"), {QStringLiteral("-f"), QStringLiteral("_NET_WM_ICON"), QStringLiteral("32c")});
    const QStringList values = text.section(u'=', 1).split(u',', Qt::SkipEmptyParts);
    if (values.size() < 3) return {};
    const int width = values[0].trimmed().toInt(), height = values[1].trimmed().toInt();
    const qsizetype centre = 2 + qsizetype(height / 2) * width + width / 2;
    if (width <= 0 || height <= 0 || values.size() < 2 + qsizetype(width) * height) return {};
    return QColor::fromRgba(values[centre].trimmed().toUInt());
}

}  // namespace

class TestDesktopProcesses : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { QVERIFY2(AtSpi().isConnected(), "no accessibility bus"); }

    void senderEndsAfterOkAndCancel() {
        AtSpi atspi;
        {
            RunningProgram sender;
            test::startProgram(sender, atspi, QStringLiteral("sender"));
            const AtSpi::Node page = atspi.activeWindow(sender.app, QStringLiteral("Sender Information"));
            QVERIFY(page.isValid());
            const AtSpi::Node name = atspi.find(page, QStringLiteral("Your full name"), AtSpi::Text);
            QVERIFY(name.isValid());
            QVERIFY(atspi.setText(name, QStringLiteral("Ann Example")));
            QVERIFY(atspi.doAction(atspi.find(page, QStringLiteral("OK"), AtSpi::PushButton), QStringLiteral("Press")));
            test::expectProgramEnd(sender);
        }
        // The next start shows what OK stored; Cancel ends it just the same.
        RunningProgram again;
        test::startProgram(again, atspi, QStringLiteral("sender"));
        const AtSpi::Node page = atspi.activeWindow(again.app, QStringLiteral("Sender Information"));
        const AtSpi::Node name = atspi.find(page, QStringLiteral("Your full name"), AtSpi::Text);
        QTRY_COMPARE(atspi.text(name), QStringLiteral("Ann Example"));
        QVERIFY(atspi.doAction(atspi.find(page, QStringLiteral("Cancel"), AtSpi::PushButton), QStringLiteral("Press")));
        test::expectProgramEnd(again);
    }

    // The desktop knows the window as the program's: its class names the menu entry's desktop
    // file, and it carries the program's icon, the icon theme's where the theme has one.
    void windowCarriesTheProgramsIdentity() {
        AtSpi atspi;
        {
            RunningProgram sender;
            test::startProgram(sender, atspi, QStringLiteral("sender"));
            QVERIFY(atspi.activeWindow(sender.app, QStringLiteral("Sender Information")).isValid());
            const QString window = windowOf(sender.process.processId());
            QVERIFY2(!window.isEmpty(), "no window of the program among the window manager's clients");
            QCOMPARE(xprop(window, QStringLiteral("WM_CLASS")), QStringLiteral("WM_CLASS(STRING) = \"sendmere\", \"org.sendmere.Sendmere\""));
            // The desktop file of that name is the menu entry, and it names the class too.
            const QString entry = readText(qEnvironmentVariable("SENDMERE_BUILD_DIR") + QStringLiteral("/data/desktop/org.sendmere.Sendmere.desktop"));
            QVERIFY(entry.contains(QStringLiteral("\nStartupWMClass=org.sendmere.Sendmere\n")));
            const QColor shipped = iconCentre(window);
            QVERIFY(shipped.isValid());
            QVERIFY2(shipped != Qt::red, "the build tree's icon is missing");
            QVERIFY(atspi.doAction(atspi.find(atspi.activeWindow(sender.app, QStringLiteral("Sender Information")), QStringLiteral("Cancel"),
                                              AtSpi::PushButton),
                                   QStringLiteral("Press")));
            test::expectProgramEnd(sender);
        }
        // An icon theme with the program's icon: the window takes the theme's.
        const QString theme = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/icons/hicolor");
        test::writeFile(theme + QStringLiteral("/index.theme"),
                        "[Icon Theme]\nName=Hicolor\nDirectories=scalable/apps\n\n"
                        "[scalable/apps]\nSize=64\nMinSize=8\nMaxSize=512\nType=Scalable\nContext=Applications\n");
        test::writeFile(theme + QStringLiteral("/scalable/apps/sendmere.svg"),
                        "<svg xmlns='http://www.w3.org/2000/svg' width='64' height='64'><rect width='64' height='64' fill='#ff0000'/></svg>");
        RunningProgram themed;
        test::startProgram(themed, atspi, QStringLiteral("sender"));
        const AtSpi::Node page = atspi.activeWindow(themed.app, QStringLiteral("Sender Information"));
        QVERIFY(page.isValid());
        QCOMPARE(iconCentre(windowOf(themed.process.processId())), QColor(Qt::red));
        QVERIFY(atspi.doAction(atspi.find(page, QStringLiteral("Cancel"), AtSpi::PushButton), QStringLiteral("Press")));
        test::expectProgramEnd(themed);
    }

    // Asked from a terminal, the program answers there and ends, without a display to open
    // a window on; any other word is taken silently, as ever.
    void helpAndVersionAnswerInTheTerminal() {
        const QString program = qEnvironmentVariable("SENDMERE_TEST_BIN_DIR") + QStringLiteral("/sendmere");
        QProcessEnvironment noDisplay = QProcessEnvironment::systemEnvironment();
        noDisplay.remove(QStringLiteral("DISPLAY"));
        noDisplay.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));  // a window would fail to open
        const auto run = [&](const QString &word, const QProcessEnvironment &env) {
            QProcess process;
            process.setProcessEnvironment(env);
            process.start(program, {word});
            if (!process.waitForFinished(20000)) process.kill();
            return std::tuple{process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
                              QString::fromLocal8Bit(process.readAllStandardOutput()), QString::fromLocal8Bit(process.readAllStandardError())};
        };
        const auto [versionCode, version, versionErrors] = run(QStringLiteral("--version"), noDisplay);
        QCOMPARE(versionCode, 0);
        QCOMPARE(version, QStringLiteral("sendmere %1\n").arg(QStringLiteral(SENDMERE_VERSION_STRING)));
        QCOMPARE(versionErrors, QString());
        const auto [helpCode, help, helpErrors] = run(QStringLiteral("--help"), noDisplay);
        QCOMPARE(helpCode, 0);
        QVERIFY2(help.startsWith(QStringLiteral("Usage: sendmere ACTION")), qPrintable(help));
        for (const QString &action : {QStringLiteral("new"), QStringLiteral("cover"), QStringLiteral("import"), QStringLiteral("sender"),
                                      QStringLiteral("scan"), QStringLiteral("recv"), QStringLiteral("about"), QStringLiteral("help"),
                                      QStringLiteral("warning")})
            QVERIFY2(help.contains(QStringLiteral("\n  %1 ").arg(action)), qPrintable(action));
        QCOMPARE(helpErrors, QString());

        QProcessEnvironment offscreen = QProcessEnvironment::systemEnvironment();
        offscreen.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        for (const QString &word : {QStringLiteral("--verbose"), QStringLiteral("-h"), QStringLiteral("--Version")}) {
            const auto [code, out, errors] = run(word, offscreen);
            QCOMPARE(code, 0);
            QCOMPARE(out, QString());
        }
    }

    void aboutEndsAfterOk() {
        AtSpi atspi;
        RunningProgram about;
        test::startProgram(about, atspi, QStringLiteral("about"));
        const AtSpi::Node box = atspi.activeWindow(about.app, QStringLiteral("About Quillpost"));
        QVERIFY(atspi.doAction(atspi.find(box, QStringLiteral("OK"), AtSpi::PushButton), QStringLiteral("Press")));
        test::expectProgramEnd(about);
    }

    // The wizard on a fresh machine: the templates shipped with the registry's seeding are
    // there to choose, and Finish queues the fax and ends the program.
    void wizardEndsAfterFinish() {
        test::holdFaxJobsBack();
        AtSpi atspi;
        RunningProgram wizard;
        test::startProgram(wizard, atspi, QStringLiteral("new;;Ann#;111#;"));
        test::WizardWalk walk(atspi, wizard);
        walk.on(QStringLiteral("New Fax"));
        walk.press(QStringLiteral("Next >"));
        walk.on(QStringLiteral("Cover Page"));
        QVERIFY(atspi.doAction(atspi.find(walk.page(), QStringLiteral("Select a cover page template with the following information."),
                                          AtSpi::CheckBox),
                               QStringLiteral("Toggle")));
        QVERIFY(atspi.setText(atspi.find(walk.page(), QStringLiteral("Subject line"), AtSpi::Text), QStringLiteral("Hello Ann")));
        walk.press(QStringLiteral("Next >"));
        walk.on(QStringLiteral("Send schedule"));
        QVERIFY(atspi.find(walk.page(), QStringLiteral("When discount rates apply"), AtSpi::CheckBox).isValid());
        walk.press(QStringLiteral("Next >"));
        walk.on(QStringLiteral("Finish"));
        walk.press(QStringLiteral("Finish"));
        test::expectProgramEnd(wizard);

        fax::FaxServer server;
        server.Connect(QString());
        const fax::FaxOutgoingJobs jobs = server.Folders().OutgoingQueue().GetJobs();
        QCOMPARE(jobs.Count(), 1);
        QCOMPARE(jobs.Item(1).Subject(), QStringLiteral("Hello Ann"));
        QCOMPARE(jobs.Item(1).Recipient().FaxNumber, QStringLiteral("111"));
        server.Disconnect();
    }
};

QTEST_MAIN(TestDesktopProcesses)
#include "tst_desktop_processes.moc"
