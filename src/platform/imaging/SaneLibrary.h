#pragma once
// The scanner library, opened the first time a scan needs it rather than at every start of
// the program: most starts never scan, and the library with what it brings along (USB, udev,
// XML) would cost each of them its loading.
#include <sane/sane.h>

namespace sendmere::imaging::sane {

struct Library {
    decltype(&::sane_init) init;
    decltype(&::sane_exit) exit;
    decltype(&::sane_get_devices) getDevices;
    decltype(&::sane_open) open;
    decltype(&::sane_close) close;
    decltype(&::sane_get_option_descriptor) getOptionDescriptor;
    decltype(&::sane_control_option) controlOption;
    decltype(&::sane_get_parameters) getParameters;
    decltype(&::sane_start) start;
    decltype(&::sane_read) read;
    decltype(&::sane_cancel) cancel;
    decltype(&::sane_strstatus) strstatus;
};

// The library's functions, opened on the first call; raises AutomationError when the library
// is not installed or lacks one of them, and tries again on the next call.
const Library &library();

}  // namespace sendmere::imaging::sane
