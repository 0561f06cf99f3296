// The fax mail items made from real jobs and messages of the local fax service on the test's private bus, in the real Maildir store, with
// the real picture converter.
#include "FaxTestSupport.h"
#include "MailTestKit.h"
#include "bridge/FaxItems.h"
#include "bridge/FaxMessage.h"
#include "job/FaxJob.h"
#include "platform/shell/TempDir.h"
#include "session/mCommon.h"

#include <QElapsedTimer>
#include <QImage>
#include <QTemporaryDir>
#include <QTimeZone>

#include <sys/stat.h>
#include <unistd.h>

using namespace sendmere;
using namespace sendmere::fax;
using namespace sendmere::faxtest;
using namespace sendmere::mail;
using namespace sendmere::mailtest;

namespace {

const QString Picture = u"<br><IMG alt=Page1 align=baseline border=0 hspace=0 width=775 height=500 src=cid:Fax.png>"_s;

MailNamespace &mailNamespace() {
    MailNamespace *ns = mCommon::GetMailNamespace();
    if (!ns) throw AutomationError::objectNotSet();
    return *ns;
}
int itemCount(int folder) { return mailNamespace().GetDefaultFolder(folder)->count(); }
std::unique_ptr<MailItem> itemAt(int folder, int position) { return mailNamespace().GetDefaultFolder(folder)->Items()->Item(position); }
QStringList logLines(const QString &label) { return test::errorLogLines().filter(u'"' + label + u'"'); }

// The fax time as the items carry it: read as local time, moved by the standard bias.
QDateTime biased(const QDateTime &t) {
    const int bias = -QTimeZone::systemTimeZone().standardTimeOffset(QDateTime::currentDateTime()) / 60;
    const QDateTime local = t.toLocalTime();
    return QDateTime(local.date(), local.time(), Qt::UTC).addSecs(bias * 60);
}

// The properties of an item by their tags, and the values they should have, as text.
QStringList propertiesOf(const MailItem &item, const QList<quint32> &tags) {
    QStringList texts;
    for (quint32 t : tags) texts << item.property(t).toString();
    return texts;
}
QStringList asText(const QVariantList &values) {
    QStringList texts;
    for (const QVariant &v : values) texts << v.toString();
    return texts;
}

const QList<quint32> InboxTags = {tag::PR_ICON_INDEX, tag::PR_MESSAGE_DELIVERY_TIME, tag::PR_RECEIVED_BY_NAME, tag::PR_RECEIVED_BY_EMAIL_ADDRESS,
                                  tag::PR_RECEIVED_BY_ADDRTYPE, tag::PR_RCVD_REPRESENTING_NAME, tag::PR_RCVD_REPRESENTING_EMAIL_ADDRESS,
                                  tag::PR_RCVD_REPRESENTING_ADDRTYPE, tag::PR_SENT_REPRESENTING_NAME, tag::PR_SENT_REPRESENTING_EMAIL_ADDRESS,
                                  tag::PR_SENT_REPRESENTING_ADDRTYPE, tag::PR_SENDER_NAME, tag::PR_SENDER_EMAIL_ADDRESS, tag::PR_SENDER_ADDRTYPE};
const QList<quint32> OutgoingTags = {tag::PR_ICON_INDEX, tag::PR_CLIENT_SUBMIT_TIME, tag::PR_DISPLAY_TO, tag::PR_SENT_REPRESENTING_NAME,
                                     tag::PR_SENT_REPRESENTING_EMAIL_ADDRESS, tag::PR_SENT_REPRESENTING_ADDRTYPE, tag::PR_SENDER_NAME,
                                     tag::PR_SENDER_EMAIL_ADDRESS, tag::PR_SENDER_ADDRTYPE};

// A fax TIFF of blank pages; of several, the first is black.
QString faxTiff(const QString &path, int pages) {
    render::FaxTiffWriter writer(path);
    for (int i = 0; i < pages; ++i) {
        QImage page(1728, 2200, QImage::Format_Mono);
        page.fill(i == 0 && pages > 1 ? 0 : 1);
        writer.addPage(page);
    }
    writer.close();
    return path;
}

}  // namespace

class FaxItemsTest : public QObject {
    Q_OBJECT

    FaxServer m_server;
    QStringList m_events;
    std::optional<FaxMessage> m_sent, m_received, m_received2;
    std::optional<FaxOutgoingJob> m_job;

    // Sends a fax through the loopback modem; returns the incoming message's id.
    QString sendThrough(int priority, QString *sentId = nullptr) {
        FaxDocument doc = document(u"5550100"_s, writeTextFile(u"body.txt"_s, u"Hello fax\n"_s));
        doc.Priority = priority;
        const QString id = doc.ConnectedSubmit(m_server).first();
        if (sentId) *sentId = id;
        for (QDeadlineTimer deadline(25000); !deadline.hasExpired(); QTest::qWait(20)) {
            const qsizetype at = m_events.indexOf(u"SentAdded "_s + id);
            for (qsizetype i = at + 1; at >= 0 && i < m_events.size(); ++i)
                if (m_events[i].startsWith(u"ReceivedAdded "_s)) return m_events[i].section(u' ', 1);
        }
        return {};
    }

    void clearFolders() {
        for (int folder : {FolderInbox, FolderOutbox, FolderSentItems, FolderDeletedItems})
            for (auto items = mailNamespace().GetDefaultFolder(folder)->Items(); items->count() > 0;) {
                items->Item(1)->Delete();
                if (folder != FolderDeletedItems) itemAt(FolderDeletedItems, 1)->Delete();
            }
    }

private Q_SLOTS:
    void initTestCase() {
        writeConfig(u"[Transmission]\nSecondsPerPage=0\nDialDelaySeconds=0.2\n"
                    "[Device1]\nName=Sendmere Virtual Modem\nCSID=Loop CSID\nTSID=Loop TSID\n"_s);
        QVERIFY(installConverter(test::binDir()));
        m_server.Connect(QString());
        connect(&m_server, &FaxServer::OnOutgoingMessageAdded, this, [this](FaxServer *, const QString &id) { m_events << u"SentAdded "_s + id; });
        connect(&m_server, &FaxServer::OnIncomingMessageAdded, this, [this](FaxServer *, const QString &id) { m_events << u"ReceivedAdded "_s + id; });
        m_server.ListenToServerEvents(0x3ff);
        mCommon::Start(false);  // the mail store exists: nothing to report
        QVERIFY(test::errorLogLines().isEmpty() && mCommon::GetOutlookApp() && mCommon::GetMailNamespace() && !faxJob().TempDir.isEmpty());
        faxJob().SenderFullName = u"Bob Sender"_s;
        faxJob().SenderfaxNumber = u"5550111"_s;
        QString sentId;
        const QString receivedId = sendThrough(PriorityHigh, &sentId), receivedId2 = sendThrough(PriorityLow);
        QVERIFY(!receivedId.isEmpty() && !receivedId2.isEmpty());
        m_sent = m_server.Folders().OutgoingArchive().GetMessage(sentId);
        m_received = m_server.Folders().IncomingArchive().GetMessage(receivedId);
        m_received2 = m_server.Folders().IncomingArchive().GetMessage(receivedId2);
        FaxDocument later = document(u"5550102"_s, writeTextFile(u"later.txt"_s, u"later\n"_s), 3600);
        later.Subject = u"Held fax"_s;
        m_job = m_server.Folders().OutgoingQueue().GetJob(later.ConnectedSubmit(m_server).first());
        QCOMPARE(m_job->Status(), int(StatusPending));
        test::clearErrorLog();
    }

    void cleanupTestCase() { if (m_job) m_job->Cancel(); }

    // Each member, called twice for one fax, leaves one item with the fax's fields, its image, its picture, its properties in order and
    // its importance where a mail reader looks.
    void eachMemberMirrorsItsFaxOnce() {
        for (int round = 0; round < 2; ++round) {
            mSend::GenerateOutlookSentFax(*m_sent);
            mSend::GenerateOutlookInboxFax(*m_received);
            mSend::GenerateOutlookOutboxFax(*m_job);
        }
        QCOMPARE(test::errorLogLines(), QStringList());
        QCOMPARE((QList<int>{itemCount(FolderSentItems), itemCount(FolderInbox), itemCount(FolderOutbox)}), (QList<int>{1, 1, 1}));
        QVERIFY(!QFileInfo::exists(mCommon::GetTempDir() + u"Plov.tmp"_s));
        QVERIFY(FileExists(faxJob().TempDir + m_sent->CSID() + u".tiff"_s));

        QTemporaryDir dir;
        m_sent->CopyTiff(dir.filePath(u"copy.tiff"_s));
        auto sent = itemAt(FolderSentItems, 1);
        QCOMPARE((QVariantList{sent->Subject(), sent->To(), sent->UnRead(), sent->Importance(), sent->userProperty(u"FaxID"_s), sent->HTMLBody(),
                               sent->attachmentCount(), sent->attachmentDisplayName(1), sent->attachmentData(1), sent->attachmentDisplayName(2),
                               sent->attachmentField(2, tag::PR_ATTACH_MIME_TAG), sent->attachmentField(2, tag::PR_ATTACH_CONTENT_ID),
                               QImage::fromData(sent->attachmentData(2), "PNG").width()}),
                 (QVariantList{u"Test fax"_s, u"Ann Example[Fax:5550100]"_s, true, 2, m_sent->Id(), Picture, 2, u"FaxImage"_s,
                               readFile(dir.filePath(u"copy.tiff"_s)), u"Fax.png"_s, u"image/png"_s, u"Page000"_s, 1728}));
        const QVariantList bob = {u"Bob Sender"_s, u"5550111"_s, u"Fax"_s};
        QCOMPARE(propertiesOf(*sent, OutgoingTags), asText(QVariantList{0x609, biased(m_sent->OriginalScheduledTime()), bob[0]} + bob + bob));

        auto inbox = itemAt(FolderInbox, 1);
        QCOMPARE((QVariantList{inbox->Subject(), inbox->To(), inbox->Body(), inbox->UnRead(), inbox->userProperty(u"FaxID"_s)}),
                 (QVariantList{u"Fax"_s, u"Bob Sender"_s, u"Loop CSID"_s, true, m_received->Id()}));
        const QVariantList tsid = {m_received->TSID(), m_received->TSID(), u"Fax"_s};
        QCOMPARE(propertiesOf(*inbox, InboxTags), asText(QVariantList{0x609, biased(m_received->TransmissionEnd())} + bob + bob + tsid + tsid));

        auto outbox = itemAt(FolderOutbox, 1);
        QCOMPARE((QVariantList{outbox->Subject(), outbox->To(), outbox->Importance(), outbox->userProperty(u"FaxID"_s),
                               outbox->property(tag::PR_CLIENT_SUBMIT_TIME).toDateTime(), outbox->attachmentCount()}),
                 (QVariantList{u"Held fax"_s, u"Ann Example[Fax:5550102]"_s, 1, m_job->Id(), biased(m_job->OriginalScheduledTime()), 2}));
        const QByteArray sentFile = readFile(folderDir(u".Sent"_s) + u'/' + messageFiles(u".Sent"_s).value(0));
        QVERIFY(sentFile.contains("Importance: high") && sentFile.contains("X-Priority: 1 (Highest)"));
        QVERIFY(readFile(folderDir(u".Outbox"_s) + u'/' + messageFiles(u".Outbox"_s).value(0)).contains("Importance: normal"));
        mCommon::ShutDown();
    }

    // A cancelled or cancelling job gets no item. Removal matches the FaxID and nothing else; a match at the first position is also
    // taken out of Deleted Items, a later one stays there.
    void cancelledJobsAndRemoval() {
        for (int status : {int(StatusCancelled), int(StatusCancelling)}) {
            QVariantMap properties = m_job->properties();
            properties.insert(u"Status"_s, status);
            clearFolders();
            mSend::GenerateOutlookOutboxFax(FaxOutgoingJob(m_server.connection(), properties));
            QCOMPARE(itemCount(FolderOutbox), 0);
        }
        for (const FaxMessage *received : {&*m_received, &*m_received2}) mSend::GenerateOutlookInboxFax(*received);
        const auto counts = [] { return QList<int>{itemCount(FolderInbox), itemCount(FolderDeletedItems)}; };
        mSend::RemovedOutlookFax(u"no-such-fax"_s, FolderInbox);
        mSend::RemovedOutlookFax(m_received->Id(), FolderSentItems);
        QCOMPARE(counts(), (QList<int>{2, 0}));
        mSend::RemovedOutlookFax(m_received2->Id(), FolderInbox);  // position 2
        QCOMPARE(counts(), (QList<int>{1, 1}));
        mSend::RemovedOutlookFax(m_received->Id(), FolderInbox);  // position 1: deleted for good
        QCOMPARE(counts(), (QList<int>{0, 1}));
        QCOMPARE(itemAt(FolderDeletedItems, 1)->userProperty(u"FaxID"_s), QVariant(m_received2->Id()));
        QCOMPARE(test::errorLogLines(), QStringList());
        mCommon::ShutDown();
    }

    // A missing converter gives an item without its picture; a fax image that cannot be copied gives a Sent item without it and no
    // Outbox item, with or without the session; on a full disk the Sent member goes on past each failure and reports the last, the
    // item is written whole or not at all. Each is logged under its member's name.
    void failuresFollowTheRules() {
        clearFolders();
        removeConverter();
        mSend::GenerateOutlookSentFax(*m_sent);
        QVERIFY(installConverter(test::binDir()));
        auto plain = itemAt(FolderSentItems, 1);
        QCOMPARE((QVariantList{plain->HTMLBody(), plain->attachmentCount(), plain->attachmentDisplayName(1)}), (QVariantList{QString(), 1, u"FaxImage"_s}));
        QVERIFY(logLines(u"msend.generateFaxMessage"_s).size() == 1 && logLines(u"msend.generateFaxMessage"_s).first().startsWith(u"53,"_s));
        QCOMPARE(logLines(u"msend.SuperShell"_s).size(), 1);

        clearFolders();
        test::clearErrorLog();
        const QString tempDir = faxJob().TempDir;
        faxJob().TempDir = QDir::tempPath() + u"/no/such/dir/"_s;
        mSend::GenerateOutlookSentFax(*m_sent);
        auto bare = itemAt(FolderSentItems, 1);
        QCOMPARE((QVariantList{itemCount(FolderSentItems), bare->attachmentCount(), bare->HTMLBody(), bare->userProperty(u"FaxID"_s)}),
                 (QVariantList{1, 0, QString(), m_sent->Id()}));
        QCOMPARE(logLines(u"msend.GenerateOutlookSentFax"_s).size(), 1);
        for (int withSession = 1; withSession >= 0; --withSession) {
            if (!withSession) clearFolders(), unregister(SessionClass), mCommon::ShutDown();
            mSend::GenerateOutlookOutboxFax(*m_job);
            QCOMPARE(itemCount(FolderOutbox), 0);
            QCOMPARE(logLines(u"msend.GenerateOutlookOutboxFax"_s).size(), 2 - withSession);
        }
        reregister(SessionClass);
        faxJob().TempDir = tempDir;

        clearFolders();
        test::clearErrorLog();
        {
            FileSizeLimit limit(1024);
            mSend::GenerateOutlookSentFax(*m_sent);
        }
        const QStringList full = logLines(u"msend.GenerateOutlookSentFax"_s);
        QVERIFY2(full.size() == 1 && full[0].startsWith(u"61,\"Disk full\""_s), qPrintable(test::errorLogLines().join(u'\n')));
        QCOMPARE(itemCount(FolderSentItems), 0);
        QVERIFY(QDir(folderDir(u".Sent"_s) + u"/tmp"_s).isEmpty());
        test::clearErrorLog();
        mCommon::ShutDown();
    }

    // The CSID comes from the remote fax machine: a harmless one names the image copy as it is,
    // one that could name another folder is made safe, and the copy stays in the folder.
    void theImageCopyStaysInTheTempFolder() {
        const QString dir = u"/home/u/.cache/sendmere/"_s;
        const std::pair<QString, QString> rows[] = {
            {u"Loop CSID"_s, u"Loop CSID.tiff"_s}, {u"+49 30 1234"_s, u"+49 30 1234.tiff"_s}, {QString(), u".tiff"_s},
            {u"a.b"_s, u"a.b.tiff"_s}, {u"../../.bashrc"_s, u"______.bashrc.tiff"_s}, {u"/etc/passwd"_s, u"_etc_passwd.tiff"_s},
            {u".."_s, u"__.tiff"_s}, {u"..\\x"_s, u"___x.tiff"_s}, {u"a\nb"_s, u"a_b.tiff"_s},
            {QString(300, u'x'), QString(100, u'x') + u".tiff"_s}};
        for (const auto &[csid, file] : rows) {
            const QString path = mSend::faxImageCopyPath(dir, csid);
            QCOMPARE(path, dir + file);
            QCOMPARE(QFileInfo(path).absolutePath() + u'/', dir);
        }
    }

    // Another user owns the shared temporary folder and made the picture folder there first, with links to the user's files under the
    // converter's names: the program works in a private folder of its own instead and writes nothing through the links. A private folder
    // that is not private (another owner, open to others, a link) is never used.
    void aSharedTempDirIsNeverUsed() {
        constexpr uid_t Other = 65534;
        const QString victim = QDir::homePath() + u"/thesis.txt"_s, shared = QDir::tempPath() + u"/shared-tmp"_s, planted = shared + u"/Plov.tmp"_s;
        const auto give = [](const QString &path, mode_t mode) {  // to the other user; a link keeps its own mode
            const QByteArray name = QFile::encodeName(path);
            return (mode == 0 || ::chmod(name.constData(), mode) == 0) && ::lchown(name.constData(), Other, Other) == 0;
        };
        mailtest::writeFile(victim, "my thesis");
        QVERIFY(QDir().mkpath(planted) && give(shared, 01777) && give(planted, 01777));
        for (const char *name : {"/Fax.png.part", "/Fax.png", "/Fax.tiff"})
            QVERIFY(QFile::link(victim, planted + QLatin1String(name)) && give(planted + QLatin1String(name), 0));
        const QByteArray savedTmpdir = qgetenv("TMPDIR");
        qputenv("TMPDIR", QFile::encodeName(shared));
        const QString work = mCommon::GetTempDir();
        QVERIFY2(!work.startsWith(shared), qPrintable(work));
        QVERIFY(shell::isPrivateFolder(work.chopped(1)));
        QTemporaryDir dir;
        auto item = mailNamespace().GetDefaultFolder(FolderOutbox)->addItem(u"IPM.Note"_s);
        {
            ObeyFilePermissions asTheUser;  // the other user's links cannot be removed
            mSend::generateFaxMessage(faxTiff(dir.filePath(u"Fax.tiff"_s), 1), *item);
        }
        qputenv("TMPDIR", savedTmpdir);
        QCOMPARE(readFile(victim), QByteArray("my thesis"));
        QCOMPARE(item->HTMLBody(), Picture);
        QVERIFY(!QFileInfo::exists(work + u"Plov.tmp"_s));
        item->Delete();
        itemAt(FolderDeletedItems, 1)->Delete();

        const QString base = QDir::tempPath() + u"/private-base"_s;
        QVERIFY(QDir().mkpath(base + u"/taken"_s) && QDir().mkpath(base + u"/open"_s) && give(base + u"/taken"_s, 0700));
        QCOMPARE(::chmod(QFile::encodeName(base + u"/open"_s).constData(), 0777), 0);
        QVERIFY(QFile::link(base + u"/elsewhere"_s, base + u"/link"_s));
        for (const char *name : {"taken", "open", "link"}) QCOMPARE(shell::privateFolderIn(base, QLatin1String(name)), QString());
        QCOMPARE(shell::privateFolderIn(base, u"mine"_s), base + u"/mine"_s);
        QCOMPARE(QFileInfo(base + u"/mine"_s).permissions() & 0x0077, QFileDevice::Permissions());
        test::clearErrorLog();
    }

    // The body picture: a leftover working folder is emptied and removed, a file already called Fax.tiff is used where it is, a multi-page
    // fax gives one picture of its first page; a converter that is missing or hangs is logged, one that hangs is ended.
    void messageBodyFromTheConverter() {
        const QString work = mCommon::GetTempDir() + u"Plov.tmp"_s;
        mailtest::writeFile(work + u"/old.png"_s, "stale");
        mailtest::writeFile(work + u"/Fax.png"_s, "stale picture");
        QFile::setPermissions(work + u"/old.png"_s, QFileDevice::ReadOwner);
        QTemporaryDir dir;
        const QString tiff = faxTiff(dir.filePath(u"Fax.tiff"_s), 3);
        auto item = mailNamespace().GetDefaultFolder(FolderOutbox)->addItem(u"IPM.Note"_s);
        item->setSubject(u"Body only"_s);
        mSend::generateFaxMessage(tiff, *item);
        QVERIFY(!QFileInfo::exists(work));
        QVERIFY(QFileInfo::exists(tiff));  // the caller's file stays
        QCOMPARE(item->HTMLBody(), Picture);
        QCOMPARE(item->attachmentCount(), 1);
        const QImage picture = QImage::fromData(item->attachmentData(1), "PNG");
        QCOMPARE(picture.size(), QSize(1728, 2200));
        QCOMPARE(qGray(picture.pixel(800, 1100)), 0);  // page 1
        QVERIFY(!item->EntryID().isEmpty());           // saved by the safe item
        item->Delete();
        itemAt(FolderDeletedItems, 1)->Delete();

        QVERIFY(!mSend::SuperShell(u"/no/such/program *.*"_s, dir.path(), 0, 0x80));
        QVERIFY(mSend::SuperShell(u"/bin/true"_s, dir.path(), 0, 0x80));
        QCOMPARE(logLines(u"msend.SuperShell"_s).size(), 1);
        test::clearErrorLog();
        QElapsedTimer clock;
        clock.start();
        QVERIFY(mSend::SuperShell(u"/bin/sleep 60"_s, dir.path(), 0, 0x80, 500));
        QVERIFY(clock.elapsed() < 30000);
        QCOMPARE(logLines(u"msend.SuperShell"_s).size(), 1);
        QVERIFY(logLines(u"msend.SuperShell"_s).first().contains(u"did not finish"_s));
        test::clearErrorLog();
    }
};

QTEST_MAIN(FaxItemsTest)
#include "tst_faxitems.moc"
