#include "platform/mail/MailClient.h"

namespace sendmere::mail {
namespace {

// No mail store is bound into this build: every entry point reports the mail client as
// unreachable, and callers take their "nothing" paths.
AutomationError unreachable() {
    return {err::CannotCreateObject, QStringLiteral("ActiveX component can't create object")};
}

}  // namespace

std::unique_ptr<MailApplication> attachRunningApplication() { throw unreachable(); }
std::unique_ptr<MailApplication> startApplication() { throw unreachable(); }
std::unique_ptr<MessagingSession> createSession() { throw unreachable(); }

}  // namespace sendmere::mail
