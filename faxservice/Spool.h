#pragma once
// The service's spool: a SQLite database (WAL) that holds the outgoing queue and both
// archives, plus one TIFF and one JSON sidecar per job or message in queue/, sent/ and
// received/. Every state change is one transaction. The sidecars let a corrupt database be
// rebuilt from the files; what cannot be recovered is written to the log.
#include <QList>
#include <QSet>
#include <QStringList>
#include <QString>
#include <QVariantMap>
#include <optional>
#include <stdexcept>

namespace sendmere::faxd {

class ServiceLog;

enum class Folder { Queue, Sent, Received };

class SpoolError : public std::runtime_error {
public:
    explicit SpoolError(const QString &message) : std::runtime_error(message.toStdString()) {}
};

QString idText(qint64 id);
qint64 idNumber(const QString &text);  // 0 when text is no id

class Spool {
public:
    Spool(QString root, const ServiceLog &log);
    ~Spool();
    Spool(const Spool &) = delete;
    Spool &operator=(const Spool &) = delete;

    static QString defaultRoot();  // $XDG_DATA_HOME/sendmere/fax

    // Opens the database, rebuilding it when it is corrupt, missing or empty, and reconciles
    // it with the files. What it cannot understand goes to the quarantine folder, never away.
    void open();
    bool wasRebuilt() const { return m_rebuilt; }

    qint64 allocateId();
    QList<qint64> allocateIds(int count);  // in one transaction
    // Ids reserved outside the database (an accepted submission not queued yet) are never
    // handed out again, also after a rebuild.
    void keepIdsAbove(qint64 id);
    QString imagePath(Folder folder, qint64 id) const;
    QString partPath(Folder folder, qint64 id) const;  // where an image is written before it counts
    QString directory(Folder folder) const;
    QString quarantineDirectory() const;
    QString submissionsDirectory() const;  // accepted submissions waiting for their render
    // True for the database, its journals, the lock and every file in the spool's folders.
    bool ownsPath(const QString &path) const;

    QList<QVariantMap> jobs() const;
    // Their images wait at partPath(); they move into place once the rows are committed.
    void insertJobs(const QList<QVariantMap> &jobs);
    void updateJob(const QVariantMap &job);
    // The jobs a submission with this client-given id made (queued, sent or cancelled since).
    QStringList submittedJobs(const QString &submissionId) const;
    void removeJob(qint64 id);
    // Moves a transmitted job to the sent archive and, when given, delivers the loopback copy
    // into the received archive, in one transaction.
    void archiveJob(const QVariantMap &sent, const std::optional<QVariantMap> &received);

    // The places on a fax server (a message's LineReceipt) of every fax brought in from there,
    // also of those deleted since.
    QSet<QString> lineReceipts() const;

    std::optional<QVariantMap> message(Folder folder, qint64 id) const;
    QList<QVariantMap> messages(Folder folder, qint64 afterId, int count) const;
    void insertMessage(Folder folder, const QVariantMap &message);  // image at partPath(), as above
    void insertMessages(Folder folder, const QList<QVariantMap> &messages);  // one transaction for all
    bool deleteMessage(Folder folder, qint64 id);

private:
    void ensureDirectories() const;
    bool openDatabase();
    void moveCorruptDatabaseAside();
    void createSchema();
    void reconcileJobs();
    void reportLostImages(Folder folder) const;
    void checkRows(Folder folder);
    void finishParts(Folder folder);
    void reconcileFiles(Folder folder);
    bool isTombstoned(Folder folder, qint64 id) const;
    bool hasRow(Folder folder, qint64 id) const;
    void quarantine(Folder folder, qint64 id, const QString &reason, const QByteArray &row = {}) const;
    void placeImage(Folder folder, qint64 id) const;
    void raiseNextIdAbove(qint64 id);
    QString sidecarPath(Folder folder, qint64 id) const;
    void prepareSidecar(Folder folder, const QVariantMap &props) const;
    void placeSidecar(Folder folder, qint64 id) const;
    void discardSidecar(Folder folder, qint64 id) const;
    void restoreSidecars(Folder folder);
    void insertRows(Folder folder, const QList<QVariantMap> &rows, const QString &what);
    void removeFiles(Folder folder, qint64 id) const;
    void insertRow(Folder folder, const QVariantMap &props);
    void insertTombstone(Folder folder, qint64 id);
    void commitOrThrow(const QString &what);
    class Query;

    QString m_root;
    QString m_connectionName;
    const ServiceLog &m_log;
    bool m_rebuilt = false;
};

QString folderName(Folder folder);  // "queue", "sent", "received"

// Properties as the spool writes them (compact JSON) and reads them back (numbers that were
// integers are integers again); nullopt for text that is no JSON object.
QByteArray propertiesToJson(const QVariantMap &props);
std::optional<QVariantMap> propertiesFromJson(const QByteArray &json);

// Why a job's or a message's properties (from a row or a sidecar) cannot be used; empty
// when they can. A job or message that would never move is no recovery.
QString propertiesProblem(Folder folder, const QVariantMap &props);

}  // namespace sendmere::faxd
