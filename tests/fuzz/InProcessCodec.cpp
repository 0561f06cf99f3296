// The fuzzers hold the MIME codec in their own image, instrumented with them, instead of
// loading the program's module; they never speak IMAP.
#include "platform/mail/MailCodec.h"

#include "platform/AutomationError.h"

namespace {

using namespace sendmere::mail;

class InProcessCodec final : public MailCodec {
public:
    InProcessCodec() { codec::initMime(); }
    QByteArray writeMessage(const MessageData &message) const override { return codec::writeMessage(message); }
    std::optional<MessageData> readMessage(const QByteArray &bytes) const override { return codec::readMessage(bytes); }
    std::optional<MessageSummary> readSummary(const QByteArray &bytes) const override { return codec::readSummary(bytes); }
    std::unique_ptr<ImapSession> connectImap(const ImapAddress &, const QString &) const override {
        throw sendmere::AutomationError(sendmere::err::CannotCreateObject, QStringLiteral("the fuzzers speak no IMAP"));
    }
};

}  // namespace

const MailCodec &sendmere::mail::mailCodec() {
    static const InProcessCodec codec;
    return codec;
}
