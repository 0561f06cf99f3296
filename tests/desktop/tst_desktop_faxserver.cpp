// The wizard of the real program on a real X server, with the fax service's line set to a
// real HylaFAX server (the fax lab): Finish hands the fax to the server, one modem sends it,
// the other receives it, and both archives hold it with the server's page count.
#include "DesktopKit.h"
#include "HylaFaxLab.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPainter>
#include <QPdfWriter>
#include <QProcess>
#include <QtTest>

using namespace sendmere;
using test::AtSpi;
using test::HylaFaxLab;
using test::RunningProgram;

namespace {

QJsonArray listing(const QString &what)
{
    QProcess console;
    console.start(qEnvironmentVariable("SENDMERE_TEST_BIN_DIR") + QStringLiteral("/sendmere-fax"),
                  {QStringLiteral("list"), what, QStringLiteral("--json")});
    if (!console.waitForFinished(60000)) {
        console.kill();
        console.waitForFinished();
        return {};
    }
    return QJsonDocument::fromJson(console.readAllStandardOutput()).array();
}

QString stateLog()
{
    QFile file(qEnvironmentVariable("XDG_STATE_HOME") + QStringLiteral("/sendmere/faxd.log"));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QString writeTwoPagePdf()
{
    const QString path = QDir::tempPath() + QStringLiteral("/letter.pdf");
    QPdfWriter writer(path);
    QPainter painter(&writer);
    painter.setFont(QFont(QStringLiteral("DejaVu Sans"), 24));
    painter.drawText(QRect(0, 0, writer.width(), writer.height() / 4), Qt::AlignCenter, QStringLiteral("Page 1"));
    writer.newPage();
    painter.drawText(QRect(0, 0, writer.width(), writer.height() / 4), Qt::AlignCenter, QStringLiteral("Page 2"));
    return path;
}

}  // namespace

class TestDesktopFaxServer : public QObject {
    Q_OBJECT

    HylaFaxLab m_lab;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(AtSpi().isConnected(), "no accessibility bus");
        SENDMERE_START_HYLAFAX_LAB(m_lab);
        const QString dir = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/sendmere");
        QDir().mkpath(dir);
        QFile conf(dir + QStringLiteral("/faxd.conf"));
        QVERIFY(conf.open(QIODevice::WriteOnly | QIODevice::Truncate));
        conf.write(QStringLiteral("[Line]\nBackend=hylafax\nServer=%1\nUser=fax\nPollSeconds=1\n").arg(m_lab.server()).toUtf8());
    }

    // QtTest cuts a failure message at about a kilobyte: the service's state and the lab's
    // report go to the log whole.
    void cleanup()
    {
        if (QTest::currentTestFailed())
            qWarning().noquote() << stateLog() << m_lab.logTail();
    }

    void cleanupTestCase() { m_lab.stop(); }

    // The wizard as a user goes through it: the recipient and the file from the command
    // line, Next on each page, Finish.
    void wizardSendsThroughTheServer()
    {
        const QString number = m_lab.modems().at(1).number;
        const QString document = writeTwoPagePdf();
        AtSpi atspi;
        RunningProgram wizard;
        QElapsedTimer clock;
        clock.start();
        test::startProgram(wizard, atspi, QStringLiteral("new;;Ann#;%1#;%2#").arg(number, document));
        test::WizardWalk walk(atspi, wizard);
        walk.goToFinish();
        walk.press(QStringLiteral("Finish"));
        test::expectProgramEnd(wizard);

        QVERIFY(test::eventually([] { return listing(QStringLiteral("sent")).size() == 1; }, 120000));
        qInfo("from Finish to the sent archive through the fax server: %.1f s", clock.elapsed() / 1000.0);
        const QJsonObject sent = listing(QStringLiteral("sent")).first().toObject();
        QCOMPARE(sent.value(QStringLiteral("Pages")).toInt(), 2);
        QVERIFY(test::eventually([] { return listing(QStringLiteral("received")).size() == 1; }, 30000));
        QCOMPARE(listing(QStringLiteral("received")).first().toObject().value(QStringLiteral("Pages")).toInt(), 2);
        QCOMPARE(m_lab.receivedFaxes().size(), 1);
    }
};

QTEST_MAIN(TestDesktopFaxServer)
#include "tst_desktop_faxserver.moc"
