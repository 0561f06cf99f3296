#include "app/Display.h"

#include <QtGlobal>
#include <cstdio>
#include <cstdlib>

namespace sendmere {
namespace {

QtMessageHandler &previousHandler() {
    static QtMessageHandler handler = nullptr;
    return handler;
}

void tell(const QString &reason) {
    std::fprintf(stderr, "sendmere: %s\n", qUtf8Printable(reason));
    std::fflush(stderr);
}

// The window system library's fatal message while the application starts: the display is
// named but cannot be opened.
void startupMessages(QtMsgType type, const QMessageLogContext &context, const QString &message) {
    if (type == QtFatalMsg) {
        tell(QStringLiteral("the display \"%1\" cannot be opened, so no window can be shown (%2)")
                 .arg(qEnvironmentVariable("DISPLAY", qEnvironmentVariable("WAYLAND_DISPLAY")), message.trimmed()));
        std::_Exit(1);
    }
    if (QtMessageHandler previous = previousHandler()) previous(type, context, message);
}

}  // namespace

QString missingDisplayReason(const QByteArray &platform, const QByteArray &display, const QByteArray &waylandDisplay) {
    const qsizetype colon = platform.indexOf(':');
    const QByteArray name = (colon < 0 ? platform : platform.left(colon)).trimmed();
    const bool needsServer = name.isEmpty() || name == "xcb" || name.startsWith("wayland");
    if (!needsServer || !display.isEmpty() || !waylandDisplay.isEmpty()) return {};
    return QStringLiteral("there is no display to show windows on: neither DISPLAY nor WAYLAND_DISPLAY is set. "
                          "Start it in a desktop session, or with QT_QPA_PLATFORM=offscreen for a run without windows.");
}

void requireDisplay() {
    const QString reason =
        missingDisplayReason(qgetenv("QT_QPA_PLATFORM"), qgetenv("DISPLAY"), qgetenv("WAYLAND_DISPLAY"));
    if (!reason.isEmpty()) {
        tell(reason);
        std::exit(1);
    }
    previousHandler() = qInstallMessageHandler(startupMessages);
}

void displayOpened() { qInstallMessageHandler(previousHandler()); }

}  // namespace sendmere
