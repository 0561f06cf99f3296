#pragma once
// Helpers of the mail tests: the store's folders on disk, hand-made Maildir files, the
// converter beside the test program, and file system limits a user can run into.
#include "RegistryStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTest>

#include <csignal>
#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace sendmere::mailtest {

inline QString mailRoot() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/sendmere/Mail");
}
inline QString folderDir(const QString &maildirFolder) {
    return maildirFolder.isEmpty() ? mailRoot() : mailRoot() + u'/' + maildirFolder;
}
inline QStringList messageFiles(const QString &maildirFolder) {
    QStringList files;
    for (const char *sub : {"cur", "new"})
        for (const QString &name : QDir(folderDir(maildirFolder) + u'/' + QLatin1String(sub)).entryList(QDir::Files))
            files << QLatin1String(sub) + u'/' + name;
    return files;
}
inline QByteArray readFile(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
inline bool writeFile(const QString &path, const QByteArray &bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

// Takes a component's registration out of the classes root, as uninstalling it would.
inline void unregister(const QString &className) {
    registry::RegistryStore store;
    QVERIFY(store.deleteValue(registry::Root::ClassesRoot, className + QStringLiteral("\\CLSID"), QString()));
}
inline void reregister(const QString &className) {
    registry::RegistryStore store;
    QVERIFY(store.setValue(registry::Root::ClassesRoot, className + QStringLiteral("\\CLSID"), QString(),
                           registry::RegValue::string(QStringLiteral("{6E3A1C20-5D1B-4C0E-9A51-2F4B8C7D0AFF}"))));
}

// While alive, this thread obeys file permissions even when the test runs as root: the
// capabilities that override them are dropped from its effective set (and given back).
class ObeyFilePermissions {
public:
    ObeyFilePermissions() {
        if (::geteuid() != 0) return;
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        if (::syscall(SYS_capget, &header, m_saved) != 0) return;
        __user_cap_data_struct reduced[2] = {m_saved[0], m_saved[1]};
        for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER})
            reduced[cap / 32].effective &= ~(1u << (cap % 32));
        m_dropped = ::syscall(SYS_capset, &header, reduced) == 0;
    }
    ~ObeyFilePermissions() {
        if (!m_dropped) return;
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        ::syscall(SYS_capset, &header, m_saved);
    }
    ObeyFilePermissions(const ObeyFilePermissions &) = delete;
    ObeyFilePermissions &operator=(const ObeyFilePermissions &) = delete;

private:
    __user_cap_data_struct m_saved[2] = {};
    bool m_dropped = false;
};

// While alive, no file of this process can grow past limit bytes: writes fail as on a full
// disk (EFBIG) instead of the process being killed.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t limit) {
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &m_saved);
        rlimit reduced = m_saved;
        reduced.rlim_cur = limit;
        ::setrlimit(RLIMIT_FSIZE, &reduced);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &m_saved);
        std::signal(SIGXFSZ, m_oldHandler);
    }
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

private:
    rlimit m_saved{};
    void (*m_oldHandler)(int) = nullptr;
};

// Puts the picture converter beside the test program, where the program looks for it.
inline bool installConverter(const QString &binDir) {
    const QString target = QCoreApplication::applicationDirPath() + QStringLiteral("/tiff2png.exe");
    QFile::remove(target);
    return QFile::link(binDir + QStringLiteral("/tiff2png.exe"), target);
}
inline void removeConverter() { QFile::remove(QCoreApplication::applicationDirPath() + QStringLiteral("/tiff2png.exe")); }

}  // namespace sendmere::mailtest
