// How a submitted document and a spool row are read: each broken rule with its error, each limit at both edges, hand-written input.
#include "FaxBusApi.h"
#include "FaxComposer.h"
#include "JobRecord.h"
#include "Spool.h"
#include "Submission.h"

#include <QDBusVariant>
#include <QDateTime>
#include <QtTest>

using namespace sendmere::faxd;
using namespace Qt::StringLiterals;

// The expected values name only the fields a case sets; the rest are empty on purpose.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

QVariantMap recipient(const QVariant &number) { return {{u"FaxNumber"_s, number}}; }
QVariantMap validDocument() { return {{u"Body"_s, u"/tmp/body.txt"_s}, {u"Recipients"_s, QVariantList{recipient(u"5550100"_s)}}}; }
QString repeated(int length) { return QString(length, u'x'); }
qint64 yearAheadMs(qint64 shift) { return QDateTime::currentMSecsSinceEpoch() + limits::MaxScheduleAheadMs + shift; }

QVariantList recipients(int count) {
    QVariantList list;
    for (int i = 0; i < count; ++i)
        list.append(recipient(u"555%1"_s.arg(i)));
    return list;
}

// The error's name and text, or empty when the document is accepted.
QString refusal(const QVariantMap &document) {
    try {
        Submission::fromBus(document);
        return {};
    } catch (const ServiceError &e) {
        return e.name() + u' ' + e.text();
    }
}

}  // namespace

class TestFaxSubmitParse : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Each rule at both edges: a valid document with the value refused (and the error after
    // InvalidArgument), then with the last value accepted; no accepted value where none is near.
    void rulesAtBothEdges_data() {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QVariant>("refused");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QVariant>("accepted");
        const QVariant none;
        const auto number = [](const QVariant &n) { return QVariant(QVariantList{recipient(n)}); };
        const auto person = [](const char *key, int length) { return QVariant(QVariantList{QVariantMap{{"FaxNumber", "1"}, {key, repeated(length)}}}); };
        QTest::newRow("no recipients") << "Recipients" << none << "The fax has no recipient." << none;
        QTest::newRow("101 recipients") << "Recipients" << QVariant(recipients(101)) << "The fax has 101 recipients; at most 100" << QVariant(recipients(100));
        QTest::newRow("no number") << "Recipients" << QVariant(QVariantList{QVariantMap{{"Name", "Ann"}}}) << "A recipient has no fax number." << none;
        QTest::newRow("blank number") << "Recipients" << number("  ") << "A recipient has no fax number." << none;
        QTest::newRow("number as a list") << "Recipients" << number(QStringList{"5"}) << "fax number is a QStringList" << none;
        QTest::newRow("letter in number") << "Recipients" << number("555x") << "holds \"x\", which cannot be dialled" << number("+1 (555) 010-0100,,#12");
        QTest::newRow("no digit") << "Recipients" << number("+-") << "has no digit" << none;
        QTest::newRow("number 41 long") << "Recipients" << number(QString(41, u'5')) << "has 41 characters; at most 40" << number(QString(40, u'5'));
        QTest::newRow("note") << "Note" << QVariant(repeated(10001)) << "The note is 10001 characters long; at most 10000" << QVariant(repeated(10000));
        QTest::newRow("subject") << "Subject" << QVariant(repeated(1001)) << "The Subject is 1001 characters long; at most 1000" << QVariant(repeated(1000));
        QTest::newRow("document name") << "DocumentName" << QVariant(repeated(1001)) << "The DocumentName is 1001" << QVariant(repeated(1000));
        QTest::newRow("cover page") << "CoverPage" << QVariant(repeated(1001)) << "The CoverPage is 1001" << QVariant(repeated(1000));
        QTest::newRow("submission id") << "SubmissionId" << QVariant(repeated(201)) << "The SubmissionId is 201 characters long; at most 200" << QVariant(repeated(200));
        QTest::newRow("sender's unknown field") << "Sender" << QVariant(QVariantMap{{"Nickname", repeated(1001)}}) << "The Nickname of a sender or recipient is 1001"
                                                << QVariant(QVariantMap{{"Nickname", repeated(1000)}});
        QTest::newRow("recipient's TSID") << "Recipients" << person("TSID", 101) << "The TSID of a sender or recipient is 101 characters long; at most 100" << person("TSID", 100);
        QTest::newRow("recipient's name") << "Recipients" << person("Name", 1001) << "The Name of a sender or recipient is 1001" << person("Name", 1000);
        QTest::newRow("priority 3") << "Priority" << QVariant(3) << "Priority 3 is out of range." << QVariant(2);
        QTest::newRow("priority -1") << "Priority" << QVariant(-1) << "Priority -1 is out of range." << QVariant(0);
        QTest::newRow("schedule type 3") << "ScheduleType" << QVariant(3) << "ScheduleType 3 is out of range." << QVariant(2);
        QTest::newRow("cover page type 3") << "CoverPageType" << QVariant(3) << "CoverPageType 3 is out of range." << QVariant(2);
    }

    void rulesAtBothEdges() {
        QFETCH(QString, key);
        QFETCH(QVariant, refused);
        QFETCH(QString, error);
        QFETCH(QVariant, accepted);
        QVariantMap doc = validDocument();
        QCOMPARE(refusal(doc), QString());
        doc.insert(key, refused);
        QVERIFY2(refusal(doc).startsWith(sendmere::faxbus::ErrorInvalidArgument + u' ') && refusal(doc).contains(error), qPrintable(refusal(doc)));
        doc.insert(key, accepted);
        QVERIFY2(!accepted.isValid() || refusal(doc).isEmpty(), qPrintable(key + u' ' + refusal(doc)));
    }

    // ScheduleType 1 needs a time at most a year ahead; the other types need none.
    void scheduledTimeAtBothEdges() {
        QVariantMap scheduled = validDocument();
        scheduled.insert(u"ScheduleType"_s, 1);
        QVERIFY(refusal(scheduled).contains(u"the time is missing"_s));
        scheduled.insert(u"ScheduleTime"_s, yearAheadMs(-60000));
        QCOMPARE(refusal(scheduled), QString());
        scheduled.insert(u"ScheduleTime"_s, yearAheadMs(60000));
        QVERIFY(refusal(scheduled).contains(u"more than a year ahead"_s));
        scheduled.insert(u"ScheduleType"_s, 0);
        QCOMPARE(refusal(scheduled), QString());
        QCOMPARE(Submission::idOf({{u"SubmissionId"_s, repeated(200)}}), repeated(200));
        QVERIFY_THROWS_EXCEPTION(ServiceError, Submission::idOf({{u"SubmissionId"_s, repeated(201)}}));
    }

    // As a client writes it: values in bus variants, a number sent as a number, fields the service does not know, options left out.
    void handWrittenDocument() {
        const QVariantMap sender{{"Name", QVariant::fromValue(QDBusVariant(u"Bob"_s))},
                                 {"FaxNumber", "+1 555 0199"},
                                 {"TSID", "Bob's fax"},
                                 {"Email", "bob@example.org"},
                                 {"Pet", "cat"}};
        const QVariantMap ann{{"FaxNumber", 5550100}, {"Name", "Ann"}, {"Company", "Example Ltd"}, {"ZipCode", "12345"}};
        const QVariantMap doc{{"SubmissionId", "batch-7"},
                              {"Body", "/home/bob/offer.pdf"},
                              {"Subject", QVariant::fromValue(QDBusVariant(u"Offer"_s))},
                              {"Note", "Call me"},
                              {"CoverPageType", 1},
                              {"CoverPage", "short.cov"},
                              {"ScheduleType", 2},
                              {"ScheduleTime", qint64(1767225600000)},  // kept, though only type 1 needs it
                              {"AttachFaxToReceipt", true},
                              {"Sender", QVariant::fromValue(QDBusVariant(sender))},
                              {"Recipients", QVariantList{ann, recipient(" 555-0101 ")}}};
        const Submission s = Submission::fromBus(doc);
        // A number sent as a number reads as text; blanks are kept (dialled trimmed); Priority left out means normal.
        const Submission expected{.submissionId = "batch-7", .body = "/home/bob/offer.pdf", .coverPageType = 1,
                                  .coverPage = "short.cov", .subject = "Offer", .note = "Call me", .priority = 1,
                                  .scheduleType = 2, .scheduleTime = 1767225600000, .attachFaxToReceipt = true,
                                  .sender = {.name = "Bob", .faxNumber = "+1 555 0199", .email = "bob@example.org", .tsid = "Bob's fax"},
                                  .recipients = {{.name = "Ann", .faxNumber = "5550100", .company = "Example Ltd", .zipCode = "12345"},
                                                 {.faxNumber = " 555-0101 "}}};
        QCOMPARE(s, expected);
        QCOMPARE(Submission::fromBus(s.toDocument()), s);  // as the service keeps it while it renders
    }

    // A hand-written spool row: every property lands in its own field and leaves under its own name, and only those a record has.
    void jobRecordFromSpool() {
        const QByteArray row = R"({"Id":"1f","SubmissionId":"batch-7","Subject":"Offer","DocumentName":"offer.pdf",
            "Note":"n","CoverPage":"short.cov","CoverPageType":1,"Priority":2,"ScheduleType":1,"AttachFaxToReceipt":true,
            "Status":64,"ExtendedStatus":"Line busy","SubmissionTime":1000,"OriginalScheduledTime":2000,
            "ScheduledTime":3000,"TransmissionStart":4000,"TransmissionEnd":5000,"Pages":3,"Retries":2,
            "CSID":"c","TSID":"t","DeviceName":"modem1","LineTag":"sendmere-1f-0001","ServerJobId":"42",
            "Sender":{"Name":"Bob","BillingCode":"B7"},"Recipient":{"FaxNumber":"5550100","City":"Springfield"}})";
        const QVariantMap props = propertiesFromJson(row).value();
        QCOMPARE(propertiesProblem(Folder::Queue, props), QString());
        const JobRecord job = JobRecord::fromProperties(props);
        const JobRecord expected{.id = 0x1f, .submissionId = "batch-7", .subject = "Offer", .documentName = "offer.pdf",
                                 .note = "n", .coverPage = "short.cov", .coverPageType = 1, .priority = 2, .scheduleType = 1,
                                 .attachFaxToReceipt = true, .status = 64, .extendedStatus = "Line busy",
                                 .submissionTime = 1000, .originalScheduledTime = 2000, .scheduledTime = 3000,
                                 .transmissionStart = 4000, .transmissionEnd = 5000, .pages = 3, .retries = 2,
                                 .sender = {.name = "Bob", .billingCode = "B7"},
                                 .recipient = {.faxNumber = "5550100", .city = "Springfield"},
                                 .csid = "c", .tsid = "t", .deviceName = "modem1", .lineTag = "sendmere-1f-0001",
                                 .serverJobId = "42"};
        QCOMPARE(job, expected);

        // Out again: the same properties, the people with all their fields.
        const QVariantMap out = job.toProperties();
        for (auto it = props.begin(); it != props.end(); ++it)
            if (it.key() != u"Sender"_s && it.key() != u"Recipient"_s)
                QVERIFY2(out.value(it.key()).toString() == it.value().toString(), qPrintable(it.key()));
        QCOMPARE(out.value(u"Recipient"_s).toMap().size(), Person::propertyNames().size());
        QCOMPARE(out.keys(), props.keys());

        // A received fax has no submission and no marks of a fax server: nor do its properties.
        JobRecord received;
        received.id = 0x20;
        received.callerId = u"5550199"_s;
        const QVariantMap message = received.toProperties();
        QCOMPARE(message.value(u"CallerId"_s).toString(), u"5550199"_s);
        for (const char *key : {"SubmissionId", "LineTag", "ServerJobId", "LineReceipt"})
            QVERIFY2(!message.contains(QString::fromLatin1(key)), key);
    }

    // A spool row's page count: a queued job has one page at least, an archived fax may have none, no fax more than 100,000.
    void pageCountOfASpoolRow_data() {
        QTest::addColumn<bool>("queued");
        QTest::addColumn<int>("pages");
        QTest::addColumn<QString>("problem");
        QTest::newRow("queued, 100000 pages") << true << 100000 << "";
        QTest::newRow("queued, 100001 pages") << true << 100001 << "100001 pages is no fax";
        QTest::newRow("sent, 100000 pages") << false << 100000 << "";
        QTest::newRow("sent, 100001 pages") << false << 100001 << "100001 pages is no fax";
        QTest::newRow("queued, 1 page") << true << 1 << "";
        QTest::newRow("queued, no page") << true << 0 << "a queued job without pages";
        QTest::newRow("sent, no page") << false << 0 << "";
        QTest::newRow("sent, -1 pages") << false << -1 << "-1 pages is no fax";
    }

    void pageCountOfASpoolRow() {
        QFETCH(bool, queued);
        QFETCH(int, pages);
        QFETCH(QString, problem);
        const QByteArray row = R"({"Id":"1f","Status":1,"Pages":)" + QByteArray::number(pages) + R"(,"Recipient":{"FaxNumber":"5550100"}})";
        const std::optional<QVariantMap> props = propertiesFromJson(row);
        QVERIFY(props.has_value());
        QCOMPARE(propertiesProblem(queued ? Folder::Queue : Folder::Sent, *props), problem);
    }
};

QTEST_GUILESS_MAIN(TestFaxSubmitParse)
#include "tst_faxsubmitparse.moc"
