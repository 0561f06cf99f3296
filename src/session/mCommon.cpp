#include "session/mCommon.h"

#include "job/FaxJob.h"
#include "job/SenderInfo.h"
#include "platform/fax/FaxClient.h"
#include "platform/mail/MailClient.h"
#include "platform/shell/Shell.h"
#include "platform/shell/TempDir.h"
#include "services/CWinReg.h"
#include "services/FormPage.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <fcntl.h>
#include <unistd.h>

namespace sendmere {
namespace {

struct Connections {
    std::unique_ptr<mail::MailApplication> OutlookApp;
    std::unique_ptr<mail::MailNamespace> MailNamespace;
    std::unique_ptr<fax::FaxServer> SharedFaxServer;
    std::unique_ptr<mail::MessagingSession> CdoSession;
    QString SavedMailClient;
    // Whether SavedMailClient holds the user's choice that ShutDown has to put back.
    bool MailClientSwitched = false;
};

Connections &connections() {
    static Connections slots;
    return slots;
}

const QString MailClientsKey = QStringLiteral("SOFTWARE\\Clients\\Mail");

// Creates a new empty file <dir>Fax<hex>.tmp that did not exist before.
QString createUniqueTempFile(const QString &dir) {
    quint32 unique = QRandomGenerator::global()->bounded(1u, 0xFFFFu);
    for (int attempt = 0; attempt < 0xFFFF; ++attempt, unique = unique % 0xFFFF + 1) {
        const QString path = dir + QStringLiteral("Fax%1.tmp").arg(QString::number(unique, 16).toUpper());
        const int fd = ::open(QFile::encodeName(path).constData(), O_CREAT | O_EXCL | O_NOFOLLOW | O_WRONLY | O_CLOEXEC, 0600);
        if (fd >= 0) {
            ::close(fd);
            return path;
        }
        if (errno != EEXIST) break;
    }
    throw AutomationError(err::PathFileAccessError, QStringLiteral("Path/File access error"));
}

}  // namespace

namespace mCommon {

void Start(bool loadSender) {
    logFailures(QStringLiteral("mCommon.Start"), [&] {
        Connections &c = connections();
        if (!c.OutlookApp) c.OutlookApp = AttachOutlook();
        if (!c.MailNamespace) {
            if (!c.OutlookApp) throw AutomationError::objectNotSet();
            c.MailNamespace = c.OutlookApp->GetNamespace(QStringLiteral("MAPI"));
        }
        FaxJob &job = faxJob();
        job.TempDir = GetTempDir();
        if (!job.FaxDoc) job.FaxDoc = std::make_shared<fax::FaxDocument>();
        job.PreviewMode = VbFalse;
        if (loadSender) {
            job.RecipientName.redim(0);
            job.Attachments.redim(0);
            GetSenderInfo();
        }
    });
}

void ShutDown() {
    logFailures(QStringLiteral("mCommon.ShutDown"), [] {
        Connections &c = connections();
        if (c.SharedFaxServer) {
            std::unique_ptr<fax::FaxServer> server = std::move(c.SharedFaxServer);
            if (server->isConnected()) server->Disconnect();
        }
        c.MailNamespace.reset();
        c.OutlookApp.reset();
        // Also when the session could not be made: the switch before it was made all the same.
        if (c.CdoSession || c.MailClientSwitched) {
            SetDefaultMailClient(false);
            c.CdoSession.reset();
        }
    });
}

void ExitApplication(qint32 code) {
    releasePages();
    ShutDown();
    shell::seams().programEnd->exit(code);
}

std::unique_ptr<mail::MailApplication> AttachOutlook() {
    try {
        return mail::attachRunningApplication();
    } catch (const AutomationError &) {
    }
    try {
        return mail::startApplication();
    } catch (const AutomationError &) {
        return nullptr;
    }
}

mail::MailApplication *GetOutlookApp() {
    Connections &c = connections();
    if (!c.OutlookApp) c.OutlookApp = AttachOutlook();
    return c.OutlookApp.get();
}

mail::MailNamespace *GetMailNamespace() {
    Connections &c = connections();
    if (!c.MailNamespace) {
        endSilently([&] {
            mail::MailApplication *app = GetOutlookApp();
            if (app) c.MailNamespace = app->GetNamespace(QStringLiteral("MAPI"));
        });
    }
    return c.MailNamespace.get();
}

mail::MessagingSession *GetCdoSession() {
    Connections &c = connections();
    if (!c.CdoSession) {
        ResumeNext steps;
        steps.step([] { SetDefaultMailClient(true); });
        steps.step([&] { c.CdoSession = mail::createSession(); });
        steps.step([&] {
            if (!c.CdoSession) throw AutomationError::objectNotSet();
            c.CdoSession->Logon(false, false);
        });
    }
    return c.CdoSession.get();
}

void SetDefaultMailClient(bool makeDefault) {
    CWinReg reg;
    reg.OpenKey(reg.HKEY_LOCAL_MACHINE(), MailClientsKey + QStringLiteral("\\") + MailClientName, true);
    const bool installed = !reg.GetStringValue(QString()).isEmpty();
    reg.CloseKey();
    if (!installed) return;
    if (!reg.OpenKey(reg.HKEY_LOCAL_MACHINE(), MailClientsKey, true)) return;
    Connections &c = connections();
    if (makeDefault && !c.MailClientSwitched) {
        // Once until it is put back: a second switch would save the program's own choice
        // in place of the user's.
        c.SavedMailClient = reg.GetStringValue(QString());
        c.MailClientSwitched = true;
        if (c.SavedMailClient != MailClientName) {
            reg.SetStringValue(QString(), MailClientName);
            reg.FlushKey();
        }
    } else if (!makeDefault && c.MailClientSwitched) {
        reg.SetStringValue(QString(), c.SavedMailClient);
        c.MailClientSwitched = false;
    }
    reg.CloseKey();
}

std::unique_ptr<fax::FaxServer> AttachFaxServer() {
    return std::make_unique<fax::FaxServer>();
}

fax::FaxServer *GetFaxServer() {
    Connections &c = connections();
    if (!c.SharedFaxServer) {
        c.SharedFaxServer = AttachFaxServer();
        endSilently([&] { c.SharedFaxServer->Connect(QString()); });
    }
    return c.SharedFaxServer.get();
}

QString GetFaxName() {
    QString name;
    logFailures(QStringLiteral("mCommon.GetFaxName"), [&] {
        fax::FaxServer server;
        server.Connect(QString());
        name = server.GetDevices().Item(1).DeviceName();
        server.Disconnect();
    });
    return name;
}

bool CheckFaxDevice() {
    GetFaxName();
    return true;
}

QString GetTempDir() {
    QString dir;
    logFailures(QStringLiteral("mCommon.GetTempDir"), [&] {
        constexpr int BufferChars = 160;
        // The user's own folder: where others may write, another user could place the
        // program's fixed names first.
        const QString path = shell::userTempDir();
        if (path.isEmpty()) throw AutomationError(err::PathFileAccessError, QStringLiteral("Path/File access error"));
        // A path that does not fit the buffer is not returned at all.
        if (path.size() < BufferChars) dir = path;
    });
    return dir;
}

QString GetTempFile() {
    QString path;
    logFailures(QStringLiteral("mCommon.GetTempFile"), [&] {
        constexpr int BufferChars = 260;
        const QString dir = GetTempDir();
        const QString created = createUniqueTempFile(dir);
        if (created.size() >= BufferChars) {
            QFile::remove(created);
            throw AutomationError(err::PathFileAccessError, QStringLiteral("Path/File access error"));
        }
        path = created;
    });
    return path;
}

}  // namespace mCommon

bool FileExists(const QString &path) {
    const QFileInfo info(path);
    return !path.isEmpty() && info.exists() && info.isFile();
}

}  // namespace sendmere
