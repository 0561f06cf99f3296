#pragma once
// File system limits a user can run into, for the tests of what the program does then.
#include <QtGlobal>
#include <csignal>
#include <initializer_list>
#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace sendmere::test {

// While alive, this thread obeys file permissions even when the test runs as root: the
// capabilities that override them are dropped from its effective set (and given back).
class ObeyFilePermissions {
public:
    ObeyFilePermissions() {
        if (::geteuid() != 0 || ::syscall(SYS_capget, &m_header, m_saved) != 0) return;
        __user_cap_data_struct reduced[2] = {m_saved[0], m_saved[1]};
        for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}) reduced[cap / 32].effective &= ~(1u << (cap % 32));
        m_dropped = ::syscall(SYS_capset, &m_header, reduced) == 0;
    }
    ~ObeyFilePermissions() {
        if (m_dropped) ::syscall(SYS_capset, &m_header, m_saved);
    }
    Q_DISABLE_COPY(ObeyFilePermissions)

private:
    __user_cap_header_struct m_header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct m_saved[2] = {};
    bool m_dropped = false;
};

// While alive, no file of this process can grow past limit bytes: writes fail as on a full
// disk (EFBIG) instead of the process being killed.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t limit) : m_oldHandler(std::signal(SIGXFSZ, SIG_IGN)) {
        ::getrlimit(RLIMIT_FSIZE, &m_saved);
        const rlimit reduced{limit, m_saved.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &reduced);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, m_oldHandler);
    }
    Q_DISABLE_COPY(FileSizeLimit)

private:
    void (*m_oldHandler)(int);
    rlimit m_saved{};
};

}  // namespace sendmere::test
