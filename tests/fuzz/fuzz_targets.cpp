// The libFuzzer targets, one for each FUZZ_name the build defines: any bytes as one kind of
// input the program reads. Each aborts on a crash, a hang (libFuzzer's timeout) or a promise
// of its reader broken.
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdlib>

namespace {
void check(bool ok) { if (!ok) std::abort(); }
// A path in the fuzzer's scratch folder, in memory; a file there that holds bytes.
[[maybe_unused]] QString scratch(const QString &name) {
    static const QTemporaryDir dir(QStringLiteral("/dev/shm/sendmere-fuzz-XXXXXX"));
    return dir.filePath(name);
}
[[maybe_unused]] QString scratchFile(const QString &name, const QByteArray &bytes) {
    QFile file(scratch(name));
    check(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size());
    return file.fileName();
}
}  // namespace

#if defined(FUZZ_commandline)
// A command line, loaded into the fax job as "new" and "cover" would, keeps the job's lists in step.
#include "app/CommandLine.h"
#include "job/FaxJob.h"
static void fuzz(const QByteArray &bytes) {
    using namespace sendmere;
    const QString text = QString::fromUtf8(bytes);
    const CommandLine line = parseCommandLine(text);
    check(line.fields.isEmpty() == text.isEmpty());
    fillNewFax(line);
    const FaxJob &job = faxJob();
    check(job.RecipientName.upperBound() == job.RecipientNumber.upperBound() && job.RecipientName.upperBound() >= 0 &&
          job.Attachments.upperBound() >= 0);
    fillCoverFax(line);
    check(job.RecipientName.upperBound() == int(line.names.size()));
}

#elif defined(FUZZ_regfile)
// A ".reg" file: what parsing keeps, written out and parsed again (as the store rewrites its
// files), holds the same keys and values.
#include "RegHive.h"
static void fuzz(const QByteArray &bytes) {
    using namespace sendmere::registry;
    const QString root = QStringLiteral("HKEY_CURRENT_USER");
    const ParsedFile first = parseRegFile(bytes, root), second = parseRegFile(formatRegFile(first.hive, root), root);
    check(second.problems.isEmpty());
    const QList<const HiveKey *> a = first.hive.keys(), b = second.hive.keys();
    check(a.size() == b.size());
    for (qsizetype i = 0; i < a.size(); ++i) {
        check(a[i]->path.compare(b[i]->path, Qt::CaseInsensitive) == 0 && a[i]->values.size() == b[i]->values.size());
        for (const StoredValue &v : a[i]->values) {
            const StoredValue *read = b[i]->find(v.name);
            check(read && read->data == v.data);
        }
    }
}

#elif defined(FUZZ_tiffread)
// A TIFF file read as the fax service reads images (page count, then each page): a clear
// RenderError or an image.
#include "FaxRender.h"
static void fuzz(const QByteArray &bytes) {
    using namespace sendmere::render;
    const QString file = scratchFile(QStringLiteral("page.tiff"), bytes);
    try {
        const int pages = tiffPageCount(file);
        for (int i = 0; i < pages && i < 4; ++i) check(!readTiffPage(file, i).isNull());
    } catch (const RenderError &e) {
        check(!e.message().isEmpty());
    }
}

#elif defined(FUZZ_tiff2png)
// The picture converter on its Fax.tiff ends with a result code and leaves no partial picture.
#include "Tiff2Png.h"
static void fuzz(const QByteArray &bytes) {
    const QString input = scratchFile(QStringLiteral("Fax.tiff"), bytes);
    const QString output = scratch(QStringLiteral("Fax.png"));
    std::string message;
    const tiff2png::Result result = tiff2png::convert(input.toStdString(), output.toStdString(), message);
    check(result == tiff2png::Converted || result == tiff2png::UnreadableTiff);
    const bool picture = QFile::exists(output);  // the whole picture or none, and nothing else beside it
    check(picture == (result == tiff2png::Converted));
    check(QDir(scratch({})).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).size() == (picture ? 2 : 1));
    QFile::remove(output);
}

#elif defined(FUZZ_vcard)
// A contact file: every card kept gives a contact whose entries are well formed.
#include "platform/mail/Contacts.h"
static void fuzz(const QByteArray &bytes) {
    using namespace sendmere::mail;
    QStringList problems;
    std::vector<Contact> contacts;
    for (const VCard &card : parseVCards(bytes, &problems)) {
        for (const VCardProperty &property : card.properties) {
            check(!property.name.isEmpty());
            (void)property.text();
            (void)property.components();
        }
        if (auto contact = contactFromVCard(card)) contacts.push_back(*contact);
    }
    for (const AddressEntry &entry : addressEntries(contacts)) check(!entry.Name.isEmpty() && entry.Name == entry.EntryName);
}
#endif

#if defined(FUZZ_mime) || defined(FUZZ_mailindex)
#include "platform/AutomationError.h"
#include "platform/mail/MailCodec.h"
using namespace sendmere::mail;
// The codec lies in the fuzzer's own image, instrumented with it, instead of the program's module.
const MailCodec &sendmere::mail::mailCodec() {
    struct InProcessCodec final : MailCodec {
        InProcessCodec() { codec::initMime(); }
        QByteArray writeMessage(const MessageData &m) const override { return codec::writeMessage(m); }
        std::optional<MessageData> readMessage(const QByteArray &b) const override { return codec::readMessage(b); }
        std::optional<MessageSummary> readSummary(const QByteArray &b) const override { return codec::readSummary(b); }
        std::unique_ptr<ImapSession> connectImap(const ImapAddress &, const QString &) const override {
            throw sendmere::AutomationError(sendmere::err::CannotCreateObject, QStringLiteral("the fuzzers speak no IMAP"));
        }
    };
    static const InProcessCodec codec;
    return codec;
}
#endif

#if defined(FUZZ_mime)
// A message file of the mail store: a message read agrees with its summary, and written again
// it reads back with the same subject and user properties.
static void fuzz(const QByteArray &bytes) {
    static const MailCodec &ready = mailCodec();  // readies the codec
    (void)ready;
    const std::optional<MessageData> message = codec::readMessage(bytes);
    const std::optional<MessageSummary> summary = codec::readSummary(bytes);
    check(message.has_value() == summary.has_value());
    if (!message) return;
    check(summary->subject == message->subject && summary->messageId == message->messageId);
    const std::optional<MessageData> again = codec::readMessage(codec::writeMessage(*message));
    check(again && again->subject == message->subject && again->userProperties == message->userProperties);
}

#elif defined(FUZZ_mailindex)
// The Inbox's index journal, beside a Maildir that holds three fax items: whatever it says,
// the store counts exactly the items in the folder, finds each by its "FaxID", and never
// publishes a second item of one fax.
#include "platform/mail/MailClient.h"
#include "platform/mail/MaildirStore.h"
#include <QCoreApplication>

static const QStringList FaxIds = {QStringLiteral("0000000000000101"), QStringLiteral("0000000000000102"),
                                   QStringLiteral("0000000000000103")};

static void saveFaxItem(MaildirStore &store, const QString &faxId) {
    MessageData m;
    m.messageId = MaildirStore::newEntryId();
    m.subject = QStringLiteral("Fax");
    m.userProperties.append({QStringLiteral("FaxID"), faxId});
    MessageLocation location{FolderInbox, {}};
    store.save(location, m, true);
}

static void fuzz(const QByteArray &bytes) {
    static int argc = 1;
    static char name[] = "fuzz_mailindex", *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static const QString root = [] {
        const QString mail = scratch(QStringLiteral("Mail"));
        MaildirStore store(mail);
        for (const QString &id : FaxIds) saveFaxItem(store, id);
        return mail;
    }();
    scratchFile(QStringLiteral("Mail.index/INBOX.journal"), bytes);
    MaildirStore store(root);
    check(store.count(FolderInbox) == FaxIds.size());
    for (const QString &id : FaxIds) check(store.findFaxId(FolderInbox, id, QStringLiteral("Fax")) != 0);
    store.beginStaging();
    saveFaxItem(store, FaxIds.first());
    store.endStaging();
    const auto files = [](const QString &folder) { return QDir(root + folder).entryList(QDir::Files).size(); };
    check(files(QStringLiteral("/cur")) + files(QStringLiteral("/new")) == FaxIds.size());
}
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    return 0;
}
