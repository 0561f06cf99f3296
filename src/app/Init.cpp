#include "app/Init.h"

#include "app/CommandLine.h"
#include "app/mCommon.h"
#include "extras/frmAbout.h"
#include "extras/frmWarning.h"
#include "job/FaxJob.h"
#include "platform/fax/FaxClient.h"
#include "platform/imaging/Imaging.h"
#include "platform/shell/Shell.h"
#include "wizard/frmCover.h"
#include "wizard/frmNew.h"
#include "wizard/frmSender.h"

#include <QCoreApplication>
#include <QLabel>
#include <functional>
#include <memory>

namespace sendmere {
namespace {

// A missing piece reads as empty text.
QString piece(const QStringList &list, int index) { return list.value(index); }

void fillRecipients(const QStringList &names, const QStringList &numbers) {
    FaxJob &job = faxJob();
    for (int i = 1; i <= job.RecipientNumber.upperBound(); ++i) {
        job.RecipientNumber(i) = piece(numbers, i - 1);
        job.RecipientName(i) = piece(names, i - 1);
    }
}

using Action = std::function<void(Init &, const CommandLine &)>;

// Looked up in this order; the first exact match runs.
const std::pair<const char *, Action> Actions[] = {
    {"new", [](Init &init, const CommandLine &l) { init.ShowFaxNew(l.names, l.numbers, l.attachments); }},
    {"cover", [](Init &init, const CommandLine &l) { init.ShowFaxCover(l.names, l.numbers); }},
    {"import", [](Init &init, const CommandLine &) {
         mCommon::Start(true);
         init.FaxImport();
     }},
    {"sender", [](Init &init, const CommandLine &) { init.FaxSender(); }},
    {"help", [](Init &init, const CommandLine &) { init.FaxHelp(); }},
    {"about", [](Init &init, const CommandLine &) { init.FaxAbout(); }},
    {"recv", [](Init &init, const CommandLine &) { init.FaxRecv(); }},
    {"scan", [](Init &init, const CommandLine &) { init.scan(); }},
    {"warning", [](Init &init, const CommandLine &) { init.ShowWarning(); }},
};

}  // namespace

Init::~Init() { mCommon::ShutDown(); }

void Init::ShowFaxNew(const QStringList &names, const QStringList &numbers, const QStringList &attachments) {
    mCommon::CheckFaxDevice();
    ResetFaxJob();
    FaxJob &job = faxJob();
    // "new" lists are items each followed by "#": the last piece is dropped.
    if (!names.isEmpty()) {
        job.RecipientName.redimPreserve(int(names.size()) - 1);
        job.RecipientNumber.redimPreserve(int(names.size()) - 1);
    }
    if (!attachments.isEmpty()) job.Attachments.redimPreserve(int(attachments.size()) - 1);
    fillRecipients(names, numbers);
    for (int j = 1; j <= job.Attachments.upperBound(); ++j)
        job.Attachments(j) = QString(attachments[j - 1]).remove(QLatin1Char('"'));
    page<frmNew>().exec();
}

void Init::ShowWarning(const QString &strMessage) {
    frmWarning &warning = page<frmWarning>();
    if (!strMessage.isEmpty()) warning.lblText->setText(QStringLiteral("Warning:") + strMessage);
    warning.exec();
    mCommon::ExitApplication(0);
}

void Init::scan() {
    if (!imaging::IsScanAvailable()) {
        ShowWarning(QStringLiteral("Can't find scan device. Please install scan or device camera."));
        return;
    }
    // Acquisition needs the imaging component, which IsScanAvailable() denies in this build.
    mCommon::ExitApplication(0);
}

void Init::ShowFaxCover(const QStringList &names, const QStringList &numbers) {
    mCommon::CheckFaxDevice();
    ResetFaxJob();
    FaxJob &job = faxJob();
    // "cover" lists have no trailing "#": every piece is a recipient.
    job.RecipientName.redimPreserve(int(names.size()));
    job.RecipientNumber.redimPreserve(int(names.size()));
    fillRecipients(names, numbers);
    page<frmCover>().showPage();
}

void Init::FaxImport() { mCommon::CheckFaxDevice(); }

void Init::FaxSender() { page<frmSender>().showPage(); }

void Init::FaxAbout() { page<frmAbout>().showPage(); }

void Init::FaxHelp() { shell::seams().messageBox->show(nullptr, QStringLiteral("Help"), mCommon::ProgramTitle); }

void Init::FaxRecv() {
    logFailures(QStringLiteral("Sendmere.FaxRecv"), [] {
        mCommon::CheckFaxDevice();
        fax::FaxServer *server = mCommon::GetFaxServer();
        if (!server) throw AutomationError::objectNotSet();
        fax::FaxDevices devices = server->GetDevices();
        if (devices.Count() > 0) {
            fax::FaxDevice device = devices.Item(1);
            device.AnswerCall();
        }
    });
}

void runEntry(const QString &commandLineText) {
    QCoreApplication::instance()->setProperty(
        "HelpFile", QCoreApplication::applicationDirPath() + QStringLiteral("/Quillpost.chm"));
    const CommandLine line = parseCommandLine(commandLineText);
    if (line.fields.isEmpty()) return;
    std::unique_ptr<Init> init;
    for (const auto &[word, action] : Actions) {
        if (line.action() != QLatin1String(word)) continue;
        init = std::make_unique<Init>();
        action(*init, line);
        break;
    }
}

}  // namespace sendmere
