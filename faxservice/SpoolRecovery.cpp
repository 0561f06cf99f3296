// Opening the spool: unfinished steps are finished or undone, the database and the files are
// brought to agree, and what cannot be understood is kept in the quarantine folder.
#include "Spool.h"
#include "SpoolDatabase.h"
#include "SpoolProperties.h"

#include "ServiceLog.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace sendmere::faxd {

void Spool::open()
{
    ensureDirectories();
    if (!openDatabase()) {
        moveCorruptDatabaseAside();
        m_rebuilt = true;
        if (!openDatabase())
            throw SpoolError(QStringLiteral("cannot open a new spool database in %1").arg(m_root));
    }
    // A step that cannot be written now (a full disk) is left as it is, files and all, and
    // done at a later start; the service starts all the same.
    auto step = [this](const QString &what, const auto &body) {
        try {
            body();
        } catch (const SpoolError &e) {
            m_log.warning(QStringLiteral("%1 is left for a later start: %2").arg(what, QString::fromUtf8(e.what())));
        }
    };
    for (Folder f : {Folder::Sent, Folder::Received, Folder::Queue}) {
        step(QStringLiteral("checking the %1 rows").arg(folderName(f)), [&] { checkRows(f); });
        finishParts(f);
        step(QStringLiteral("restoring the %1 sidecars").arg(folderName(f)), [&] { restoreSidecars(f); });
    }
    // Archives first: a queued job whose copy is already archived was sent.
    for (Folder f : {Folder::Sent, Folder::Received, Folder::Queue})
        step(QStringLiteral("reconciling the %1 files").arg(folderName(f)), [&] { reconcileFiles(f); });
    step(QStringLiteral("requeueing interrupted jobs"), [&] { reconcileJobs(); });
    reportLostImages(Folder::Sent);
    reportLostImages(Folder::Received);
    // Every deletion the tombstones record has been carried out by now.
    step(QStringLiteral("clearing the removal records"), [&] { Query(m_connectionName, QStringLiteral("DELETE FROM removed")).exec(); });
}

// An archived message whose image has gone keeps its entry (its properties are still worth
// having); the log says which image is lost.
void Spool::reportLostImages(Folder folder) const
{
    qint64 after = 0;
    while (true) {
        QSqlQuery q = Query(m_connectionName, QStringLiteral("SELECT id FROM messages WHERE folder=? AND id>? ORDER BY id LIMIT 500"))
                          .bind(folderCode(folder)).bind(after).exec();
        bool any = false;
        while (q.next()) {
            any = true;
            after = q.value(0).toLongLong();
            if (!QFileInfo::exists(imagePath(folder, after)))
                m_log.warning(QStringLiteral("%1 %2: its fax image %3 is lost").arg(folderName(folder), idText(after), imagePath(folder, after)));
        }
        if (!any)
            return;
    }
}

// A committed row whose sidecar is missing (written by an older version, or removed by hand)
// gets it back, so that a later rebuild finds every fax.
void Spool::restoreSidecars(Folder folder)
{
    const QString select = folder == Folder::Queue ? QStringLiteral("SELECT id, props FROM jobs WHERE id>? ORDER BY id LIMIT 500")
                                                   : QStringLiteral("SELECT id, props FROM messages WHERE folder=%1 AND id>? ORDER BY id LIMIT 500")
                                                         .arg(folderCode(folder));
    qint64 after = 0;
    for (bool any = true; any;) {
        any = false;
        QSqlQuery q = Query(m_connectionName, select).bind(after).exec();
        while (q.next()) {
            any = true;
            after = q.value(0).toLongLong();
            if (QFileInfo::exists(sidecarPath(folder, after)))
                continue;
            if (const auto props = fromJson(q.value(1).toByteArray())) {
                prepareSidecar(folder, *props);
                placeSidecar(folder, after);
                m_log.info(QStringLiteral("%1 %2: its missing sidecar was written again").arg(folderName(folder), idText(after)));
            }
        }
    }
}

// Jobs that were being sent when the service stopped go back to the queue; jobs whose image
// has gone cannot be sent and are marked failed, so the user sees what was lost.
void Spool::reconcileJobs()
{
    for (QVariantMap job : jobs()) try {
        const qint64 id = idNumber(job.value(QStringLiteral("Id")).toString());
        const int status = job.value(QStringLiteral("Status")).toInt();
        if (!QFileInfo::exists(imagePath(Folder::Queue, id))) {
            if (status == 8)
                continue;
            m_log.warning(QStringLiteral("job %1: its fax image %2 is missing; the job is marked failed")
                              .arg(idText(id), imagePath(Folder::Queue, id)));
            job.insert(QStringLiteral("Status"), 8);
            job.insert(QStringLiteral("ExtendedStatus"), QStringLiteral("The fax image is missing"));
            updateJob(job);
        } else if ((status == 2 || status == 1024) && job.value(QStringLiteral("LineTag")).toString().isEmpty()) {
            // A job that a fax server has (it has a line tag) goes on there: its line follows it,
            // and a cancel that the server has not confirmed yet is still to be made.
            m_log.warning(QStringLiteral("job %1 was interrupted in transmission; it is queued again").arg(idText(id)));
            job.insert(QStringLiteral("Status"), status == 2 ? 1 : 512);
            job.insert(QStringLiteral("ExtendedStatus"), QString());
            updateJob(job);
        }
    } catch (const SpoolError &e) {
        // The queue in memory requeues it all the same (see OutgoingQueue::load).
        m_log.warning(QStringLiteral("job %1: %2").arg(job.value(QStringLiteral("Id")).toString(), QString::fromUtf8(e.what())));
    }
}

// Moves a fax's files (and the row it had, when given) into the quarantine folder, where a
// person can look at them; nothing the service does not understand is deleted.
void Spool::quarantine(Folder folder, qint64 id, const QString &reason, const QByteArray &row) const
{
    const QString stem = quarantineDirectory() + u'/' + folderName(folder) + u'-' + idText(id);
    QStringList moved;
    for (const QString &suffix : {QStringLiteral(".tiff"), QStringLiteral(".json")}) {
        const QString from = directory(folder) + u'/' + idText(id) + suffix;
        if (!QFileInfo::exists(from))
            continue;
        QString to = stem + suffix;
        for (int n = 1; QFileInfo::exists(to); ++n)
            to = stem + QStringLiteral("-%1").arg(n) + suffix;
        if (QFile::rename(from, to))
            moved << to;
        else
            m_log.warning(QStringLiteral("cannot move %1 into the quarantine folder; it stays").arg(from));
    }
    if (!row.isEmpty()) {
        QSaveFile file(stem + QStringLiteral(".row"));
        if (file.open(QIODevice::WriteOnly) && file.write(row) >= 0 && file.commit())
            moved << file.fileName();
    }
    m_log.warning(QStringLiteral("%1 %2: %3; kept in quarantine as %4")
                      .arg(folderName(folder), idText(id), reason, moved.isEmpty() ? QStringLiteral("(no files)") : moved.join(QStringLiteral(", "))));
}

// Rows whose properties cannot be read or used are repaired from their sidecar; where that
// cannot be done either, the row leaves the database and its files go to quarantine.
void Spool::checkRows(Folder folder)
{
    const QString select = folder == Folder::Queue ? QStringLiteral("SELECT id, props FROM jobs WHERE id>? ORDER BY id LIMIT 500")
                                                   : QStringLiteral("SELECT id, props FROM messages WHERE folder=%1 AND id>? ORDER BY id LIMIT 500")
                                                         .arg(folderCode(folder));
    qint64 after = 0;
    while (true) {
        QList<std::pair<qint64, QByteArray>> bad;
        QSqlQuery q = Query(m_connectionName, select).bind(after).exec();
        bool any = false;
        while (q.next()) {
            any = true;
            after = q.value(0).toLongLong();
            const auto props = fromJson(q.value(1).toByteArray());
            if (!props || !propertiesProblem(folder, *props).isEmpty())
                bad.append({after, q.value(1).toByteArray()});
        }
        for (const auto &[id, row] : bad) {
            const auto sidecar = readSidecar(directory(folder) + u'/' + idText(id) + QStringLiteral(".json"));
            const QString problem = !fromJson(row) ? QStringLiteral("unreadable properties") : propertiesProblem(folder, *fromJson(row));
            inTransaction(m_connectionName, [&] {
                QString table = folder == Folder::Queue ? QStringLiteral("jobs WHERE id=?")
                                                              : QStringLiteral("messages WHERE folder=%1 AND id=?").arg(folderCode(folder));
                if (sidecar && propertiesProblem(folder, *sidecar).isEmpty()) {
                    QVariantMap props = *sidecar;
                    props.insert(QStringLiteral("Id"), idText(id));
                    Query(m_connectionName, QStringLiteral("UPDATE ") + table.replace(QStringLiteral(" WHERE"), QStringLiteral(" SET props=? WHERE")))
                        .bind(toJson(props)).bind(id).exec();
                    m_log.warning(QStringLiteral("%1 %2: %3 in the spool database; taken back from its sidecar").arg(folderName(folder), idText(id), problem));
                } else {
                    Query(m_connectionName, QStringLiteral("DELETE FROM ") + table).bind(id).exec();
                    quarantine(folder, id, problem + QStringLiteral(" in the spool database and no usable sidecar"), row);
                }
                commitOrThrow(QStringLiteral("repairing %1").arg(idText(id)));
            });
        }
        if (!any)
            return;
    }
}

// A .part file is an image whose step had not finished: with a committed row it is moved into
// place, without one it is the leftover of a step the database never committed.
void Spool::finishParts(Folder folder)
{
    QDirIterator files(directory(folder), {QStringLiteral("*.part"), QStringLiteral("*.part.*")}, QDir::Files);
    while (files.hasNext()) {
        const QFileInfo info(files.next());
        const QString name = info.fileName();
        const qint64 id = idNumber(name.section(u'.', 0, 0));
        if (id != 0 && name == idText(id) + QStringLiteral(".tiff.part") && hasRow(folder, id) && !QFileInfo::exists(imagePath(folder, id))) {
            placeImage(folder, id);
            m_log.info(QStringLiteral("%1 %2: finished moving its image into place").arg(folderName(folder), idText(id)));
            continue;
        }
        QFile::remove(info.absoluteFilePath());
        m_log.info(QStringLiteral("%1: removed %2, a file of an unfinished step").arg(folderName(folder), name));
    }
}

// Files without a row: what a committed step deleted goes; a queued job that was archived
// goes; everything else is taken back from its sidecar, or kept in quarantine when that
// cannot be read. After a rebuild this takes back the whole queue and both archives.
void Spool::reconcileFiles(Folder folder)
{
    const QDir dir(directory(folder));
    // Walked entry by entry: an archive of many thousand faxes is never listed in memory.
    QDirIterator files(dir.path(), {QStringLiteral("*.json"), QStringLiteral("*.tiff")}, QDir::Files);
    while (files.hasNext()) {
        const QFileInfo info(files.next());
        const qint64 id = idNumber(info.completeBaseName());
        if (id == 0 || info.completeBaseName() != idText(id) || !info.exists())
            continue;
        raiseNextIdAbove(id);
        if (hasRow(folder, id))
            continue;
        if (isTombstoned(folder, id) || (folder == Folder::Queue && hasRow(Folder::Sent, id))) {
            m_log.info(QStringLiteral("%1 %2: removed the files of a fax the spool had removed").arg(folderName(folder), idText(id)));
            removeFiles(folder, id);
            continue;
        }
        const auto props = readSidecar(dir.filePath(idText(id) + QStringLiteral(".json")));
        const QString problem = !props ? QStringLiteral("no readable sidecar") : propertiesProblem(folder, *props);
        if (!problem.isEmpty()) {
            quarantine(folder, id, problem);
            continue;
        }
        QVariantMap recovered = *props;
        recovered.insert(QStringLiteral("Id"), idText(id));  // the file's name is the authority
        inTransaction(m_connectionName, [&] {
            insertRow(folder, recovered);
            commitOrThrow(QStringLiteral("recovering %1").arg(idText(id)));
        });
        m_log.info(QStringLiteral("%1 %2: recovered from its sidecar").arg(folderName(folder), idText(id)));
    }
}

}  // namespace sendmere::faxd
