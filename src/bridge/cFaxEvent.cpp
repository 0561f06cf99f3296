#include "bridge/cFaxEvent.h"

#include "bridge/FaxItems.h"
#include "bridge/PreviewCapture.h"
#include "bridge/frmtest.h"
#include "job/FaxJob.h"
#include "platform/Failures.h"
#include "platform/mail/MailClient.h"
#include "platform/fax/FaxClient.h"

#include <QCoreApplication>

namespace sendmere {

cFaxEvent::cFaxEvent() { initialise(); }

cFaxEvent::~cFaxEvent() {
    // After the application object is gone (a process ending through its static
    // destructors) neither the bus nor the pages can be reached any more.
    if (!QCoreApplication::instance()) return;
    if (oFaxEvents) {
        endSilently([this] { oFaxEvents->ListenToServerEvents(fax::EventsNone); });
        endSilently([this] { oFaxEvents->Disconnect(); });
    }
    unloadFrmtest();
    oFaxEvents.reset();
}

void cFaxEvent::initialise() {
    auto server = std::make_unique<fax::FaxServer>();
    connect(server.get(), &fax::FaxServer::OnOutgoingJobAdded, this, &cFaxEvent::oFaxEvents_OnOutgoingJobAdded);
    connect(server.get(), &fax::FaxServer::OnOutgoingMessageAdded, this, &cFaxEvent::oFaxEvents_OnOutgoingMessageAdded);
    connect(server.get(), &fax::FaxServer::OnOutgoingMessageRemoved, this, &cFaxEvent::oFaxEvents_OnOutgoingMessageRemoved);
    server->Connect(QString());
    server->ListenToServerEvents(EventMask);
    oFaxEvents = std::move(server);
    loadFrmtest();
}

void cFaxEvent::Init() {
    if (!oFaxEvents) initialise();
}

fax::FaxServer *cFaxEvent::GetServer() {
    Init();
    return oFaxEvents.get();
}

void cFaxEvent::oFaxEvents_OnOutgoingJobAdded(fax::FaxServer *pFaxServer, const QString &bstrJobId) {
    logFailures(QStringLiteral("ConnectOutlook.oFaxEvents_OnOutgoingJobAdded"), [&] {
        if (faxJob().PreviewMode != VbFalse) {
            capturePreviewJob(*pFaxServer, bstrJobId);
            return;
        }
        mSend::GenerateOutlookOutboxFax(pFaxServer->Folders().OutgoingQueue().GetJob(bstrJobId));
    });
}

void cFaxEvent::oFaxEvents_OnOutgoingMessageAdded(fax::FaxServer *pFaxServer, const QString &bstrJobId) {
    logFailures(QStringLiteral("ConnectOutlook.oFaxEvents_OnOutgoingMessageAdded"), [&] {
        if (faxJob().PreviewMode != VbFalse) {
            capturePreviewMessage(*pFaxServer, bstrJobId);
            return;
        }
        mSend::GenerateOutlookSentFax(pFaxServer->Folders().OutgoingArchive().GetMessage(bstrJobId));
    });
}

void cFaxEvent::oFaxEvents_OnOutgoingMessageRemoved(fax::FaxServer *, const QString &bstrMesId) {
    logFailures(QStringLiteral("ConnectOutlook.oFaxEvents_OnOutgoingMessageRemoved"), [&] {
        if (faxJob().PreviewMode == VbFalse) mSend::RemovedOutlookFax(bstrMesId, mail::FolderSentItems);
    });
}

}  // namespace sendmere
