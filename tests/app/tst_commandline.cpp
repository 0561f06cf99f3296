// The command line grammar and what the "new" and "cover" actions make of it.
#include "TestSeams.h"
#include "app/CommandLine.h"
#include "app/Display.h"
#include "app/Init.h"
#include "job/FaxJob.h"
#include "wizard/frmCover.h"
#include "wizard/frmNew.h"

#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTimer>
#include <QtTest>

using namespace sendmere;

namespace {

QStringList entries(const IndexedList<QString> &list) {
    QStringList out;
    for (int i = 1; i <= list.upperBound(); ++i) out << list(i);
    return out;
}

// Runs a "new" command line; the recipients page is closed as soon as it is up.
void runNewAndClose(const QString &line) {
    QTimer::singleShot(0, [] {
        if (frmNew *page = existingPage<frmNew>()) page->close();
    });
    runEntry(line);
}

}  // namespace

class TestCommandLine : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void fieldsAndLists() {
        const CommandLine full = parseCommandLine(QStringLiteral("new;x;Ann#Bob#;111#222#;/a.doc#;extra"));
        QCOMPARE(full.action(), QStringLiteral("new"));
        QCOMPARE(full.names, (QStringList{"Ann", "Bob", ""}));
        QCOMPARE(full.numbers, (QStringList{"111", "222", ""}));
        QCOMPARE(full.attachments, (QStringList{"/a.doc", ""}));

        // Fewer than four fields: no names and no numbers; fewer than five: no attachments.
        const CommandLine three = parseCommandLine(QStringLiteral("cover;;Ann#Bob"));
        QVERIFY(three.names.isEmpty());
        QVERIFY(three.numbers.isEmpty());
        const CommandLine four = parseCommandLine(QStringLiteral("cover;;Ann#Bob;111#222"));
        QCOMPARE(four.names, (QStringList{"Ann", "Bob"}));
        QVERIFY(four.attachments.isEmpty());

        QVERIFY(parseCommandLine(QString()).fields.isEmpty());
        QCOMPARE(parseCommandLine(QStringLiteral(";;;;")).fields.size(), 5);
        QVERIFY(parseCommandLine(QStringLiteral(";;;;")).names.isEmpty());
        QCOMPARE(parseCommandLine(QStringLiteral("new;;##;;")).names, (QStringList{"", "", ""}));
        QCOMPARE(commandLineText({"sendmere", "new;;Ann", "Smith#;1#"}), QStringLiteral("new;;Ann Smith#;1#"));
        // Random command lines are the fuzz target's; here one very long list.
        const CommandLine huge = parseCommandLine(QString(100000, QLatin1Char('#')).prepend(QStringLiteral("new;;")) + QStringLiteral(";1"));
        QCOMPARE(huge.names.size(), 100001);
    }

    void newDropsTheLastPieceOfEachList() {
        test::RecordingSeams seams;
        runNewAndClose(QStringLiteral("new;;Ann#Bob#;111#222#;\"/tmp/my report.doc\"#"));
        QCOMPARE(entries(faxJob().RecipientName), (QStringList{"Ann", "Bob"}));
        QCOMPARE(entries(faxJob().RecipientNumber), (QStringList{"111", "222"}));
        QCOMPARE(entries(faxJob().Attachments), (QStringList{"/tmp/my report.doc"}));

        runNewAndClose(QStringLiteral("new;;Ann#Bob;111#222"));
        QCOMPARE(entries(faxJob().RecipientName), (QStringList{"Ann"}));
        QCOMPARE(entries(faxJob().RecipientNumber), (QStringList{"111"}));
        QCOMPARE(faxJob().Attachments.upperBound(), 0);

        runNewAndClose(QStringLiteral("new"));
        QCOMPARE(faxJob().RecipientName.upperBound(), 0);
        QCOMPARE(faxJob().Attachments.upperBound(), 0);

        // Fewer numbers than names: the missing numbers are empty, nothing breaks.
        runNewAndClose(QStringLiteral("new;;Ann#Bob#Cy#;111#"));
        QCOMPARE(entries(faxJob().RecipientNumber), (QStringList{"111", "", ""}));
        QVERIFY(seams.recorded().messages.isEmpty());
    }

    void coverTakesEveryPiece() {
        test::RecordingSeams seams;
        runEntry(QStringLiteral("cover;;Ann#Bob;111#222"));
        QCOMPARE(entries(faxJob().RecipientName), (QStringList{"Ann", "Bob"}));
        QCOMPARE(entries(faxJob().RecipientNumber), (QStringList{"111", "222"}));
        QVERIFY(existingPage<frmCover>() && existingPage<frmCover>()->isVisible());
        existingPage<frmCover>()->close();
        QCoreApplication::processEvents();
    }

    // Unknown or miscapitalised actions and empty command lines end at once, showing nothing.
    void unknownActionsEndAtOnceWithCodeZero() {
        const QString program = qEnvironmentVariable("SENDMERE_TEST_BIN_DIR") + QStringLiteral("/sendmere");
        for (const QString &line : {QStringLiteral("New"), QStringLiteral("console"), QString(),
                                    QStringLiteral(";"), QStringLiteral("#"), QStringLiteral("import2;;a#")}) {
            QProcess process;
            process.start(program, line.isEmpty() ? QStringList() : QStringList{line});
            QVERIFY2(process.waitForFinished(20000), qPrintable(line));
            QCOMPARE(process.exitStatus(), QProcess::NormalExit);
            QCOMPARE(process.exitCode(), 0);
        }
    }

    // The platforms that need a display server need a display named; the others do not.
    void aDisplayIsNeededOnlyWhereWindowsGoToAServer() {
        const struct {
            const char *platform, *display, *wayland;
            bool missing;
        } rows[] = {{"", "", "", true},         {"xcb", "", "", true},        {"wayland", "", "", true},
                    {"wayland-egl", "", "", true}, {"xcb:dpi=96", "", "", true}, {"", ":0", "", false},
                    {"", "", "wayland-0", false}, {"xcb", ":1", "", false},     {"offscreen", "", "", false},
                    {"minimal", "", "", false}, {"vnc", "", "", false}};
        for (const auto &row : rows)
            QVERIFY2(sendmere::missingDisplayReason(row.platform, row.display, row.wayland).isEmpty() != row.missing, row.platform);
    }

    // Without a display the program says why on its error output and ends with status 1,
    // both when none is named and when the one named cannot be opened.
    void withoutADisplayTheProgramSaysWhy() {
        const QString program = qEnvironmentVariable("SENDMERE_TEST_BIN_DIR") + QStringLiteral("/sendmere");
        QVERIFY(QFileInfo(program).isExecutable());
        const auto run = [&](const QString &display, const QString &expected) {
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(QString::fromLatin1(name));
            if (!display.isEmpty()) env.insert(QStringLiteral("DISPLAY"), display);
            QProcess process;
            process.setProcessEnvironment(env);
            process.start(program, {QStringLiteral("sender")});
            QVERIFY(process.waitForFinished(30000));
            const QString err = QString::fromUtf8(process.readAllStandardError());
            QCOMPARE(process.exitStatus(), QProcess::NormalExit);
            QCOMPARE(process.exitCode(), 1);
            QVERIFY2(err.contains(QStringLiteral("sendmere: ") + expected), qPrintable(err));
        };
        run(QString(), QStringLiteral("there is no display to show windows on"));
        run(QStringLiteral(":937"), QStringLiteral("the display \":937\" cannot be opened"));
    }
};

QTEST_MAIN(TestCommandLine)
#include "tst_commandline.moc"
