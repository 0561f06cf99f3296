#pragma once
// Reading the files other programs put into the mail store and the contacts folder: only a
// regular file is read, and only up to a limit, so that a FIFO, a device or a link to one
// never blocks the program or fills its memory.
#include <QByteArray>
#include <QString>
#include <optional>

namespace sendmere::mail {

enum class Links { Follow, Refuse };

// The whole file at path, when it is a regular file of at most limit bytes; otherwise
// nullopt and error says why (errorNumber, when given, gets the system's error number, 0 for
// a file of the wrong kind or size). With Links::Refuse a symbolic link is refused as well.
std::optional<QByteArray> readRegularFile(const QString &path, qint64 limit, Links links, QString *error,
                                          int *errorNumber = nullptr);

}  // namespace sendmere::mail
