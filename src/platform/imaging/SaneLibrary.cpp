#include "platform/imaging/SaneLibrary.h"

#include "platform/AutomationError.h"

#include <QLibrary>

namespace sendmere::imaging::sane {
namespace {

// The library's file name on the system: the major version of its interface.
constexpr int InterfaceVersion = 1;

template <typename Function>
void resolve(QLibrary &file, const char *name, Function &slot) {
    slot = reinterpret_cast<Function>(file.resolve(name));
    if (!slot)
        throw AutomationError(err::AutomationFailure,
                              QStringLiteral("The scanner library lacks %1: %2").arg(QLatin1String(name), file.errorString()));
}

Library open() {
    // Kept loaded to the end of the process, as a linked library would be: the backends it
    // loaded and their threads rely on it.
    static QLibrary file(QStringLiteral("sane"), InterfaceVersion);
    if (!file.load())
        throw AutomationError(err::AutomationFailure,
                              QStringLiteral("The scanner library cannot be loaded: %1").arg(file.errorString()));
    Library functions{};
    resolve(file, "sane_init", functions.init);
    resolve(file, "sane_exit", functions.exit);
    resolve(file, "sane_get_devices", functions.getDevices);
    resolve(file, "sane_open", functions.open);
    resolve(file, "sane_close", functions.close);
    resolve(file, "sane_get_option_descriptor", functions.getOptionDescriptor);
    resolve(file, "sane_control_option", functions.controlOption);
    resolve(file, "sane_get_parameters", functions.getParameters);
    resolve(file, "sane_start", functions.start);
    resolve(file, "sane_read", functions.read);
    resolve(file, "sane_cancel", functions.cancel);
    resolve(file, "sane_strstatus", functions.strstatus);
    return functions;
}

}  // namespace

const Library &library() {
    // A throwing first call leaves the static unset; the next call tries again.
    static const Library functions = open();
    return functions;
}

}  // namespace sendmere::imaging::sane
