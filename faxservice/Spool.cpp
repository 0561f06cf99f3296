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
constexpr Folder AllFolders[] = {Folder::Queue, Folder::Sent, Folder::Received};

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

QByteArray propertiesToJson(const QVariantMap &props) { return toJson(props); }
std::optional<QVariantMap> propertiesFromJson(const QByteArray &json) { return fromJson(json); }

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

namespace {

constexpr qint64 MaxPages = 100000;
const QList<int> KnownStatuses{1, 2, 8, 64, 128, 256, 512, 1024};

bool isInteger(const QVariant &v) { return v.metaType().id() == QMetaType::LongLong || v.metaType().id() == QMetaType::Int; }

// A missing key is allowed (the service fills it in); a key of the wrong type is not.
QString typeProblem(const QVariantMap &props, const QString &key, QMetaType::Type type)
{
    if (!props.contains(key))
        return {};
    const QVariant v = props.value(key);
    const bool fits = type == QMetaType::LongLong ? isInteger(v) : v.metaType().id() == int(type);
    return fits ? QString() : QStringLiteral("%1 is not a %2").arg(key, type == QMetaType::LongLong ? QStringLiteral("number")
                                                                  : type == QMetaType::QString ? QStringLiteral("text")
                                                                                               : QStringLiteral("record"));
}

}  // namespace

QString propertiesProblem(Folder folder, const QVariantMap &props)
{
    for (const char *key : {"Pages", "Status", "Priority", "Retries", "ScheduledTime", "OriginalScheduledTime", "SubmissionTime",
                            "TransmissionStart", "TransmissionEnd"})
        if (QString p = typeProblem(props, QString::fromLatin1(key), QMetaType::LongLong); !p.isEmpty())
            return p;
    for (const char *key : {"Subject", "DocumentName", "Note", "CSID", "TSID", "DeviceName", "ExtendedStatus", "CallerId"})
        if (QString p = typeProblem(props, QString::fromLatin1(key), QMetaType::QString); !p.isEmpty())
            return p;
    for (const char *key : {"Sender", "Recipient"})
        if (QString p = typeProblem(props, QString::fromLatin1(key), QMetaType::QVariantMap); !p.isEmpty())
            return p;
    const qint64 pages = props.value(QStringLiteral("Pages")).toLongLong();
    if (pages < 0 || pages > MaxPages)
        return QStringLiteral("%1 pages is no fax").arg(pages);
    if (folder == Folder::Queue) {
        if (pages < 1)
            return QStringLiteral("a queued job without pages");
        if (!KnownStatuses.contains(int(props.value(QStringLiteral("Status")).toLongLong())) || !isInteger(props.value(QStringLiteral("Status"))))
            return QStringLiteral("status %1 is no job status").arg(props.value(QStringLiteral("Status")).toString());
        if (props.value(QStringLiteral("Recipient")).toMap().value(QStringLiteral("FaxNumber")).toString().trimmed().isEmpty())
            return QStringLiteral("the job has no recipient");
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
    Query(m_connectionName, QStringLiteral("INSERT OR IGNORE INTO meta(key, value) VALUES('next_id', ?)")).bind(FirstId).exec();
}

QStringList Spool::submittedJobs(const QString &submissionId) const
{
    QStringList ids;
    QSqlQuery q = Query(m_connectionName, QStringLiteral("SELECT id FROM submissions WHERE key=? ORDER BY id")).bind(submissionId).exec();
    while (q.next())
        ids.append(idText(q.value(0).toLongLong()));
    return ids;
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
    // The sent copy carries it too, so a rebuild from the sidecars keeps the retry promise.
    const QString submission = props.value(QStringLiteral("SubmissionId")).toString();
    if (!submission.isEmpty() && folder != Folder::Received)
        Query(m_connectionName, QStringLiteral("INSERT OR IGNORE INTO submissions(key, id) VALUES(?, ?)")).bind(submission).bind(id).exec();
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
        } else if (status == 2 || status == 1024) {
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
