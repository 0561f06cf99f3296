#include "platform/mail/ImapStore.h"

#include "platform/mail/ImapStoreConnection.h"
#include "platform/mail/MailClient.h"

#include <QRegularExpression>
#include <QStandardPaths>
#include <algorithm>
#include <array>
#include <map>
#include <mutex>

Q_LOGGING_CATEGORY(lcImapStore, "sendmere.mail.imap")

namespace sendmere::mail {
namespace {

// The header MimeMessage keeps user properties in: "X-Sendmere-User-Property: FaxID=1042".
const QString UserPropertyHeader = QStringLiteral("X-Sendmere-User-Property");

constexpr std::array<int, 4> AllFolders = {FolderInbox, FolderOutbox, FolderSentItems, FolderDeletedItems};

}  // namespace

QDateTime arrivalTime(const MessageData &message) {
    // The item's own time first: the time properties carry the standard bias only and are an
    // hour off in summer.
    if (message.created.isValid()) return message.created;
    for (const quint32 t : {tag::PR_CLIENT_SUBMIT_TIME, tag::PR_MESSAGE_DELIVERY_TIME}) {
        const QDateTime when = message.properties.value(t).toDateTime();
        if (when.isValid()) return when;
    }
    return QDateTime::currentDateTime();
}

ImapStore::ImapStore(ImapAddress address, QString pendingDirectory)
    : m_address(std::move(address)), m_pending(pendingDirectory), m_lock(pendingDirectory + QStringLiteral(".lock")) {}

ImapStore::~ImapStore() = default;

QString ImapStore::defaultPendingDirectory() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/sendmere/MailPending");
}

std::shared_ptr<ImapStore> ImapStore::shared(const ImapAddress &address) {
    static std::mutex lock;
    static std::map<QString, std::weak_ptr<ImapStore>> open;
    const std::lock_guard guard(lock);
    std::weak_ptr<ImapStore> &slot = open[address.text()];
    if (auto existing = slot.lock()) return existing;
    auto store = std::make_shared<ImapStore>(address, defaultPendingDirectory());
    slot = store;
    return store;
}

// ---- lookups -------------------------------------------------------------------------------

std::vector<uint32_t> ImapStore::uids(int folder) { return selected(folder).searchAll(); }

std::vector<ImapStore::Summary> ImapStore::summaries(int folder, const std::vector<uint32_t> &candidates) {
    std::vector<Summary> out;
    for (const ImapFetched &f : selected(folder).fetch(candidates, true))
        if (const std::optional<MessageSummary> s = readSummary(f.bytes)) out.push_back({f.uid, *s});
    return out;
}

std::vector<QString> ImapStore::pendingKeys(int folder, const std::function<bool(const MessageSummary &)> &matches) {
    std::vector<QString> keys;
    for (const PendingMessage &p : m_pending.list()) {
        if (p.folder != folder) continue;
        if (matches) {
            const std::optional<MessageSummary> s = readSummary(m_pending.read(p));
            if (!s || !matches(*s)) continue;
        }
        keys.push_back(PendingWrites::keyOf(p.sequence));
    }
    return keys;
}

std::optional<uint32_t> ImapStore::findOnServer(int folder, const QString &entryId) {
    if (entryId.isEmpty()) return std::nullopt;
    static const QRegularExpression madeUp(QStringLiteral("^imap-(\\d)-(\\d+)@sendmere$"));
    if (const QRegularExpressionMatch m = madeUp.match(entryId); m.hasMatch()) {
        const uint32_t uid = m.captured(2).toUInt();
        if (m.captured(1).toInt() == folder && selected(folder).exists(uid)) return uid;
        return std::nullopt;
    }
    for (const Summary &s : summaries(folder, selected(folder).searchHeader(QStringLiteral("Message-ID"), entryId)))
        if (s.summary.messageId == entryId) return s.uid;
    return std::nullopt;
}

bool ImapStore::faxIdOnServer(int folder, const QString &faxId) {
    for (const Summary &s : summaries(folder, selected(folder).searchHeader(UserPropertyHeader, QStringLiteral("FaxID=") + faxId)))
        if (s.summary.faxId == faxId) return true;
    return false;
}

bool ImapStore::isAway(const AutomationError &error) { return error.number() == err::ServerNotAvailable; }

std::vector<QString> ImapStore::keysOf(int folder) {
    try {
        return onServer(Retry::Once, [&] {
            std::vector<QString> keys;
            for (const uint32_t uid : uids(folder)) keys.push_back(QString::number(uid));
            return keys;
        });
    } catch (const AutomationError &error) {
        if (!isAway(error)) throw;
        return pendingKeys(folder, {});  // while the server is away: what waits for it
    }
}

int ImapStore::count(int folder) { return int(keysOf(folder).size()); }

std::optional<QString> ImapStore::keyAt(int folder, int position) {
    const std::vector<QString> keys = keysOf(folder);
    if (position < 1 || position > int(keys.size())) return std::nullopt;
    return keys[size_t(position - 1)];
}

int ImapStore::positionOf(int folder, const QString &key) {
    const std::vector<QString> keys = keysOf(folder);
    const auto at = std::find(keys.begin(), keys.end(), key);
    return at == keys.end() ? 0 : int(at - keys.begin()) + 1;
}

std::vector<QString> ImapStore::keysWithSubject(int folder, const QString &subject) {
    try {
        return onServer(Retry::Once, [&] {
            ImapSession &s = selected(folder);
            const std::vector<uint32_t> candidates = subject.isEmpty() ? s.searchAll() : s.searchHeader(QStringLiteral("Subject"), subject);
            std::vector<QString> keys;
            for (const Summary &found : summaries(folder, candidates))
                if (found.summary.subject == subject) keys.push_back(QString::number(found.uid));
            return keys;
        });
    } catch (const AutomationError &error) {
        if (!isAway(error)) throw;
        return pendingKeys(folder, [&](const MessageSummary &s) { return s.subject == subject; });
    }
}

int ImapStore::countWithSubject(int folder, const QString &subject) { return int(keysWithSubject(folder, subject).size()); }

int ImapStore::findFaxId(int folder, const QString &faxId, const std::optional<QString> &subject) {
    const auto matches = [&](const MessageSummary &s) { return s.faxId == faxId && (!subject || s.subject == *subject); };
    try {
        return onServer(Retry::Once, [&] {
            // The server's search finds the header text anywhere in the value; the exact
            // FaxID is compared here.
            for (const Summary &found : summaries(folder, selected(folder).searchHeader(UserPropertyHeader, QStringLiteral("FaxID=") + faxId)))
                if (matches(found.summary)) {
                    const std::vector<uint32_t> all = uids(folder);
                    return int(std::find(all.begin(), all.end(), found.uid) - all.begin()) + 1;
                }
            return 0;
        });
    } catch (const AutomationError &error) {
        if (!isAway(error)) throw;
        const std::vector<QString> all = pendingKeys(folder, {});
        const std::vector<QString> hits = pendingKeys(folder, matches);
        if (hits.empty()) return 0;
        return int(std::find(all.begin(), all.end(), hits.front()) - all.begin()) + 1;
    }
}

std::optional<MessageLocation> ImapStore::findEntryId(const QString &entryId) {
    for (const Staged &s : m_staged)
        if (s.message.messageId == entryId) return MessageLocation{s.folder, s.key};
    for (const PendingMessage &p : m_pending.list()) {
        const std::optional<MessageSummary> s = readSummary(m_pending.read(p));
        if (s && s->messageId == entryId) return MessageLocation{p.folder, PendingWrites::keyOf(p.sequence)};
    }
    try {
        return onServer(Retry::Once, [&]() -> std::optional<MessageLocation> {
            for (const int folder : AllFolders)
                if (const std::optional<uint32_t> uid = findOnServer(folder, entryId)) return MessageLocation{folder, QString::number(*uid)};
            return std::nullopt;
        });
    } catch (const AutomationError &error) {
        if (!isAway(error)) throw;
        return std::nullopt;
    }
}

}  // namespace sendmere::mail
