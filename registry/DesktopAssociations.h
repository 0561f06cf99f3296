#pragma once
// What the desktop says about installed programs, read from the freedesktop.org files
// directly (MIME application associations, desktop entries) at the moment of asking.
#include <QString>
#include <optional>

namespace sendmere::registry {

struct DesktopApplication {
    QString className;  // the desktop file id without ".desktop"
    QString command;    // its Exec line, with the file field codes as "%1"
};

// The desktop's default application for a MIME type; nullopt when none is installed.
std::optional<DesktopApplication> defaultApplicationFor(const QString &mimeType);

// The full path of the first system information tool found on PATH, empty when none is.
QString systemInformationTool();

}  // namespace sendmere::registry
