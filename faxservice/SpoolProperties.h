#pragma once
// The spool's own reading and writing of properties as JSON, shared by its database rows and
// its sidecar files.
#include <QByteArray>
#include <QString>
#include <QVariantMap>
#include <optional>

namespace sendmere::faxd {

QByteArray toJson(const QVariantMap &map);
std::optional<QVariantMap> fromJson(const QByteArray &bytes);
std::optional<QVariantMap> readSidecar(const QString &path);  // nullopt when unreadable or no JSON object

}  // namespace sendmere::faxd
