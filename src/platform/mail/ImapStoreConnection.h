#pragma once
// The IMAP store's connection to its server: work runs on a live session, once more on a new
// one where that is safe, and a server that cannot be used leaves the store in its queue.
#include "platform/mail/ImapStore.h"

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcImapStore)

namespace sendmere::mail {

// A connection unused this long is checked with NOOP before it is trusted with a write.
constexpr qint64 IdleCheckMs = 30'000;

AutomationError unavailable(const QString &address, const QString &reason);  // 462 with the reason
QString faxIdOf(const MessageData &message);  // the message's "FaxID" property; empty when none

template <typename Work>
auto ImapStore::onServer(Retry retry, Work &&work) -> decltype(work()) {
    for (int attempt = 0;; ++attempt) {
        const bool wasConnected = m_session != nullptr;
        try {
            session();
            // A connection left idle may have been closed by the server: found out before
            // any write, so that the write is never sent twice.
            if (wasConnected && m_lastUsed.isValid() && m_lastUsed.elapsed() > IdleCheckMs) {
                m_session->noop();
                m_lastUsed.start();
            }
            auto result = work();
            m_lastUsed.start();
            return result;
        } catch (const ServerAway &away) {
            if (wasConnected && attempt == 0 && (retry == Retry::Once || !m_lastUsed.isValid() || m_lastUsed.elapsed() > IdleCheckMs)) {
                m_session.reset();  // once more on a new connection
                continue;
            }
            serverLost(away);
            throw unavailable(m_address.text(), away.reason);
        }
    }
}

}  // namespace sendmere::mail
