// A scanner that starts and sends nothing ("stall" in dll.conf, on LD_LIBRARY_PATH): its read waits
// for the cancel; with SANE_STALL_DEAF=N it sleeps N s, then makes the file SANE_STALL_DONE names.
#include <sane/sane.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace {
SANE_Device device{"0", "Stalling", "scanner", "flatbed scanner"};
const SANE_Device *deviceList[] = {&device, nullptr};
SANE_Option_Descriptor optionCount{"", "Number of options", "", SANE_TYPE_INT, SANE_UNIT_NONE, sizeof(SANE_Word),
                                   SANE_CAP_SOFT_DETECT, SANE_CONSTRAINT_NONE, {nullptr}};
std::mutex guard;
std::condition_variable changed;
bool scanning = false, cancelled = false;
int handleTag = 0;
}  // namespace

extern "C" {
SANE_Status sane_stall_init(SANE_Int *version, SANE_Auth_Callback) {
    if (version) *version = SANE_VERSION_CODE(1, 0, 0);
    return SANE_STATUS_GOOD;
}
void sane_stall_exit() {}
SANE_Status sane_stall_get_devices(const SANE_Device ***list, SANE_Bool) { return *list = deviceList, SANE_STATUS_GOOD; }
SANE_Status sane_stall_open(SANE_String_Const, SANE_Handle *handle) { return *handle = &handleTag, SANE_STATUS_GOOD; }
void sane_stall_close(SANE_Handle) {}
const SANE_Option_Descriptor *sane_stall_get_option_descriptor(SANE_Handle, SANE_Int option) { return option == 0 ? &optionCount : nullptr; }
SANE_Status sane_stall_control_option(SANE_Handle, SANE_Int option, SANE_Action action, void *value, SANE_Int *) {
    if (option != 0 || action != SANE_ACTION_GET_VALUE) return SANE_STATUS_INVAL;
    return *static_cast<SANE_Word *>(value) = 1, SANE_STATUS_GOOD;
}
SANE_Status sane_stall_get_parameters(SANE_Handle, SANE_Parameters *p) { return *p = {SANE_FRAME_GRAY, SANE_TRUE, 10, 10, 10, 8}, SANE_STATUS_GOOD; }
SANE_Status sane_stall_start(SANE_Handle) {
    const std::lock_guard lock(guard);
    scanning = true, cancelled = false;
    return SANE_STATUS_GOOD;
}
SANE_Status sane_stall_read(SANE_Handle, SANE_Byte *, SANE_Int, SANE_Int *length) {
    *length = 0;
    if (const char *deaf = std::getenv("SANE_STALL_DEAF"); deaf && *deaf) {
        std::this_thread::sleep_for(std::chrono::seconds(std::atoi(deaf)));
        if (const char *done = std::getenv("SANE_STALL_DONE")) std::fclose(std::fopen(done, "w"));
        return SANE_STATUS_CANCELLED;
    }
    std::unique_lock lock(guard);
    changed.wait(lock, [] { return cancelled; });
    return SANE_STATUS_CANCELLED;
}
void sane_stall_cancel(SANE_Handle) {
    const std::lock_guard lock(guard);
    cancelled = cancelled || scanning, scanning = false;
    changed.notify_all();
}
SANE_Status sane_stall_set_io_mode(SANE_Handle, SANE_Bool nonBlocking) { return nonBlocking ? SANE_STATUS_UNSUPPORTED : SANE_STATUS_GOOD; }
SANE_Status sane_stall_get_select_fd(SANE_Handle, SANE_Int *) { return SANE_STATUS_UNSUPPORTED; }
}  // extern "C"
