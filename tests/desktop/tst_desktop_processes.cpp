// The real program on a real X server, driven through the accessibility bus: each action ends it with code 0.
#include "DesktopKit.h"
#include "TestSupport.h"
#include "WizardTestKit.h"
#include "platform/fax/FaxClient.h"

#include <QColor>
#include <QtTest>

using namespace sendmere;
using namespace sendmere::test;
using namespace Qt::StringLiterals;

namespace {

// What xprop says of one property of a window ("-root" for the root window), as one line.
QString xprop(const QString &window, const QString &property, const QStringList &format = {}) {
    QProcess process;
    process.start(u"xprop"_s, (window == u"-root"_s ? QStringList{window} : QStringList{u"-id"_s, window}) + format + QStringList{property});
    return process.waitForFinished(10000) ? QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed() : QString();
}

// The window manager's client window of the process pid, as xprop names windows.
QString windowOf(qint64 pid) {
    for (const QString &id : xprop(u"-root"_s, u"_NET_CLIENT_LIST"_s).section(u'#', 1).split(u',', Qt::SkipEmptyParts))
        if (xprop(id.trimmed(), u"_NET_WM_PID"_s).endsWith(u" = %1"_s.arg(pid))) return id.trimmed();
    return {};
}

// The ARGB colour in the middle of the window's first icon (_NET_WM_ICON: width, height, pixels).
QColor iconCentre(const QString &window) {
    const QStringList values = xprop(window, u"_NET_WM_ICON"_s, {u"-f"_s, u"_NET_WM_ICON"_s, u"32c"_s}).section(u'=', 1).split(u',', Qt::SkipEmptyParts);
    const int width = values.value(0).trimmed().toInt(), height = values.value(1).trimmed().toInt();
    if (width <= 0 || height <= 0 || values.size() < 2 + qsizetype(width) * height) return {};
    return QColor::fromRgba(values[2 + qsizetype(height / 2) * width + width / 2].trimmed().toUInt());
}

// Presses button on the window titled title once it is active; the program then ends by itself.
void pressAndEnd(AtSpi &atspi, RunningProgram &program, const QString &title, const QString &button) {
    QVERIFY(atspi.doAction(atspi.find(atspi.activeWindow(program.app, title), button, AtSpi::PushButton), u"Press"_s));
    expectProgramEnd(program);
}

}  // namespace

class TestDesktopProcesses : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { QVERIFY2(AtSpi().isConnected(), "no accessibility bus"); }

    // The window's class names the menu entry, its icon is the program's or the theme's; OK stores, Cancel ends.
    void senderWindowEndsAfterOkAndCancel() {
        AtSpi atspi;
        RunningProgram sender, again;
        startProgram(sender, atspi, u"sender"_s);
        AtSpi::Node page = atspi.activeWindow(sender.app, u"Sender Information"_s);
        QVERIFY(page.isValid());
        const QString window = windowOf(sender.process.processId());
        QVERIFY2(!window.isEmpty(), "no window of the program among the window manager's clients");
        QCOMPARE(xprop(window, u"WM_CLASS"_s), u"WM_CLASS(STRING) = \"sendmere\", \"org.sendmere.Sendmere\""_s);
        const QByteArray entry = readFile(qEnvironmentVariable("SENDMERE_BUILD_DIR") + u"/data/desktop/org.sendmere.Sendmere.desktop"_s);
        QVERIFY(entry.contains("\nStartupWMClass=org.sendmere.Sendmere\n"));
        QVERIFY(iconCentre(window).isValid() && iconCentre(window) != QColor(Qt::red));  // the build tree's icon
        QVERIFY(atspi.setText(atspi.find(page, u"Your full name"_s, AtSpi::Text), u"Ann Example"_s));
        pressAndEnd(atspi, sender, u"Sender Information"_s, u"OK"_s);

        // An icon theme with the program's icon: the window takes the theme's.
        const QString theme = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + u"/icons/hicolor"_s;
        writeFile(theme + u"/index.theme"_s, "[Icon Theme]\nName=Hicolor\nDirectories=scalable/apps\n\n"
                                             "[scalable/apps]\nSize=64\nMinSize=8\nMaxSize=512\nType=Scalable\nContext=Applications\n");
        writeFile(theme + u"/scalable/apps/sendmere.svg"_s,
                  "<svg xmlns='http://www.w3.org/2000/svg' width='64' height='64'><rect width='64' height='64' fill='#ff0000'/></svg>");
        startProgram(again, atspi, u"sender"_s);
        page = atspi.activeWindow(again.app, u"Sender Information"_s);
        QTRY_COMPARE(atspi.text(atspi.find(page, u"Your full name"_s, AtSpi::Text)), u"Ann Example"_s);
        QCOMPARE(iconCentre(windowOf(again.process.processId())), QColor(Qt::red));
        pressAndEnd(atspi, again, u"Sender Information"_s, u"Cancel"_s);
    }

    // --version and --help answer in the terminal without a display; other words are taken silently.
    void helpAndVersionAnswerInTheTerminal() {
        const auto run = [](const QString &word, const QString &platform) {
            QProcess process;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(u"QT_QPA_PLATFORM"_s, platform);  // under xcb, a window would fail to open
            if (platform == u"xcb"_s) env.remove(u"DISPLAY"_s);
            process.setProcessEnvironment(env);
            process.start(qEnvironmentVariable("SENDMERE_TEST_BIN_DIR") + u"/sendmere"_s, {word});
            if (!process.waitForFinished(20000)) process.kill();
            return QStringList{QString::number(process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1),
                               QString::fromLocal8Bit(process.readAllStandardOutput()), QString::fromLocal8Bit(process.readAllStandardError())};
        };
        QCOMPARE(run(u"--version"_s, u"xcb"_s), (QStringList{u"0"_s, u"sendmere %1\n"_s.arg(QStringLiteral(SENDMERE_VERSION_STRING)), QString()}));
        const QStringList help = run(u"--help"_s, u"xcb"_s);
        QVERIFY2(help[0] == u"0"_s && help[2].isEmpty() && help[1].startsWith(u"Usage: sendmere ACTION"_s), qPrintable(help.join(u'\n')));
        for (const QString &action : {u"new"_s, u"cover"_s, u"import"_s, u"sender"_s, u"scan"_s, u"recv"_s, u"about"_s, u"help"_s, u"warning"_s})
            QVERIFY2(help[1].contains(u"\n  %1 "_s.arg(action)), qPrintable(action));
        for (const QString &word : {u"--verbose"_s, u"-h"_s, u"--Version"_s}) QCOMPARE(run(word, u"offscreen"_s).mid(0, 2), (QStringList{u"0"_s, QString()}));
    }

    void aboutEndsAfterOk() {
        AtSpi atspi;
        RunningProgram about;
        startProgram(about, atspi, u"about"_s);
        pressAndEnd(atspi, about, u"About Quillpost"_s, u"OK"_s);
    }

    // On a fresh machine the seeded templates are there to choose, and Finish queues the fax.
    void wizardEndsAfterFinish() {
        holdFaxJobsBack();
        AtSpi atspi;
        RunningProgram wizard;
        startProgram(wizard, atspi, u"new;;Ann#;111#;"_s);
        WizardWalk walk(atspi, wizard);
        walk.on(u"New Fax"_s);
        walk.press(u"Next >"_s);
        walk.on(u"Cover Page"_s);
        QVERIFY(atspi.doAction(atspi.find(walk.page(), u"Select a cover page template with the following information."_s, AtSpi::CheckBox), u"Toggle"_s));
        QVERIFY(atspi.setText(atspi.find(walk.page(), u"Subject line"_s, AtSpi::Text), u"Hello Ann"_s));
        walk.press(u"Next >"_s);
        walk.on(u"Send schedule"_s);
        QVERIFY(atspi.find(walk.page(), u"When discount rates apply"_s, AtSpi::CheckBox).isValid());
        walk.press(u"Next >"_s);
        walk.on(u"Finish"_s);
        walk.press(u"Finish"_s);
        expectProgramEnd(wizard);
        fax::FaxServer server;
        server.Connect(QString());
        const fax::FaxOutgoingJobs jobs = server.Folders().OutgoingQueue().GetJobs();
        QVERIFY(jobs.Count() == 1 && jobs.Item(1).Subject() == u"Hello Ann"_s && jobs.Item(1).Recipient().FaxNumber == u"111"_s);
    }
};

QTEST_MAIN(TestDesktopProcesses)
#include "tst_desktop_processes.moc"
