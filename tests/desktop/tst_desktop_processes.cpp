// The real program on a real X server, driven through the accessibility bus as a screen reader
// drives it: each action ends it with code 0.
#include "DesktopKit.h"
#include "FaxTestSupport.h"
#include "TestSupport.h"
#include "WizardTestKit.h"
#include "platform/fax/FaxClient.h"

#include <QColor>
#include <QtTest>

using namespace sendmere;
using namespace sendmere::test;
using namespace Qt::StringLiterals;

namespace {

constexpr int BodyPages = 200;
// A hang guard only, well above the 100 ms a window should answer in.
constexpr qint64 AnswerGuardMs = 500;

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

// The queued jobs as "number pages subject".
QStringList queued() {
    fax::FaxServer server;
    server.Connect(QString());
    QStringList jobs;
    const fax::FaxOutgoingJobs list = server.Folders().OutgoingQueue().GetJobs();
    for (int i = 1; i <= list.Count(); ++i) jobs << u"%1 %2 %3"_s.arg(list.Item(i).Recipient().FaxNumber).arg(list.Item(i).Pages()).arg(list.Item(i).Subject());
    return jobs;
}

}  // namespace

class TestDesktopProcesses : public QObject {
    Q_OBJECT
    AtSpi m_atspi;

    AtSpi::Node progressWindow(const RunningProgram &wizard) {
        for (const AtSpi::Node &node : m_atspi.children(wizard.app))
            if (m_atspi.name(node) == u"Sending Fax"_s && m_atspi.isShowing(node)) return node;
        return {};
    }
    // Presses Finish; until done(counts) the page answers within the guard, and the progress window's page count rises.
    void finish(WizardWalk &walk, RunningProgram &wizard, const std::function<bool(const QList<int> &)> &done) {
        static const QRegularExpression pageCount(u"^Rendering the fax: page (\\d+)"_s);
        QList<int> counts;
        QElapsedTimer elapsed;
        elapsed.start();
        walk.press(u"Finish"_s);
        // The press is answered once its handler returns: a render on the GUI thread would hold it back.
        qint64 slowestAnswerMs = elapsed.elapsed();
        while (!done(counts) && elapsed.elapsed() < 240000) {
            const qint64 answer = m_atspi.answerTimeMs(walk.page(), int(AnswerGuardMs) * 5);
            if (answer < 0 && wizard.process.waitForFinished(2000)) break;  // a program that ends the moment it is asked
            QVERIFY2(answer >= 0, "the window gave no answer at all");
            slowestAnswerMs = std::max(slowestAnswerMs, answer);
            if (const AtSpi::Node progress = progressWindow(wizard); progress.isValid()) {
                const AtSpi::Node label = m_atspi.findRole(progress, AtSpi::Label);
                const auto page = pageCount.match(label.isValid() ? m_atspi.name(label) : QString());
                if (page.hasMatch() && (counts.isEmpty() || counts.last() != page.captured(1).toInt())) counts << page.captured(1).toInt();
            }
            QTest::qWait(50);
        }
        qInfo("%lld ms, the slowest answer %lld ms; counts seen: %lld", elapsed.elapsed(), slowestAnswerMs, qint64(counts.size()));
        QVERIFY2(slowestAnswerMs < AnswerGuardMs, qPrintable(QString::number(slowestAnswerMs)));
        QVERIFY2(counts.size() >= 2 && std::ranges::adjacent_find(counts, std::greater_equal<>()) == counts.end(), "the progress window showed no rising page count");
    }

private Q_SLOTS:
    void initTestCase() { QVERIFY2(m_atspi.isConnected(), "no accessibility bus"); }

    // The window's class names the menu entry, its icon is the program's or the theme's; OK stores, Cancel ends; About ends after OK.
    void senderAndAboutEndAfterTheirButtons() {
        RunningProgram sender, again, about;
        startProgram(sender, m_atspi, u"sender"_s);
        AtSpi::Node page = m_atspi.activeWindow(sender.app, u"Sender Information"_s);
        QVERIFY(page.isValid());
        const QString window = windowOf(sender.process.processId());
        QVERIFY2(!window.isEmpty(), "no window of the program among the window manager's clients");
        QCOMPARE(xprop(window, u"WM_CLASS"_s), u"WM_CLASS(STRING) = \"sendmere\", \"org.sendmere.Sendmere\""_s);
        const QByteArray entry = readFile(qEnvironmentVariable("SENDMERE_BUILD_DIR") + u"/data/desktop/org.sendmere.Sendmere.desktop"_s);
        QVERIFY(entry.contains("\nStartupWMClass=org.sendmere.Sendmere\n"));
        QVERIFY(iconCentre(window).isValid() && iconCentre(window) != QColor(Qt::red));  // the build tree's icon
        QVERIFY(m_atspi.setText(m_atspi.find(page, u"Your full name"_s, AtSpi::Text), u"Ann Example"_s));
        pressAndEnd(m_atspi, sender, u"Sender Information"_s, u"OK"_s);

        // An icon theme with the program's icon: the window takes the theme's.
        const QString theme = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + u"/icons/hicolor"_s;
        writeFile(theme + u"/index.theme"_s, "[Icon Theme]\nName=Hicolor\nDirectories=scalable/apps\n\n"
                                             "[scalable/apps]\nSize=64\nMinSize=8\nMaxSize=512\nType=Scalable\nContext=Applications\n");
        writeFile(theme + u"/scalable/apps/sendmere.svg"_s,
                  "<svg xmlns='http://www.w3.org/2000/svg' width='64' height='64'><rect width='64' height='64' fill='#ff0000'/></svg>");
        startProgram(again, m_atspi, u"sender"_s);
        page = m_atspi.activeWindow(again.app, u"Sender Information"_s);
        QTRY_COMPARE(m_atspi.text(m_atspi.find(page, u"Your full name"_s, AtSpi::Text)), u"Ann Example"_s);
        QCOMPARE(iconCentre(windowOf(again.process.processId())), QColor(Qt::red));
        pressAndEnd(m_atspi, again, u"Sender Information"_s, u"Cancel"_s);

        startProgram(about, m_atspi, u"about"_s);
        pressAndEnd(m_atspi, about, u"About Quillpost"_s, u"OK"_s);
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

    // German under LANG=de_DE.UTF-8 (without that C locale); English under LANG=C and with LANGUAGE=en:de: title, caption, To, Next, Cancel.
    void recipientsPageInTheLanguageOfTheEnvironment() {
        const QStringList english{u"New Fax"_s, u"Recipient Information"_s, u"To"_s, u"Next >"_s, u"Cancel"_s};
        const std::tuple<QString, QString, QStringList> rows[] = {
            {u"de_DE.UTF-8"_s, QString(), {u"Neues Fax"_s, u"Empfängerangaben"_s, u"An"_s, u"Weiter >"_s, u"Abbrechen"_s}},
            {u"C"_s, QString(), english},
            {u"de_DE.UTF-8"_s, u"en:de"_s, english}};
        for (const auto &[lang, preferred, texts] : rows) {
            RunningProgram wizard;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            for (const char *name : {"LC_ALL", "LC_MESSAGES", "LANGUAGE"}) env.remove(QLatin1String(name));
            env.insert(u"LANG"_s, lang);
            if (!preferred.isEmpty()) env.insert(u"LANGUAGE"_s, preferred);
            wizard.process.setProcessEnvironment(env);
            startProgram(wizard, m_atspi, u"new;;Ann#;111#;"_s);
            const AtSpi::Node page = m_atspi.activeWindow(wizard.app, texts[0]);
            QVERIFY2(page.isValid(), qPrintable(texts[0]));
            const quint32 roles[] = {AtSpi::Label, AtSpi::Text, AtSpi::PushButton, AtSpi::PushButton};
            for (int i = 1; i < 5; ++i) QVERIFY2(m_atspi.find(page, texts[i], roles[i - 1]).isValid(), qPrintable(lang + u' ' + texts[i]));
            pressAndEnd(m_atspi, wizard, texts[0], texts[4]);
        }
    }

    // A fresh machine's seeded templates to choose; a 200-page document renders while the page answers and the progress window
    // counts; its Cancel leaves the page and no job, and Finish again queues the fax.
    void largeFaxFromAFreshMachine() {
        holdFaxJobsBack();
        // Slow pages, as drawing-heavy documents have: the window has time to count, Cancel comes in time.
        const QString drawings = faxtest::writeSlowPdf(u"drawings.pdf"_s, 1, BodyPages);
        RunningProgram wizard;
        startProgram(wizard, m_atspi, u"new;;Ann#;111#;%1#"_s.arg(drawings));
        WizardWalk walk(m_atspi, wizard);
        walk.on(u"New Fax"_s);
        walk.press(u"Next >"_s);
        walk.on(u"Cover Page"_s);
        QVERIFY(m_atspi.doAction(m_atspi.find(walk.page(), u"Select a cover page template with the following information."_s, AtSpi::CheckBox), u"Toggle"_s));
        QVERIFY(m_atspi.setText(m_atspi.find(walk.page(), u"Subject line"_s, AtSpi::Text), u"Hello Ann"_s));
        walk.press(u"Next >"_s);
        walk.on(u"Send schedule"_s);
        QVERIFY(m_atspi.find(walk.page(), u"When discount rates apply"_s, AtSpi::CheckBox).isValid());
        walk.press(u"Next >"_s);
        walk.on(u"Finish"_s);

        finish(walk, wizard, [&](const QList<int> &counts) { return counts.size() >= 2 || wizard.process.state() != QProcess::Running; });
        if (QTest::currentTestFailed()) return;
        const AtSpi::Node progress = progressWindow(wizard);
        QVERIFY2(progress.isValid(), "the progress window went before Cancel");
        QVERIFY(m_atspi.doAction(m_atspi.find(progress, u"Cancel"_s, AtSpi::PushButton), u"Press"_s));
        QTRY_VERIFY_WITH_TIMEOUT(!progressWindow(wizard).isValid(), 10000);
        QCOMPARE(wizard.process.state(), QProcess::Running);
        walk.on(u"Finish"_s);
        // The service stops the render between two pages and keeps nothing of it.
        QTRY_VERIFY_WITH_TIMEOUT(QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + u"/sendmere/fax/submissions"_s).isEmpty(), 10000);
        QTest::qWait(2000);
        QCOMPARE(queued(), QStringList());

        finish(walk, wizard, [&](const QList<int> &) { return wizard.process.state() != QProcess::Running; });
        if (wizard.process.state() != QProcess::NotRunning) expectProgramEnd(wizard, 10000);
        QVERIFY(wizard.process.exitStatus() == QProcess::NormalExit && wizard.process.exitCode() == 0);
        QCOMPARE(queued(), QStringList{u"111 %1 Hello Ann"_s.arg(BodyPages + 1)});  // the cover page and the document's
    }
};

QTEST_MAIN(TestDesktopProcesses)
#include "tst_desktop_processes.moc"
