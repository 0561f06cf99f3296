// The command line grammar and what the "new" and "cover" actions make of it.
#include "TestSeams.h"
#include "app/CommandLine.h"
#include "app/Display.h"
#include "app/Init.h"
#include "job/FaxJob.h"
#include "wizard/frmCover.h"
#include "wizard/frmNew.h"

#include <QtTest>

using namespace sendmere;
using L = QStringList;

namespace {

L entries(const IndexedList<QString> &list) {
    L out;
    for (int i = 1; i <= list.upperBound(); ++i) out << list(i);
    return out;
}

QString program() { return qEnvironmentVariable("SENDMERE_TEST_BIN_DIR") + QStringLiteral("/sendmere"); }

}  // namespace

class TestCommandLine : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // Fewer than four fields: no names and no numbers; fewer than five: no attachments.
    void fieldsAndLists() {
        const struct { const char *line; qsizetype fields; L names, numbers, attachments; } rows[] = {
            {"new;x;Ann#Bob#;111#222#;/a.doc#;extra", 6, {"Ann", "Bob", ""}, {"111", "222", ""}, {"/a.doc", ""}},
            {"new;;Ann#;1#;/a.doc", 5, {"Ann", ""}, {"1", ""}, {"/a.doc"}},
            {"cover;;Ann#Bob;111#222", 4, {"Ann", "Bob"}, {"111", "222"}, {}},
            {"cover;;Ann#Bob", 3, {}, {}, {}},
            {"", 0, {}, {}, {}},
            {";;;;", 5, {}, {}, {}},
            {"new;;##;;", 5, {"", "", ""}, {}, {}},
        };
        for (const auto &row : rows) {
            const CommandLine line = parseCommandLine(QString::fromUtf8(row.line));
            QCOMPARE(line.fields.size(), row.fields);
            QCOMPARE(line.names, row.names);
            QCOMPARE(line.numbers, row.numbers);
            QCOMPARE(line.attachments, row.attachments);
        }
        QCOMPARE(parseCommandLine(QStringLiteral("new;x")).action(), QStringLiteral("new"));
        QCOMPARE(commandLineText({"sendmere", "new;;Ann", "Smith#;1#"}), QStringLiteral("new;;Ann Smith#;1#"));
        // Random command lines are the fuzz target's; here one very long list.
        QCOMPARE(parseCommandLine(QStringLiteral("new;;") + QString(100000, u'#') + QStringLiteral(";1")).names.size(), 100001);
    }

    // "new" drops the last piece of each list and the quotes around a path; "cover" takes every piece. Fewer numbers than names leave the
    // missing numbers empty.
    void newAndCoverFillTheJob() {
        test::RecordingSeams seams;
        const struct { const char *line; L names, numbers, attachments; } rows[] = {
            {"new;;Ann#Bob#;111#222#;\"/tmp/my report.doc\"#", {"Ann", "Bob"}, {"111", "222"}, {"/tmp/my report.doc"}},
            {"new;;Ann#Bob;111#222", {"Ann"}, {"111"}, {}},
            {"new", {}, {}, {}},
            {"new;;Ann#Bob#Cy#;111#", {"Ann", "Bob", "Cy"}, {"111", "", ""}, {}},
            {"cover;;Ann#Bob;111#222", {"Ann", "Bob"}, {"111", "222"}, {}},
        };
        for (const auto &row : rows) {
            QTimer::singleShot(0, [] {  // the recipients page is closed as soon as it is up
                if (frmNew *page = existingPage<frmNew>()) page->close();
            });
            runEntry(QString::fromUtf8(row.line));
            QCOMPARE(entries(faxJob().RecipientName), row.names);
            QCOMPARE(entries(faxJob().RecipientNumber), row.numbers);
            QCOMPARE(entries(faxJob().Attachments), row.attachments);
        }
        QVERIFY(existingPage<frmCover>() && existingPage<frmCover>()->isVisible());
        existingPage<frmCover>()->close();
        QVERIFY(seams.recorded().messages.isEmpty());
    }

    // Unknown or miscapitalised actions and empty command lines end at once, showing nothing.
    void unknownActionsEndAtOnceWithCodeZero() {
        for (const QString &line : {QStringLiteral("New"), QStringLiteral("console"), QString(), QStringLiteral(";"),
                                    QStringLiteral("#"), QStringLiteral("import2;;a#")}) {
            QProcess process;
            process.start(program(), line.isEmpty() ? L() : L{line});
            QVERIFY2(process.waitForFinished(20000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0, qPrintable(line));
        }
    }

    // The platforms that need a display server need a display named; the others do not. Without one the program says why on its error
    // output and ends with status 1, both when none is named and when the one named cannot be opened.
    void aDisplayIsNeededOnlyWhereWindowsGoToAServer() {
        const struct { const char *platform, *display, *wayland; bool missing; } rows[] = {
            {"", "", "", true},           {"xcb", "", "", true},    {"wayland", "", "", true},   {"wayland-egl", "", "", true},
            {"xcb:dpi=96", "", "", true}, {"", ":0", "", false},    {"", "", "wayland-0", false}, {"xcb", ":1", "", false},
            {"offscreen", "", "", false}, {"minimal", "", "", false}, {"vnc", "", "", false}};
        for (const auto &row : rows)
            QVERIFY2(missingDisplayReason(row.platform, row.display, row.wayland).isEmpty() != row.missing, row.platform);

        for (const auto &[display, expected] : {std::pair{QString(), QStringLiteral("there is no display to show windows on")},
                                                {QStringLiteral(":937"), QStringLiteral("the display \":937\" cannot be opened")}}) {
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(QString::fromLatin1(name));
            if (!display.isEmpty()) env.insert(QStringLiteral("DISPLAY"), display);
            QProcess process;
            process.setProcessEnvironment(env);
            process.start(program(), {QStringLiteral("sender")});
            QVERIFY(process.waitForFinished(30000));
            const QString err = QString::fromUtf8(process.readAllStandardError());
            QVERIFY(process.exitStatus() == QProcess::NormalExit && process.exitCode() == 1);
            QVERIFY2(err.contains(QStringLiteral("sendmere: ") + expected), qPrintable(err));
        }
    }
};

QTEST_MAIN(TestCommandLine)
#include "tst_commandline.moc"
