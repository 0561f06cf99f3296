#pragma once
// The mail store's own file operations on a Maildir: reading, writing and renaming message
// files with the failures they stand for, and listing a folder while other programs change it.
#include "platform/AutomationError.h"

#include <QByteArray>
#include <QDateTime>
#include <QLoggingCategory>
#include <QSet>
#include <QString>
#include <QStringList>
#include <chrono>
#include <optional>
#include <utility>
#include <vector>

Q_DECLARE_LOGGING_CATEGORY(lcMailStore)

namespace sendmere::mail {

// A writer holds the lock for one item at most, the picture converter's time included.
constexpr std::chrono::seconds LockWait{90};

struct Stamp {
    qint64 sec = -1;
    qint64 nsec = 0;
    bool operator==(const Stamp &) const = default;
};

QByteArray encoded(const QString &path);
AutomationError fileError(int error, const QString &what, const QString &path);
Stamp stampOf(const QString &dir);  // a missing directory has the default stamp
void setFileTime(const QString &path, const QDateTime &time);

enum class Only { Any, RegularFiles };
QStringList listDirectory(const QString &dir, Only only = Only::Any);  // sorted, without dot files

std::optional<QByteArray> readMessageFile(const QString &path);
void writeNewFile(const QString &path, const QByteArray &bytes);
void renameFile(const QString &from, const QString &to);
bool fileExists(const QString &path);

// The message files of a folder's new/ and cur/, by key, in folder order, and the times of
// both directories taken before the listing that was used, so a change made while listing
// is seen next time. A program renaming files meanwhile (a flag change renames a file
// within cur/) can make one reading of a directory miss a file: the folder is read again
// until both directories kept their times across a reading, and a key seen in any reading
// counts as there.
struct FolderListing {
    std::vector<std::pair<QString, QString>> names;  // key, "cur/<name>" or "new/<name>"
    QSet<QString> keys;
    Stamp cur, fresh;
};

FolderListing listFolder(const QString &path);
std::optional<QByteArray> readRenamed(const QString &path, const QString &key, QString &fileName, bool &renamedAway);

}  // namespace sendmere::mail
