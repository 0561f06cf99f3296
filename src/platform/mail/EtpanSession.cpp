#include "platform/mail/ImapSession.h"
#include "platform/mail/MailCodec.h"

#include "platform/AutomationError.h"


#include <libetpan/libetpan.h>

#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace sendmere::mail {
namespace {

char *copied(const QString &text) { return ::strdup(text.toUtf8().constData()); }

// libetpan's lists and sets, freed when they go out of scope.
template <typename T, void (*Free)(T *)>
struct Owned {
    T *p = nullptr;
    Owned() = default;
    explicit Owned(T *value) : p(value) {}
    ~Owned() {
        if (p) Free(p);
    }
    Owned(Owned &&other) noexcept : p(other.release()) {}
    Owned(const Owned &) = delete;
    Owned &operator=(const Owned &) = delete;
    Owned &operator=(Owned &&) = delete;
    T *release() { return std::exchange(p, nullptr); }
};
using SetPtr = Owned<mailimap_set, mailimap_set_free>;
using FlagListPtr = Owned<mailimap_flag_list, mailimap_flag_list_free>;
using FetchTypePtr = Owned<mailimap_fetch_type, mailimap_fetch_type_free>;
using DateTimePtr = Owned<mailimap_date_time, mailimap_date_time_free>;
using SearchKeyPtr = Owned<mailimap_search_key, mailimap_search_key_free>;
using ListPtr = Owned<clist, mailimap_list_result_free>;
using SearchResultPtr = Owned<clist, mailimap_search_result_free>;
using FetchResultPtr = Owned<clist, mailimap_fetch_list_free>;
using CapabilityPtr = Owned<mailimap_capability_data, mailimap_capability_data_free>;

SetPtr setOf(const std::vector<uint32_t> &uids) {
    SetPtr set(mailimap_set_new_empty());
    for (const uint32_t uid : uids) mailimap_set_add_single(set.p, uid);
    return set;
}

uint32_t firstOf(const mailimap_set *set) {
    if (!set || !set->set_list || clist_isempty(set->set_list)) return 0;
    return static_cast<const mailimap_set_item *>(clist_content(clist_begin(set->set_list)))->set_first;
}

void useServerName(mailstream_ssl_context *context, void *host) {
    // The name the server's certificate is chosen by (SNI).
    mailstream_ssl_set_server_name(context, static_cast<char *>(host));
}

bool connectionLost(int result) {
    switch (result) {
    case MAILIMAP_ERROR_STREAM:
    case MAILIMAP_ERROR_CONNECTION_REFUSED:
    case MAILIMAP_ERROR_DONT_ACCEPT_CONNECTION:
    case MAILIMAP_ERROR_SSL:
    case MAILIMAP_ERROR_FATAL:
    case MAILIMAP_ERROR_BAD_STATE:
        return true;
    default:
        return false;
    }
}

mailimap_flag *flagOf(const QString &name) {
    if (name.compare(QLatin1String("\\Flagged"), Qt::CaseInsensitive) == 0) return mailimap_flag_new_flagged();
    if (name.compare(QLatin1String("\\Answered"), Qt::CaseInsensitive) == 0) return mailimap_flag_new_answered();
    if (name.compare(QLatin1String("\\Draft"), Qt::CaseInsensitive) == 0) return mailimap_flag_new_draft();
    if (name.startsWith(u'\\')) return nullptr;  // \Deleted and \Recent are not carried over
    return mailimap_flag_new_flag_keyword(copied(name));
}

QString flagName(const mailimap_flag *flag) {
    switch (flag->fl_type) {
    case MAILIMAP_FLAG_FLAGGED: return QStringLiteral("\\Flagged");
    case MAILIMAP_FLAG_ANSWERED: return QStringLiteral("\\Answered");
    case MAILIMAP_FLAG_DRAFT: return QStringLiteral("\\Draft");
    case MAILIMAP_FLAG_KEYWORD: return QString::fromUtf8(flag->fl_data.fl_keyword);
    default: return {};
    }
}

void readItem(ImapFetched &out, const mailimap_msg_att_item *item) {
    if (item->att_type == MAILIMAP_MSG_ATT_ITEM_DYNAMIC && item->att_data.att_dyn && item->att_data.att_dyn->att_list) {
        for (clistiter *f = clist_begin(item->att_data.att_dyn->att_list); f; f = clist_next(f)) {
            const auto *fetched = static_cast<const mailimap_flag_fetch *>(clist_content(f));
            if (fetched->fl_type != MAILIMAP_FLAG_FETCH_OTHER || !fetched->fl_flag) continue;
            if (fetched->fl_flag->fl_type == MAILIMAP_FLAG_SEEN) out.seen = true;
            else if (const QString name = flagName(fetched->fl_flag); !name.isEmpty()) out.keepFlags << name;
        }
    } else if (item->att_type == MAILIMAP_MSG_ATT_ITEM_STATIC && item->att_data.att_static) {
        const mailimap_msg_att_static *s = item->att_data.att_static;
        if (s->att_type == MAILIMAP_MSG_ATT_UID) out.uid = s->att_data.att_uid;
        if (s->att_type == MAILIMAP_MSG_ATT_BODY_SECTION && s->att_data.att_body_section && s->att_data.att_body_section->sec_body_part)
            out.bytes = QByteArray(s->att_data.att_body_section->sec_body_part, qsizetype(s->att_data.att_body_section->sec_length));
    }
}

}  // namespace

// ---- the session ---------------------------------------------------------------------------

// The session through libetpan. libetpan completes a TLS handshake whatever certificate the
// server shows; verifyCertificate checks the chain itself.
class EtpanSession final : public ImapSession {
public:
    EtpanSession(const ImapAddress &address, const QString &password);
    ~EtpanSession() override;

    void noop() override;
    std::vector<ImapMailbox> list() override;
    void create(const QString &mailbox) override;
    void select(const QString &mailbox) override;
    std::vector<uint32_t> searchAll() override;
    std::vector<uint32_t> searchHeader(const QString &header, const QString &text) override;
    bool exists(uint32_t uid) override;
    std::vector<ImapFetched> fetch(const std::vector<uint32_t> &uids, bool headerOnly) override;
    uint32_t append(const QString &mailbox, const QByteArray &message, bool seen, const QStringList &otherFlags,
                    const QDateTime &internalDate) override;
    void remove(uint32_t uid) override;
    uint32_t moveTo(uint32_t uid, const QString &mailbox) override;

private:
    void check(int result, const char *command);
    void connect(const ImapAddress &address);
    void verifyCertificate(const QString &host);

    mailimap *m_imap = nullptr;
    QString m_selected;
    bool m_broken = false;
};

EtpanSession::EtpanSession(const ImapAddress &address, const QString &password) : m_imap(mailimap_new(0, nullptr)) {
    if (!m_imap) throw ServerAway{QStringLiteral("out of memory")};
    // A server that stops answering is given up on, not waited for without end.
    mailimap_set_timeout(m_imap, 20);
    try {
        connect(address);
        const int result = mailimap_login(m_imap, address.user.toUtf8().constData(), password.toUtf8().constData());
        if (result != MAILIMAP_NO_ERROR) {
            const QString said = m_imap->imap_response ? QString::fromUtf8(m_imap->imap_response) : QString();
            throw ServerAway{connectionLost(result) ? QStringLiteral("the connection to %1 was lost while logging in").arg(address.host)
                                                    : QStringLiteral("%1 refused the login of %2: %3").arg(address.host, address.user, said)};
        }
        mailimap_capability_data *capabilities = nullptr;
        if (mailimap_capability(m_imap, &capabilities) == MAILIMAP_NO_ERROR) mailimap_capability_data_free(capabilities);
    } catch (...) {
        mailimap_free(m_imap);
        throw;
    }
}

EtpanSession::~EtpanSession() {
    // A connection found broken is closed without a goodbye that would wait for its timeout.
    if (m_imap->imap_stream && !m_broken) mailimap_logout(m_imap);
    mailimap_free(m_imap);
}

void EtpanSession::connect(const ImapAddress &address) {
    const QByteArray host = address.host.toUtf8();
    int result;
    if (address.tls) result = mailimap_ssl_connect_with_callback(m_imap, host.constData(), address.port, useServerName, const_cast<char *>(host.constData()));
    else result = mailimap_socket_connect(m_imap, host.constData(), address.port);
    if (result != MAILIMAP_NO_ERROR && result != MAILIMAP_NO_ERROR_AUTHENTICATED && result != MAILIMAP_NO_ERROR_NON_AUTHENTICATED)
        throw ServerAway{QStringLiteral("cannot connect to %1 port %2%3").arg(address.host).arg(address.port)
                             .arg(result == MAILIMAP_ERROR_SSL ? QStringLiteral(" (the TLS handshake failed)") : QString())};
    if (address.tls) {
        verifyCertificate(address.host);
        return;
    }
    // Traffic that never leaves this machine needs no encryption; to any other host the
    // password only goes through TLS.
    if (address.onThisMachine()) return;
    CapabilityPtr capabilities;
    check(mailimap_capability(m_imap, &capabilities.p), "CAPABILITY");
    if (!mailimap_has_extension(m_imap, const_cast<char *>("STARTTLS")))
        throw ServerAway{QStringLiteral("%1 offers no encryption (STARTTLS); the password is not sent to another machine over an unencrypted connection. Use imaps:// or a server with STARTTLS")
                             .arg(address.host)};
    result = mailimap_socket_starttls_with_callback(m_imap, useServerName, const_cast<char *>(host.constData()));
    if (result != MAILIMAP_NO_ERROR) throw ServerAway{QStringLiteral("STARTTLS with %1 failed").arg(address.host)};
    verifyCertificate(address.host);
}

// libetpan completes the TLS handshake whatever certificate the server shows: the chain is
// checked here, against the system's trust store and for the host's name.
void EtpanSession::verifyCertificate(const QString &host) {
    carray *chain = mailstream_get_certificate_chain(m_imap->imap_stream);
    if (!chain || carray_count(chain) == 0) {
        if (chain) mailstream_certificate_chain_free(chain);
        throw ServerAway{QStringLiteral("%1 showed no certificate").arg(host)};
    }
    std::vector<gnutls_x509_crt_t> certs;
    QString problem;
    for (unsigned i = 0; i < carray_count(chain) && problem.isEmpty(); ++i) {
        const auto *der = static_cast<const MMAPString *>(carray_get(chain, i));
        gnutls_x509_crt_t cert = nullptr;
        gnutls_x509_crt_init(&cert);
        const gnutls_datum_t data{reinterpret_cast<unsigned char *>(der->str), unsigned(der->len)};
        if (gnutls_x509_crt_import(cert, &data, GNUTLS_X509_FMT_DER) < 0) problem = QStringLiteral("its certificate cannot be read");
        certs.push_back(cert);
    }
    mailstream_certificate_chain_free(chain);
    gnutls_x509_trust_list_t trust = nullptr;
    gnutls_x509_trust_list_init(&trust, 0);
    if (problem.isEmpty() && gnutls_x509_trust_list_add_system_trust(trust, 0, 0) <= 0) problem = QStringLiteral("the system's trust store is empty");
    if (problem.isEmpty()) {
        const QByteArray name = host.toUtf8();
        gnutls_typed_vdata_st checks[2] = {
            {GNUTLS_DT_DNS_HOSTNAME, reinterpret_cast<unsigned char *>(const_cast<char *>(name.constData())), 0},
            {GNUTLS_DT_KEY_PURPOSE_OID, reinterpret_cast<unsigned char *>(const_cast<char *>(GNUTLS_KP_TLS_WWW_SERVER)), 0}};
        unsigned status = 0;
        if (gnutls_x509_trust_list_verify_crt2(trust, certs.data(), unsigned(certs.size()), checks, 2, 0, &status, nullptr) < 0)
            problem = QStringLiteral("its certificate cannot be checked");
        else if (status != 0) {
            gnutls_datum_t text{};
            gnutls_certificate_verification_status_print(status, GNUTLS_CRT_X509, &text, 0);
            problem = QStringLiteral("its certificate is not trusted: %1").arg(QString::fromUtf8(reinterpret_cast<const char *>(text.data), int(text.size)).trimmed());
            gnutls_free(text.data);
        }
    }
    gnutls_x509_trust_list_deinit(trust, 1);
    for (gnutls_x509_crt_t cert : certs) gnutls_x509_crt_deinit(cert);
    if (!problem.isEmpty()) throw ServerAway{QStringLiteral("the password is not sent to %1: %2").arg(host, problem)};
}

void EtpanSession::check(int result, const char *command) {
    if (result == MAILIMAP_NO_ERROR) return;
    if (connectionLost(result)) {
        m_broken = true;
        throw ServerAway{QStringLiteral("the connection to the mail server was lost during %1").arg(QLatin1String(command))};
    }
    const QString said = m_imap->imap_response ? QString::fromUtf8(m_imap->imap_response) : QString();
    throw AutomationError(err::PathFileAccessError, QStringLiteral("The mail server refused %1: %2").arg(QLatin1String(command), said));
}

void EtpanSession::noop() { check(mailimap_noop(m_imap), "NOOP"); }

std::vector<ImapMailbox> EtpanSession::list() {
    ListPtr result;
    check(mailimap_list(m_imap, "", "*", &result.p), "LIST");
    std::vector<ImapMailbox> boxes;
    for (clistiter *it = result.p ? clist_begin(result.p) : nullptr; it; it = clist_next(it)) {
        const auto *box = static_cast<const mailimap_mailbox_list *>(clist_content(it));
        ImapMailbox mailbox{QString::fromUtf8(box->mb_name), {}};
        if (box->mb_flag && box->mb_flag->mbf_oflags)
            for (clistiter *f = clist_begin(box->mb_flag->mbf_oflags); f; f = clist_next(f)) {
                const auto *flag = static_cast<const mailimap_mbx_list_oflag *>(clist_content(f));
                if (flag->of_type == MAILIMAP_MBX_LIST_OFLAG_FLAG_EXT && flag->of_flag_ext) {
                    QString name = QString::fromUtf8(flag->of_flag_ext);
                    if (!name.startsWith(u'\\')) name.prepend(u'\\');
                    mailbox.attributes << name;
                }
            }
        boxes.push_back(std::move(mailbox));
    }
    return boxes;
}

void EtpanSession::create(const QString &mailbox) {
    check(mailimap_create(m_imap, mailbox.toUtf8().constData()), "CREATE");
}

void EtpanSession::select(const QString &mailbox) {
    if (m_selected == mailbox) return;
    m_selected.clear();
    check(mailimap_select(m_imap, mailbox.toUtf8().constData()), "SELECT");
    m_selected = mailbox;
}

namespace {
std::vector<uint32_t> uidsOf(clist *result) {
    std::vector<uint32_t> uids;
    for (clistiter *it = result ? clist_begin(result) : nullptr; it; it = clist_next(it))
        uids.push_back(*static_cast<const uint32_t *>(clist_content(it)));
    std::sort(uids.begin(), uids.end());
    return uids;
}
}  // namespace

std::vector<uint32_t> EtpanSession::searchAll() {
    SearchKeyPtr key(mailimap_search_key_new_all());
    SearchResultPtr result;
    check(mailimap_uid_search(m_imap, nullptr, key.p, &result.p), "UID SEARCH");
    return uidsOf(result.p);
}

std::vector<uint32_t> EtpanSession::searchHeader(const QString &header, const QString &text) {
    SearchKeyPtr key(mailimap_search_key_new_header(copied(header), copied(text)));
    SearchResultPtr result;
    const bool ascii = std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 128; });
    check(mailimap_uid_search(m_imap, ascii ? nullptr : "UTF-8", key.p, &result.p), "UID SEARCH");
    return uidsOf(result.p);
}

bool EtpanSession::exists(uint32_t uid) {
    SearchKeyPtr key(mailimap_search_key_new_uid(mailimap_set_new_single(uid)));
    SearchResultPtr result;
    check(mailimap_uid_search(m_imap, nullptr, key.p, &result.p), "UID SEARCH");
    const std::vector<uint32_t> found = uidsOf(result.p);
    return std::find(found.begin(), found.end(), uid) != found.end();
}

std::vector<ImapFetched> EtpanSession::fetch(const std::vector<uint32_t> &uids, bool headerOnly) {
    if (uids.empty()) return {};
    SetPtr set = setOf(uids);
    FetchTypePtr type(mailimap_fetch_type_new_fetch_att_list_empty());
    mailimap_fetch_type_new_fetch_att_list_add(type.p, mailimap_fetch_att_new_uid());
    mailimap_fetch_type_new_fetch_att_list_add(type.p, mailimap_fetch_att_new_flags());
    mailimap_fetch_type_new_fetch_att_list_add(
        type.p, mailimap_fetch_att_new_body_peek_section(headerOnly ? mailimap_section_new_header() : mailimap_section_new(nullptr)));
    FetchResultPtr result;
    check(mailimap_uid_fetch(m_imap, set.p, type.p, &result.p), "UID FETCH");
    std::vector<ImapFetched> messages;
    for (clistiter *it = result.p ? clist_begin(result.p) : nullptr; it; it = clist_next(it)) {
        const auto *att = static_cast<const mailimap_msg_att *>(clist_content(it));
        ImapFetched message;
        for (clistiter *i = clist_begin(att->att_list); i; i = clist_next(i))
            readItem(message, static_cast<const mailimap_msg_att_item *>(clist_content(i)));
        if (message.uid) messages.push_back(std::move(message));
    }
    std::sort(messages.begin(), messages.end(), [](const ImapFetched &a, const ImapFetched &b) { return a.uid < b.uid; });
    return messages;
}

uint32_t EtpanSession::append(const QString &mailbox, const QByteArray &message, bool seen, const QStringList &otherFlags,
                             const QDateTime &internalDate) {
    FlagListPtr flags(mailimap_flag_list_new_empty());
    if (seen) mailimap_flag_list_add(flags.p, mailimap_flag_new_seen());
    for (const QString &name : otherFlags)
        if (mailimap_flag *flag = flagOf(name)) mailimap_flag_list_add(flags.p, flag);
    DateTimePtr date;
    if (internalDate.isValid()) {
        const QDateTime utc = internalDate.toUTC();
        date.p = mailimap_date_time_new(utc.date().day(), utc.date().month(), utc.date().year(), utc.time().hour(),
                                        utc.time().minute(), utc.time().second(), 0);
    }
    uint32_t validity = 0, uid = 0;
    m_selected.clear();  // some servers report the appended mailbox's state: select afresh
    check(mailimap_uidplus_append(m_imap, mailbox.toUtf8().constData(), flags.p, date.p, message.constData(), size_t(message.size()),
                                  &validity, &uid),
          "APPEND");
    return uid;
}

void EtpanSession::remove(uint32_t uid) {
    FlagListPtr flags(mailimap_flag_list_new_empty());
    mailimap_flag_list_add(flags.p, mailimap_flag_new_deleted());
    mailimap_store_att_flags *store = mailimap_store_att_flags_new_add_flags_silent(flags.release());
    SetPtr set = setOf({uid});
    const int result = mailimap_uid_store(m_imap, set.p, store);
    mailimap_store_att_flags_free(store);
    check(result, "UID STORE");
    // UID EXPUNGE removes only this message, not what other programs marked deleted.
    check(mailimap_has_uidplus(m_imap) ? mailimap_uid_expunge(m_imap, set.p) : mailimap_expunge(m_imap), "EXPUNGE");
}

uint32_t EtpanSession::moveTo(uint32_t uid, const QString &mailbox) {
    SetPtr set = setOf({uid});
    uint32_t validity = 0;
    mailimap_set *source = nullptr;
    mailimap_set *target = nullptr;
    const QByteArray name = mailbox.toUtf8();
    const bool canMove = mailimap_has_extension(m_imap, const_cast<char *>("MOVE"));
    const int result = canMove ? mailimap_uidplus_uid_move(m_imap, set.p, name.constData(), &validity, &source, &target)
                               : mailimap_uidplus_uid_copy(m_imap, set.p, name.constData(), &validity, &source, &target);
    const uint32_t moved = firstOf(target);
    if (source) mailimap_set_free(source);
    if (target) mailimap_set_free(target);
    check(result, canMove ? "UID MOVE" : "UID COPY");
    if (!canMove) remove(uid);
    return moved;
}

std::unique_ptr<ImapSession> codec::connectImap(const ImapAddress &address, const QString &password) {
    return std::make_unique<EtpanSession>(address, password);
}

}  // namespace sendmere::mail
