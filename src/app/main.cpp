#include "app/CommandLine.h"
#include "app/Failures.h"
#include "app/FormPage.h"
#include "app/Init.h"
#include "app/mCommon.h"
#include "send/CoverPageDirectories.h"

#include <QApplication>
#include <QWidget>

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("sendmere"));
    QApplication::setApplicationVersion(QStringLiteral(SENDMERE_VERSION_STRING));
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
