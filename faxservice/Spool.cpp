#include "Spool.h"

#include "ServiceLog.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <cmath>

namespace sendmere::faxd {

namespace {

constexpr qint64 FirstId = 0x1000;  // ids read as four hex digits from the start
const QString DatabaseName = QStringLiteral("spool.db");

int folderCode(Folder folder) { return int(folder); }

QVariant plainJson(const QJsonValue &value);

QVariantMap mapFromJson(const QJsonObject &object)
{
    QVariantMap map;
    for (auto it = object.begin(); it != object.end(); ++it)
        map.insert(it.key(), plainJson(it.value()));
    return map;
}

// JSON numbers come back as doubles; ids, statuses and dates are integers again.
QVariant plainJson(const QJsonValue &value)
{
    if (value.isObject())
        return mapFromJson(value.toObject());
    if (value.isArray()) {
        QVariantList list;
        for (const auto &item : value.toArray())
            list.append(plainJson(item));
        return list;
    }
    if (value.isDouble()) {
        const double d = value.toDouble();
        if (std::floor(d) == d && std::abs(d) < 9e15)
            return qint64(d);
        return d;
    }
    if (value.isNull() || value.isUndefined())
        return QString();  // a null cannot travel on the bus; a hand-edited sidecar may hold one
    return value.toVariant();
}

QByteArray toJson(const QVariantMap &map)
{
    return QJsonDocument(QJsonObject::fromVariantMap(map)).toJson(QJsonDocument::Compact);
}

std::optional<QVariantMap> fromJson(const QByteArray &bytes)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    return mapFromJson(doc.object());
}

std::optional<QVariantMap> readSidecar(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return fromJson(file.readAll());
}

}  // namespace

QString idText(qint64 id) { return QString::number(id, 16); }

qint64 idNumber(const QString &text)
{
    bool ok = false;
    const qint64 id = text.trimmed().toLongLong(&ok, 16);
    return ok && id > 0 ? id : 0;
}

QString folderName(Folder folder)
{
    switch (folder) {
    case Folder::Queue: return QStringLiteral("queue");
    case Folder::Sent: return QStringLiteral("sent");
    case Folder::Received: return QStringLiteral("received");
    }
    return {};
}

// A prepared statement that raises SpoolError when it fails.
class Spool::Query {
public:
    Query(const QString &connection, const QString &sql) : m_query(QSqlDatabase::database(connection, false))
    {
        if (!m_query.prepare(sql))
            throw SpoolError(QStringLiteral("spool database: %1 (%2)").arg(m_query.lastError().text(), sql));
    }
    Query &bind(const QVariant &value) { m_query.addBindValue(value); return *this; }
    QSqlQuery exec()
    {
        if (!m_query.exec())
            throw SpoolError(QStringLiteral("spool database: %1").arg(m_query.lastError().text()));
        return std::move(m_query);
    }

private:
    QSqlQuery m_query;
};

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

QString Spool::directory(Folder folder) const { return m_root + u'/' + folderName(folder); }

QString Spool::imagePath(Folder folder, qint64 id) const
{
    return directory(folder) + u'/' + idText(id) + QStringLiteral(".tiff");
}

QString Spool::partPath(Folder folder, qint64 id) const { return imagePath(folder, id) + QStringLiteral(".part"); }

void Spool::ensureDirectories() const
{
    const auto privateDir = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
    for (const QString &dir : {m_root, directory(Folder::Queue), directory(Folder::Sent), directory(Folder::Received)}) {
        if (!QDir().mkpath(dir))
            throw SpoolError(QStringLiteral("cannot create the spool folder %1").arg(dir));
        QFile::setPermissions(dir, privateDir);
    }
}

void Spool::open()
{
    ensureDirectories();
    if (!openDatabase()) {
        moveCorruptDatabaseAside();
        m_rebuilt = true;
        if (!openDatabase())
            throw SpoolError(QStringLiteral("cannot open a new spool database in %1").arg(m_root));
    }
    // Archives first: a queued job whose copy is already archived was sent.
    for (Folder f : {Folder::Sent, Folder::Received, Folder::Queue})
        reconcileFiles(f);
    reconcileJobs();
    reportLostImages(Folder::Sent);
    reportLostImages(Folder::Received);
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
        createSchema();
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
    Query(m_connectionName, QStringLiteral("INSERT OR IGNORE INTO meta(key, value) VALUES('next_id', ?)")).bind(FirstId).exec();
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

// Runs body inside one transaction; any failure rolls it back and is raised again.
template <typename Body>
static void inTransaction(const QString &connection, Body body)
{
    QSqlDatabase db = QSqlDatabase::database(connection, false);
    if (!db.transaction())
        throw SpoolError(QStringLiteral("spool database: cannot begin a transaction: %1").arg(db.lastError().text()));
    try {
        body();
    } catch (...) {
        db.rollback();
        throw;
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

void Spool::raiseNextIdAbove(qint64 id)
{
    Query(m_connectionName, QStringLiteral("UPDATE meta SET value=max(value, ?) WHERE key='next_id'")).bind(id + 1).exec();
}

void Spool::writeSidecar(Folder folder, const QVariantMap &props) const
{
    QSaveFile file(directory(folder) + u'/' + props.value(QStringLiteral("Id")).toString() + QStringLiteral(".json"));
    if (!file.open(QIODevice::WriteOnly) || file.write(toJson(props)) < 0 || !file.commit())
        m_log.warning(QStringLiteral("cannot write the sidecar %1: %2").arg(file.fileName(), file.errorString()));
}

void Spool::removeFiles(Folder folder, qint64 id) const
{
    QFile::remove(imagePath(folder, id));
    QFile::remove(directory(folder) + u'/' + idText(id) + QStringLiteral(".json"));
}

void Spool::insertRow(Folder folder, const QVariantMap &props)
{
    const qint64 id = idNumber(props.value(QStringLiteral("Id")).toString());
    if (folder == Folder::Queue)
        Query(m_connectionName, QStringLiteral("INSERT INTO jobs(id, props) VALUES(?, ?)")).bind(id).bind(toJson(props)).exec();
    else
        Query(m_connectionName, QStringLiteral("INSERT INTO messages(folder, id, props) VALUES(?, ?, ?)"))
            .bind(folderCode(folder)).bind(id).bind(toJson(props)).exec();
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
    inTransaction(m_connectionName, [&] {
        for (const auto &job : jobs)
            insertRow(Folder::Queue, job);
        commitOrThrow(QStringLiteral("queueing jobs"));
    });
    for (const auto &job : jobs)
        writeSidecar(Folder::Queue, job);
}

void Spool::updateJob(const QVariantMap &job)
{
    const qint64 id = idNumber(job.value(QStringLiteral("Id")).toString());
    inTransaction(m_connectionName, [&] {
        Query(m_connectionName, QStringLiteral("UPDATE jobs SET props=? WHERE id=?")).bind(toJson(job)).bind(id).exec();
        commitOrThrow(QStringLiteral("updating job %1").arg(idText(id)));
    });
    writeSidecar(Folder::Queue, job);
}

void Spool::removeJob(qint64 id)
{
    inTransaction(m_connectionName, [&] {
        Query(m_connectionName, QStringLiteral("DELETE FROM jobs WHERE id=?")).bind(id).exec();
        commitOrThrow(QStringLiteral("removing job %1").arg(idText(id)));
    });
    removeFiles(Folder::Queue, id);
}

// The archive copies are made first; only the commit makes them count. A crash before the
// commit leaves the job queued and the copies as leftovers that open() removes.
void Spool::archiveJob(const QVariantMap &sent, const std::optional<QVariantMap> &received)
{
    const qint64 id = idNumber(sent.value(QStringLiteral("Id")).toString());
    auto copyImage = [&](Folder to, qint64 toId) {
        QFile::remove(imagePath(to, toId));
        if (!QFile::copy(imagePath(Folder::Queue, id), imagePath(to, toId)))
            throw SpoolError(QStringLiteral("cannot copy the image of job %1 to %2").arg(idText(id), folderName(to)));
    };
    copyImage(Folder::Sent, id);
    writeSidecar(Folder::Sent, sent);
    if (received) {
        copyImage(Folder::Received, idNumber(received->value(QStringLiteral("Id")).toString()));
        writeSidecar(Folder::Received, *received);
    }
    inTransaction(m_connectionName, [&] {
        Query(m_connectionName, QStringLiteral("DELETE FROM jobs WHERE id=?")).bind(id).exec();
        insertRow(Folder::Sent, sent);
        if (received)
            insertRow(Folder::Received, *received);
        commitOrThrow(QStringLiteral("archiving job %1").arg(idText(id)));
    });
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
    inTransaction(m_connectionName, [&] {
        insertRow(folder, message);
        commitOrThrow(QStringLiteral("archiving a message"));
    });
    writeSidecar(folder, message);
}

void Spool::insertMessages(Folder folder, const QList<QVariantMap> &messages)
{
    inTransaction(m_connectionName, [&] {
        for (const QVariantMap &message : messages)
            insertRow(folder, message);
        commitOrThrow(QStringLiteral("archiving %1 messages").arg(messages.size()));
    });
    for (const QVariantMap &message : messages)
        writeSidecar(folder, message);
}

bool Spool::deleteMessage(Folder folder, qint64 id)
{
    bool deleted = false;
    inTransaction(m_connectionName, [&] {
        QSqlQuery q = Query(m_connectionName, QStringLiteral("DELETE FROM messages WHERE folder=? AND id=?"))
                           .bind(folderCode(folder)).bind(id).exec();
        deleted = q.numRowsAffected() > 0;
        commitOrThrow(QStringLiteral("deleting message %1").arg(idText(id)));
    });
    if (deleted)
        removeFiles(folder, id);
    return deleted;
}

// Jobs that were being sent when the service stopped go back to the queue; jobs whose image
// has gone cannot be sent and are marked failed, so the user sees what was lost.
void Spool::reconcileJobs()
{
    for (QVariantMap job : jobs()) {
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
        } else if (status == 2 || status == 1024) {
            m_log.warning(QStringLiteral("job %1 was interrupted in transmission; it is queued again").arg(idText(id)));
            job.insert(QStringLiteral("Status"), status == 2 ? 1 : 512);
            job.insert(QStringLiteral("ExtendedStatus"), QString());
            updateJob(job);
        }
    }
}

// Files without a row: after a rebuild they are what is left of the queue and the archives
// and are taken back; otherwise they are leftovers of a step that never committed.
void Spool::reconcileFiles(Folder folder)
{
    const QDir dir(directory(folder));
    // Walked entry by entry: an archive of many thousand faxes is never listed in memory.
    QDirIterator files(dir.path(), {QStringLiteral("*.json"), QStringLiteral("*.tiff"), QStringLiteral("*.part")}, QDir::Files);
    while (files.hasNext()) {
        const QFileInfo info(files.next());
        if (info.suffix() == QStringLiteral("part")) {
            QFile::remove(info.absoluteFilePath());
            continue;
        }
        const qint64 id = idNumber(info.completeBaseName());
        if (id == 0 || !info.exists())
            continue;
        raiseNextIdAbove(id);
        const bool known = folder == Folder::Queue
                               ? Query(m_connectionName, QStringLiteral("SELECT 1 FROM jobs WHERE id=?")).bind(id).exec().next()
                               : message(folder, id).has_value();
        if (known)
            continue;
        const bool archived = folder == Folder::Queue && message(Folder::Sent, id).has_value();
        const auto props = readSidecar(dir.filePath(idText(id) + QStringLiteral(".json")));
        if (!m_rebuilt || archived || !props) {
            if (m_rebuilt && !archived)
                m_log.warning(QStringLiteral("%1 %2: no readable sidecar; %3 is lost")
                                  .arg(folderName(folder), idText(id), info.absoluteFilePath()));
            else if (!m_rebuilt)
                m_log.info(QStringLiteral("%1 %2: removed files of an unfinished step").arg(folderName(folder), idText(id)));
            removeFiles(folder, id);
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
