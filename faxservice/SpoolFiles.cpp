// The spool's files: its folders, the images and the sidecars, written under their .part
// names and moved into place once their step is committed.
#include "Spool.h"
#include "SpoolProperties.h"

#include "ServiceLog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace sendmere::faxd {

QString Spool::directory(Folder folder) const { return m_root + u'/' + folderName(folder); }

QString Spool::imagePath(Folder folder, qint64 id) const
{
    return directory(folder) + u'/' + idText(id) + QStringLiteral(".tiff");
}

QString Spool::partPath(Folder folder, qint64 id) const { return imagePath(folder, id) + QStringLiteral(".part"); }

QString Spool::quarantineDirectory() const { return m_root + QStringLiteral("/quarantine"); }

QString Spool::submissionsDirectory() const { return m_root + QStringLiteral("/submissions"); }

bool Spool::ownsPath(const QString &path) const
{
    const QString canonicalRoot = QFileInfo(m_root).canonicalFilePath();
    QFileInfo info(path);
    // The file itself may not exist yet: its folder decides.
    const QString dir = QFileInfo(info.absolutePath()).canonicalFilePath();
    const QString target = info.exists() ? info.canonicalFilePath() : dir + u'/' + info.fileName();
    return !canonicalRoot.isEmpty() && (target == canonicalRoot || target.startsWith(canonicalRoot + u'/'));
}

void Spool::ensureDirectories() const
{
    const auto privateDir = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
    for (const QString &dir : {m_root, directory(Folder::Queue), directory(Folder::Sent), directory(Folder::Received), quarantineDirectory(),
                              submissionsDirectory()}) {
        if (!QDir().mkpath(dir))
            throw SpoolError(QStringLiteral("cannot create the spool folder %1").arg(dir));
        QFile::setPermissions(dir, privateDir);
    }
}

QString Spool::sidecarPath(Folder folder, qint64 id) const
{
    return directory(folder) + u'/' + idText(id) + QStringLiteral(".json");
}

// Sidecars are written under their .part name before the commit, where a lack of space still
// fails the whole step, and renamed after it, which needs no space: a committed row never
// lacks its sidecar for a rebuild to find.
void Spool::prepareSidecar(Folder folder, const QVariantMap &props) const
{
    const QByteArray json = toJson(props);
    QSaveFile file(sidecarPath(folder, idNumber(props.value(QStringLiteral("Id")).toString())) + QStringLiteral(".part"));
    if (!file.open(QIODevice::WriteOnly) || file.write(json) != json.size() || !file.commit()) {
        QFile::remove(file.fileName());
        throw SpoolError(QStringLiteral("cannot write the sidecar %1: %2").arg(file.fileName(), file.errorString()));
    }
    // A sidecar counts only once it reads back whole: a full disk must never leave a short
    // one behind a commit.
    QFile written(file.fileName());
    if (!written.open(QIODevice::ReadOnly) || written.readAll() != json) {
        QFile::remove(file.fileName());
        throw SpoolError(QStringLiteral("cannot write the sidecar %1: it does not read back whole (is the disk full?)").arg(file.fileName()));
    }
}

void Spool::placeSidecar(Folder folder, qint64 id) const
{
    const QString path = sidecarPath(folder, id);
    if (!QFile::exists(path + QStringLiteral(".part")))
        return;
    QFile::remove(path);
    if (!QFile::rename(path + QStringLiteral(".part"), path))
        m_log.warning(QStringLiteral("cannot move the sidecar %1 into place").arg(path));
}

void Spool::discardSidecar(Folder folder, qint64 id) const
{
    QFile::remove(sidecarPath(folder, id) + QStringLiteral(".part"));
}

void Spool::removeFiles(Folder folder, qint64 id) const
{
    QFile::remove(imagePath(folder, id));
    QFile::remove(directory(folder) + u'/' + idText(id) + QStringLiteral(".json"));
}

// Moves a committed row's image from its .part name into place; open() finishes this step
// when a crash came between the commit and the move.
void Spool::placeImage(Folder folder, qint64 id) const
{
    const QString part = partPath(folder, id);
    if (!QFileInfo::exists(part))
        return;
    QFile::remove(imagePath(folder, id));
    if (!QFile::rename(part, imagePath(folder, id)))
        m_log.warning(QStringLiteral("cannot move %1 into place").arg(part));
}

}  // namespace sendmere::faxd
