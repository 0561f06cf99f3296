// The fax mail items made from real jobs and messages of the local fax service on the
// test's private bus, in the real Maildir store, with the real picture converter, and read
// back by a real mail server.
#include "FaxTestSupport.h"
#include "MailTestKit.h"
#include "TestSupport.h"
#include "app/mCommon.h"
#include "bridge/FaxItems.h"
#include "bridge/FaxMessage.h"
#include "job/FaxJob.h"
#include "platform/mail/MailClient.h"

#include <QCryptographicHash>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimeZone>

#include <grp.h>
#include <pwd.h>

using namespace sendmere;
using namespace sendmere::fax;
using namespace sendmere::faxtest;
using namespace sendmere::mail;
using namespace sendmere::mailtest;

namespace {

const QString Picture = QStringLiteral("<br><IMG alt=Page1 align=baseline border=0 hspace=0 width=775 height=500 src=cid:Fax.png>");

MailNamespace &mailNamespace() {
    MailNamespace *ns = mCommon::GetMailNamespace();
    if (!ns) throw AutomationError::objectNotSet();
    return *ns;
}
int itemCount(int folder) { return mailNamespace().GetDefaultFolder(folder)->count(); }
std::unique_ptr<MailItem> itemAt(int folder, int position) { return mailNamespace().GetDefaultFolder(folder)->Items()->Item(position); }

// The fax time as the items carry it: read as local time, moved by the standard bias.
QDateTime biased(const QDateTime &t) {
    const int bias = -QTimeZone::systemTimeZone().standardTimeOffset(QDateTime::currentDateTime()) / 60;
    const QDateTime local = t.toLocalTime();
    return QDateTime(local.date(), local.time(), Qt::UTC).addSecs(bias * 60);
}

QString tiffOf(const FaxMessage &message) {
    QTemporaryDir dir;
    dir.setAutoRemove(false);
    const QString path = dir.filePath(QStringLiteral("copy.tiff"));
    message.CopyTiff(path);
    return path;
}

// Everything a user or a mail reader sees of an item, as lines, so that two items compare.
QStringList describe(const MailItem &item, const QList<quint32> &tags) {
    QStringList lines = {item.Subject(), item.To(), item.Body(), item.HTMLBody(), QString::number(item.UnRead()),
                         QString::number(item.Importance()), item.userProperty(QStringLiteral("FaxID")).toString(),
                         QString::number(item.attachmentCount())};
    for (int i = 1; i <= item.attachmentCount(); ++i)
        lines << item.attachmentDisplayName(i) + u' ' + item.attachmentField(i, tag::PR_ATTACH_MIME_TAG).toString() + u' ' +
                     item.attachmentField(i, tag::PR_ATTACH_CONTENT_ID).toString() + u' ' +
                     QString::fromLatin1(QCryptographicHash::hash(item.attachmentData(i), QCryptographicHash::Sha1).toHex());
    for (quint32 t : tags) lines << QString::number(t, 16) + u'=' + item.property(t).toString();
    return lines;
}

const QList<quint32> InboxTags = {tag::PR_ICON_INDEX, tag::PR_MESSAGE_DELIVERY_TIME, tag::PR_RECEIVED_BY_NAME,
                                  tag::PR_RECEIVED_BY_EMAIL_ADDRESS, tag::PR_RECEIVED_BY_ADDRTYPE, tag::PR_RCVD_REPRESENTING_NAME,
                                  tag::PR_RCVD_REPRESENTING_EMAIL_ADDRESS, tag::PR_RCVD_REPRESENTING_ADDRTYPE,
                                  tag::PR_SENT_REPRESENTING_NAME, tag::PR_SENT_REPRESENTING_EMAIL_ADDRESS,
                                  tag::PR_SENT_REPRESENTING_ADDRTYPE, tag::PR_SENDER_NAME, tag::PR_SENDER_EMAIL_ADDRESS,
                                  tag::PR_SENDER_ADDRTYPE};
const QList<quint32> OutgoingTags = {tag::PR_ICON_INDEX, tag::PR_CLIENT_SUBMIT_TIME, tag::PR_DISPLAY_TO,
                                     tag::PR_SENT_REPRESENTING_NAME, tag::PR_SENT_REPRESENTING_EMAIL_ADDRESS,
                                     tag::PR_SENT_REPRESENTING_ADDRTYPE, tag::PR_SENDER_NAME, tag::PR_SENDER_EMAIL_ADDRESS,
                                     tag::PR_SENDER_ADDRTYPE};

QStringList logLines(const QString &label) { return test::errorLogLines().filter(QLatin1Char('"') + label + QLatin1Char('"')); }

QString defaultMailClient() {
    registry::RegistryStore store;
    const auto value = store.value(registry::Root::LocalMachine, QStringLiteral("SOFTWARE\\Clients\\Mail"), QString());
    return value ? value->text : QStringLiteral("<none>");
}

}  // namespace

class FaxItemsTest : public QObject {
    Q_OBJECT

    FaxServer m_server;
    QStringList m_events;
    std::optional<FaxMessage> m_sent, m_received, m_received2;
    std::optional<FaxOutgoingJob> m_job;

    bool waitForEvent(const QString &event, int ms = 15000) {
        QDeadlineTimer deadline(ms);
        while (!m_events.contains(event) && !deadline.hasExpired()) QTest::qWait(20);
        return m_events.contains(event);
    }

    // Sends a fax through the loopback modem; returns the outgoing and incoming message ids.
    QPair<QString, QString> sendThrough(int priority) {
        FaxDocument doc = document(QStringLiteral("5550100"), writeTextFile(QStringLiteral("body.txt"), QStringLiteral("Hello fax\n")));
        doc.Priority = priority;
        const QString id = doc.ConnectedSubmit(m_server).first();
        if (!waitForEvent(QStringLiteral("SentAdded ") + id)) return {};
        const int at = m_events.indexOf(QStringLiteral("SentAdded ") + id);
        QDeadlineTimer deadline(10000);
        while (!deadline.hasExpired()) {
            for (int i = at + 1; i < m_events.size(); ++i)
                if (m_events[i].startsWith(QStringLiteral("ReceivedAdded "))) return {id, m_events[i].section(u' ', 1)};
            QTest::qWait(20);
        }
        return {id, {}};
    }

    void clearFolders() {
        for (int folder : {FolderInbox, FolderOutbox, FolderSentItems, FolderDeletedItems}) {
            auto items = mailNamespace().GetDefaultFolder(folder)->Items();
            while (items->count() > 0) {
                auto item = items->Item(1);
                item->Delete();
                if (folder != FolderDeletedItems) mailNamespace().GetDefaultFolder(FolderDeletedItems)->Items()->Item(1)->Delete();
            }
        }
    }

private Q_SLOTS:
    void initTestCase() {
        writeConfig(QStringLiteral("[Transmission]\nSecondsPerPage=0\nDialDelaySeconds=0.2\n"
                                   "[Device1]\nName=Sendmere Virtual Modem\nCSID=Loop CSID\nTSID=Loop TSID\n"));
        QVERIFY(installConverter(test::binDir()));
        m_server.Connect(QString());
        recordEvents(m_server, m_events);
        m_server.ListenToServerEvents(0x3ff);

        mCommon::Start(false);  // the mail store exists: nothing to report
        QCOMPARE(test::errorLogLines(), QStringList());
        QVERIFY(mCommon::GetOutlookApp() && mCommon::GetMailNamespace());
        FaxJob &job = faxJob();
        QVERIFY(!job.TempDir.isEmpty());
        job.SenderFullName = QStringLiteral("Bob Sender");
        job.SenderfaxNumber = QStringLiteral("5550111");

        const auto [sentId, receivedId] = sendThrough(PriorityHigh);
        QVERIFY(!receivedId.isEmpty());
        m_sent = m_server.Folders().OutgoingArchive().GetMessage(sentId);
        m_received = m_server.Folders().IncomingArchive().GetMessage(receivedId);
        const auto [sentId2, receivedId2] = sendThrough(PriorityLow);
        QVERIFY(!receivedId2.isEmpty());
        m_received2 = m_server.Folders().IncomingArchive().GetMessage(receivedId2);

        FaxDocument later = document(QStringLiteral("5550102"), writeTextFile(QStringLiteral("later.txt"), QStringLiteral("later\n")));
        later.ScheduleType = ScheduleSpecificTime;
        later.ScheduleTime = QDateTime::currentDateTime().addSecs(3600);
        later.Subject = QStringLiteral("Held fax");
        m_job = m_server.Folders().OutgoingQueue().GetJob(later.ConnectedSubmit(m_server).first());
        QCOMPARE(m_job->Status(), int(StatusPending));
        test::clearErrorLog();
    }

    void cleanupTestCase() {
        if (m_job) m_job->Cancel();
    }

    // Each member, called twice for one fax, leaves one item with the fax's fields, its image,
    // its picture and its properties in order; the session switches the default mail client
    // and ShutDown puts it back.
    void eachMemberMirrorsItsFaxOnce() {
        QCOMPARE(defaultMailClient(), QString());
        for (int round = 0; round < 2; ++round) {
            mSend::GenerateOutlookSentFax(*m_sent);
            mSend::GenerateOutlookInboxFax(*m_received);
            mSend::GenerateOutlookOutboxFax(*m_job);
        }
        QCOMPARE(test::errorLogLines(), QStringList());
        QCOMPARE(defaultMailClient(), mCommon::MailClientName);
        QCOMPARE(itemCount(FolderSentItems), 1);
        QCOMPARE(itemCount(FolderInbox), 1);
        QCOMPARE(itemCount(FolderOutbox), 1);
        QVERIFY(!QFileInfo::exists(mCommon::GetTempDir() + QStringLiteral("Plov.tmp")));
        const QString sentCopy = faxJob().TempDir + m_sent->CSID() + QStringLiteral(".tiff");
        QVERIFY(FileExists(sentCopy));

        auto sent = itemAt(FolderSentItems, 1);
        QCOMPARE(sent->Subject(), QStringLiteral("Test fax"));
        QCOMPARE(sent->To(), QStringLiteral("Ann Example[Fax:5550100]"));
        QVERIFY(sent->UnRead());
        QCOMPARE(sent->Importance(), 2);
        QCOMPARE(sent->userProperty(QStringLiteral("FaxID")), QVariant(m_sent->Id()));
        QCOMPARE(sent->HTMLBody(), Picture);
        QCOMPARE(sent->attachmentCount(), 2);
        QCOMPARE(sent->attachmentDisplayName(1), QStringLiteral("FaxImage"));
        QCOMPARE(sent->attachmentData(1), readFile(tiffOf(*m_sent)));
        QCOMPARE(sent->attachmentDisplayName(2), QStringLiteral("Fax.png"));
        QCOMPARE(sent->attachmentField(2, tag::PR_ATTACH_MIME_TAG), QVariant(QStringLiteral("image/png")));
        QCOMPARE(sent->attachmentField(2, tag::PR_ATTACH_CONTENT_ID), QVariant(QStringLiteral("Page000")));
        const QImage picture = QImage::fromData(sent->attachmentData(2), "PNG");
        QCOMPARE(picture.width(), 1728);
        const QList<QVariant> sentValues = {0x609, biased(m_sent->OriginalScheduledTime()), QStringLiteral("Bob Sender"),
                                            QStringLiteral("Bob Sender"), QStringLiteral("5550111"), QStringLiteral("Fax"),
                                            QStringLiteral("Bob Sender"), QStringLiteral("5550111"), QStringLiteral("Fax")};
        for (int i = 0; i < OutgoingTags.size(); ++i)
            QCOMPARE(sent->property(OutgoingTags[i]).toString(), sentValues[i].toString());

        auto inbox = itemAt(FolderInbox, 1);
        QCOMPARE(inbox->Subject(), QStringLiteral("Fax"));
        QCOMPARE(inbox->To(), QStringLiteral("Bob Sender"));
        QCOMPARE(inbox->Body(), QStringLiteral("Loop CSID"));
        QVERIFY(inbox->UnRead());
        QCOMPARE(inbox->userProperty(QStringLiteral("FaxID")), QVariant(m_received->Id()));
        const QString tsid = m_received->TSID();
        const QList<QVariant> inboxValues = {0x609, biased(m_received->TransmissionEnd()), QStringLiteral("Bob Sender"),
                                             QStringLiteral("5550111"), QStringLiteral("Fax"), QStringLiteral("Bob Sender"),
                                             QStringLiteral("5550111"), QStringLiteral("Fax"), tsid, tsid, QStringLiteral("Fax"),
                                             tsid, tsid, QStringLiteral("Fax")};
        for (int i = 0; i < InboxTags.size(); ++i)
            QCOMPARE(inbox->property(InboxTags[i]).toString(), inboxValues[i].toString());

        auto outbox = itemAt(FolderOutbox, 1);
        QCOMPARE(outbox->Subject(), QStringLiteral("Held fax"));
        QCOMPARE(outbox->To(), QStringLiteral("Ann Example[Fax:5550102]"));
        QCOMPARE(outbox->Importance(), 1);
        QCOMPARE(outbox->userProperty(QStringLiteral("FaxID")), QVariant(m_job->Id()));
        QCOMPARE(outbox->property(tag::PR_CLIENT_SUBMIT_TIME).toDateTime(), biased(m_job->OriginalScheduledTime()));
        QCOMPARE(outbox->attachmentCount(), 2);

        mCommon::ShutDown();
        QCOMPARE(defaultMailClient(), QString());
    }

    // A cancelled or cancelling job gets no item; two received faxes, both "Fax", get two.
    void cancelledJobsAndSameSubjects() {
        for (int status : {int(StatusCancelled), int(StatusCancelling)}) {
            QVariantMap properties = m_job->properties();
            properties.insert(QStringLiteral("Status"), status);
            const QVariantMap map = properties;
            clearFolders();
            mSend::GenerateOutlookOutboxFax(FaxOutgoingJob(m_server.connection(), map));
            QCOMPARE(itemCount(FolderOutbox), 0);
        }
        mSend::GenerateOutlookInboxFax(*m_received);
        mSend::GenerateOutlookInboxFax(*m_received2);
        mSend::GenerateOutlookInboxFax(*m_received);
        QCOMPARE(itemCount(FolderInbox), 2);
        QCOMPARE(itemAt(FolderInbox, 2)->Subject(), QStringLiteral("Fax"));
        QCOMPARE(itemAt(FolderInbox, 2)->userProperty(QStringLiteral("FaxID")), QVariant(m_received2->Id()));
        QCOMPARE(test::errorLogLines(), QStringList());
    }

    // Removal matches the "FaxID" and nothing else; a match at the first position is also
    // taken out of Deleted Items, a later one stays there.
    void removalMatchesTheFaxIdOnly() {
        mSend::RemovedOutlookFax(QStringLiteral("no-such-fax"), FolderInbox);
        mSend::RemovedOutlookFax(m_received->Id(), FolderSentItems);
        QCOMPARE(itemCount(FolderInbox), 2);
        QCOMPARE(itemCount(FolderDeletedItems), 0);

        mSend::RemovedOutlookFax(m_received2->Id(), FolderInbox);  // position 2
        QCOMPARE(itemCount(FolderInbox), 1);
        QCOMPARE(itemCount(FolderDeletedItems), 1);
        QCOMPARE(itemAt(FolderDeletedItems, 1)->userProperty(QStringLiteral("FaxID")), QVariant(m_received2->Id()));

        mSend::RemovedOutlookFax(m_received->Id(), FolderInbox);  // position 1: deleted for good
        QCOMPARE(itemCount(FolderInbox), 0);
        QCOMPARE(itemCount(FolderDeletedItems), 1);
        QCOMPARE(itemAt(FolderDeletedItems, 1)->userProperty(QStringLiteral("FaxID")), QVariant(m_received2->Id()));

        mSend::RemovedOutlookFax(m_received2->Id(), FolderInbox);  // empty folder: only Deleted Items
        QCOMPARE(itemCount(FolderDeletedItems), 0);
        QCOMPARE(test::errorLogLines(), QStringList());
        mCommon::ShutDown();
    }

    // Without the messaging session the items come through the mail client's folder and end
    // the same: fields, attachments, body and properties.
    void withoutSessionTheFolderMakesTheSameItems() {
        clearFolders();
        mSend::GenerateOutlookSentFax(*m_sent);
        mSend::GenerateOutlookInboxFax(*m_received);
        const QStringList throughSession = describe(*itemAt(FolderSentItems, 1), OutgoingTags);
        const QStringList inboxThroughSession = describe(*itemAt(FolderInbox, 1), InboxTags);
        mCommon::ShutDown();
        clearFolders();

        unregister(SessionClass);
        QVERIFY(!mCommon::GetCdoSession());
        mSend::GenerateOutlookSentFax(*m_sent);
        mSend::GenerateOutlookInboxFax(*m_received);
        QCOMPARE(describe(*itemAt(FolderSentItems, 1), OutgoingTags), throughSession);
        QCOMPARE(describe(*itemAt(FolderInbox, 1), InboxTags), inboxThroughSession);
        QCOMPARE(test::errorLogLines(), QStringList());
        reregister(SessionClass);
        mCommon::ShutDown();
    }

    // A missing converter, a fax image that cannot be copied, a read-only store and a full
    // disk each end as the rules say, logged under their names, and no message is lost.
    void failuresFollowTheRules() {
        clearFolders();
        removeConverter();
        mSend::GenerateOutlookSentFax(*m_sent);
        QVERIFY(installConverter(test::binDir()));
        auto plain = itemAt(FolderSentItems, 1);
        QCOMPARE(plain->HTMLBody(), QString());
        QCOMPARE(plain->attachmentCount(), 1);
        QCOMPARE(plain->attachmentDisplayName(1), QStringLiteral("FaxImage"));
        QCOMPARE(logLines(QStringLiteral("msend.generateFaxMessage")).size(), 1);
        QVERIFY(logLines(QStringLiteral("msend.generateFaxMessage")).first().startsWith(QStringLiteral("53,")));
        QCOMPARE(logLines(QStringLiteral("msend.SuperShell")).size(), 1);
        QVERIFY(!QFileInfo::exists(mCommon::GetTempDir() + QStringLiteral("Plov.tmp")));

        // The fax image cannot be copied: the Sent Items member completes the item without
        // it; the Outbox member stops, so no folder item remains, a session item does.
        clearFolders();
        test::clearErrorLog();
        const QString tempDir = faxJob().TempDir;
        faxJob().TempDir = QDir::tempPath() + QStringLiteral("/no/such/dir/");
        mSend::GenerateOutlookSentFax(*m_sent);
        QCOMPARE(itemCount(FolderSentItems), 1);
        QCOMPARE(itemAt(FolderSentItems, 1)->attachmentCount(), 0);
        QCOMPARE(itemAt(FolderSentItems, 1)->HTMLBody(), QString());
        QCOMPARE(itemAt(FolderSentItems, 1)->userProperty(QStringLiteral("FaxID")), QVariant(m_sent->Id()));
        QCOMPARE(logLines(QStringLiteral("msend.GenerateOutlookSentFax")).size(), 1);
        mSend::GenerateOutlookOutboxFax(*m_job);
        QCOMPARE(itemCount(FolderOutbox), 1);
        QVERIFY(!itemAt(FolderOutbox, 1)->userProperty(QStringLiteral("FaxID")).isValid());
        QCOMPARE(logLines(QStringLiteral("msend.GenerateOutlookOutboxFax")).size(), 1);
        clearFolders();
        unregister(SessionClass);
        mCommon::ShutDown();
        mSend::GenerateOutlookOutboxFax(*m_job);
        QCOMPARE(itemCount(FolderOutbox), 0);
        QCOMPARE(logLines(QStringLiteral("msend.GenerateOutlookOutboxFax")).size(), 2);
        reregister(SessionClass);
        faxJob().TempDir = tempDir;

        // A read-only Inbox: the failure is logged, the existing message stays as it was.
        mSend::GenerateOutlookInboxFax(*m_received);
        QCOMPARE(itemCount(FolderInbox), 1);
        const QStringList before = messageFiles(QString());
        const QByteArray existing = readFile(folderDir(QString()) + u'/' + before.first());
        test::clearErrorLog();
        const QFileDevice::Permissions readOnly = QFileDevice::ReadOwner | QFileDevice::ExeOwner;
        const QFileDevice::Permissions writable = readOnly | QFileDevice::WriteOwner;
        QVERIFY(QFile::setPermissions(folderDir(QString()) + QStringLiteral("/cur"), readOnly));
        QVERIFY(QFile::setPermissions(folderDir(QString()) + QStringLiteral("/tmp"), readOnly));
        {
            ObeyFilePermissions obey;
            mSend::GenerateOutlookInboxFax(*m_received2);
        }
        QFile::setPermissions(folderDir(QString()) + QStringLiteral("/cur"), writable);
        QFile::setPermissions(folderDir(QString()) + QStringLiteral("/tmp"), writable);
        QCOMPARE(logLines(QStringLiteral("msend.GenerateOutlookInboxFax")).size(), 1);
        QVERIFY(logLines(QStringLiteral("msend.GenerateOutlookInboxFax")).first().startsWith(QStringLiteral("70,")));
        QCOMPARE(messageFiles(QString()), before);
        QCOMPARE(readFile(folderDir(QString()) + u'/' + before.first()), existing);

        // A full disk: the Sent Items member goes on past each failure and reports the last.
        test::clearErrorLog();
        {
            FileSizeLimit limit(1024);
            mSend::GenerateOutlookSentFax(*m_sent);
        }
        QVERIFY2(logLines(QStringLiteral("msend.GenerateOutlookSentFax")).size() == 1, qPrintable(test::errorLogLines().join(u'\n')));
        QVERIFY2(logLines(QStringLiteral("msend.GenerateOutlookSentFax")).first().startsWith(QStringLiteral("61,\"Disk full\"")),
                 qPrintable(test::errorLogLines().join(u'\n')));
        // Whatever was written is whole: no half message in tmp/, every message readable.
        for (const QString &dir : {QString(), QStringLiteral(".Sent"), QStringLiteral(".Outbox"), QStringLiteral(".Trash")})
            QVERIFY(QDir(folderDir(dir) + QStringLiteral("/tmp")).isEmpty());
        for (int folder : {FolderInbox, FolderOutbox, FolderSentItems})
            for (int i = 1; i <= itemCount(folder); ++i) QVERIFY(!itemAt(folder, i)->MessageClass().isEmpty());
        test::clearErrorLog();
        mCommon::ShutDown();
    }

    // The body picture: a leftover working folder is emptied and removed, a file already
    // called Fax.tiff is used where it is, a multi-page fax gives one picture; the helpers
    // split paths as the converter's command line needs.
    void messageBodyFromTheConverter() {
        const QString work = mCommon::GetTempDir() + QStringLiteral("Plov.tmp");
        QVERIFY(QDir().mkpath(work));
        QVERIFY(mailtest::writeFile(work + QStringLiteral("/old.png"), "stale"));
        QVERIFY(mailtest::writeFile(work + QStringLiteral("/Fax.png"), "stale picture"));
        QFile::setPermissions(work + QStringLiteral("/old.png"), QFileDevice::ReadOwner);
        QTemporaryDir dir;
        const QString tiff = dir.filePath(QStringLiteral("Fax.tiff"));
        {
            render::FaxTiffWriter writer(tiff);
            for (int i = 0; i < 3; ++i) {
                QImage page(1728, 2200, QImage::Format_Mono);
                page.fill(i == 0 ? 0 : 1);  // the first page black, the others white
                writer.addPage(page);
            }
            writer.close();
        }
        auto item = mailNamespace().GetDefaultFolder(FolderOutbox)->addItem(QStringLiteral("IPM.Note"));
        item->setSubject(QStringLiteral("Body only"));
        mSend::generateFaxMessage(tiff, *item);
        QVERIFY(!QFileInfo::exists(work));
        QVERIFY(QFileInfo::exists(tiff));  // the caller's file stays
        QCOMPARE(item->HTMLBody(), Picture);
        QCOMPARE(item->attachmentCount(), 1);
        const QImage picture = QImage::fromData(item->attachmentData(1), "PNG");
        QCOMPARE(picture.size(), QSize(1728, 2200));
        QCOMPARE(qGray(picture.pixel(800, 1100)), 0);  // page 1
        QVERIFY(!item->EntryID().isEmpty());           // saved by the safe item

        QCOMPARE(mSend::GetFileExtension(QStringLiteral("/tmp/a.b/Fax.png")), QStringLiteral("png"));
        QCOMPARE(mSend::GetFileExtension(QStringLiteral("noextension")), QStringLiteral("noextension"));
        QCOMPARE(mSend::GetFileExtension(QStringLiteral("trailing.")), QString());
        QVERIFY(!mSend::SuperShell(QStringLiteral("/no/such/program *.*"), dir.path(), 0, 0x80));
        QVERIFY(mSend::SuperShell(QStringLiteral("/bin/true"), dir.path(), 0, 0x80));
        QCOMPARE(logLines(QStringLiteral("msend.SuperShell")).size(), 1);
        test::clearErrorLog();
        item->Delete();
        mailNamespace().GetDefaultFolder(FolderDeletedItems)->Items()->Item(1)->Delete();
    }

    // Dovecot, started on a copy of the store as its owner, lists the folders and serves
    // each item with its subject, To, date, flags, importance, HTML, inline picture and the
    // fax image.
    void aMailServerReadsTheItems() {
        const QString imap = QStringLiteral("/usr/lib/dovecot/imap");
        if (!QFileInfo(imap).isExecutable()) QSKIP("Dovecot's imap (dovecot-imapd) is not installed");
        clearFolders();
        mSend::GenerateOutlookSentFax(*m_sent);
        mSend::GenerateOutlookInboxFax(*m_received);
        mSend::GenerateOutlookOutboxFax(*m_job);
        QCOMPARE(test::errorLogLines(), QStringList());

        // Outside the test's private temporary directory, which only its owner may enter.
        QTemporaryDir home(QStringLiteral("/tmp/sendmere-imap-XXXXXX"));
        QVERIFY(QProcess::execute(QStringLiteral("cp"), {QStringLiteral("-a"), mailRoot(), home.filePath(QStringLiteral("Mail"))}) == 0);
        QVERIFY(mailtest::writeFile(home.filePath(QStringLiteral("dovecot.conf")),
                          QStringLiteral("mail_location = maildir:%1\nlog_path = /dev/stderr\n"
                                         "namespace inbox {\n  inbox = yes\n  separator = /\n"
                                         "  mailbox Sent {\n    special_use = \\Sent\n  }\n"
                                         "  mailbox Trash {\n    special_use = \\Trash\n  }\n}\n")
                              .arg(home.filePath(QStringLiteral("Mail")))
                              .toUtf8()));
        uid_t uid = ::getuid();
        gid_t gid = ::getgid();
        if (uid == 0) {  // Dovecot refuses to serve mail as root: the copy goes to nobody
            const passwd *nobody = ::getpwnam("nobody");
            QVERIFY(nobody);
            uid = nobody->pw_uid;
            gid = nobody->pw_gid;
            QCOMPARE(QProcess::execute(QStringLiteral("chown"), {QStringLiteral("-R"), QStringLiteral("%1:%2").arg(uid).arg(gid), home.path()}), 0);
            QFile::setPermissions(home.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                                                   QFileDevice::ExeOther | QFileDevice::ReadOther);
        }
        QProcess server;
        server.setChildProcessModifier([uid, gid] {
            if (::getuid() != 0) return;
            ::setgroups(0, nullptr);
            if (::setgid(gid) != 0 || ::setuid(uid) != 0) ::_exit(99);
        });
        QProcessEnvironment env;
        env.insert(QStringLiteral("USER"), QString::fromLocal8Bit(::getpwuid(uid) ? ::getpwuid(uid)->pw_name : "nobody"));
        env.insert(QStringLiteral("HOME"), home.path());
        server.setProcessEnvironment(env);
        server.start(imap, {QStringLiteral("-c"), home.filePath(QStringLiteral("dovecot.conf"))});
        QVERIFY(server.waitForStarted());
        const QByteArray fetch = "FETCH 1 (FLAGS BODYSTRUCTURE BODY.PEEK[HEADER.FIELDS (SUBJECT TO DATE IMPORTANCE X-PRIORITY)] BODY.PEEK[1])\r\n";
        server.write("a LIST \"\" \"*\"\r\nb SELECT INBOX\r\nc " + fetch + "d SELECT Sent\r\ne " + fetch +
                     "f SELECT Outbox\r\ng " + fetch + "z LOGOUT\r\n");
        server.closeWriteChannel();
        QVERIFY(server.waitForFinished(30000));
        const QString out = QString::fromUtf8(server.readAllStandardOutput());
        QVERIFY2(server.exitCode() == 0, qPrintable(out + QString::fromUtf8(server.readAllStandardError())));
        for (const QString &expected :
             {QStringLiteral("\\Sent) \"/\" Sent"), QStringLiteral("\"/\" Outbox"), QStringLiteral("\"/\" INBOX"),
              QStringLiteral("Subject: Fax"), QStringLiteral("To: Bob Sender <FAX=5550111@fax.invalid>"), QStringLiteral("Subject: Test fax"),
              QStringLiteral("To: Ann Example <FAX=5550100@fax.invalid>"), QStringLiteral("Subject: Held fax"),
              QStringLiteral("Importance: high"), QStringLiteral("X-Priority: 1 (Highest)"), QStringLiteral("Importance: normal"),
              QStringLiteral("(\"image\" \"png\""), QStringLiteral("\"<Fax.png>\""), QStringLiteral("\"inline\""),
              QStringLiteral("(\"image\" \"tiff\""), QStringLiteral("(\"attachment\" (\"filename\" \"FaxImage\"))"),
              QStringLiteral("\"related\""), QStringLiteral("(\"text\" \"html\""), QStringLiteral("Loop CSID"),
              QStringLiteral("Date: ")})
            QVERIFY2(out.contains(expected), qPrintable(expected + QStringLiteral("\n---\n") + out));
        // Inbox and Sent Items are unread; the Outbox item is as the client made it (read).
        const QStringList fetched = out.split(QStringLiteral("* 1 FETCH (FLAGS ("));
        QCOMPARE(fetched.size(), 4);
        QVERIFY2(!fetched[1].startsWith(QStringLiteral("\\Seen")), qPrintable(fetched[1].left(40)));
        QVERIFY2(!fetched[2].startsWith(QStringLiteral("\\Seen")), qPrintable(fetched[2].left(40)));
        QVERIFY2(fetched[3].startsWith(QStringLiteral("\\Seen")), qPrintable(fetched[3].left(40)));
        QVERIFY(out.contains(QStringLiteral("z OK Logout")));
    }
};

QTEST_MAIN(FaxItemsTest)
#include "tst_faxitems.moc"
