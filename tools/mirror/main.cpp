// sendmere-mirror: runs with the user's session and keeps the mail folders in step with the
// fax service, tells the user through the desktop's notifications what happens to their
// faxes, and opens the fax wizard with what the user printed to the fax printer. One per
// user: a second one says so and ends at once.
#include "Mirror.h"
#include "PrintedDocuments.h"
#include "SessionNotices.h"
#include "TerminationSignals.h"
#include "session/mCommon.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char *argv[]) {
    sendmere::blockTerminationSignals();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("sendmere-mirror"));
    if (const std::optional<QString> refused = sendmere::Mirror::claimInstance()) {
        std::fprintf(stderr, "sendmere-mirror: %s\n", qUtf8Printable(*refused));
        return 1;
    }
    const sendmere::TerminationSignals endOfSession;
    sendmere::Mirror mirror;
    const sendmere::SessionNotices notices(mirror);
    mirror.start();
    sendmere::PrintedDocuments printed(sendmere::PrintedDocuments::userSpoolFolder(),
                                       sendmere::PrintedDocuments::keptFolder());
    printed.start();
    const int code = QCoreApplication::exec();
    // The connections go, and a mail client switch made for the messaging session is undone.
    sendmere::mCommon::ShutDown();
    return code;
}
