#include "Spool.h"

#include "ServiceLog.h"

#include "SpoolDatabase.h"
#include "SpoolProperties.h"

#include <QFile>
#include <QStandardPaths>

namespace sendmere::faxd {

Spool::Spool(QString root, const ServiceLog &log)
    : m_root(std::move(root)),
      m_connectionName(QStringLiteral("spool-%1").arg(quintptr(this), 0, 16)),
      m_log(log)
{
}

Spool::~Spool()
{
    {
        QSqlDatabase db = QSqlDatabase::database(m_connectionName, false);
        if (db.isValid())
            db.close();
    }
    QSqlDatabase::removeDatabase(m_connectionName);
}

QString Spool::defaultRoot()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/sendmere/fax");
}

QSet<QString> Spool::lineReceipts() const
{
    QSet<QString> keys;
    QSqlQuery q = Query(m_connectionName, QStringLiteral("SELECT key FROM line_receipts")).exec();
    while (q.next())
        keys.insert(q.value(0).toString());
    return keys;
}

QStringList Spool::submittedJobs(const QString &submissionId) const
{
    QStringList ids;
    QSqlQuery q = Query(m_connectionName, QStringLiteral("SELECT id FROM submissions WHERE key=? ORDER BY id")).bind(submissionId).exec();
    while (q.next())
        ids.append(idText(q.value(0).toLongLong()));
    return ids;
}

void Spool::insertRow(Folder folder, const QVariantMap &props)
{
    const qint64 id = idNumber(props.value(QStringLiteral("Id")).toString());
    if (folder == Folder::Queue)
        Query(m_connectionName, QStringLiteral("INSERT INTO jobs(id, props) VALUES(?, ?)")).bind(id).bind(toJson(props)).exec();
    else
        Query(m_connectionName, QStringLiteral("INSERT INTO messages(folder, id, props) VALUES(?, ?, ?)"))
            .bind(folderCode(folder)).bind(id).bind(toJson(props)).exec();
    // The sent copy carries it too, so a rebuild from the sidecars keeps the retry promise.
    const QString submission = props.value(QStringLiteral("SubmissionId")).toString();
    if (!submission.isEmpty() && folder != Folder::Received)
        Query(m_connectionName, QStringLiteral("INSERT OR IGNORE INTO submissions(key, id) VALUES(?, ?)")).bind(submission).bind(id).exec();
    // A fax from a fax server carries its place there, so a rebuild from the sidecars keeps it.
    const QString receipt = props.value(QStringLiteral("LineReceipt")).toString();
    if (!receipt.isEmpty() && folder == Folder::Received)
        Query(m_connectionName, QStringLiteral("INSERT OR IGNORE INTO line_receipts(key, id) VALUES(?, ?)")).bind(receipt).bind(id).exec();
    raiseNextIdAbove(id);
}

QList<QVariantMap> Spool::jobs() const
{
    QList<QVariantMap> result;
    QSqlQuery q = Query(m_connectionName, QStringLiteral("SELECT id, props FROM jobs ORDER BY id")).exec();
    while (q.next()) {
        if (auto props = fromJson(q.value(1).toByteArray()))
            result.append(*props);
        else
            m_log.warning(QStringLiteral("job %1: unreadable properties in the spool database; skipped").arg(idText(q.value(0).toLongLong())));
    }
    return result;
}

void Spool::insertJobs(const QList<QVariantMap> &jobs)
{
    insertRows(Folder::Queue, jobs, QStringLiteral("queueing jobs"));
}

void Spool::insertRows(Folder folder, const QList<QVariantMap> &rows, const QString &what)
{
    auto idOf = [](const QVariantMap &props) { return idNumber(props.value(QStringLiteral("Id")).toString()); };
    try {
        for (const auto &props : rows)
            prepareSidecar(folder, props);
        inTransaction(m_connectionName, [&] {
            for (const auto &props : rows)
                insertRow(folder, props);
            commitOrThrow(what);
        });
    } catch (const SpoolError &) {
        for (const auto &props : rows)
            discardSidecar(folder, idOf(props));
        throw;
    }
    for (const auto &props : rows) {
        placeImage(folder, idOf(props));
        placeSidecar(folder, idOf(props));
    }
}

void Spool::updateJob(const QVariantMap &job)
{
    const qint64 id = idNumber(job.value(QStringLiteral("Id")).toString());
    try {
        prepareSidecar(Folder::Queue, job);
        inTransaction(m_connectionName, [&] {
            Query(m_connectionName, QStringLiteral("UPDATE jobs SET props=? WHERE id=?")).bind(toJson(job)).bind(id).exec();
            commitOrThrow(QStringLiteral("updating job %1").arg(idText(id)));
        });
    } catch (const SpoolError &) {
        discardSidecar(Folder::Queue, id);
        throw;
    }
    placeSidecar(Folder::Queue, id);
}

void Spool::removeJob(qint64 id)
{
    inTransaction(m_connectionName, [&] {
        Query(m_connectionName, QStringLiteral("DELETE FROM jobs WHERE id=?")).bind(id).exec();
        insertTombstone(Folder::Queue, id);
        commitOrThrow(QStringLiteral("removing job %1").arg(idText(id)));
    });
    removeFiles(Folder::Queue, id);
}

// The archive copies are made under their .part names first; only the commit makes them
// count. A crash before the commit leaves the job queued and the copies as .part files that
// open() removes; a crash after it leaves .part files that open() moves into place.
void Spool::archiveJob(const QVariantMap &sent, const std::optional<QVariantMap> &received)
{
    const qint64 id = idNumber(sent.value(QStringLiteral("Id")).toString());
    const qint64 receivedId = received ? idNumber(received->value(QStringLiteral("Id")).toString()) : 0;
    auto copyImage = [&](Folder to, qint64 toId) {
        QFile::remove(partPath(to, toId));
        QFile source(imagePath(Folder::Queue, id));
        if (!source.copy(partPath(to, toId))) {
            const QString reason = source.errorString();
            QFile::remove(partPath(to, toId));
            throw SpoolError(QStringLiteral("cannot copy the image of job %1 to %2: %3").arg(idText(id), folderName(to), reason));
        }
    };
    try {
        copyImage(Folder::Sent, id);
        prepareSidecar(Folder::Sent, sent);
        if (received) {
            copyImage(Folder::Received, receivedId);
            prepareSidecar(Folder::Received, *received);
        }
        inTransaction(m_connectionName, [&] {
            Query(m_connectionName, QStringLiteral("DELETE FROM jobs WHERE id=?")).bind(id).exec();
            insertTombstone(Folder::Queue, id);
            insertRow(Folder::Sent, sent);
            if (received)
                insertRow(Folder::Received, *received);
            commitOrThrow(QStringLiteral("archiving job %1").arg(idText(id)));
        });
    } catch (const SpoolError &) {
        QFile::remove(partPath(Folder::Sent, id));
        discardSidecar(Folder::Sent, id);
        if (received) {
            QFile::remove(partPath(Folder::Received, receivedId));
            discardSidecar(Folder::Received, receivedId);
        }
        throw;
    }
    placeImage(Folder::Sent, id);
    placeSidecar(Folder::Sent, id);
    if (received) {
        placeImage(Folder::Received, receivedId);
        placeSidecar(Folder::Received, receivedId);
    }
    removeFiles(Folder::Queue, id);
}

std::optional<QVariantMap> Spool::message(Folder folder, qint64 id) const
{
    QSqlQuery q = Query(m_connectionName, QStringLiteral("SELECT props FROM messages WHERE folder=? AND id=?"))
                       .bind(folderCode(folder)).bind(id).exec();
    if (!q.next())
        return std::nullopt;
    return fromJson(q.value(0).toByteArray());
}

// Keyset pagination: each page starts after the last id of the one before, so walking the
// whole archive costs one index seek per page.
QList<QVariantMap> Spool::messages(Folder folder, qint64 afterId, int count) const
{
    QList<QVariantMap> page;
    QSqlQuery q = Query(m_connectionName, QStringLiteral("SELECT props FROM messages WHERE folder=? AND id>? ORDER BY id LIMIT ?"))
                       .bind(folderCode(folder)).bind(afterId).bind(count).exec();
    while (q.next())
        if (auto props = fromJson(q.value(0).toByteArray()))
            page.append(*props);
    return page;
}

void Spool::insertMessage(Folder folder, const QVariantMap &message)
{
    insertRows(folder, {message}, QStringLiteral("archiving a message"));
}

void Spool::insertMessages(Folder folder, const QList<QVariantMap> &messages)
{
    insertRows(folder, messages, QStringLiteral("archiving %1 messages").arg(messages.size()));
}

bool Spool::deleteMessage(Folder folder, qint64 id)
{
    bool deleted = false;
    inTransaction(m_connectionName, [&] {
        QSqlQuery q = Query(m_connectionName, QStringLiteral("DELETE FROM messages WHERE folder=? AND id=?"))
                           .bind(folderCode(folder)).bind(id).exec();
        deleted = q.numRowsAffected() > 0;
        if (deleted)
            insertTombstone(folder, id);
        commitOrThrow(QStringLiteral("deleting message %1").arg(idText(id)));
    });
    if (deleted)
        removeFiles(folder, id);
    return deleted;
}

}  // namespace sendmere::faxd
