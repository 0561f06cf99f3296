#pragma once
// Helpers of the mail tests: the store's folders on disk, hand-made Maildir files, the
// converter beside the test program; the file system limits come from the support kit.
#include "FileLimits.h"
#include "RegistryStore.h"
#include "TestSupport.h"
#include "platform/mail/MailClient.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTest>

namespace sendmere::mailtest {

using namespace Qt::StringLiterals;
using test::FileSizeLimit;
using test::ObeyFilePermissions;
using test::readFile;
using test::writeFile;

inline std::unique_ptr<mail::MailNamespace> openNamespace() { return mail::attachRunningApplication()->GetNamespace(u"MAPI"_s); }
inline qint32 errorOf(auto &&call) { return test::automationError(call).number(); }
inline QString tempFile(const QString &name, const QByteArray &bytes) {
    writeFile(QDir::tempPath() + u'/' + name, bytes);
    return QDir::tempPath() + u'/' + name;
}

inline QString mailRoot() { return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + u"/sendmere/Mail"_s; }
inline QString folderDir(const QString &maildirFolder) { return maildirFolder.isEmpty() ? mailRoot() : mailRoot() + u'/' + maildirFolder; }
inline QStringList messageFiles(const QString &maildirFolder) {
    QStringList files;
    for (const char *sub : {"cur", "new"})
        for (const QString &name : QDir(folderDir(maildirFolder) + u'/' + QLatin1String(sub)).entryList(QDir::Files))
            files << QLatin1String(sub) + u'/' + name;
    return files;
}

// While alive, a folder's cur/ and tmp/ cannot be written, as on a store the user may only read, and this thread obeys that even as root.
class ReadOnlyFolder {
public:
    explicit ReadOnlyFolder(const QString &maildirFolder) : m_dir(folderDir(maildirFolder)) { set(QFile::ReadOwner | QFile::ExeOwner); }
    ~ReadOnlyFolder() { set(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner); }
    ReadOnlyFolder(const ReadOnlyFolder &) = delete;
    ReadOnlyFolder &operator=(const ReadOnlyFolder &) = delete;

private:
    void set(QFile::Permissions permissions) {
        for (const char *sub : {"/cur", "/tmp"}) QFile::setPermissions(m_dir + QLatin1String(sub), permissions);
    }
    QString m_dir;
    ObeyFilePermissions m_obey;
};

// Takes a component's registration out of the classes root, as uninstalling it would.
inline void unregister(const QString &className) {
    QVERIFY(registry::RegistryStore().deleteValue(registry::Root::ClassesRoot, className + u"\\CLSID"_s, QString()));
}
inline void reregister(const QString &className) {
    QVERIFY(registry::RegistryStore().setValue(registry::Root::ClassesRoot, className + u"\\CLSID"_s, QString(),
                                               registry::RegValue::string(u"{6E3A1C20-5D1B-4C0E-9A51-2F4B8C7D0AFF}"_s)));
}

// Puts the picture converter beside the test program, where the program looks for it.
inline bool installConverter(const QString &binDir) {
    const QString target = QCoreApplication::applicationDirPath() + u"/tiff2png.exe"_s;
    QFile::remove(target);
    return QFile::link(binDir + u"/tiff2png.exe"_s, target);
}
inline void removeConverter() { QFile::remove(QCoreApplication::applicationDirPath() + u"/tiff2png.exe"_s); }

}  // namespace sendmere::mailtest
