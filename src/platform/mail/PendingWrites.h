#pragma once
// Messages waiting for the mail server: while it is away, what the store would have
// appended is kept here, one file per message in the order written, each written whole
// before it appears (a new file is renamed into place), so that nothing is lost when the
// program ends before the server is back.
#include <QByteArray>
#include <QString>
#include <optional>
#include <vector>

namespace sendmere::mail {

struct PendingMessage {
    quint64 sequence = 0;  // its place in the order of writes
    int folder = 0;        // the default folder it goes to
    bool seen = false;
    QString fileName;
};

class PendingWrites {
public:
    explicit PendingWrites(QString directory);

    const QString &directory() const { return m_directory; }
    // In the order they were written.
    std::vector<PendingMessage> list() const;
    std::optional<PendingMessage> find(quint64 sequence) const;
    QByteArray read(const PendingMessage &message) const;  // raises when it cannot

    PendingMessage add(int folder, bool seen, const QByteArray &bytes);
    // Replaces the content (and the folder and flag) of a waiting message, keeping its place.
    PendingMessage replace(const PendingMessage &message, int folder, bool seen, const std::optional<QByteArray> &bytes);
    void remove(const PendingMessage &message);
    // Takes a message out of the queue but keeps its file (renamed "<name>.damaged").
    QString setAside(const PendingMessage &message);

    static QString keyOf(quint64 sequence);              // the message's key in its folder
    static std::optional<quint64> sequenceOf(const QString &key);

private:
    QString pathOf(const PendingMessage &message) const;
    void writeWhole(const QString &path, const QByteArray &bytes) const;

    QString m_directory;
};

}  // namespace sendmere::mail
