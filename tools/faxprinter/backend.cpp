// sendmere-fax: the CUPS backend of the "Sendmere Fax" printer. CUPS hands it the printed
// document as PDF; it puts the document into the spool folder of the user who printed it,
// where that user's sendmere-mirror picks it up and opens the fax wizard with it.
//
// CUPS runs it as root (the file is installed without rights for others), outside any
// session. So it trusts nothing it finds: the spool root must belong to it and be writable by
// nobody else, the user's folder is opened without following links and must belong to the
// user, and the document is written after giving up root for the user's own rights, into a
// new file (O_EXCL, O_NOFOLLOW) that only the user can read.
//
// Usage as CUPS calls it: sendmere-fax JOB USER TITLE COPIES OPTIONS [FILE]; without
// arguments it names the device it offers. The device URI is "sendmere-fax:" with the spool
// root as its path ("sendmere-fax:/var/spool/sendmere-fax", the default for a bare
// "sendmere-fax:/").
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <string>
#include <string_view>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The exit codes CUPS knows (cups/backend.h).
constexpr int BackendOk = 0;
constexpr int BackendFailed = 1;
constexpr int BackendCancel = 5;  // this job is given up; the printer stays ready for the next

constexpr std::string_view Scheme = "sendmere-fax:";
constexpr const char *DefaultSpoolRoot = "/var/spool/sendmere-fax";
constexpr std::size_t MaxNameLength = 80;

// A descriptor that is closed with its owner.
class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() {
        if (m_fd >= 0) ::close(m_fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }

private:
    int m_fd;
};

int fail(int code, const std::string &message) {
    std::fprintf(stderr, "ERROR: %s\n", message.c_str());
    return code;
}

std::string systemError(const std::string &what) { return what + ": " + std::strerror(errno); }

std::string spoolRoot() {
    const char *uri = std::getenv("DEVICE_URI");
    std::string_view path = uri ? std::string_view(uri) : std::string_view();
    if (path.substr(0, Scheme.size()) == Scheme) path.remove_prefix(Scheme.size());
    while (path.size() > 1 && path.substr(0, 2) == "//") path.remove_prefix(1);  // "sendmere-fax:///var/..."
    if (path.empty() || path == "/") return DefaultSpoolRoot;
    return std::string(path);
}

bool safePath(const std::string &path) {
    return !path.empty() && path.front() == '/' && path.find("/../") == std::string::npos &&
           path.find("/./") == std::string::npos && (path.size() < 3 || path.substr(path.size() - 3) != "/..");
}

// The length of the UTF-8 sequence that begins with lead; 0 when lead cannot begin one.
std::size_t sequenceLength(unsigned char lead) {
    if (lead < 0x80) return 1;
    if ((lead & 0xE0) == 0xC0) return 2;
    if ((lead & 0xF0) == 0xE0) return 3;
    if ((lead & 0xF8) == 0xF0) return 4;
    return 0;
}

// Letters, digits, a few harmless signs and whole UTF-8 characters of the job's title; the
// wizard's command line separates its lists with ';' and '#', so those never appear.
std::string fileStem(const char *title, const char *job) {
    std::string stem;
    const std::string_view text(title);
    for (std::size_t at = 0; at < text.size();) {
        const unsigned char ch = static_cast<unsigned char>(text[at]);
        std::size_t length = sequenceLength(ch);
        bool keep = length > 1 && at + length <= text.size();
        for (std::size_t i = 1; keep && i < length; ++i) keep = (static_cast<unsigned char>(text[at + i]) & 0xC0) == 0x80;
        if (length == 1) keep = std::isalnum(ch) || ch == ' ' || ch == '-' || ch == '_' || ch == '.' || ch == '(' || ch == ')';
        if (!keep) length = 1;
        if (stem.size() + length > MaxNameLength) break;
        if (keep)
            stem.append(text.substr(at, length));
        else if (!stem.empty() && stem.back() != '_')
            stem += '_';
        at += length;
    }
    if (stem.size() > 4 && strcasecmp(stem.c_str() + stem.size() - 4, ".pdf") == 0) stem.resize(stem.size() - 4);
    while (!stem.empty() && (stem.front() == '.' || stem.front() == ' ')) stem.erase(0, 1);
    while (!stem.empty() && (stem.back() == '.' || stem.back() == ' ')) stem.pop_back();
    if (stem.empty()) stem = std::string("Print job ") + job;
    return stem;
}

// The spool root, made when missing; it must be a folder of ours that nobody else may write.
Fd openSpoolRoot(const std::string &root, std::string &error) {
    if (::mkdir(root.c_str(), 0755) != 0 && errno != EEXIST) {
        error = systemError("cannot make the fax spool " + root);
        return Fd();
    }
    Fd dir(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!dir.valid() || ::fstat(dir.get(), &st) != 0) {
        error = systemError("cannot open the fax spool " + root);
        return Fd();
    }
    if (st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH))) {
        error = "the fax spool " + root + " belongs to another user or may be written by others";
        return Fd();
    }
    return Fd(::dup(dir.get()));
}

// The user's folder below the root: made for the user when missing, and only ever the user's.
Fd openUserFolder(int rootFd, const struct passwd &user, std::string &error) {
    if (::mkdirat(rootFd, user.pw_name, 0700) == 0) {
        if (::geteuid() == 0 && ::fchownat(rootFd, user.pw_name, user.pw_uid, user.pw_gid, AT_SYMLINK_NOFOLLOW) != 0) {
            error = systemError(std::string("cannot give the spool folder to ") + user.pw_name);
            return Fd();
        }
    } else if (errno != EEXIST) {
        error = systemError(std::string("cannot make the spool folder of ") + user.pw_name);
        return Fd();
    }
    Fd dir(::openat(rootFd, user.pw_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!dir.valid() || ::fstat(dir.get(), &st) != 0) {
        error = systemError(std::string("cannot open the spool folder of ") + user.pw_name);
        return Fd();
    }
    if (st.st_uid != user.pw_uid) {
        error = std::string("the spool folder of ") + user.pw_name + " belongs to another user";
        return Fd();
    }
    if ((st.st_mode & 07777) != 0700 && ::fchmod(dir.get(), 0700) != 0) {
        error = systemError(std::string("cannot make the spool folder of ") + user.pw_name + " private");
        return Fd();
    }
    return Fd(::dup(dir.get()));
}

// From here on the process has the user's rights only.
bool becomeUser(const struct passwd &user, std::string &error) {
    if (::geteuid() != 0) return true;
    if (::setgroups(0, nullptr) != 0 || ::setgid(user.pw_gid) != 0 || ::setuid(user.pw_uid) != 0) {
        error = systemError(std::string("cannot take the rights of ") + user.pw_name);
        return false;
    }
    return true;
}

bool copyAll(int from, int to, std::string &error) {
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(from, buffer, sizeof buffer);
        if (got == 0) return true;
        if (got < 0) {
            if (errno == EINTR) continue;
            error = systemError("cannot read the print data");
            return false;
        }
        for (ssize_t written = 0; written < got;) {
            const ssize_t put = ::write(to, buffer + written, std::size_t(got - written));
            if (put < 0) {
                if (errno == EINTR) continue;
                error = systemError("cannot write the document");
                return false;
            }
            written += put;
        }
    }
}

bool isPdf(int fd) {
    char head[5] = {};
    return ::pread(fd, head, sizeof head, 0) == ssize_t(sizeof head) && std::memcmp(head, "%PDF-", 5) == 0;
}

// Written under a hidden name first and given its visible name only when whole, so that the
// mirror never takes half a document; an existing document is never replaced.
bool deliver(int input, int folder, const std::string &stem, const char *job, std::string &delivered, std::string &error) {
    const std::string part = std::string(".job-") + job + ".part";
    ::unlinkat(folder, part.c_str(), 0);
    Fd out(::openat(folder, part.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out.valid()) {
        error = systemError("cannot create the document in the spool folder");
        return false;
    }
    if (!copyAll(input, out.get(), error) || ::fsync(out.get()) != 0) {
        if (error.empty()) error = systemError("cannot write the document");
        ::unlinkat(folder, part.c_str(), 0);
        return false;
    }
    // The filters before the backend say what went wrong when they deliver nothing usable.
    if (!isPdf(out.get())) {
        error = "the print data is not a PDF document";
        ::unlinkat(folder, part.c_str(), 0);
        return false;
    }
    for (int n = 1; n < 1000; ++n) {
        const std::string name = n == 1 ? stem + ".pdf" : stem + " (" + std::to_string(n) + ").pdf";
        if (::linkat(folder, part.c_str(), folder, name.c_str(), 0) == 0) {
            ::unlinkat(folder, part.c_str(), 0);
            delivered = name;
            return true;
        }
        if (errno != EEXIST) break;
    }
    error = systemError("cannot name the document in the spool folder");
    ::unlinkat(folder, part.c_str(), 0);
    return false;
}

}  // namespace

int main(int argc, char *argv[]) {
    if (argc == 1) {
        std::printf("direct sendmere-fax \"Sendmere Fax\" \"Sendmere Fax\"\n");
        return BackendOk;
    }
    if (argc != 6 && argc != 7) {
        std::fprintf(stderr, "Usage: %s job-id user title copies options [file]\n", argv[0]);
        return BackendFailed;
    }
    const char *job = argv[1];
    const std::string userName = argv[2];
    // Names are looked up as they are; one that could lead out of the spool is nobody's.
    const struct passwd *found = userName.find('/') == std::string::npos && userName != "." && userName != ".."
                                     ? ::getpwnam(userName.c_str())
                                     : nullptr;
    if (!found) return fail(BackendCancel, "the user \"" + userName + "\" is not known on this computer; the document is not faxed");
    struct passwd user = *found;
    std::string name = user.pw_name;
    user.pw_name = name.data();
    if (::geteuid() != 0 && ::geteuid() != user.pw_uid)
        return fail(BackendCancel, "this printer cannot hand documents to " + userName + ": it does not run as root");

    Fd input(argc == 7 ? ::open(argv[6], O_RDONLY | O_CLOEXEC) : ::dup(STDIN_FILENO));
    if (!input.valid()) return fail(BackendFailed, systemError("cannot open the print data"));

    const std::string root = spoolRoot();
    if (!safePath(root)) return fail(BackendFailed, "the device URI names no usable spool folder: " + root);
    std::string error, delivered;
    const Fd rootFd = openSpoolRoot(root, error);
    if (!rootFd.valid()) return fail(BackendFailed, error);
    const Fd folder = openUserFolder(rootFd.get(), user, error);
    if (!folder.valid()) return fail(BackendCancel, error);
    if (!becomeUser(user, error)) return fail(BackendFailed, error);
    if (!deliver(input.get(), folder.get(), fileStem(argv[3], job), job, delivered, error)) return fail(BackendCancel, error);
    std::fprintf(stderr, "INFO: Handed to the fax wizard of %s as %s\n", user.pw_name, delivered.c_str());
    return BackendOk;
}
