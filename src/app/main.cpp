#include "app/CommandLine.h"
#include "app/Failures.h"
#include "app/Init.h"

#include <QApplication>
#include <QWidget>

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("sendmere"));
    QApplication::setApplicationVersion(QStringLiteral(SENDMERE_VERSION_STRING));
    // No failure may end the program: whatever escapes an action is logged.
    sendmere::logFailures(QStringLiteral("Sendmere.Main"), [&] {
        sendmere::runEntry(sendmere::commandLineText(QApplication::arguments()));
    });
    for (const QWidget *window : QApplication::topLevelWidgets())
        if (window->isVisible()) return QApplication::exec();
    return 0;
}
