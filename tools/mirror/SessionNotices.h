#pragma once
// What the user is told while the session runs, through the desktop's notifications: a fax
// sent, a fax that failed or waits to be tried again (with the service's reason), a fax
// received (with an action that opens it), and a submission whose document could not be
// rendered. One notice per fax: a later event of the same fax replaces the earlier notice.
// A session runs for months: what is kept of a notice goes once the notice is closed, or at
// once when no later event of its fax can replace it (sent, received, not prepared).
#include "platform/shell/DesktopNotifications.h"

#include <QHash>
#include <QObject>
#include <QString>

namespace sendmere {

class Mirror;

class SessionNotices : public QObject {
    Q_OBJECT
public:
    explicit SessionNotices(Mirror &mirror, QObject *parent = nullptr);

    // The action of a received fax's notice that opens it.
    static const QString OpenAction;

    // The notices whose later events or actions are still awaited.
    int awaitedNotices() const { return int(m_noticeOf.size() + m_receivedOf.size()); }

private Q_SLOTS:
    void submissionFailed(const QString &submissionId, const QString &errorName, const QString &text);

private:
    void jobChanged(const QString &jobId, int status);
    void faxSent(const QString &messageId);
    void faxReceived(const QString &messageId);
    void actionInvoked(uint noticeId, const QString &action);
    void openReceived(const QString &messageId);
    // Shows notice as the one notice of key (a fax or a submission); a final one is not
    // replaced by anything later.
    enum class Later { MayReplace, Never };
    uint show(const QString &key, const shell::Notice &notice, Later later = Later::MayReplace);
    void closed(uint noticeId);

    Mirror &m_mirror;
    shell::DesktopNotifications m_desktop;
    QHash<QString, uint> m_noticeOf;    // fax or submission → its notice
    QHash<uint, QString> m_receivedOf;  // a received fax's notice → the fax
};

}  // namespace sendmere
