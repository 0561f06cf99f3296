#pragma once
// A root's registry file on disk: what tells one version of it from another, reading it
// with its problems, keeping a damaged one aside, saving it atomically under its lock.
#include "RegHive.h"
#include "RegistryStore.h"

#include <QByteArray>
#include <QList>
#include <QLockFile>
#include <QString>

namespace sendmere::registry {

// What identifies one version of a file on disk without reading it. The inode tells a file
// saved atomically in the same clock tick apart from the one it replaced.
struct FileStamp {
    bool exists = false;
    qint64 size = 0;
    qint64 modifiedNs = 0;
    qint64 changedNs = 0;
    quint64 inode = 0;
    bool operator==(const FileStamp &) const = default;
};

struct ReadFile {
    Hive hive;
    QList<ParseProblem> problems;
    bool existed = false;
    bool unreadable = false;  // then it must not be replaced: what it holds is unknown
};

FileStamp stampOf(const QString &path);  // exists false when there is no file
ReadFile readFile(const QString &path, Root root);  // a missing file reads as the seed values
void reportProblems(const QString &path, const QList<ParseProblem> &problems);
bool keepDamagedCopy(const QString &path);
bool saveFile(const QString &path, const QByteArray &bytes);
bool acquire(QLockFile &lock);  // false when another process keeps it past the timeout
bool syncPath(const QString &path, int flags);  // fsync of the file or folder path opened with flags

}  // namespace sendmere::registry
