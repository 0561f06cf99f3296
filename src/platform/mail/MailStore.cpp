#include "platform/mail/MailStore.h"

#include "RegistryStore.h"
#include "platform/Failures.h"
#include "platform/mail/ImapStore.h"
#include "platform/mail/MaildirStore.h"

namespace sendmere::mail {

std::shared_ptr<MailStore> MailStore::shared() {
    const registry::RegistryStore registry;
    const std::optional<registry::RegValue> value =
        registry.value(registry::Root::CurrentUser, QStringLiteral("Software\\Sendmere"), MailStoreValue);
    const QString text = value ? value->text.trimmed() : QString();
    if (text.isEmpty()) return MaildirStore::shared();
    const std::optional<ImapAddress> address = ImapAddress::parse(text);
    if (!address) {
        const AutomationError error(err::InvalidProcedureCall,
                                    QStringLiteral("The mail store \"%1\" is neither empty (the local folders) nor imap://USER@HOST:PORT "
                                                   "or imaps://USER@HOST:PORT")
                                        .arg(text));
        WriteErrorLog(error.number(), error.text(), QStringLiteral("MailStore.Open"));
        throw error;
    }
    return ImapStore::shared(*address);
}

}  // namespace sendmere::mail
