#include "app/Init.h"

#include "app/CommandLine.h"
#include "bridge/frmImport.h"
#include "extras/frmAbout.h"
#include "extras/frmWarning.h"
#include "job/FaxJob.h"
#include "platform/Failures.h"
#include "platform/fax/FaxClient.h"
#include "platform/imaging/Imaging.h"
#include "platform/shell/Shell.h"
#include "session/mCommon.h"
#include "wizard/frmCover.h"
#include "wizard/frmNew.h"
#include "wizard/frmScan.h"
#include "wizard/frmSender.h"

#include <QCoreApplication>
#include <QLabel>
#include <memory>

namespace sendmere {
namespace {

using Action = void (*)(Init &, const CommandLine &);

// Looked up in this order; the first exact match runs.
const std::pair<const char *, Action> Actions[] = {
    {"new", [](Init &init, const CommandLine &l) { init.ShowFaxNew(l); }},
    {"cover", [](Init &init, const CommandLine &l) { init.ShowFaxCover(l); }},
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

void Init::ShowFaxNew(const CommandLine &line) {
    mCommon::CheckFaxDevice();
    fillNewFax(line);
    page<frmNew>().exec();
}

void Init::ShowWarning(const QString &strMessage) {
    frmWarning &warning = page<frmWarning>();
    if (!strMessage.isEmpty()) warning.lblText->setText(QCoreApplication::translate("sendmere::Init", "Warning:") + strMessage);
    warning.exec();
    mCommon::ExitApplication(0);
}

namespace {

// What the user hears whenever no scanner can be used, in their language.
QString noScannerWarning() {
    return QCoreApplication::translate("sendmere::Init", "Can't find scan device. Please install scan or device camera.");
}

}  // namespace

void Init::scan() {
    if (!imaging::IsScanAvailable()) {
        ShowWarning(noScannerWarning());
        return;
    }
    faxJob().Attachments.redim(0);
    frmScan &scanPage = page<frmScan>();
    // The library answered but found no device: the user hears the same as without one.
    if (scanPage.Devices.empty()) {
        WriteErrorLog(err::CannotCreateObject, QStringLiteral("The scanner library found no scanner or camera"), QStringLiteral("Sendmere.scan"));
        scanPage.unload();
        ShowWarning(noScannerWarning());
        return;
    }
    scanPage.showAndWait();
    if (faxJob().Attachments.upperBound() == 1) {
        // The recipients stay as they were: the wizard starts with the scanned page.
        page<frmNew>().exec();
        return;
    }
    mCommon::ExitApplication(0);
}

void Init::ShowFaxCover(const CommandLine &line) {
    mCommon::CheckFaxDevice();
    fillCoverFax(line);
    page<frmCover>().showPage();
}

void Init::FaxImport() {
    mCommon::CheckFaxDevice();
    page<frmImport>().showPage();
}

void Init::FaxSender() { page<frmSender>().showPage(); }

void Init::FaxAbout() { page<frmAbout>().showPage(); }

void Init::FaxHelp() { shell::seams().messageBox->show(nullptr, QCoreApplication::translate("sendmere::Init", "Help"),
                                                  mCommon::ProgramTitle); }

void Init::FaxRecv() {
    logFailures(QStringLiteral("Sendmere.FaxRecv"), [] {
        mCommon::CheckFaxDevice();
        fax::FaxServer *server = mCommon::GetFaxServer();
        if (!server) throw AutomationError::objectNotSet();
        const fax::FaxDevices devices = server->GetDevices();
        if (devices.Count() > 0) devices.Item(1).AnswerCall();
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
