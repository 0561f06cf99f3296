#pragma once
// Services every part of the program shares: the connections to the mail client and the
// fax service (opened on first use, released together), the start and end of the
// program's work, temporary files and the fax device probe.
#include "platform/Failures.h"

#include <QString>
#include <memory>

namespace sendmere {
namespace fax { class FaxServer; }
namespace mail {
class MailApplication;
class MailNamespace;
class MessagingSession;
}  // namespace mail

namespace mCommon {

void Start(bool loadSender);
void ShutDown();
void ExitApplication(qint32 code);  // returns only where a test records the end

mail::MailApplication *GetOutlookApp();
std::unique_ptr<mail::MailApplication> AttachOutlook();
mail::MailNamespace *GetMailNamespace();
mail::MessagingSession *GetCdoSession();
void SetDefaultMailClient(bool makeDefault);

std::unique_ptr<fax::FaxServer> AttachFaxServer();
fax::FaxServer *GetFaxServer();
QString GetFaxName();
bool CheckFaxDevice();

QString GetTempDir();
QString GetTempFile();

// The program's title, which its message boxes carry.
inline const QString ProgramTitle = QStringLiteral("Sendmere");

// The name of the mail client the default-mail-client switch makes the default.
inline const QString MailClientName = QStringLiteral("Microsoft Outlook");

}  // namespace mCommon

// True when path names an existing ordinary file.
bool FileExists(const QString &path);

}  // namespace sendmere
