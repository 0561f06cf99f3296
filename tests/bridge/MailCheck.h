#pragma once
// Reads the mail folders the bridge fills, through the same mail store the program uses.
#include "platform/mail/MailClient.h"
#include "session/mCommon.h"

#include <QDir>
#include <QStandardPaths>
#include <QStringList>

namespace sendmere::test {

inline int itemCount(int defaultFolder) {
    mail::MailNamespace *ns = mCommon::GetMailNamespace();
    return ns ? ns->GetDefaultFolder(defaultFolder)->count() : -1;
}

// The "FaxID" of every item of the folder with this subject, in the folder's order.
inline QStringList faxIds(int defaultFolder, const QString &subject) {
    QStringList ids;
    mail::MailNamespace *ns = mCommon::GetMailNamespace();
    if (!ns) return ids;
    const auto items = ns->GetDefaultFolder(defaultFolder)->Items()->Restrict(QStringLiteral("[Subject]='%1'").arg(subject));
    for (int i = 1; i <= items->count(); ++i) ids << items->Item(i)->userProperty(QStringLiteral("FaxID")).toString();
    return ids;
}

// The local mail store's folders on disk, as another mail reader finds them.
inline QString mailRoot() { return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/sendmere/Mail"); }

inline QString folderDir(int folder) {
    switch (folder) {
    case mail::FolderOutbox: return mailRoot() + QStringLiteral("/.Outbox");
    case mail::FolderSentItems: return mailRoot() + QStringLiteral("/.Sent");
    case mail::FolderDeletedItems: return mailRoot() + QStringLiteral("/.Trash");
    default: return mailRoot();
    }
}

// Drops the program's connections and the whole mail store.
inline void emptyMailStore() {
    mCommon::ShutDown();
    QDir(mailRoot()).removeRecursively();
}

}  // namespace sendmere::test
