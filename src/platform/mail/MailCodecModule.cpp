// The entry point of the mail codec module.
#include "platform/mail/MailCodec.h"

namespace {

using namespace sendmere::mail;

class ModuleCodec final : public MailCodec {
public:
    ModuleCodec() { codec::initMime(); }
    QByteArray writeMessage(const MessageData &message) const override { return codec::writeMessage(message); }
    std::optional<MessageData> readMessage(const QByteArray &bytes) const override { return codec::readMessage(bytes); }
    std::optional<MessageSummary> readSummary(const QByteArray &bytes) const override { return codec::readSummary(bytes); }
    std::unique_ptr<ImapSession> connectImap(const ImapAddress &address, const QString &password) const override {
        return codec::connectImap(address, password);
    }
};

}  // namespace

extern "C" Q_DECL_EXPORT const MailCodec *sendmere_mail_codec() {
    static const ModuleCodec codec;
    return &codec;
}
