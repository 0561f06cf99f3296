// What mail readers see of the fax items in the real Maildir, read by Python's email package
// with its RFC 5322 rules: headers without defects, every date parseable and true to the
// fax's time and offset in summer, an author for every item, the recipient's text kept, a
// fax image that saves as a .tif file, a plain-text part for outgoing faxes, unread items
// in new/, files dated by their fax; and the same file whichever way the item was made.
// Runs in a time zone with summer time (TZ is set by the test's CMake rules).
#include "BridgeTestKit.h"
#include "MailCheck.h"
#include "TestSupport.h"
#include "bridge/FaxItems.h"
#include "job/FaxJob.h"
#include "services/CWinReg.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTimeZone>
#include <pwd.h>
#include <unistd.h>

using namespace sendmere;
using namespace Qt::StringLiterals;

namespace {

using test::folderDir;
using test::mailRoot;

// The message files of a folder, as "new/name" or "cur/name".
QStringList messageFiles(int folder) {
    QStringList files;
    for (const QString &sub : {u"new"_s, u"cur"_s})
        for (const QString &name : QDir(folderDir(folder) + u'/' + sub).entryList(QDir::Files, QDir::Name)) files << sub + u'/' + name;
    return files;
}

void emptyStore() {
    test::emptyMailStore();
    QDir(mailRoot() + u".index"_s).removeRecursively();
}

// What Python's email package makes of the files, by path.
QJsonObject mailView(const QStringList &paths) {
    QProcess python;
    python.start(u"python3"_s, QStringList{qEnvironmentVariable("SENDMERE_SOURCE_DIR") + u"/tests/bridge/mailview.py"_s} + paths);
    if (!python.waitForFinished(30000) || python.exitCode() != 0) {
        qWarning("%s", python.readAllStandardError().constData());
        return {};
    }
    return QJsonDocument::fromJson(python.readAllStandardOutput()).object();
}

QStringList strings(const QJsonValue &list) {
    QStringList out;
    for (const QJsonValue &v : list.toArray()) out << (v.isArray() ? strings(v).join(u" | "_s) : v.toString());
    return out;
}

QDateTime berlin(int y, int mo, int d, int h, int mi) { return QDateTime(QDate(y, mo, d), QTime(h, mi), QTimeZone("Europe/Berlin")); }

// Headers of a whole file (without the ones that differ from any one write to the next).
QStringList topHeaders(const QString &path) {
    const QByteArray bytes = test::readFile(path);
    const QByteArray head = bytes.left(bytes.indexOf("\n\n"));
    QStringList lines;
    for (const QByteArray &line : head.split('\n')) {
        if (line.startsWith(' ') || line.startsWith('\t')) {
            if (!lines.isEmpty()) lines.last() += QString::fromUtf8(line);
            continue;
        }
        lines << QString::fromUtf8(line);
    }
    return lines.filter(QRegularExpression(u"^(?!Message-Id:|Content-Type:)"_s, QRegularExpression::CaseInsensitiveOption));
}

void setSessionRegistered(bool registered, QString &clsid) {
    CWinReg classes;
    QVERIFY(classes.OpenKey(classes.HKEY_CLASSES_ROOT(), u"MAPI.Session\\CLSID"_s, false));
    if (!registered) clsid = classes.GetStringValue(QString());
    QVERIFY(classes.SetStringValue(QString(), registered ? clsid : QString()));
    classes.CloseKey();
}

}  // namespace

class TestMailHeaders : public QObject {
    Q_OBJECT

    fax::FaxServer m_server;
    std::optional<fax::FaxOutgoingJob> m_job;
    std::optional<fax::FaxMessage> m_sent, m_received;

    void mirrorAll() {
        mSend::GenerateOutlookOutboxFax(*m_job);
        mSend::GenerateOutlookSentFax(*m_sent);
        mSend::GenerateOutlookInboxFax(*m_received);
    }

private Q_SLOTS:
    void initTestCase() {
        QCOMPARE(qEnvironmentVariable("TZ"), u"Europe/Berlin"_s);
        // A job due next summer, a fax sent and one received last summer: 0x100 to 0x102.
        test::SpoolFill fill;
        fill.jobs.append({berlin(2027, 7, 15, 10, 30), fax::StatusPending});
        fill.sent.append(berlin(2026, 7, 14, 9, 15));
        fill.received.append(berlin(2026, 7, 14, 9, 20));
        test::refillSpool(fill);
        m_server.Connect(QString());
        m_job = m_server.Folders().OutgoingQueue().GetJob(test::queuedJobIds(m_server).value(0));
        m_sent = m_server.Folders().OutgoingArchive().GetMessage(test::archivedIds(m_server.Folders().OutgoingArchive()).value(0));
        m_received = m_server.Folders().IncomingArchive().GetMessage(test::archivedIds(m_server.Folders().IncomingArchive()).value(0));
        mCommon::Start(false);
        // The user never saved sender information.
        QVERIFY(faxJob().SenderFullName.isEmpty() && faxJob().SenderfaxNumber.isEmpty());
        test::clearErrorLog();
    }

    void itemsReadAsMailReadersReadThem() {
        emptyStore();
        mirrorAll();
        QCOMPARE(test::errorLogLines(), QStringList());

        // Unread items nobody has seen are new mail; the Outbox item is read.
        const QStringList inbox = messageFiles(mail::FolderInbox), sent = messageFiles(mail::FolderSentItems),
                          outbox = messageFiles(mail::FolderOutbox);
        QCOMPARE(inbox.size(), 1);
        QVERIFY2(inbox[0].startsWith(u"new/"_s) && !inbox[0].contains(u':'), qPrintable(inbox[0]));
        QCOMPARE(sent.size(), 1);
        QVERIFY2(sent[0].startsWith(u"new/"_s), qPrintable(sent[0]));
        QCOMPARE(outbox.size(), 1);
        QVERIFY2(outbox[0].startsWith(u"cur/"_s) && outbox[0].endsWith(u":2,S"_s), qPrintable(outbox[0]));
        const QString inboxFile = folderDir(mail::FolderInbox) + u'/' + inbox[0];
        const QString sentFile = folderDir(mail::FolderSentItems) + u'/' + sent[0];
        const QString outboxFile = folderDir(mail::FolderOutbox) + u'/' + outbox[0];
        QVERIFY(test::itemCount(mail::FolderInbox) == 1 && test::itemCount(mail::FolderSentItems) == 1);

        const QJsonObject view = mailView({inboxFile, sentFile, outboxFile});
        QCOMPARE(view.size(), 3);
        const passwd *account = ::getpwuid(::getuid());
        QVERIFY(account);
        const QString login = QString::fromLocal8Bit(account->pw_name);
        struct Expected {
            QString file;
            QDateTime time;
            bool received;
        };
        const Expected rows[] = {{inboxFile, m_received->TransmissionEnd(), true},
                                 {sentFile, m_sent->OriginalScheduledTime(), false},
                                 {outboxFile, m_job->OriginalScheduledTime(), false}};
        for (const Expected &row : rows) {
            const QJsonObject seen = view.value(row.file).toObject();
            QVERIFY2(strings(seen[u"defects"_s]).isEmpty(), qPrintable(strings(seen[u"defects"_s]).join(u'\n') + u' ' + row.file));
            // The true time with the offset of summer time, while the properties keep the bias.
            QCOMPARE(seen[u"date"_s].toString(), row.time.toTimeZone(QTimeZone("Europe/Berlin")).toString(Qt::ISODate));
            QVERIFY2(seen[u"date"_s].toString().endsWith(u"+02:00"_s), qPrintable(seen[u"date"_s].toString()));
            QCOMPARE(strings(seen[u"received"_s]), row.received ? QStringList{seen[u"date"_s].toString()} : QStringList());
            QCOMPARE(QFileInfo(row.file).lastModified(), row.time);
            const QStringList from = strings(seen[u"from"_s]);
            QCOMPARE(from.size(), 1);
            if (row.received)
                QCOMPARE(from[0], u"5550199 | FAX=5550199@fax.invalid"_s);  // the sending station
            else
                QVERIFY2(from[0].contains(u" | "_s + login + u'@'), qPrintable(from[0]));
            // The fax image saves as a .tif file.
            QStringList files;
            for (const QJsonValue &part : seen[u"parts"_s].toArray())
                if (part[u"type"_s].toString() == u"image/tiff"_s) files << part[u"filename"_s].toString();
            QCOMPARE(files, QStringList{u"FaxImage.tif"_s});
        }
        // The To text of outgoing faxes is the name the item shows, with the fax address.
        for (const QString &file : {sentFile, outboxFile})
            QCOMPARE(strings(view.value(file)[u"to"_s]), QStringList{u"Ann[Fax:111] | FAX=111@fax.invalid"_s});
        // A text part for readers without HTML: subject, number, pages and time.
        const auto plainText = [&](const QString &file) {
            for (const QJsonValue &part : view.value(file)[u"parts"_s].toArray())
                if (part[u"type"_s].toString() == u"text/plain"_s) return part[u"text"_s].toString();
            return QString();
        };
        QCOMPARE(plainText(sentFile).trimmed(), u"Subject: Sent 257\nFax number: 111\nPages: 1\nTime: 2026-07-14 09:15"_s);
        QCOMPARE(plainText(outboxFile).trimmed(), u"Subject: Queued 256\nFax number: 111\nPages: 1\nTime: 2027-07-15 10:30"_s);
        QCOMPARE(plainText(inboxFile).trimmed(), u"Sendmere"_s);  // the CSID, as before

        // The item keeps what it showed: the attachment's name and the biased time property.
        mail::MailNamespace *ns = mCommon::GetMailNamespace();
        QVERIFY(ns);
        auto item = ns->GetDefaultFolder(mail::FolderSentItems)->Items()->Item(1);
        QCOMPARE(item->attachmentDisplayName(1), u"FaxImage"_s);
        QCOMPARE(item->To(), u"Ann[Fax:111]"_s);
        const int bias = -QTimeZone::systemTimeZone().standardTimeOffset(QDateTime::currentDateTime()) / 60;
        QCOMPARE(bias, -60);
        QCOMPARE(item->property(mail::tag::PR_CLIENT_SUBMIT_TIME).toDateTime(),
                 QDateTime(QDate(2026, 7, 14), QTime(8, 15), Qt::UTC));
        QCOMPARE(item->Date(), m_sent->OriginalScheduledTime());
        // Marked read, an item leaves new/ for cur/ with the seen flag, its time kept.
        auto received = ns->GetDefaultFolder(mail::FolderInbox)->Items()->Item(1);
        received->setUnRead(false);
        received->Save();
        const QStringList after = messageFiles(mail::FolderInbox);
        QCOMPARE(after.size(), 1);
        QVERIFY2(after[0].startsWith(u"cur/"_s) && after[0].endsWith(u":2,S"_s), qPrintable(after[0]));
        QCOMPARE(QFileInfo(folderDir(mail::FolderInbox) + u'/' + after[0]).lastModified(), m_received->TransmissionEnd());
        mCommon::ShutDown();
    }

    // Through the messaging session or through the mail client's folder, an item ends as the
    // same file: the same headers, no Received line on outgoing faxes and the same Date.
    void bothWaysEndWithTheSameFile() {
        QMap<int, QStringList> throughSession;
        emptyStore();
        mirrorAll();
        for (int folder : {mail::FolderInbox, mail::FolderSentItems, mail::FolderOutbox})
            throughSession[folder] = topHeaders(folderDir(folder) + u'/' + messageFiles(folder).value(0));
        for (int folder : {mail::FolderSentItems, mail::FolderOutbox})
            QVERIFY2(throughSession[folder].filter(u"Received:"_s).isEmpty(), qPrintable(throughSession[folder].join(u'\n')));

        emptyStore();
        QString clsid;
        setSessionRegistered(false, clsid);
        QVERIFY(!mCommon::GetCdoSession());
        mirrorAll();
        for (int folder : {mail::FolderInbox, mail::FolderSentItems, mail::FolderOutbox})
            QCOMPARE(topHeaders(folderDir(folder) + u'/' + messageFiles(folder).value(0)), throughSession[folder]);
        setSessionRegistered(true, clsid);
        QCOMPARE(test::errorLogLines(), QStringList());
        mCommon::ShutDown();
    }
};

QTEST_MAIN(TestMailHeaders)
#include "tst_mailheaders.moc"
