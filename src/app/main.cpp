#include "app/CommandLine.h"
#include "app/Display.h"
#include "app/Init.h"
#include "platform/Failures.h"
#include "send/CoverPageDirectories.h"
#include "services/FormPage.h"
#include "services/Translations.h"
#include "session/mCommon.h"

#include <QApplication>
#include <QIcon>
#include <QWidget>

#include <cstdio>

namespace {

// The desktop file's name: the desktop matches the windows to the menu entry by it (the
// window class on X11, the application id on Wayland).
const QString DesktopId = QStringLiteral("org.sendmere.Sendmere");

// The icon of the user's icon theme, where the program is installed; the one built into
// the program otherwise (a build tree).
QIcon programIcon() { return QIcon::fromTheme(QStringLiteral("sendmere"), QIcon(QStringLiteral(":/sendmere/icons/sendmere.svg"))); }

QStringList rawArguments(int argc, char *argv[]) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

}  // namespace

int main(int argc, char *argv[]) {
    // Answered before the window system is touched: no window opens, and no display is needed.
    if (const auto answer = sendmere::terminalAnswer(rawArguments(argc, argv))) {
        std::fputs(answer->toLocal8Bit().constData(), stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    sendmere::requireDisplay();
    QApplication app(argc, argv);
    sendmere::displayOpened();
    // The window class on X11 is the application's name.
    QApplication::setApplicationName(DesktopId);
    QApplication::setApplicationVersion(QStringLiteral(SENDMERE_VERSION_STRING));
    QApplication::setDesktopFileName(DesktopId);
    QApplication::setWindowIcon(programIcon());
    sendmere::installTranslations(app);
    // A page closed without an explicit end (the sender page's OK, say) ends the program once
    // no page is left on screen, on every platform and with or without a window manager.
    QApplication::setQuitOnLastWindowClosed(false);
    sendmere::shipCoverPagesWhenSeeded();
    sendmere::onLastPageGone([] { sendmere::mCommon::ExitApplication(0); });
    // No failure may end the program: whatever escapes an action is logged.
    sendmere::logFailures(QStringLiteral("Sendmere.Main"), [&] {
        sendmere::runEntry(sendmere::commandLineText(QApplication::arguments()));
    });
    for (const QWidget *window : QApplication::topLevelWidgets())
        if (window->isVisible()) return QApplication::exec();
    return 0;
}
