#pragma once
// The mail store's index of one folder, in memory and as the journal lines it is kept in.
#include "platform/mail/MaildirFiles.h"
#include "platform/mail/MaildirStore.h"

#include <QHash>
#include <QMultiHash>
#include <QString>
#include <QStringList>
#include <vector>

namespace sendmere::mail {

struct MaildirStore::Entry {
    QString key;
    QString fileName;  // "cur/<key>:2,<flags>" or "new/<key>"
    QString messageId, faxId, subject;
    qint64 size = -1;  // the file's size when it was written or read; -1 unknown
};

struct MaildirStore::FolderIndex {
    bool loaded = false;
    std::vector<Entry> entries;  // in folder order
    QHash<QString, int> byKey;
    QHash<QString, int> subjectCount;
    QMultiHash<QString, QString> byFaxId;
    QHash<QString, QString> byMessageId;
    Stamp cur, fresh;  // the modification times of cur/ and new/ the index agrees with
    bool stampsKnown = false;  // false until the folder was read or the journal said
    bool damaged = false;      // a journal line failed its checksum: read the folder again
    qint64 journalOffset = 0;
    quint64 journalInode = 0;
    int journalLines = 0;
};

QString escapeField(const QString &text);  // tabs, line ends and backslashes as escapes

// An index entry's fields as its journal line carries them.
template <typename IndexEntry>
QString entryLine(const IndexEntry &e) {
    return QStringList{escapeField(e.key), escapeField(e.fileName), escapeField(e.messageId), escapeField(e.faxId),
                       escapeField(e.subject), QString::number(e.size)}
        .join(u'\t');
}

}  // namespace sendmere::mail
