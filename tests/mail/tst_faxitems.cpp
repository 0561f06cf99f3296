// The fax mail items made from real jobs and messages of the local fax service on the
// test's private bus, in the real Maildir store, with the real picture converter, and read
// back by a real mail server.
#include "FaxTestSupport.h"
#include "MailTestKit.h"
#include "TestSupport.h"
#include "bridge/FaxItems.h"
#include "bridge/FaxMessage.h"
#include "job/FaxJob.h"
#include "platform/mail/MailClient.h"
#include "platform/shell/TempDir.h"
#include "session/mCommon.h"

#include <QCryptographicHash>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimeZone>

#include <QElapsedTimer>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>
#include <pwd.h>

using namespace sendmere;
using namespace sendmere::fax;
using namespace sendmere::faxtest;
using namespace sendmere::mail;
using namespace sendmere::mailtest;
using namespace Qt::StringLiterals;

namespace {

const QString Picture = u"<br><IMG alt=Page1 align=baseline border=0 hspace=0 width=775 height=500 src=cid:Fax.png>"_s;

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
    const QString path = dir.filePath(u"copy.tiff"_s);
    message.CopyTiff(path);
    return path;
}

// Everything a user or a mail reader sees of an item, as lines, so that two items compare.
QStringList describe(const MailItem &item, const QList<quint32> &tags) {
    QStringList lines = {item.Subject(), item.To(), item.Body(), item.HTMLBody(), QString::number(item.UnRead()),
                         QString::number(item.Importance()), item.userProperty(u"FaxID"_s).toString(),
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
    const auto value = store.value(registry::Root::LocalMachine, u"SOFTWARE\\Clients\\Mail"_s, QString());
    return value ? value->text : u"<none>"_s;
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
        FaxDocument doc = document(u"5550100"_s, writeTextFile(u"body.txt"_s, u"Hello fax\n"_s));
        doc.Priority = priority;
        const QString id = doc.ConnectedSubmit(m_server).first();
        if (!waitForEvent(u"SentAdded "_s + id)) return {};
        const int at = m_events.indexOf(u"SentAdded "_s + id);
        QDeadlineTimer deadline(10000);
        while (!deadline.hasExpired()) {
            for (int i = at + 1; i < m_events.size(); ++i)
                if (m_events[i].startsWith(u"ReceivedAdded "_s)) return {id, m_events[i].section(u' ', 1)};
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
        job.SenderFullName = u"Bob Sender"_s;
        job.SenderfaxNumber = u"5550111"_s;

        const auto [sentId, receivedId] = sendThrough(PriorityHigh);
        QVERIFY(!receivedId.isEmpty());
        m_sent = m_server.Folders().OutgoingArchive().GetMessage(sentId);
        m_received = m_server.Folders().IncomingArchive().GetMessage(receivedId);
        const auto [sentId2, receivedId2] = sendThrough(PriorityLow);
        QVERIFY(!receivedId2.isEmpty());
        m_received2 = m_server.Folders().IncomingArchive().GetMessage(receivedId2);

        FaxDocument later = document(u"5550102"_s, writeTextFile(u"later.txt"_s, u"later\n"_s));
        later.ScheduleType = ScheduleSpecificTime;
        later.ScheduleTime = QDateTime::currentDateTime().addSecs(3600);
        later.Subject = u"Held fax"_s;
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
        QVERIFY(!QFileInfo::exists(mCommon::GetTempDir() + u"Plov.tmp"_s));
        const QString sentCopy = faxJob().TempDir + m_sent->CSID() + u".tiff"_s;
        QVERIFY(FileExists(sentCopy));

        auto sent = itemAt(FolderSentItems, 1);
        QCOMPARE(sent->Subject(), u"Test fax"_s);
        QCOMPARE(sent->To(), u"Ann Example[Fax:5550100]"_s);
        QVERIFY(sent->UnRead());
        QCOMPARE(sent->Importance(), 2);
        QCOMPARE(sent->userProperty(u"FaxID"_s), QVariant(m_sent->Id()));
        QCOMPARE(sent->HTMLBody(), Picture);
        QCOMPARE(sent->attachmentCount(), 2);
        QCOMPARE(sent->attachmentDisplayName(1), u"FaxImage"_s);
        QCOMPARE(sent->attachmentData(1), readFile(tiffOf(*m_sent)));
        QCOMPARE(sent->attachmentDisplayName(2), u"Fax.png"_s);
        QCOMPARE(sent->attachmentField(2, tag::PR_ATTACH_MIME_TAG), QVariant(u"image/png"_s));
        QCOMPARE(sent->attachmentField(2, tag::PR_ATTACH_CONTENT_ID), QVariant(u"Page000"_s));
        const QImage picture = QImage::fromData(sent->attachmentData(2), "PNG");
        QCOMPARE(picture.width(), 1728);
        const QList<QVariant> sentValues = {0x609, biased(m_sent->OriginalScheduledTime()), u"Bob Sender"_s,
                                            u"Bob Sender"_s, u"5550111"_s, u"Fax"_s,
                                            u"Bob Sender"_s, u"5550111"_s, u"Fax"_s};
        for (int i = 0; i < OutgoingTags.size(); ++i)
            QCOMPARE(sent->property(OutgoingTags[i]).toString(), sentValues[i].toString());

        auto inbox = itemAt(FolderInbox, 1);
        QCOMPARE(inbox->Subject(), u"Fax"_s);
        QCOMPARE(inbox->To(), u"Bob Sender"_s);
        QCOMPARE(inbox->Body(), u"Loop CSID"_s);
        QVERIFY(inbox->UnRead());
        QCOMPARE(inbox->userProperty(u"FaxID"_s), QVariant(m_received->Id()));
        const QString tsid = m_received->TSID();
        const QList<QVariant> inboxValues = {0x609, biased(m_received->TransmissionEnd()), u"Bob Sender"_s,
                                             u"5550111"_s, u"Fax"_s, u"Bob Sender"_s,
                                             u"5550111"_s, u"Fax"_s, tsid, tsid, u"Fax"_s,
                                             tsid, tsid, u"Fax"_s};
        for (int i = 0; i < InboxTags.size(); ++i)
            QCOMPARE(inbox->property(InboxTags[i]).toString(), inboxValues[i].toString());

        auto outbox = itemAt(FolderOutbox, 1);
        QCOMPARE(outbox->Subject(), u"Held fax"_s);
        QCOMPARE(outbox->To(), u"Ann Example[Fax:5550102]"_s);
        QCOMPARE(outbox->Importance(), 1);
        QCOMPARE(outbox->userProperty(u"FaxID"_s), QVariant(m_job->Id()));
        QCOMPARE(outbox->property(tag::PR_CLIENT_SUBMIT_TIME).toDateTime(), biased(m_job->OriginalScheduledTime()));
        QCOMPARE(outbox->attachmentCount(), 2);

        mCommon::ShutDown();
        QCOMPARE(defaultMailClient(), QString());
    }

    // A cancelled or cancelling job gets no item; two received faxes, both "Fax", get two.
    void cancelledJobsAndSameSubjects() {
        for (int status : {int(StatusCancelled), int(StatusCancelling)}) {
            QVariantMap properties = m_job->properties();
            properties.insert(u"Status"_s, status);
            const QVariantMap map = properties;
            clearFolders();
            mSend::GenerateOutlookOutboxFax(FaxOutgoingJob(m_server.connection(), map));
            QCOMPARE(itemCount(FolderOutbox), 0);
        }
        mSend::GenerateOutlookInboxFax(*m_received);
        mSend::GenerateOutlookInboxFax(*m_received2);
        mSend::GenerateOutlookInboxFax(*m_received);
        QCOMPARE(itemCount(FolderInbox), 2);
        QCOMPARE(itemAt(FolderInbox, 2)->Subject(), u"Fax"_s);
        QCOMPARE(itemAt(FolderInbox, 2)->userProperty(u"FaxID"_s), QVariant(m_received2->Id()));
        QCOMPARE(test::errorLogLines(), QStringList());
    }

    // Removal matches the "FaxID" and nothing else; a match at the first position is also
    // taken out of Deleted Items, a later one stays there.
    void removalMatchesTheFaxIdOnly() {
        mSend::RemovedOutlookFax(u"no-such-fax"_s, FolderInbox);
        mSend::RemovedOutlookFax(m_received->Id(), FolderSentItems);
        QCOMPARE(itemCount(FolderInbox), 2);
        QCOMPARE(itemCount(FolderDeletedItems), 0);

        mSend::RemovedOutlookFax(m_received2->Id(), FolderInbox);  // position 2
        QCOMPARE(itemCount(FolderInbox), 1);
        QCOMPARE(itemCount(FolderDeletedItems), 1);
        QCOMPARE(itemAt(FolderDeletedItems, 1)->userProperty(u"FaxID"_s), QVariant(m_received2->Id()));

        mSend::RemovedOutlookFax(m_received->Id(), FolderInbox);  // position 1: deleted for good
        QCOMPARE(itemCount(FolderInbox), 0);
        QCOMPARE(itemCount(FolderDeletedItems), 1);
        QCOMPARE(itemAt(FolderDeletedItems, 1)->userProperty(u"FaxID"_s), QVariant(m_received2->Id()));

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
        QCOMPARE(plain->attachmentDisplayName(1), u"FaxImage"_s);
        QCOMPARE(logLines(u"msend.generateFaxMessage"_s).size(), 1);
        QVERIFY(logLines(u"msend.generateFaxMessage"_s).first().startsWith(u"53,"_s));
        QCOMPARE(logLines(u"msend.SuperShell"_s).size(), 1);
        QVERIFY(!QFileInfo::exists(mCommon::GetTempDir() + u"Plov.tmp"_s));

        // The fax image cannot be copied: the Sent Items member completes the item without
        // it; the Outbox member stops before its item is whole, so no item remains.
        clearFolders();
        test::clearErrorLog();
        const QString tempDir = faxJob().TempDir;
        faxJob().TempDir = QDir::tempPath() + u"/no/such/dir/"_s;
        mSend::GenerateOutlookSentFax(*m_sent);
        QCOMPARE(itemCount(FolderSentItems), 1);
        QCOMPARE(itemAt(FolderSentItems, 1)->attachmentCount(), 0);
        QCOMPARE(itemAt(FolderSentItems, 1)->HTMLBody(), QString());
        QCOMPARE(itemAt(FolderSentItems, 1)->userProperty(u"FaxID"_s), QVariant(m_sent->Id()));
        QCOMPARE(logLines(u"msend.GenerateOutlookSentFax"_s).size(), 1);
        mSend::GenerateOutlookOutboxFax(*m_job);
        QCOMPARE(itemCount(FolderOutbox), 0);
        QCOMPARE(logLines(u"msend.GenerateOutlookOutboxFax"_s).size(), 1);
        clearFolders();
        unregister(SessionClass);
        mCommon::ShutDown();
        mSend::GenerateOutlookOutboxFax(*m_job);
        QCOMPARE(itemCount(FolderOutbox), 0);
        QCOMPARE(logLines(u"msend.GenerateOutlookOutboxFax"_s).size(), 2);
        reregister(SessionClass);
        faxJob().TempDir = tempDir;

        // A read-only Inbox: the failure is logged, the existing message stays as it was.
        mSend::GenerateOutlookInboxFax(*m_received);
        QCOMPARE(itemCount(FolderInbox), 1);
        const QStringList before = messageFiles(QString());
        const QByteArray existing = readFile(folderDir(QString()) + u'/' + before.first());
        test::clearErrorLog();
        {
            ReadOnlyFolder readOnly{QString()};
            mSend::GenerateOutlookInboxFax(*m_received2);
        }
        QCOMPARE(logLines(u"msend.GenerateOutlookInboxFax"_s).size(), 1);
        QVERIFY(logLines(u"msend.GenerateOutlookInboxFax"_s).first().startsWith(u"70,"_s));
        QCOMPARE(messageFiles(QString()), before);
        QCOMPARE(readFile(folderDir(QString()) + u'/' + before.first()), existing);

        // A full disk: the Sent Items member goes on past each failure and reports the last.
        test::clearErrorLog();
        {
            FileSizeLimit limit(1024);
            mSend::GenerateOutlookSentFax(*m_sent);
        }
        QVERIFY2(logLines(u"msend.GenerateOutlookSentFax"_s).size() == 1, qPrintable(test::errorLogLines().join(u'\n')));
        QVERIFY2(logLines(u"msend.GenerateOutlookSentFax"_s).first().startsWith(u"61,\"Disk full\""_s),
                 qPrintable(test::errorLogLines().join(u'\n')));
        // Written whole or not at all: no item with only a subject, nothing left in tmp/,
        // every message readable.
        QCOMPARE(itemCount(FolderSentItems), 0);
        for (const QString &dir : {QString(), u".Sent"_s, u".Outbox"_s, u".Trash"_s})
            QVERIFY(QDir(folderDir(dir) + u"/tmp"_s).isEmpty());
        for (int folder : {FolderInbox, FolderOutbox, FolderSentItems})
            for (int i = 1; i <= itemCount(folder); ++i) QVERIFY(!itemAt(folder, i)->MessageClass().isEmpty());
        test::clearErrorLog();
        mCommon::ShutDown();
    }

    // Another user owns the shared temporary folder and has made the picture folder there
    // first, with links to the user's files under the converter's names: the program works
    // in a private folder of its own instead and writes nothing through the links.
    // The CSID comes from the remote fax machine: a harmless one names the image copy as it
    // is, one that could name another folder is made safe and the copy stays in the folder.
    void theImageCopyStaysInTheTempFolder() {
        const QString dir = u"/home/u/.cache/sendmere/"_s;
        const struct {
            QString csid, file;
        } rows[] = {
            {u"Loop CSID"_s, u"Loop CSID.tiff"_s},
            {u"+49 30 1234"_s, u"+49 30 1234.tiff"_s},
            {QString(), u".tiff"_s},
            {u"a.b"_s, u"a.b.tiff"_s},
            {u"../../.bashrc"_s, u"______.bashrc.tiff"_s},
            {u"/etc/passwd"_s, u"_etc_passwd.tiff"_s},
            {u".."_s, u"__.tiff"_s},
            {u"..\\x"_s, u"___x.tiff"_s},
            {u"a\nb"_s, u"a_b.tiff"_s},
            {QString(300, u'x'), QString(100, u'x') + u".tiff"_s},
        };
        for (const auto &row : rows) {
            const QString path = mSend::faxImageCopyPath(dir, row.csid);
            QCOMPARE(path, dir + row.file);
            QCOMPARE(QFileInfo(path).absolutePath() + u'/', dir);
        }
    }

    void aSharedTempDirIsNeverUsed() {
        constexpr uid_t Other = 65534;  // as another user would, with files the test makes
        const QString victim = QDir::homePath() + u"/thesis.txt"_s;
        mailtest::writeFile(victim, "my thesis");
        const QString shared = QDir::tempPath() + u"/shared-tmp"_s;
        const QString planted = shared + u"/Plov.tmp"_s;
        QVERIFY(QDir().mkpath(planted));
        for (const QString &dir : {shared, planted}) {
            QCOMPARE(::chmod(QFile::encodeName(dir).constData(), 01777), 0);
            QCOMPARE(::chown(QFile::encodeName(dir).constData(), Other, Other), 0);
        }
        for (const char *name : {"/Fax.png.part", "/Fax.png", "/Fax.tiff"}) {
            const QByteArray link = QFile::encodeName(planted + QLatin1String(name));
            QCOMPARE(::symlink(QFile::encodeName(victim).constData(), link.constData()), 0);
            QCOMPARE(::lchown(link.constData(), Other, Other), 0);
        }
        const QByteArray savedTmpdir = qgetenv("TMPDIR");
        qputenv("TMPDIR", QFile::encodeName(shared));
        const QString work = mCommon::GetTempDir();
        QVERIFY2(!work.startsWith(shared), qPrintable(work));
        QVERIFY(shell::isPrivateFolder(work.chopped(1)));
        QTemporaryDir dir;
        const QString tiff = dir.filePath(u"Fax.tiff"_s);
        {
            render::FaxTiffWriter writer(tiff);
            QImage blank(1728, 2200, QImage::Format_Mono);
            blank.fill(1);
            writer.addPage(blank);
            writer.close();
        }
        auto item = mailNamespace().GetDefaultFolder(FolderOutbox)->addItem(u"IPM.Note"_s);
        {
            ObeyFilePermissions asTheUser;  // the other user's links cannot be removed
            mSend::generateFaxMessage(tiff, *item);
        }
        qputenv("TMPDIR", savedTmpdir);
        QCOMPARE(readFile(victim), QByteArray("my thesis"));
        QCOMPARE(item->HTMLBody(), Picture);
        QVERIFY(!QFileInfo::exists(work + u"Plov.tmp"_s));
        item->Delete();
        mailNamespace().GetDefaultFolder(FolderDeletedItems)->Items()->Item(1)->Delete();

        // A private folder that is not private (another owner, or open to others) is not used.
        const QString base = QDir::tempPath() + u"/private-base"_s;
        QVERIFY(QDir().mkpath(base + u"/taken"_s));
        QCOMPARE(::chown(QFile::encodeName(base + u"/taken"_s).constData(), Other, Other), 0);
        QCOMPARE(::chmod(QFile::encodeName(base + u"/taken"_s).constData(), 0700), 0);
        QVERIFY(QDir().mkpath(base + u"/open"_s));
        QCOMPARE(::chmod(QFile::encodeName(base + u"/open"_s).constData(), 0777), 0);
        QVERIFY(QFile::link(base + u"/elsewhere"_s, base + u"/link"_s));
        for (const char *name : {"taken", "open", "link"}) QCOMPARE(shell::privateFolderIn(base, QLatin1String(name)), QString());
        const QString made = shell::privateFolderIn(base, u"mine"_s);
        QCOMPARE(made, base + u"/mine"_s);
        QCOMPARE(QFileInfo(made).permissions() & 0x0077, QFileDevice::Permissions());
        test::clearErrorLog();
    }

    // The picture converter gets a time limit: one that hangs is ended and logged.
    void aHangingConverterIsStopped() {
        QTemporaryDir dir;
        QElapsedTimer clock;
        clock.start();
        QVERIFY(mSend::SuperShell(u"/bin/sleep 60"_s, dir.path(), 0, 0x80, 500));
        QVERIFY(clock.elapsed() < 30000);
        QCOMPARE(logLines(u"msend.SuperShell"_s).size(), 1);
        QVERIFY(logLines(u"msend.SuperShell"_s).first().contains(u"did not finish"_s));
        test::clearErrorLog();
    }

    // The body picture: a leftover working folder is emptied and removed, a file already
    // called Fax.tiff is used where it is, a multi-page fax gives one picture; the helpers
    // split paths as the converter's command line needs.
    void messageBodyFromTheConverter() {
        const QString work = mCommon::GetTempDir() + u"Plov.tmp"_s;
        QVERIFY(QDir().mkpath(work));
        mailtest::writeFile(work + u"/old.png"_s, "stale");
        mailtest::writeFile(work + u"/Fax.png"_s, "stale picture");
        QFile::setPermissions(work + u"/old.png"_s, QFileDevice::ReadOwner);
        QTemporaryDir dir;
        const QString tiff = dir.filePath(u"Fax.tiff"_s);
        {
            render::FaxTiffWriter writer(tiff);
            for (int i = 0; i < 3; ++i) {
                QImage page(1728, 2200, QImage::Format_Mono);
                page.fill(i == 0 ? 0 : 1);  // the first page black, the others white
                writer.addPage(page);
            }
            writer.close();
        }
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

        QCOMPARE(mSend::GetFileExtension(u"/tmp/a.b/Fax.png"_s), u"png"_s);
        QCOMPARE(mSend::GetFileExtension(u"noextension"_s), u"noextension"_s);
        QCOMPARE(mSend::GetFileExtension(u"trailing."_s), QString());
        QVERIFY(!mSend::SuperShell(u"/no/such/program *.*"_s, dir.path(), 0, 0x80));
        QVERIFY(mSend::SuperShell(u"/bin/true"_s, dir.path(), 0, 0x80));
        QCOMPARE(logLines(u"msend.SuperShell"_s).size(), 1);
        test::clearErrorLog();
        item->Delete();
        mailNamespace().GetDefaultFolder(FolderDeletedItems)->Items()->Item(1)->Delete();
    }

    // Dovecot, started on a copy of the store as its owner, lists the folders and serves
    // each item with its subject, To, date, flags, importance, HTML, inline picture and the
    // fax image.
    void aMailServerReadsTheItems() {
        const QString imap = u"/usr/lib/dovecot/imap"_s;
        if (!QFileInfo(imap).isExecutable()) QSKIP("Dovecot's imap (dovecot-imapd) is not installed");
        clearFolders();
        mSend::GenerateOutlookSentFax(*m_sent);
        mSend::GenerateOutlookInboxFax(*m_received);
        mSend::GenerateOutlookOutboxFax(*m_job);
        QCOMPARE(test::errorLogLines(), QStringList());

        // Outside the test's private temporary directory, which only its owner may enter.
        QTemporaryDir home(u"/tmp/sendmere-imap-XXXXXX"_s);
        QVERIFY(QProcess::execute(u"cp"_s, {u"-a"_s, mailRoot(), home.filePath(u"Mail"_s)}) == 0);
        mailtest::writeFile(home.filePath(u"dovecot.conf"_s),
                          QStringLiteral("mail_location = maildir:%1\nlog_path = /dev/stderr\n"
                                         "namespace inbox {\n  inbox = yes\n  separator = /\n"
                                         "  mailbox Sent {\n    special_use = \\Sent\n  }\n"
                                         "  mailbox Trash {\n    special_use = \\Trash\n  }\n}\n")
                              .arg(home.filePath(u"Mail"_s))
                              .toUtf8());
        uid_t uid = ::getuid();
        gid_t gid = ::getgid();
        if (uid == 0) {  // Dovecot refuses to serve mail as root: the copy goes to nobody
            const passwd *nobody = ::getpwnam("nobody");
            QVERIFY(nobody);
            uid = nobody->pw_uid;
            gid = nobody->pw_gid;
            QCOMPARE(QProcess::execute(u"chown"_s, {u"-R"_s, u"%1:%2"_s.arg(uid).arg(gid), home.path()}), 0);
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
        env.insert(u"USER"_s, QString::fromLocal8Bit(::getpwuid(uid) ? ::getpwuid(uid)->pw_name : "nobody"));
        env.insert(u"HOME"_s, home.path());
        server.setProcessEnvironment(env);
        server.start(imap, {u"-c"_s, home.filePath(u"dovecot.conf"_s)});
        QVERIFY(server.waitForStarted());
        const QByteArray fetch = "FETCH 1 (FLAGS BODYSTRUCTURE BODY.PEEK[HEADER.FIELDS (SUBJECT TO DATE IMPORTANCE X-PRIORITY)] BODY.PEEK[1])\r\n";
        server.write("a LIST \"\" \"*\"\r\nb SELECT INBOX\r\nc " + fetch + "d SELECT Sent\r\ne " + fetch +
                     "f SELECT Outbox\r\ng " + fetch + "z LOGOUT\r\n");
        server.closeWriteChannel();
        QVERIFY(server.waitForFinished(30000));
        const QString out = QString::fromUtf8(server.readAllStandardOutput());
        QVERIFY2(server.exitCode() == 0, qPrintable(out + QString::fromUtf8(server.readAllStandardError())));
        for (const QString &expected :
             {u"\\Sent) \"/\" Sent"_s, u"\"/\" Outbox"_s, u"\"/\" INBOX"_s,
              u"Subject: Fax"_s, u"To: Bob Sender <FAX=5550111@fax.invalid>"_s, u"Subject: Test fax"_s,
              u"To: \"Ann Example[Fax:5550100]\" <FAX=5550100@fax.invalid>"_s, u"Subject: Held fax"_s,
              u"Importance: high"_s, u"X-Priority: 1 (Highest)"_s, u"Importance: normal"_s,
              u"(\"image\" \"png\""_s, u"\"<Fax.png>\""_s, u"\"inline\""_s,
              u"(\"image\" \"tiff\""_s, u"(\"attachment\" (\"filename\" \"FaxImage.tif\"))"_s,
              u"\"related\""_s, u"(\"text\" \"html\""_s, u"Loop CSID"_s,
              u"Date: "_s})
            QVERIFY2(out.contains(expected), qPrintable(expected + u"\n---\n"_s + out));
        // Inbox and Sent Items are unread; the Outbox item is as the client made it (read).
        const QStringList fetched = out.split(u"* 1 FETCH (FLAGS ("_s);
        QCOMPARE(fetched.size(), 4);
        QVERIFY2(!fetched[1].startsWith(u"\\Seen"_s), qPrintable(fetched[1].left(40)));
        QVERIFY2(!fetched[2].startsWith(u"\\Seen"_s), qPrintable(fetched[2].left(40)));
        QVERIFY2(fetched[3].startsWith(u"\\Seen"_s), qPrintable(fetched[3].left(40)));
        QVERIFY(out.contains(u"z OK Logout"_s));
    }
};

QTEST_MAIN(FaxItemsTest)
#include "tst_faxitems.moc"
