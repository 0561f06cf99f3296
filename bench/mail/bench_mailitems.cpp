// Mirroring faxes into one mail folder: each item with its duplicate check by "FaxID", its
// messaging session message, the picture from tiff2png.exe and the fax image attached, its
// fields and its fourteen properties, in a fresh Maildir store, as the received-fax member
// makes them (every item has the subject "Fax", the hardest case for the subject search).
// The fax service's copy of the image is a file copy here. Prints the time per item for a
// run of 1,000 and of 10,000 items (and for the last thousand of the long run), then the
// floor: copying, converting and writing the same files without the store.
// Usage: bench_mailitems [count ...]   (default: 1000 10000)
#include "BenchFaxPages.h"
#include "bridge/FaxMessage.h"
#include "job/FaxJob.h"
#include "platform/mail/MailClient.h"
#include "session/mCommon.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QTextStream>

using namespace sendmere;

namespace {

void mirrorOne(const QString &faxTiff, int n) {
    const QString id = QString::number(100000 + n);
    mail::MailNamespace *ns = mCommon::GetMailNamespace();
    std::unique_ptr<mail::MailFolder> folder = ns->GetDefaultFolder(mail::FolderInbox);
    if (folder->Items()->Restrict(QStringLiteral("[Subject]='Fax'"))->containsUserProperty(QStringLiteral("FaxID"), id)) return;
    std::unique_ptr<mail::SessionMessage> message = mCommon::GetCdoSession()->Inbox()->addMessage();
    message->setField(QStringLiteral("Subject"), QStringLiteral("Fax"));
    message->setField(QStringLiteral("TimeReceived"), QDateTime::currentDateTime());
    message->setField(QStringLiteral("Type"), QStringLiteral("IPM.Note"));
    message->setField(QStringLiteral("UnRead"), true);
    message->setField(QStringLiteral("Text"), QStringLiteral("CSID %1").arg(n));
    message->setField(QStringLiteral("Sent"), true);
    message->Update();
    std::unique_ptr<mail::MailItem> item = ns->GetItemFromID(message->Id());
    const QString path = faxJob().TempDir + QStringLiteral("CSID %1.tiff").arg(n);
    QFile::copy(faxTiff, path);
    while (item->attachmentCount() > 0) item->removeAttachment(1);
    mSend::generateFaxMessage(path, *item);
    item->addAttachment(path, 1, QStringLiteral("FaxImage"));
    item->setUserProperty(QStringLiteral("FaxID"), id);
    item->setTo(QStringLiteral("Bob Sender"));
    item->Save();
    mail::MapiUtils utils;
    const QString tsid = QStringLiteral("5550%1").arg(n);
    for (const auto &[tag, value] : std::initializer_list<std::pair<quint32, QVariant>>{
             {mail::tag::PR_ICON_INDEX, 0x609}, {mail::tag::PR_MESSAGE_DELIVERY_TIME, QDateTime::currentDateTimeUtc()},
             {mail::tag::PR_RECEIVED_BY_NAME, QStringLiteral("Bob Sender")}, {mail::tag::PR_RECEIVED_BY_EMAIL_ADDRESS, QStringLiteral("5550111")},
             {mail::tag::PR_RECEIVED_BY_ADDRTYPE, QStringLiteral("Fax")}, {mail::tag::PR_RCVD_REPRESENTING_NAME, QStringLiteral("Bob Sender")},
             {mail::tag::PR_RCVD_REPRESENTING_EMAIL_ADDRESS, QStringLiteral("5550111")}, {mail::tag::PR_RCVD_REPRESENTING_ADDRTYPE, QStringLiteral("Fax")},
             {mail::tag::PR_SENT_REPRESENTING_NAME, tsid}, {mail::tag::PR_SENT_REPRESENTING_EMAIL_ADDRESS, tsid},
             {mail::tag::PR_SENT_REPRESENTING_ADDRTYPE, QStringLiteral("Fax")}, {mail::tag::PR_SENDER_NAME, tsid},
             {mail::tag::PR_SENDER_EMAIL_ADDRESS, tsid}, {mail::tag::PR_SENDER_ADDRTYPE, QStringLiteral("Fax")}})
        utils.HrSetOneProp(*item, tag, value, true);
    if (item->parentEntryID() != folder->EntryID()) item->Move(mail::FolderInbox);
    QFile::remove(path);
}

// The same files without the store: the image copied, converted, and one file holding
// image and picture written atomically.
void floorOne(const QString &faxTiff, const QString &work, const QString &out, int n) {
    QDir(work).removeRecursively();
    QDir().mkpath(work);
    QFile::copy(faxTiff, work + QStringLiteral("/Fax.tiff"));
    QProcess converter;
    converter.setWorkingDirectory(work);
    converter.start(QCoreApplication::applicationDirPath() + QStringLiteral("/tiff2png.exe"), {QStringLiteral("*.*")});
    converter.waitForFinished(-1);
    QSaveFile file(out + QStringLiteral("/%1").arg(n));
    file.open(QIODevice::WriteOnly);
    for (const char *name : {"/Fax.tiff", "/Fax.png"}) {
        QFile part(work + QLatin1String(name));
        part.open(QIODevice::ReadOnly);
        file.write(part.readAll().toBase64());
    }
    file.commit();
}

double perItem(qint64 nanoseconds, int items) { return double(nanoseconds) / 1e6 / items; }

}  // namespace

int main(int argc, char **argv) {
    // The store, the registry and the temporary files of this run live in a directory of
    // their own, never in the user's.
    QTemporaryDir root;
    for (const char *var : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "TMPDIR"})
        qputenv(var, QFile::encodeName(root.filePath(QLatin1String(var))));
    for (const char *var : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "TMPDIR"})
        QDir().mkpath(root.filePath(QLatin1String(var)));
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QFile::remove(QCoreApplication::applicationDirPath() + QStringLiteral("/tiff2png.exe"));
    QFile::link(QStringLiteral(SENDMERE_BIN_DIR "/tiff2png.exe"), QCoreApplication::applicationDirPath() + QStringLiteral("/tiff2png.exe"));

    QList<int> counts;
    for (int i = 1; i < argc; ++i) counts << std::max(1, atoi(argv[i]));
    if (counts.isEmpty()) counts = {1000, 10000};
    QTextStream out(stdout);
    const QString fax = bench::writeFax(root.path(), QStringLiteral("sample.tiff"), 1);
    out << "one-page G4 fax of " << QFileInfo(fax).size() << " bytes per item\n";

    for (int count : counts) {
        QDir(root.filePath(QStringLiteral("XDG_DATA_HOME/sendmere"))).removeRecursively();
        mCommon::ShutDown();
        mCommon::Start(false);
        QElapsedTimer timer;
        timer.start();
        qint64 lastThousandFrom = 0;
        for (int n = 0; n < count; ++n) {
            if (n == count - 1000) lastThousandFrom = timer.nsecsElapsed();
            mirrorOne(fax, n);
        }
        const qint64 total = timer.nsecsElapsed();
        const int items = mCommon::GetMailNamespace()->GetDefaultFolder(mail::FolderInbox)->count();
        out << QStringLiteral("%1 items mirrored (%2 in the folder): %3 s, %4 ms per item")
                   .arg(count).arg(items).arg(double(total) / 1e9, 0, 'f', 1).arg(perItem(total, count), 0, 'f', 2);
        if (count > 1000)
            out << QStringLiteral(", last 1000: %1 ms per item").arg(perItem(total - lastThousandFrom, 1000), 0, 'f', 2);
        // Repeating the last item is only its duplicate check.
        timer.restart();
        for (int i = 0; i < 1000; ++i) mirrorOne(fax, count - 1);
        out << QStringLiteral(", duplicate check %1 us\n").arg(double(timer.nsecsElapsed()) / 1e3 / 1000, 0, 'f', 1);
        out.flush();
    }
    mCommon::ShutDown();

    const QString work = root.filePath(QStringLiteral("floor-work"));
    const QString files = root.filePath(QStringLiteral("floor-files"));
    QDir().mkpath(files);
    const int floorCount = 1000;
    QElapsedTimer timer;
    timer.start();
    for (int n = 0; n < floorCount; ++n) floorOne(fax, work, files, n);
    out << QStringLiteral("floor (copy, convert, write %1 files): %2 ms per item\n")
               .arg(floorCount).arg(perItem(timer.nsecsElapsed(), floorCount), 0, 'f', 2);
    QFile::remove(QCoreApplication::applicationDirPath() + QStringLiteral("/tiff2png.exe"));
    return 0;
}
