// What mail readers (Python's email package) see of the fax items in the real Maildir; TZ has summer time.
#include "BridgeTestKit.h"
#include "bridge/FaxItems.h"

#include <QTimeZone>
#include <pwd.h>
#include <unistd.h>

using namespace sendmere;
using namespace sendmere::test;
using mail::FolderInbox, mail::FolderOutbox, mail::FolderSentItems;

namespace {

// The message file of a folder that holds just one, as "new/name" or "cur/name"; its path with full.
QString messageFile(int folder, bool full = false) {
    QStringList files;
    for (const QString &sub : {u"new"_s, u"cur"_s})
        for (const QString &name : QDir(folderDir(folder) + u'/' + sub).entryList(QDir::Files)) files << sub + u'/' + name;
    return files.size() != 1 ? u"%1 files"_s.arg(files.size()) : (full ? folderDir(folder) + u'/' : QString()) + files[0];
}

QDateTime berlin(int y, int mo, int d, int h, int mi) { return QDateTime(QDate(y, mo, d), QTime(h, mi), QTimeZone("Europe/Berlin")); }

// Headers of a whole file (without the ones that differ from any one write to the next).
QStringList topHeaders(const QString &path) {
    const QByteArray bytes = readFile(path);
    QStringList lines;
    for (const QByteArray &line : bytes.left(bytes.indexOf("\n\n")).split('\n'))
        if ((line.startsWith(' ') || line.startsWith('\t')) && !lines.isEmpty()) lines.last() += QString::fromUtf8(line);
        else lines << QString::fromUtf8(line);
    return lines.filter(QRegularExpression(u"^(?!Message-Id:|Content-Type:)"_s, QRegularExpression::CaseInsensitiveOption));
}

}  // namespace

class TestMailHeaders : public QObject {
    Q_OBJECT
    fax::FaxServer m_server;
    std::optional<fax::FaxOutgoingJob> m_job;
    std::optional<fax::FaxMessage> m_sent, m_received;

    // An empty store, then an item of each fax; their headers.
    QList<QStringList> mirrorAll() {
        emptyMailStore();
        QDir(mailRoot() + u".index"_s).removeRecursively();
        mSend::GenerateOutlookOutboxFax(*m_job);
        mSend::GenerateOutlookSentFax(*m_sent);
        mSend::GenerateOutlookInboxFax(*m_received);
        return {topHeaders(messageFile(FolderInbox, true)), topHeaders(messageFile(FolderSentItems, true)), topHeaders(messageFile(FolderOutbox, true))};
    }

private Q_SLOTS:
    void initTestCase() {
        QCOMPARE(qEnvironmentVariable("TZ"), u"Europe/Berlin"_s);
        // A job due next summer, a fax sent and one received last summer: 0x100 to 0x102.
        refillSpool({{{berlin(2027, 7, 15, 10, 30), fax::StatusPending}}, {berlin(2026, 7, 14, 9, 15)}, {berlin(2026, 7, 14, 9, 20)}});
        m_server.Connect(QString());
        m_job = m_server.Folders().OutgoingQueue().GetJob(queuedJobIds(m_server).value(0));
        m_sent = m_server.Folders().OutgoingArchive().GetMessage(archivedIds(m_server.Folders().OutgoingArchive()).value(0));
        m_received = m_server.Folders().IncomingArchive().GetMessage(archivedIds(m_server.Folders().IncomingArchive()).value(0));
        mCommon::Start(false);
        QVERIFY(faxJob().SenderFullName.isEmpty() && faxJob().SenderfaxNumber.isEmpty());  // the user never saved sender information
        clearErrorLog();
    }

    // No defects, true dates with the summer offset, authors, recipients, .tif images, text parts, new/ and cur/.
    void itemsReadAsMailReadersReadThem() {
        const QList<QStringList> throughSession = mirrorAll();
        QVERIFY(itemCount(FolderInbox) == 1 && itemCount(FolderSentItems) == 1);
        const passwd *account = ::getpwuid(::getuid());
        QVERIFY(account);
        const struct {
            int folder;
            QString file;  // as new/ or cur/ file: unread items nobody has seen are new mail
            QDateTime time;
            QString text;  // the plain-text part, for readers without HTML
        } rows[] = {{FolderInbox, u"^new/[^:]*$"_s, m_received->TransmissionEnd(), u"Sendmere"_s},  // the CSID, as before
                    {FolderSentItems, u"^new/"_s, m_sent->OriginalScheduledTime(), u"Subject: Sent 257\nFax number: 111\nPages: 1\nTime: 2026-07-14 09:15"_s},
                    {FolderOutbox, u"^cur/.*:2,S$"_s, m_job->OriginalScheduledTime(), u"Subject: Queued 256\nFax number: 111\nPages: 1\nTime: 2027-07-15 10:30"_s}};
        const QJsonObject view = mailView({messageFile(FolderInbox, true), messageFile(FolderSentItems, true), messageFile(FolderOutbox, true)});
        for (const auto &row : rows) {
            const bool received = row.folder == FolderInbox;
            QVERIFY2(QRegularExpression(row.file).match(messageFile(row.folder)).hasMatch(), qPrintable(messageFile(row.folder)));
            const QJsonObject seen = view.value(messageFile(row.folder, true)).toObject();
            QVERIFY2(strings(seen[u"defects"_s]).isEmpty(), qPrintable(strings(seen[u"defects"_s]).join(u'\n') + u' ' + row.file));
            // The true time with the offset of summer time, while the properties keep the bias.
            const QString date = seen[u"date"_s].toString();
            QCOMPARE(date, row.time.toTimeZone(QTimeZone("Europe/Berlin")).toString(Qt::ISODate));
            QVERIFY2(date.endsWith(u"+02:00"_s), qPrintable(date));
            QCOMPARE(strings(seen[u"received"_s]), received ? QStringList{date} : QStringList());
            QCOMPARE(QFileInfo(messageFile(row.folder, true)).lastModified(), row.time);
            const QStringList from = strings(seen[u"from"_s]);
            if (received) QCOMPARE(from, QStringList{u"5550199 | FAX=5550199@fax.invalid"_s});  // the sending station
            else QVERIFY2(from.size() == 1 && from[0].contains(u" | "_s + QString::fromLocal8Bit(account->pw_name) + u'@'), qPrintable(from.join(u',')));
            // The To text of outgoing faxes is the name the item shows, with the fax address.
            if (!received) QCOMPARE(strings(seen[u"to"_s]), QStringList{u"Ann[Fax:111] | FAX=111@fax.invalid"_s});
            QCOMPARE(partNames(seen, u"image/tiff"_s), QStringList{u"FaxImage.tif"_s});
            QString text;
            for (const QJsonValue &part : seen[u"parts"_s].toArray())
                if (part[u"type"_s].toString() == u"text/plain"_s) text = part[u"text"_s].toString();
            QCOMPARE(text.trimmed(), row.text);
        }

        // The item keeps what it showed: the attachment's name and the biased time property.
        mail::MailNamespace *ns = mCommon::GetMailNamespace();
        auto item = ns->GetDefaultFolder(FolderSentItems)->Items()->Item(1);
        QCOMPARE(item->attachmentDisplayName(1), u"FaxImage"_s);
        QCOMPARE(item->To(), u"Ann[Fax:111]"_s);
        QCOMPARE(item->property(mail::tag::PR_CLIENT_SUBMIT_TIME).toDateTime(), QDateTime(QDate(2026, 7, 14), QTime(8, 15), Qt::UTC));
        QCOMPARE(item->Date(), m_sent->OriginalScheduledTime());
        // Marked read, an item leaves new/ for cur/ with the seen flag, its time kept.
        auto inboxItem = ns->GetDefaultFolder(FolderInbox)->Items()->Item(1);
        inboxItem->setUnRead(false);
        inboxItem->Save();
        QVERIFY2(messageFile(FolderInbox).startsWith(u"cur/"_s) && messageFile(FolderInbox).endsWith(u":2,S"_s), qPrintable(messageFile(FolderInbox)));
        QCOMPARE(QFileInfo(messageFile(FolderInbox, true)).lastModified(), m_received->TransmissionEnd());

        // Through the mail client's folder instead of the messaging session, each item ends as the same file.
        const QString key = u"MAPI.Session\\CLSID"_s, clsid = registry::RegistryStore().value(registry::Root::ClassesRoot, key, QString()).value().text;
        setRegistryString(CWinReg::HKEY_CLASSES_ROOT(), key, QString(), QString());
        QCOMPARE(mirrorAll(), throughSession);
        QVERIFY(!clsid.isEmpty() && !mCommon::GetCdoSession());
        setRegistryString(CWinReg::HKEY_CLASSES_ROOT(), key, QString(), clsid);
        QCOMPARE(errorLogLines(), QStringList());
        mCommon::ShutDown();
    }
};

QTEST_MAIN(TestMailHeaders)
#include "tst_mailheaders.moc"
