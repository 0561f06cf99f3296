// The outgoing queue and the two archives on the bus: listing, reading, cancelling, deleting,
// and copying a fax image out of the spool.
#include "FaxService.h"

#include "FaxServiceGuard.h"
#include "LineBackend.h"
#include "ServiceLog.h"
#include "Spool.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <sys/stat.h>

namespace sendmere::faxd {

namespace {

constexpr int MaxPage = 1000;

}  // namespace

faxbus::MapList FaxService::ListJobs()
{
    return guarded<faxbus::MapList>([&] { return toPropertiesList(m_line->jobs()); });
}

qint64 FaxService::knownJob(const QString &id) const
{
    const qint64 number = idNumber(id);
    if (number == 0 || !m_line->job(number))
        throw ServiceError(faxbus::ErrorNotFound, QStringLiteral("There is no job \"%1\" in the outgoing queue.").arg(id));
    return number;
}

// The ids alone cost a client a small part of reading every job's properties.
QStringList FaxService::ListJobIds()
{
    return guarded<QStringList>([&] { return m_line->jobIds(); });
}

QVariantMap FaxService::GetJob(const QString &id)
{
    return guarded<QVariantMap>([&] { return m_line->job(knownJob(id))->toProperties(); });
}

void FaxService::CancelJob(const QString &id)
{
    guarded<bool>([&] {
        m_line->cancel(knownJob(id));
        return true;
    });
}

// The copy is written beside the target and renamed over it, so a failed copy leaves the
// old file as it was; only a regular file (or no file) is ever replaced, and never one of
// the spool's own files.
void FaxService::copyImage(const QString &source, const QString &target, const QString &what) const
{
    if (target.isEmpty() || QFileInfo(target).isRelative())
        throw ServiceError(faxbus::ErrorInvalidArgument, QStringLiteral("\"%1\" is no absolute file path.").arg(target));
    if (!QFileInfo::exists(source))
        throw ServiceError(faxbus::ErrorFileNotFound, QStringLiteral("The fax image of %1 is missing.").arg(what));
    const QFileInfo info(target);
    if (!info.absoluteDir().exists())
        throw ServiceError(faxbus::ErrorPathAccess, QStringLiteral("%1: the folder does not exist.").arg(target));
    if (info.isDir())
        throw ServiceError(faxbus::ErrorPathAccess, QStringLiteral("%1: is a folder.").arg(target));
    struct stat st {};
    if (::lstat(QFile::encodeName(target).constData(), &st) == 0 && !S_ISREG(st.st_mode))
        throw ServiceError(faxbus::ErrorPathAccess, QStringLiteral("%1: is not a regular file; only a regular file is replaced.").arg(target));
    if (m_spool.ownsPath(target))
        throw ServiceError(faxbus::ErrorAccessDenied, QStringLiteral("%1: is a file of the fax spool.").arg(target));
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        throw ServiceError(faxbus::ErrorPathAccess, QStringLiteral("%1: %2").arg(source, in.errorString()));
    QSaveFile out(target);
    if (!out.open(QIODevice::WriteOnly))
        throw ServiceError(faxbus::ErrorAccessDenied, QStringLiteral("%1: the file cannot be written (%2).").arg(target, out.errorString()));
    while (!in.atEnd()) {
        const QByteArray chunk = in.read(1 << 16);
        if (chunk.isEmpty() || out.write(chunk) != chunk.size()) {
            out.cancelWriting();
            throw ServiceError(faxbus::ErrorPathAccess, QStringLiteral("%1: %2").arg(target, out.errorString()));
        }
    }
    if (!out.commit())
        throw ServiceError(faxbus::ErrorPathAccess, QStringLiteral("%1: %2").arg(target, out.errorString()));
}

void FaxService::CopyJobTiff(const QString &id, const QString &path)
{
    guarded<bool>([&] {
        copyImage(m_spool.imagePath(Folder::Queue, knownJob(id)), path, QStringLiteral("job %1").arg(id));
        return true;
    });
}

Folder FaxService::archive(const QString &folder) const
{
    if (folder == faxbus::FolderOutgoing)
        return Folder::Sent;
    if (folder == faxbus::FolderIncoming)
        return Folder::Received;
    throw ServiceError(faxbus::ErrorInvalidArgument, QStringLiteral("There is no archive \"%1\".").arg(folder));
}

JobRecord FaxService::knownMessage(Folder folder, const QString &id) const
{
    const qint64 number = idNumber(id);
    auto message = number ? m_spool.message(folder, number) : std::nullopt;
    if (!message)
        throw ServiceError(faxbus::ErrorNotFound, QStringLiteral("There is no message \"%1\" in the %2 archive.")
                                                      .arg(id, folder == Folder::Sent ? faxbus::FolderOutgoing : faxbus::FolderIncoming));
    return JobRecord::fromProperties(*message);
}

faxbus::MapList FaxService::ListMessages(const QString &folder, const QString &after, int count, QString &next)
{
    return guarded<faxbus::MapList>([&] {
        const Folder f = archive(folder);
        const qint64 afterId = after.isEmpty() ? 0 : idNumber(after);
        if (!after.isEmpty() && afterId == 0)
            throw ServiceError(faxbus::ErrorInvalidArgument, QStringLiteral("\"%1\" is no message position.").arg(after));
        const int size = qBound(1, count, MaxPage);
        QList<JobRecord> page = fromPropertiesList(m_spool.messages(f, afterId, size + 1));
        next.clear();
        if (page.size() > size) {
            page.resize(size);
            next = page.last().idText();
        }
        return toPropertiesList(page);
    });
}

QVariantMap FaxService::GetMessage(const QString &folder, const QString &id)
{
    return guarded<QVariantMap>([&] { return knownMessage(archive(folder), id).toProperties(); });
}

void FaxService::DeleteMessage(const QString &folder, const QString &id)
{
    guarded<bool>([&] {
        const Folder f = archive(folder);
        knownMessage(f, id);
        m_spool.deleteMessage(f, idNumber(id));
        m_log.info(QStringLiteral("%1 message %2 deleted").arg(folder, id));
        Q_EMIT(f == Folder::Sent ? OutgoingMessageRemoved(id) : IncomingMessageRemoved(id));
        return true;
    });
}

void FaxService::CopyMessageTiff(const QString &folder, const QString &id, const QString &path)
{
    guarded<bool>([&] {
        const Folder f = archive(folder);
        knownMessage(f, id);
        copyImage(m_spool.imagePath(f, idNumber(id)), path, QStringLiteral("message %1").arg(id));
        return true;
    });
}

}  // namespace sendmere::faxd
