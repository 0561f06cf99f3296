#pragma once
// The listener of the local fax service. While an instance lives, outgoing fax traffic is
// mirrored into the mail folders: a queued job becomes an Outbox item, an archived message a
// Sent Items item, and a message leaving the archive takes its item with it. Creating one
// also loads the hidden page frmtest, whose one-second poll reports jobs leaving the queue.
#include <QObject>
#include <QString>
#include <memory>

namespace sendmere {
namespace fax { class FaxServer; }

class cFaxEvent : public QObject {
    Q_OBJECT
public:
    // Connects to the local fax service and subscribes to its outgoing queue and archive
    // events; a service that cannot be reached makes the creation fail.
    cFaxEvent();
    // Unsubscribes, disconnects and unloads frmtest, which stops the poll.
    ~cFaxEvent() override;
    cFaxEvent(const cFaxEvent &) = delete;
    cFaxEvent &operator=(const cFaxEvent &) = delete;

    // Initialises again when the connection object is gone; otherwise does nothing.
    void Init();
    fax::FaxServer *GetServer();

    void oFaxEvents_OnOutgoingJobAdded(fax::FaxServer *pFaxServer, const QString &bstrJobId);
    void oFaxEvents_OnOutgoingMessageAdded(fax::FaxServer *pFaxServer, const QString &bstrJobId);
    void oFaxEvents_OnOutgoingMessageRemoved(fax::FaxServer *pFaxServer, const QString &bstrMesId);

    // The outgoing queue (0x02) and the outgoing archive (0x40) event sets.
    static constexpr int EventMask = 66;

private:
    void initialise();

    std::unique_ptr<fax::FaxServer> oFaxEvents;
};

}  // namespace sendmere
