// When a job is due: now, at its time, or at the next discount period, also across midnight and for times already past.
#include "FaxdConfig.h"
#include "OutgoingQueue.h"

#include <QtTest>

using sendmere::faxd::dueTime;
using sendmere::faxd::FaxdConfig;
using namespace Qt::StringLiterals;

class TestFaxSchedule : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void dueTimes() {
        // The discount period, the schedule type, the time now, the time asked for, when it is due.
        const struct {
            const char *name, *start, *end;
            int type;
            const char *now, *requested, *expected;
        } cases[] = {
            {"now", "20:00", "07:00", 0, "2026-03-10T12:00", "", "2026-03-10T12:00"},
            {"later today", "20:00", "07:00", 1, "2026-03-10T12:00", "2026-03-10T18:30", "2026-03-10T18:30"},
            {"time already past", "20:00", "07:00", 1, "2026-03-10T12:00", "2026-03-10T08:00", "2026-03-10T12:00"},
            {"no time given", "20:00", "07:00", 1, "2026-03-10T12:00", "", "2026-03-10T12:00"},
            {"day: waits for evening", "20:00", "07:00", 2, "2026-03-10T12:00", "", "2026-03-10T20:00"},
            {"evening: at once", "20:00", "07:00", 2, "2026-03-10T21:15", "", "2026-03-10T21:15"},
            {"after midnight: at once", "20:00", "07:00", 2, "2026-03-11T03:00", "", "2026-03-11T03:00"},
            {"end is exclusive", "20:00", "07:00", 2, "2026-03-11T07:00", "", "2026-03-11T20:00"},
            {"daytime period, before", "09:00", "11:00", 2, "2026-03-10T08:00", "", "2026-03-10T09:00"},
            {"daytime period, after", "09:00", "11:00", 2, "2026-03-10T11:30", "", "2026-03-11T09:00"},
            {"daytime period, inside", "09:00", "11:00", 2, "2026-03-10T10:00", "", "2026-03-10T10:00"},
            {"daytime period, at its start", "09:00", "11:00", 2, "2026-03-10T09:00", "", "2026-03-10T09:00"},
            {"daytime period, at its end", "09:00", "11:00", 2, "2026-03-10T11:00", "", "2026-03-11T09:00"},
        };
        const auto at = [](const char *text) { return QDateTime::fromString(QString::fromLatin1(text), Qt::ISODate); };
        for (const auto &c : cases) {
            FaxdConfig config;
            config.discountStart = QTime::fromString(QString::fromLatin1(c.start), u"HH:mm"_s);
            config.discountEnd = QTime::fromString(QString::fromLatin1(c.end), u"HH:mm"_s);
            const QDateTime due = dueTime(c.type, at(c.requested), at(c.now), config);
            QVERIFY2(due == at(c.expected), qPrintable(QString::fromLatin1(c.name) + u": "_s + due.toString(Qt::ISODate)));
        }
    }
};

QTEST_GUILESS_MAIN(TestFaxSchedule)
#include "tst_faxschedule.moc"
