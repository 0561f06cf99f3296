// Finds and loads the mail codec module.
#include "platform/mail/MailCodec.h"

#include "platform/AutomationError.h"

#include <QFileInfo>
#include <QLibrary>

namespace sendmere::mail {

namespace {

constexpr const char *ModuleName = "sendmere-mailcodec.so";

// Beside the program; a test or benchmark of the build tree, which runs from a folder of its
// own, also in the build's program folder. An installed program never loads a build's module.
QStringList moduleFolders() {
    const QString programFolder = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalPath();
    QStringList folders{programFolder};
    if (programFolder.startsWith(QStringLiteral(SENDMERE_BUILD_ROOT "/")) && programFolder != QStringLiteral(SENDMERE_BUILD_PROGRAMS))
        folders << QStringLiteral(SENDMERE_BUILD_PROGRAMS);
    return folders;
}

const MailCodec *loadCodec() {
    using Entry = const MailCodec *(*)();
    const QStringList folders = moduleFolders();
    for (const QString &folder : folders) {
        const QString path = folder + u'/' + QLatin1String(ModuleName);
        if (!QFileInfo(path).isFile()) continue;
        QLibrary module(path);  // stays loaded: a QLibrary unloads only when told to
        if (const auto entry = reinterpret_cast<Entry>(module.resolve("sendmere_mail_codec"))) return entry();
        throw AutomationError(err::CannotCreateObject, QStringLiteral("The mail module %1 cannot be loaded: %2").arg(path, module.errorString()));
    }
    throw AutomationError(err::CannotCreateObject, QStringLiteral("The mail module %1 is in none of these folders: %2. The installation is incomplete.")
                                                       .arg(QLatin1String(ModuleName), folders.join(QStringLiteral(", "))));
}

}  // namespace

const MailCodec &mailCodec() {
    // A failed load is tried again by the next call.
    static const MailCodec *const codec = loadCodec();
    return *codec;
}

}  // namespace sendmere::mail
