// When a job is due: now, at its time, or at the next discount period, also for periods that
// span midnight and for times that lie in the past.
#include "FaxdConfig.h"
#include "OutgoingQueue.h"

#include <QtTest>

using sendmere::faxd::dueTime;
using sendmere::faxd::FaxdConfig;

class TestFaxSchedule : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void dueTimes_data()
    {
        QTest::addColumn<QString>("start");
        QTest::addColumn<QString>("end");
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("now");
        QTest::addColumn<QString>("requested");
        QTest::addColumn<QString>("expected");
        const QString none;
        QTest::newRow("now") << "20:00" << "07:00" << 0 << "2026-03-10T12:00" << none << "2026-03-10T12:00";
        QTest::newRow("later today") << "20:00" << "07:00" << 1 << "2026-03-10T12:00" << "2026-03-10T18:30" << "2026-03-10T18:30";
        QTest::newRow("time already past") << "20:00" << "07:00" << 1 << "2026-03-10T12:00" << "2026-03-10T08:00" << "2026-03-10T12:00";
        QTest::newRow("no time given") << "20:00" << "07:00" << 1 << "2026-03-10T12:00" << none << "2026-03-10T12:00";
        QTest::newRow("day: waits for evening") << "20:00" << "07:00" << 2 << "2026-03-10T12:00" << none << "2026-03-10T20:00";
        QTest::newRow("evening: at once") << "20:00" << "07:00" << 2 << "2026-03-10T21:15" << none << "2026-03-10T21:15";
        QTest::newRow("after midnight: at once") << "20:00" << "07:00" << 2 << "2026-03-11T03:00" << none << "2026-03-11T03:00";
        QTest::newRow("end is exclusive") << "20:00" << "07:00" << 2 << "2026-03-11T07:00" << none << "2026-03-11T20:00";
        QTest::newRow("daytime period, before") << "09:00" << "11:00" << 2 << "2026-03-10T08:00" << none << "2026-03-10T09:00";
        QTest::newRow("daytime period, after") << "09:00" << "11:00" << 2 << "2026-03-10T11:30" << none << "2026-03-11T09:00";
        QTest::newRow("daytime period, inside") << "09:00" << "11:00" << 2 << "2026-03-10T10:00" << none << "2026-03-10T10:00";
        QTest::newRow("daytime period, at its start") << "09:00" << "11:00" << 2 << "2026-03-10T09:00" << none << "2026-03-10T09:00";
        QTest::newRow("daytime period, at its end") << "09:00" << "11:00" << 2 << "2026-03-10T11:00" << none << "2026-03-11T09:00";
    }

    void dueTimes()
    {
        QFETCH(QString, start);
        QFETCH(QString, end);
        QFETCH(int, type);
        QFETCH(QString, now);
        QFETCH(QString, requested);
        QFETCH(QString, expected);
        FaxdConfig config;
        config.discountStart = QTime::fromString(start, QStringLiteral("HH:mm"));
        config.discountEnd = QTime::fromString(end, QStringLiteral("HH:mm"));
        const auto at = [](const QString &text) { return QDateTime::fromString(text, Qt::ISODate); };
        QCOMPARE(dueTime(type, at(requested), at(now), config), at(expected));
    }
};

QTEST_GUILESS_MAIN(TestFaxSchedule)
#include "tst_faxschedule.moc"
