#pragma once
// The keys and values of one root key in memory, and their ".reg" text form.
#include "RegistryStore.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QLoggingCategory>
#include <QMap>
#include <QString>
#include <QStringList>
#include <optional>
#include <variant>

Q_DECLARE_LOGGING_CATEGORY(lcRegistry)

namespace sendmere::registry {

// A value of a type the store does not interpret (binary, multi-string, 64-bit ...), kept as
// read so that rewriting the file loses nothing.
struct OpaqueValue {
    QString typeTag;  // "hex" or "hex(7)" ...
    QByteArray bytes;
    bool operator==(const OpaqueValue &) const = default;
};

struct StoredValue {
    QString name;  // as first written; "" is the default value
    std::variant<RegValue, OpaqueValue> data;
};

struct HiveKey {
    QString path;  // as created, "" for the root key itself
    QList<StoredValue> values;
    // Case-folded name -> position in values, so that a key of many values is read and
    // written in time proportional to its size. Kept in step by set() and remove().
    QHash<QString, qsizetype> index;

    const StoredValue *find(const QString &name) const;
    // Replaces a value of the same name (keeping that name's spelling) or appends one.
    // Returns false when the key already held exactly this value.
    bool set(const QString &name, const std::variant<RegValue, OpaqueValue> &data);
    bool remove(const QString &name);
};

// A key path without a trailing backslash; nullopt for a path no key can have (empty
// components, control characters, components longer than 255 characters).
std::optional<QString> normalizeKeyPath(const QString &path);

// True when one of the two normalised paths is the other or one of its ancestors.
bool pathsRelated(const QString &a, const QString &b);

class Hive {
public:
    Hive();

    const HiveKey *key(const QString &normalizedPath) const;
    // The key and its missing parents; a parent that exists keeps its spelling.
    HiveKey &ensureKey(const QString &normalizedPath);
    QStringList childNames(const QString &normalizedPath) const;
    // Keys in hierarchical order without regard to case, the root key first.
    QList<const HiveKey *> keys() const;

private:
    static QString orderKey(const QString &normalizedPath);
    QMap<QString, HiveKey> m_keys;
};

struct ParseProblem {
    int line = 0;  // 1-based; 0 for the file as a whole
    QString message;
};

struct ParsedFile {
    Hive hive;
    QList<ParseProblem> problems;
};

// Reads UTF-16 (with byte order mark) or UTF-8 text, CRLF or LF. Never fails: whatever can
// be read is kept, everything else is reported as a problem.
ParsedFile parseRegFile(const QByteArray &bytes, const QString &rootName);
// UTF-16LE with byte order mark and CRLF line ends, as the registry editor writes it.
QByteArray formatRegFile(const Hive &hive, const QString &rootName);

}  // namespace sendmere::registry
