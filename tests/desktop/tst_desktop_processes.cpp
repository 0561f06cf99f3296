// The real program on a real X server, driven through the accessibility bus as a screen
// reader user drives it: each action ends the process by itself, with code 0.
#include "DesktopKit.h"
#include "TestSupport.h"
#include "WizardTestKit.h"
#include "platform/fax/FaxClient.h"

#include <QtTest>

using namespace sendmere;
using test::AtSpi;
using test::RunningProgram;

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
        // Each page is driven once it is active, that is once its activation has shown the job.
        AtSpi::Node page;
        const auto on = [&](const QString &title) {
            page = atspi.activeWindow(wizard.app, title);
            QVERIFY2(page.isValid(), qPrintable(title));
        };
        const auto press = [&](const QString &button) {
            QVERIFY2(atspi.doAction(atspi.find(page, button, AtSpi::PushButton), QStringLiteral("Press")), qPrintable(button));
        };
        on(QStringLiteral("New Fax"));
        press(QStringLiteral("Next >"));
        on(QStringLiteral("Cover Page"));
        QVERIFY(atspi.doAction(atspi.find(page, QStringLiteral("Select a cover page template with the following information."),
                                          AtSpi::CheckBox),
                               QStringLiteral("Toggle")));
        QVERIFY(atspi.setText(atspi.find(page, QStringLiteral("Subject line"), AtSpi::Text), QStringLiteral("Hello Ann")));
        press(QStringLiteral("Next >"));
        on(QStringLiteral("Send schedule"));
        QVERIFY(atspi.find(page, QStringLiteral("When discount rates apply"), AtSpi::CheckBox).isValid());
        press(QStringLiteral("Next >"));
        on(QStringLiteral("Finish"));
        press(QStringLiteral("Finish"));
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
