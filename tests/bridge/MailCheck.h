#pragma once
// The mail folders the bridge fills: through the program's mail store, on disk, and as Python reads them.
#include "TestSupport.h"
#include "platform/mail/MailClient.h"
#include "session/mCommon.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>

namespace sendmere::test {
using namespace Qt::StringLiterals;

inline int itemCount(int defaultFolder) {
    mail::MailNamespace *ns = mCommon::GetMailNamespace();
    return ns ? ns->GetDefaultFolder(defaultFolder)->count() : -1;
}

// The "FaxID" of every item of the folder with this subject, in the folder's order.
inline QStringList faxIds(int defaultFolder, const QString &subject) {
    QStringList ids;
    mail::MailNamespace *ns = mCommon::GetMailNamespace();
    const auto items = ns ? ns->GetDefaultFolder(defaultFolder)->Items()->Restrict(u"[Subject]='%1'"_s.arg(subject)) : nullptr;
    for (int i = 1; items && i <= items->count(); ++i) ids << items->Item(i)->userProperty(u"FaxID"_s).toString();
    return ids;
}

inline QString mailRoot() { return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + u"/sendmere/Mail"_s; }

inline QString folderDir(int folder) {
    const QMap<int, QString> names{{mail::FolderOutbox, u"/.Outbox"_s}, {mail::FolderSentItems, u"/.Sent"_s}, {mail::FolderDeletedItems, u"/.Trash"_s}};
    return mailRoot() + names.value(folder);
}

// Drops the program's connections and the whole mail store.
inline void emptyMailStore() {
    mCommon::ShutDown();
    QDir(mailRoot()).removeRecursively();
}

// The fax id a message's header names; "?" for a message without one.
inline QString faxIdOf(const QByteArray &message) {
    const qsizetype at = message.indexOf("X-Sendmere-User-Property: FaxID=");
    return at < 0 ? u"?"_s : QString::fromUtf8(message.mid(at + 32, message.indexOf('\n', at) - at - 32).trimmed());
}

// What mailview.py (Python's email package) makes of the files, by path.
inline QJsonObject mailView(const QStringList &paths) {
    QProcess python;
    python.start(u"python3"_s, QStringList{qEnvironmentVariable("SENDMERE_SOURCE_DIR") + u"/tests/bridge/mailview.py"_s} + paths);
    if (!python.waitForFinished(30000) || python.exitCode() != 0) qWarning("%s", python.readAllStandardError().constData());
    return QJsonDocument::fromJson(python.readAllStandardOutput()).object();
}

// A list of the view as text; an address as "name | address".
inline QStringList strings(const QJsonValue &list) {
    QStringList out;
    for (const QJsonValue &v : list.toArray()) out << (v.isArray() ? strings(v).join(u" | "_s) : v.toString());
    return out;
}

// The file names of the view's parts of this type.
inline QStringList partNames(const QJsonValue &view, const QString &type) {
    QStringList names;
    for (const QJsonValue &part : view[u"parts"_s].toArray())
        if (part[u"type"_s].toString() == type) names << part[u"filename"_s].toString();
    return names;
}

}  // namespace sendmere::test
