#pragma once
// The Maildir++ layout of the mail store: its four folders, and the names its message files
// take (a key, then the flags after ":2,").
#include "platform/mail/MailClient.h"

#include <QString>

namespace sendmere::mail {

struct FolderDef {
    int number;
    const char *dir;   // below the Maildir root; "" is the root itself
    const char *name;  // the default folder's name
    const char *slug;  // its index file and entry id
};
constexpr FolderDef Folders[] = {
    {FolderDeletedItems, ".Trash", "Deleted Items", "Trash"},
    {FolderOutbox, ".Outbox", "Outbox", "Outbox"},
    {FolderSentItems, ".Sent", "Sent Items", "Sent"},
    {FolderInbox, "", "Inbox", "INBOX"},
};

const FolderDef &folderDef(int folder);  // raises 0x8004010F for an unknown number

QString keyOf(const QString &fileName);
QString flagsOf(const QString &relativeName);
QString freshName(const QString &key, bool unread);
QString nameWithSeen(const QString &key, const QString &oldName, bool unread);

}  // namespace sendmere::mail
