#include "bridge/CEvent.h"

#include "job/FaxJob.h"
#include "platform/Failures.h"
#include "platform/shell/Shell.h"
#include "services/CWinReg.h"
#include "session/mCommon.h"

#include <QCoreApplication>

namespace sendmere {

QString tiffViewerCommand() {
    CWinReg reg;
    QString fileClass;
    // Only read: looking for a viewer must not leave empty keys in the classes root.
    if (reg.OpenKey(CWinReg::HKEY_CLASSES_ROOT(), QStringLiteral(".tiff"), false)) {
        fileClass = reg.GetStringValue(QString());
        reg.CloseKey();
    }
    QString command;
    if (!fileClass.isEmpty() && reg.OpenKey(CWinReg::HKEY_CLASSES_ROOT(), fileClass + QStringLiteral("\\shell\\open\\command"), false)) {
        command = reg.GetStringValue(QString());
        // The program alone: what stands before the last blank is taken as its path.
        const qsizetype lastBlank = command.lastIndexOf(QLatin1Char(' '));
        if (lastBlank >= 0) command.truncate(lastBlank);
        command.remove(QLatin1Char('"'));
        reg.CloseKey();
    }
    return command;
}

// The command only tells whether a viewer is registered; the desktop picks the program
// that opens the file.
void CEvent::previewFax() {
    logFailures(QStringLiteral("cEvent.previewFax"), [] {
        const QString command = tiffViewerCommand();
        QCoreApplication::processEvents();
        mCommon::Start(false);
        QCoreApplication::processEvents();
        const QString file = faxJob().PreviewFile;
        if (!command.isEmpty() && !file.isEmpty())
            shell::seams().launcher->open(file);
        else
            shell::seams().messageBox->show(nullptr, QCoreApplication::translate("sendmere::CEvent", "Please install tiff viewer."), mCommon::ProgramTitle);
        QCoreApplication::processEvents();
        faxJob().PreviewMode = VbFalse;
    });
}

}  // namespace sendmere
