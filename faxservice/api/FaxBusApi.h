#pragma once
// The D-Bus face of the local fax service, shared by the service and its clients: names,
// error names and the conversion of what Qt DBus hands over into plain Qt values.
#include <QList>
#include <QString>
#include <QVariant>
#include <QVariantMap>

namespace sendmere::faxbus {

inline const QString ServiceName = QStringLiteral("org.sendmere.Fax");
inline const QString ObjectPath = QStringLiteral("/org/sendmere/Fax");
inline const QString Interface = QStringLiteral("org.sendmere.Fax1");

// Error names the service replies with; clients map them onto automation error numbers.
inline const QString ErrorInvalidArgument = QStringLiteral("org.sendmere.Fax1.Error.InvalidArgument");
inline const QString ErrorNotFound = QStringLiteral("org.sendmere.Fax1.Error.NotFound");
inline const QString ErrorFileNotFound = QStringLiteral("org.sendmere.Fax1.Error.FileNotFound");
inline const QString ErrorAccessDenied = QStringLiteral("org.sendmere.Fax1.Error.AccessDenied");
inline const QString ErrorPathAccess = QStringLiteral("org.sendmere.Fax1.Error.PathAccess");
inline const QString ErrorRenderFailed = QStringLiteral("org.sendmere.Fax1.Error.RenderFailed");
inline const QString ErrorNoCall = QStringLiteral("org.sendmere.Fax1.Error.NoCall");
inline const QString ErrorFailed = QStringLiteral("org.sendmere.Fax1.Error.Failed");
// A submission its client withdrew (CancelSubmission) before its jobs were queued.
inline const QString ErrorCancelled = QStringLiteral("org.sendmere.Fax1.Error.Cancelled");
// The user's spool is served by a fax service of another session (another session bus).
inline const QString ErrorOtherSession = QStringLiteral("org.sendmere.Fax1.Error.OtherSession");

// Archive folder names on the bus.
inline const QString FolderOutgoing = QStringLiteral("outgoing");
inline const QString FolderIncoming = QStringLiteral("incoming");

using MapList = QList<QVariantMap>;

// Registers the container types (aa{sv}) with Qt DBus; call once before the first call.
void registerTypes();

// Turns QDBusArgument / QDBusVariant values, at any depth, into QVariantMap, QVariantList
// and basic values, so that nested maps (Sender, Recipient) read like any other value.
QVariant plain(const QVariant &value);
QVariantMap plainMap(const QVariant &value);
QList<QVariantMap> plainMapList(const QVariant &value);

// A fax number as the service takes it: digits with the characters people write around them
// ("+", spaces, "-", "(", ")", ".", "/"), the dial characters "*" and "#", and "," or "p" or
// "w" for a pause; at least one digit and at most maxLength characters. Empty when the number
// is one, otherwise why not.
constexpr int MaxFaxNumberLength = 40;
constexpr int MaxCallerIdLength = 20;  // a station's identification holds 20 characters
QString faxNumberProblem(const QString &number, int maxLength = MaxFaxNumberLength);

// Dates travel as milliseconds since the epoch (UTC); 0 is "no date".
qint64 toWire(const class QDateTime &time);
QDateTime fromWire(const QVariant &value);

}  // namespace sendmere::faxbus
