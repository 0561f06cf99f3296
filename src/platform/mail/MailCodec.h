#pragma once
// What the mail store needs from GMime (its messages) and libetpan (IMAP) lives in a module of
// its own, sendmere-mailcodec.so, loaded on first use: most runs of the program never touch
// the mail store, and loading those libraries with theirs (GLib's gio, gpgme, GnuTLS, SASL,
// Berkeley DB) was a third of the program's start-up.
#include "platform/mail/ImapSession.h"
#include "platform/mail/MimeMessage.h"

#include <memory>

namespace sendmere::mail {

class MailCodec {
public:
    virtual ~MailCodec() = default;
    virtual QByteArray writeMessage(const MessageData &message) const = 0;
    virtual std::optional<MessageData> readMessage(const QByteArray &bytes) const = 0;
    virtual std::optional<MessageSummary> readSummary(const QByteArray &bytes) const = 0;
    // Connects and logs in; raises ServerAway with the reason when it cannot.
    virtual std::unique_ptr<ImapSession> connectImap(const ImapAddress &address, const QString &password) const = 0;
};

// The module's codec, loaded by the first call; AutomationError when the module is missing
// or cannot be loaded (an incomplete installation).
const MailCodec &mailCodec();

// The module's own functions behind its codec; the fuzzers call the MIME ones directly.
namespace codec {
void initMime();  // once per process, before any other call here
QByteArray writeMessage(const MessageData &message);
std::optional<MessageData> readMessage(const QByteArray &bytes);
std::optional<MessageSummary> readSummary(const QByteArray &bytes);
std::unique_ptr<ImapSession> connectImap(const ImapAddress &address, const QString &password);
}  // namespace codec

}  // namespace sendmere::mail
