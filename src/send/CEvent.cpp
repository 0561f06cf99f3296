#include "send/CEvent.h"

#include "app/CWinReg.h"
#include "app/Failures.h"
#include "app/mCommon.h"
#include "job/FaxJob.h"
#include "platform/shell/Shell.h"

#include <QCoreApplication>

namespace sendmere {

QString tiffViewerCommand() {
    CWinReg reg;
    QString fileClass;
    if (reg.OpenKey(CWinReg::HKEY_CLASSES_ROOT(), QStringLiteral(".tiff"), true)) {
        fileClass = reg.GetStringValue(QString());
        reg.CloseKey();
    }
    QString command;
    if (reg.OpenKey(CWinReg::HKEY_CLASSES_ROOT(), fileClass + QStringLiteral("\\shell\\open\\command"), true)) {
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
            shell::seams().messageBox->show(nullptr, QStringLiteral("Please install tiff viewer."), mCommon::ProgramTitle);
        QCoreApplication::processEvents();
        faxJob().PreviewMode = VbFalse;
    });
}

}  // namespace sendmere
