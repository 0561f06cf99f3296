// The spool's database: opening and checking it, moving a corrupt one aside, its tables, its
// commits and the ids it hands out.
#include "Spool.h"
#include "SpoolDatabase.h"

#include "ServiceLog.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <algorithm>

namespace sendmere::faxd {

namespace {

constexpr qint64 FirstId = 0x1000;  // ids read as four hex digits from the start
const QString DatabaseName = QStringLiteral("spool.db");

constexpr Folder AllFolders[] = {Folder::Queue, Folder::Sent, Folder::Received};

}  // namespace

bool Spool::openDatabase()
{
    QSqlDatabase db = QSqlDatabase::contains(m_connectionName)
                          ? QSqlDatabase::database(m_connectionName, false)
                          : QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connectionName);
    db.setDatabaseName(m_root + u'/' + DatabaseName);
    if (!db.open()) {
        m_log.warning(QStringLiteral("spool database %1 does not open: %2").arg(db.databaseName(), db.lastError().text()));
        return false;
    }
    try {
        Query(m_connectionName, QStringLiteral("PRAGMA journal_mode=WAL")).exec();
        Query(m_connectionName, QStringLiteral("PRAGMA synchronous=FULL")).exec();
        QSqlQuery check = Query(m_connectionName, QStringLiteral("PRAGMA quick_check")).exec();
        if (!check.next() || check.value(0).toString() != QStringLiteral("ok"))
            throw SpoolError(QStringLiteral("integrity check failed: %1").arg(check.value(0).toString()));
        // A database without our tables (deleted, emptied, or never made) knows nothing: what
        // the folders hold is taken back from the sidecars, never thrown away.
        const bool fresh = !Query(m_connectionName, QStringLiteral("SELECT 1 FROM sqlite_master WHERE name='meta'")).exec().next();
        createSchema();
        const bool anyFiles = std::any_of(std::begin(AllFolders), std::end(AllFolders), [this](Folder f) {
            return !QDir(directory(f)).isEmpty(QDir::Files);
        });
        if (fresh && !m_rebuilt && anyFiles) {
            m_rebuilt = true;
            m_log.warning(QStringLiteral("spool database %1 is missing or empty: rebuilding the queue and the archives "
                                         "from the files in %2").arg(db.databaseName(), m_root));
        }
    } catch (const SpoolError &e) {
        m_log.warning(QStringLiteral("spool database %1 is unusable: %2").arg(db.databaseName(), QString::fromUtf8(e.what())));
        db.close();
        return false;
    }
    return true;
}

void Spool::moveCorruptDatabaseAside()
{
    QSqlDatabase::database(m_connectionName, false).close();
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-hhmmss"));
    const QString base = m_root + u'/' + DatabaseName;
    const QString aside = base + QStringLiteral(".corrupt-") + stamp;
    QFile::remove(aside);
    QFile::rename(base, aside);
    for (const QString &suffix : {QStringLiteral("-wal"), QStringLiteral("-shm")}) {
        QFile::remove(aside + suffix);
        QFile::rename(base + suffix, aside + suffix);
    }
    m_log.warning(QStringLiteral("spool database was corrupt: moved to %1; rebuilding the queue and the archives "
                                 "from the files in %2")
                      .arg(aside, m_root));
}

void Spool::createSchema()
{
    Query(m_connectionName, QStringLiteral("CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value INTEGER NOT NULL)")).exec();
    Query(m_connectionName, QStringLiteral("CREATE TABLE IF NOT EXISTS jobs(id INTEGER PRIMARY KEY, props TEXT NOT NULL)")).exec();
    Query(m_connectionName, QStringLiteral("CREATE TABLE IF NOT EXISTS messages(folder INTEGER NOT NULL, id INTEGER NOT NULL, "
                                           "props TEXT NOT NULL, PRIMARY KEY(folder, id)) WITHOUT ROWID")).exec();
    // What a committed step deleted: its files may go even when a crash left them behind.
    Query(m_connectionName, QStringLiteral("CREATE TABLE IF NOT EXISTS removed(folder INTEGER NOT NULL, id INTEGER NOT NULL, "
                                           "PRIMARY KEY(folder, id)) WITHOUT ROWID")).exec();
    // Which jobs a client's submission id made, so that a retry gets them instead of new ones.
    Query(m_connectionName, QStringLiteral("CREATE TABLE IF NOT EXISTS submissions(key TEXT NOT NULL, id INTEGER NOT NULL, "
                                           "PRIMARY KEY(key, id)) WITHOUT ROWID")).exec();
    // Which faxes of a fax server were brought into the received archive, kept after the
    // message is deleted so that a fax is never brought in twice.
    Query(m_connectionName, QStringLiteral("CREATE TABLE IF NOT EXISTS line_receipts(key TEXT PRIMARY KEY, id INTEGER NOT NULL) "
                                           "WITHOUT ROWID")).exec();
    Query(m_connectionName, QStringLiteral("INSERT OR IGNORE INTO meta(key, value) VALUES('next_id', ?)")).bind(FirstId).exec();
}

void Spool::insertTombstone(Folder folder, qint64 id)
{
    Query(m_connectionName, QStringLiteral("INSERT OR IGNORE INTO removed(folder, id) VALUES(?, ?)")).bind(folderCode(folder)).bind(id).exec();
}

void Spool::commitOrThrow(const QString &what)
{
    QSqlDatabase db = QSqlDatabase::database(m_connectionName, false);
    if (!db.commit()) {
        const QString error = db.lastError().text();
        db.rollback();
        throw SpoolError(QStringLiteral("spool database: %1 failed: %2").arg(what, error));
    }
}

qint64 Spool::allocateId()
{
    qint64 id = 0;
    inTransaction(m_connectionName, [&] {
        QSqlQuery q = Query(m_connectionName, QStringLiteral("SELECT value FROM meta WHERE key='next_id'")).exec();
        id = q.next() ? q.value(0).toLongLong() : FirstId;
        Query(m_connectionName, QStringLiteral("UPDATE meta SET value=? WHERE key='next_id'")).bind(id + 1).exec();
        commitOrThrow(QStringLiteral("allocating an id"));
    });
    return id;
}

QList<qint64> Spool::allocateIds(int count)
{
    QList<qint64> ids;
    inTransaction(m_connectionName, [&] {
        QSqlQuery q = Query(m_connectionName, QStringLiteral("SELECT value FROM meta WHERE key='next_id'")).exec();
        const qint64 first = q.next() ? q.value(0).toLongLong() : FirstId;
        Query(m_connectionName, QStringLiteral("UPDATE meta SET value=? WHERE key='next_id'")).bind(first + count).exec();
        commitOrThrow(QStringLiteral("allocating %1 ids").arg(count));
        for (int i = 0; i < count; ++i)
            ids.append(first + i);
    });
    return ids;
}

void Spool::keepIdsAbove(qint64 id)
{
    raiseNextIdAbove(id);
}

void Spool::raiseNextIdAbove(qint64 id)
{
    Query(m_connectionName, QStringLiteral("UPDATE meta SET value=max(value, ?) WHERE key='next_id'")).bind(id + 1).exec();
}

bool Spool::hasRow(Folder folder, qint64 id) const
{
    return folder == Folder::Queue ? Query(m_connectionName, QStringLiteral("SELECT 1 FROM jobs WHERE id=?")).bind(id).exec().next()
                                   : Query(m_connectionName, QStringLiteral("SELECT 1 FROM messages WHERE folder=? AND id=?"))
                                         .bind(folderCode(folder)).bind(id).exec().next();
}

bool Spool::isTombstoned(Folder folder, qint64 id) const
{
    return Query(m_connectionName, QStringLiteral("SELECT 1 FROM removed WHERE folder=? AND id=?")).bind(folderCode(folder)).bind(id).exec().next();
}

}  // namespace sendmere::faxd
