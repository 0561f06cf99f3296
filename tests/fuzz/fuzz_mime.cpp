// libFuzzer target: any bytes read as a message file of the mail store must neither crash
// nor hang the MIME reader; a message it reads is written again and reads back with the
// same subject and user properties, and its summary agrees with it.
#include "platform/mail/MailCodec.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace sendmere::mail;
    static const bool ready = [] {
        codec::initMime();
        return true;
    }();
    (void)ready;
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const std::optional<MessageData> message = codec::readMessage(bytes);
    const std::optional<MessageSummary> summary = codec::readSummary(bytes);
    if (message.has_value() != summary.has_value()) std::abort();
    if (!message) return 0;
    if (summary->subject != message->subject || summary->messageId != message->messageId) std::abort();
    const std::optional<MessageData> again = codec::readMessage(codec::writeMessage(*message));
    if (!again) std::abort();
    if (again->subject != message->subject) std::abort();
    if (again->userProperties != message->userProperties) std::abort();
    return 0;
}
