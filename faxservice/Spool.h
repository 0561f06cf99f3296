#pragma once
// The service's spool: a SQLite database (WAL) that holds the outgoing queue and both
// archives, plus one TIFF and one JSON sidecar per job or message in queue/, sent/ and
// received/. Every state change is one transaction. The sidecars let a corrupt database be
// rebuilt from the files; what cannot be recovered is written to the log.
#include <QList>
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

    // Opens the database, rebuilding it when it is corrupt, and reconciles it with the files.
    void open();
    bool wasRebuilt() const { return m_rebuilt; }

    qint64 allocateId();
    QString imagePath(Folder folder, qint64 id) const;
    QString partPath(Folder folder, qint64 id) const;  // where an image is written before it counts
    QString directory(Folder folder) const;

    QList<QVariantMap> jobs() const;
    void insertJobs(const QList<QVariantMap> &jobs);  // their images are in place already
    void updateJob(const QVariantMap &job);
    void removeJob(qint64 id);
    // Moves a transmitted job to the sent archive and, when given, delivers the loopback copy
    // into the received archive, in one transaction.
    void archiveJob(const QVariantMap &sent, const std::optional<QVariantMap> &received);

    std::optional<QVariantMap> message(Folder folder, qint64 id) const;
    QList<QVariantMap> messages(Folder folder, qint64 afterId, int count) const;
    void insertMessage(Folder folder, const QVariantMap &message);  // image in place already
    void insertMessages(Folder folder, const QList<QVariantMap> &messages);  // one transaction for all
    bool deleteMessage(Folder folder, qint64 id);

private:
    void ensureDirectories() const;
    bool openDatabase();
    void moveCorruptDatabaseAside();
    void createSchema();
    void reconcileJobs();
    void reportLostImages(Folder folder) const;
    void reconcileFiles(Folder folder);
    void raiseNextIdAbove(qint64 id);
    void writeSidecar(Folder folder, const QVariantMap &props) const;
    void removeFiles(Folder folder, qint64 id) const;
    void insertRow(Folder folder, const QVariantMap &props);
    void commitOrThrow(const QString &what);
    class Query;

    QString m_root;
    QString m_connectionName;
    const ServiceLog &m_log;
    bool m_rebuilt = false;
};

QString folderName(Folder folder);  // "queue", "sent", "received"

}  // namespace sendmere::faxd
