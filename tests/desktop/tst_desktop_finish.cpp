// Finish with a 200-page document, on a real X server and driven through the accessibility
// bus as a screen reader user drives it: the window keeps answering all through the render,
// a progress window shows the service's rising page count, and the fax is queued; Cancel in
// that window withdraws the fax and leaves the page open.
#include "DesktopKit.h"
#include "FaxTestSupport.h"
#include "TestSupport.h"
#include "WizardTestKit.h"
#include "platform/fax/FaxClient.h"

#include <QDir>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QtTest>
#include <functional>

using namespace sendmere;
using test::AtSpi;
using test::RunningProgram;

namespace {

constexpr int BodyPages = 200;
// A hang guard only, well above the 100 ms a window should answer in: the window must never
// stop answering for anything like this long (the whole render of the plain pages below takes
// about a second here). What the answers really took is printed.
constexpr qint64 AnswerGuardMs = 500;
constexpr int RenderTimeoutMs = 240000;

const QString ProgressTitle = QStringLiteral("Sending Fax");
const QRegularExpression PageCount(QStringLiteral("^Rendering the fax: page (\\d+)"));

QString drawings() { return QDir::tempPath() + QStringLiteral("/drawings.pdf"); }

QStringList queuedIds() {
    fax::FaxServer server;
    server.Connect(QString());
    QStringList ids;
    const fax::FaxOutgoingJobs jobs = server.Folders().OutgoingQueue().GetJobs();
    for (int i = 1; i <= jobs.Count(); ++i) ids << jobs.Item(i).Id();
    server.Disconnect();
    return ids;
}

// What the test saw of the program while its submission ran.
struct Watched {
    qint64 slowestAnswerMs = 0;
    int answers = 0;
    QList<double> counts;  // the progress window's values, as they changed
    bool progressShown = false;
};

class FinishRun : public test::WizardWalk {
public:
    using WizardWalk::WizardWalk;

    // The program's top-level window titled title, shown now; invalid when there is none.
    AtSpi::Node window(const QString &title) {
        for (const AtSpi::Node &node : m_atspi.children(m_program.app))
            if (m_atspi.name(node) == title && m_atspi.isShowing(node)) return node;
        return {};
    }

    // Every 50 ms: how long the program takes to answer, and the progress window's count,
    // until done() says so.
    void watch(Watched &seen, const std::function<bool()> &done) {
        while (!done()) {
            const qint64 answer = m_atspi.answerTimeMs(m_page, int(AnswerGuardMs) * 5);
            // A program that ends the moment it is asked gives no answer either.
            if (answer < 0 && m_program.process.waitForFinished(2000)) break;
            QVERIFY2(answer >= 0, "the window gave no answer at all");
            seen.slowestAnswerMs = std::max(seen.slowestAnswerMs, answer);
            ++seen.answers;
            if (const AtSpi::Node progress = window(ProgressTitle); progress.isValid()) {
                seen.progressShown = true;
                // What a screen reader reads: "Rendering the fax: page N" or "page N of M".
                const AtSpi::Node label = m_atspi.findRole(progress, AtSpi::Label);
                const QRegularExpressionMatch page = PageCount.match(label.isValid() ? m_atspi.name(label) : QString());
                if (page.hasMatch()) {
                    const double count = page.captured(1).toDouble();
                    if (seen.counts.isEmpty() || seen.counts.last() != count) seen.counts << count;
                }
            }
            QTest::qWait(50);
        }
    }
};

void expectRisingCount(const Watched &seen) {
    QVERIFY2(seen.progressShown, "no progress window was shown");
    QStringList counts;
    for (double c : seen.counts) counts << QString::number(c);
    QVERIFY2(seen.counts.size() >= 2, qPrintable(counts.join(u' ')));
    for (qsizetype i = 1; i < seen.counts.size(); ++i) QVERIFY2(seen.counts[i] > seen.counts[i - 1], qPrintable(counts.join(u' ')));
}

}  // namespace

class TestDesktopFinish : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() {
        QVERIFY2(AtSpi().isConnected(), "no accessibility bus");
        test::holdFaxJobsBack();
        // Pages that take the service a while each, as drawing-heavy documents do: the
        // progress window has time to count, and Cancel comes long before the render's end.
        // (Two hundred plain pages rendered in 0.6 s, before the window was due.)
        QCOMPARE(faxtest::writeSlowPdf(QStringLiteral("drawings.pdf"), 1, BodyPages), drawings());
    }

    void largeFaxRendersWhileTheWindowAnswers() {
        AtSpi atspi;
        RunningProgram wizard;
        test::startProgram(wizard, atspi, QStringLiteral("new;;Ann#;111#;%1#").arg(drawings()));
        FinishRun run(atspi, wizard);
        run.goToFinish();
        if (QTest::currentTestFailed()) return;
        QElapsedTimer elapsed;
        elapsed.start();
        run.press(QStringLiteral("Finish"));
        Watched seen;
        // The press is answered once its handler returns: a Finish that renders on the GUI
        // thread holds the answer back for the whole render.
        seen.slowestAnswerMs = elapsed.elapsed();
        run.watch(seen, [&] { return wizard.process.state() != QProcess::Running || elapsed.elapsed() > RenderTimeoutMs; });
        qInfo("the render took %lld ms; %d answers, the slowest in %lld ms; counts seen: %lld", qint64(elapsed.elapsed()),
              seen.answers, seen.slowestAnswerMs, qint64(seen.counts.size()));
        if (QTest::currentTestFailed()) return;
        if (wizard.process.state() != QProcess::NotRunning) test::expectProgramEnd(wizard, 10000);
        QCOMPARE(wizard.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(wizard.process.exitCode(), 0);
        QVERIFY2(seen.slowestAnswerMs < AnswerGuardMs, qPrintable(QString::number(seen.slowestAnswerMs)));
        expectRisingCount(seen);

        fax::FaxServer server;
        server.Connect(QString());
        const fax::FaxOutgoingJobs jobs = server.Folders().OutgoingQueue().GetJobs();
        QCOMPARE(jobs.Count(), 1);
        QCOMPARE(jobs.Item(1).Pages(), BodyPages);
        QCOMPARE(jobs.Item(1).Recipient().FaxNumber, QStringLiteral("111"));
        server.Disconnect();
    }

    // Cancel in the progress window: the page stays, nothing is queued then or later, and the
    // wizard's own Cancel still ends the program.
    void cancelInTheProgressWindowLeavesNoJob() {
        const QStringList before = queuedIds();
        AtSpi atspi;
        RunningProgram wizard;
        test::startProgram(wizard, atspi, QStringLiteral("new;;Bob#;222#;%1#").arg(drawings()));
        FinishRun run(atspi, wizard);
        run.goToFinish();
        if (QTest::currentTestFailed()) return;
        run.press(QStringLiteral("Finish"));
        Watched seen;
        run.watch(seen, [&] { return seen.counts.size() >= 2 || wizard.process.state() != QProcess::Running; });
        const AtSpi::Node progress = run.window(ProgressTitle);
        QVERIFY2(progress.isValid(), "the progress window went before Cancel");
        QVERIFY(atspi.doAction(atspi.find(progress, QStringLiteral("Cancel"), AtSpi::PushButton), QStringLiteral("Press")));
        QTRY_VERIFY_WITH_TIMEOUT(!run.window(ProgressTitle).isValid(), 10000);
        QCOMPARE(wizard.process.state(), QProcess::Running);
        run.on(QStringLiteral("Finish"));
        // The service stops the render between two pages and keeps nothing of it.
        const QString submissions = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
                                    QStringLiteral("/sendmere/fax/submissions");
        QTRY_VERIFY_WITH_TIMEOUT(QDir(submissions).isEmpty(), 10000);
        QTest::qWait(2000);
        QCOMPARE(queuedIds(), before);
        run.press(QStringLiteral("Cancel"));
        test::expectProgramEnd(wizard);
        QCOMPARE(queuedIds(), before);
    }
};

QTEST_MAIN(TestDesktopFinish)
#include "tst_desktop_finish.moc"
