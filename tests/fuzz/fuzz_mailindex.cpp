// libFuzzer target: any bytes as the Inbox's index journal, beside a Maildir that holds
// three fax items. Whatever the journal says, the store must count exactly the items in
// the folder, find each one by its "FaxID", and never publish a second item of one fax.
#include "platform/mail/MailClient.h"
#include "platform/mail/MaildirStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace {

using namespace sendmere::mail;

const QStringList FaxIds = {QStringLiteral("0000000000000101"), QStringLiteral("0000000000000102"),
                            QStringLiteral("0000000000000103")};

MessageData faxItem(const QString &faxId) {
    MessageData m;
    m.messageId = MaildirStore::newEntryId();
    m.subject = QStringLiteral("Fax");
    m.userProperties.append({QStringLiteral("FaxID"), faxId});
    return m;
}

struct Fixture {
    QTemporaryDir dir;
    QString root = dir.filePath(QStringLiteral("Mail"));
    QString journal = root + QStringLiteral(".index/INBOX.journal");
    Fixture() {
        MaildirStore store(root);
        for (const QString &id : FaxIds) {
            MessageLocation loc{FolderInbox, {}};
            store.save(loc, faxItem(id), true);
        }
    }
};

int messageFiles(const QString &root) {
    return int(QDir(root + QStringLiteral("/cur")).entryList(QDir::Files).size() +
               QDir(root + QStringLiteral("/new")).entryList(QDir::Files).size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static int argc = 1;
    static char name[] = "fuzz_mailindex";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static Fixture fixture;
    {
        QFile journal(fixture.journal);
        if (!journal.open(QIODevice::WriteOnly | QIODevice::Truncate)) std::abort();
        journal.write(reinterpret_cast<const char *>(data), qint64(size));
    }
    MaildirStore store(fixture.root);
    if (store.count(FolderInbox) != FaxIds.size()) std::abort();
    for (const QString &id : FaxIds)
        if (store.findFaxId(FolderInbox, id, QStringLiteral("Fax")) == 0) std::abort();
    // A second item of a fax the folder holds is never published.
    store.beginStaging();
    MessageLocation again{FolderInbox, {}};
    store.save(again, faxItem(FaxIds.first()), true);
    store.endStaging();
    if (messageFiles(fixture.root) != FaxIds.size()) std::abort();
    return 0;
}
