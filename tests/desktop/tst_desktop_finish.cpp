// Finish with a 200-page document, on a real X server and driven through the accessibility bus.
#include "DesktopKit.h"
#include "FaxTestSupport.h"
#include "WizardTestKit.h"
#include "platform/fax/FaxClient.h"

#include <QElapsedTimer>
#include <QtTest>

using namespace sendmere;
using test::AtSpi;

namespace {

constexpr int BodyPages = 200;
// A hang guard only, well above the 100 ms a window should answer in.
constexpr qint64 AnswerGuardMs = 500;

QString drawings() { return QDir::tempPath() + QStringLiteral("/drawings.pdf"); }

// The queued jobs as "id number pages".
QStringList queued() {
    fax::FaxServer server;
    server.Connect(QString());
    QStringList jobs;
    const fax::FaxOutgoingJobs list = server.Folders().OutgoingQueue().GetJobs();
    for (int i = 1; i <= list.Count(); ++i) jobs << QStringLiteral("%1 %2 %3").arg(list.Item(i).Id(), list.Item(i).Recipient().FaxNumber).arg(list.Item(i).Pages());
    return jobs;
}

// The wizard with Finish pressed; watch() then records its answer times and the progress window's counts.
class FinishRun : public test::WizardWalk {
public:
    test::RunningProgram wizard;
    qint64 slowestAnswerMs = 0;
    QList<int> counts;  // the progress window's page counts, as they changed
    QElapsedTimer elapsed;

    explicit FinishRun(AtSpi &atspi, const QString &number) : WizardWalk(atspi, wizard) {
        test::startProgram(wizard, atspi, QStringLiteral("new;;Ann#;%1#;%2#").arg(number, drawings()));
        goToFinish();
        if (QTest::currentTestFailed()) return;
        elapsed.start();
        press(QStringLiteral("Finish"));
        // The press is answered once its handler returns: a render on the GUI thread would hold it back.
        slowestAnswerMs = elapsed.elapsed();
    }
    AtSpi::Node progressWindow() {
        for (const AtSpi::Node &node : m_atspi.children(m_program.app))
            if (m_atspi.name(node) == QStringLiteral("Sending Fax") && m_atspi.isShowing(node)) return node;
        return {};
    }
    void watch(const std::function<bool()> &done) {
        static const QRegularExpression pageCount(QStringLiteral("^Rendering the fax: page (\\d+)"));
        while (!done()) {
            const qint64 answer = m_atspi.answerTimeMs(m_page, int(AnswerGuardMs) * 5);
            // A program that ends the moment it is asked gives no answer either.
            if (answer < 0 && wizard.process.waitForFinished(2000)) break;
            QVERIFY2(answer >= 0, "the window gave no answer at all");
            slowestAnswerMs = std::max(slowestAnswerMs, answer);
            if (const AtSpi::Node progress = progressWindow(); progress.isValid()) {
                const AtSpi::Node label = m_atspi.findRole(progress, AtSpi::Label);
                const auto page = pageCount.match(label.isValid() ? m_atspi.name(label) : QString());
                if (page.hasMatch() && (counts.isEmpty() || counts.last() != page.captured(1).toInt())) counts << page.captured(1).toInt();
            }
            QTest::qWait(50);
        }
    }
};

}  // namespace

class TestDesktopFinish : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() {
        QVERIFY2(AtSpi().isConnected(), "no accessibility bus");
        test::holdFaxJobsBack();
        // Slow pages, as drawing-heavy documents have: the window has time to count, Cancel comes in time.
        QCOMPARE(faxtest::writeSlowPdf(QStringLiteral("drawings.pdf"), 1, BodyPages), drawings());
    }

    void largeFaxRendersWhileTheWindowAnswers() {
        AtSpi atspi;
        FinishRun run(atspi, QStringLiteral("111"));
        if (QTest::currentTestFailed()) return;
        run.watch([&] { return run.wizard.process.state() != QProcess::Running || run.elapsed.elapsed() > 240000; });
        qInfo("the render took %lld ms, the slowest answer %lld ms; counts seen: %lld", run.elapsed.elapsed(), run.slowestAnswerMs, qint64(run.counts.size()));
        if (QTest::currentTestFailed()) return;
        if (run.wizard.process.state() != QProcess::NotRunning) test::expectProgramEnd(run.wizard, 10000);
        QVERIFY(run.wizard.process.exitStatus() == QProcess::NormalExit && run.wizard.process.exitCode() == 0);
        QVERIFY2(run.slowestAnswerMs < AnswerGuardMs, qPrintable(QString::number(run.slowestAnswerMs)));
        QVERIFY2(run.counts.size() >= 2 && std::ranges::adjacent_find(run.counts, std::greater_equal<>()) == run.counts.end(),
                 "the progress window showed no rising page count");
        QCOMPARE(queued().size(), 1);
        QVERIFY2(queued()[0].endsWith(QStringLiteral(" 111 %1").arg(BodyPages)), qPrintable(queued()[0]));
    }

    // Cancel in the progress window: the page stays, nothing is queued, and the wizard's Cancel still ends it.
    void cancelInTheProgressWindowLeavesNoJob() {
        const QStringList before = queued();
        AtSpi atspi;
        FinishRun run(atspi, QStringLiteral("222"));
        if (QTest::currentTestFailed()) return;
        run.watch([&] { return run.counts.size() >= 2 || run.wizard.process.state() != QProcess::Running; });
        const AtSpi::Node progress = run.progressWindow();
        QVERIFY2(progress.isValid(), "the progress window went before Cancel");
        QVERIFY(atspi.doAction(atspi.find(progress, QStringLiteral("Cancel"), AtSpi::PushButton), QStringLiteral("Press")));
        QTRY_VERIFY_WITH_TIMEOUT(!run.progressWindow().isValid(), 10000);
        QCOMPARE(run.wizard.process.state(), QProcess::Running);
        run.on(QStringLiteral("Finish"));
        // The service stops the render between two pages and keeps nothing of it.
        QTRY_VERIFY_WITH_TIMEOUT(QDir(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/sendmere/fax/submissions")).isEmpty(), 10000);
        QTest::qWait(2000);
        QCOMPARE(queued(), before);
        run.press(QStringLiteral("Cancel"));
        test::expectProgramEnd(run.wizard);
        QCOMPARE(queued(), before);
    }
};

QTEST_MAIN(TestDesktopFinish)
#include "tst_desktop_finish.moc"
