#include "RegistryStore.h"

#include "DesktopAssociations.h"
#include "RegHive.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QStandardPaths>
#include <QThread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sendmere::registry {

// What identifies one version of a file on disk without reading it. The inode tells a file
// saved atomically in the same clock tick apart from the one it replaced.
struct FileStamp {
    bool exists = false;
    qint64 size = 0;
    qint64 modifiedNs = 0;
    qint64 changedNs = 0;
    quint64 inode = 0;
    bool operator==(const FileStamp &) const = default;
};

struct CachedFile {
    bool valid = false;
    FileStamp stamp;
    Hive hive;
    std::optional<FileStamp> reportedDamage;  // the version whose problems were logged
};

namespace {

constexpr int kLockTimeoutMs = 10000;
constexpr int kMaxReportedProblems = 20;
const QString kTiffViewerKey = QStringLiteral(".tiff");
const QString kSysInfoKey = QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools\\MSINFO");
const QString kShellFolders = QStringLiteral("Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders");
const QString kFaxSetup = QStringLiteral("Software\\Microsoft\\Fax\\Setup");

FileStamp stampOf(const QString &path)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return {};
    return {true, qint64(st.st_size), qint64(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec,
            qint64(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec, quint64(st.st_ino)};
}

// The file has no way to write a line break inside a value name.
bool writableName(const QString &name)
{
    return !name.contains(u'\n') && !name.contains(u'\r');
}

// Only the field of the value's own type is kept, so the value reads back equal.
std::optional<RegValue> canonical(const RegValue &value)
{
    switch (value.type) {
    case ValueType::String:
        return RegValue::string(value.text);
    case ValueType::ExpandString:
        return RegValue::expandString(value.text);
    case ValueType::DWord:
        return RegValue::number(value.dword);
    }
    return std::nullopt;
}

int rootIndex(Root root)
{
    return int(root);
}

void setString(Hive &hive, const QString &key, const QString &name, const QString &text)
{
    hive.ensureKey(key).set(name, RegValue::string(text));
}

std::function<void(Root)> &seededInstaller()
{
    static std::function<void(Root)> installer;
    return installer;
}

// The common application data folder. An installed program finds its shared data folder,
// where the shipped cover page templates were installed, beside its own folder; run from a
// build tree it uses the user's data folder, into which the templates are copied.
QString commonAppData()
{
    if (QCoreApplication::instance()) {
        const QDir programDir(QCoreApplication::applicationDirPath());
        for (const char *relative : {SENDMERE_DATADIR_FROM_PROGRAMDIR, SENDMERE_DATADIR_FROM_BINDIR}) {
            const QString shared = QDir::cleanPath(programDir.filePath(QString::fromUtf8(relative)));
            if (QFileInfo(shared + QStringLiteral("/coverpages")).isDir())
                return shared;
        }
    }
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/sendmere");
}

// What a fresh machine holds, so that the program finds its folders, the mail store and the
// imaging component.
Hive seededHive(Root root)
{
    Hive hive;
    if (root == Root::LocalMachine) {
        setString(hive, kShellFolders, QStringLiteral("Common AppData"), commonAppData());
        setString(hive, kFaxSetup, QStringLiteral("ServerCoverPageDir"), QStringLiteral("coverpages"));
        setString(hive, QStringLiteral("SOFTWARE\\Clients\\Mail"), QString(), QString());
        setString(hive, QStringLiteral("SOFTWARE\\Clients\\Mail\\Microsoft Outlook"), QString(),
                  QStringLiteral("Sendmere mail store"));
    } else if (root == Root::CurrentUser) {
        const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
        const QString personalCoverPages = QStringLiteral("Fax/Personal Coverpages");
        setString(hive, kShellFolders, QStringLiteral("Personal"), documents);
        setString(hive, kFaxSetup, QStringLiteral("CoverPageDir"), personalCoverPages);
        // The folder the user's own cover pages go in exists from the start, as it would
        // where the fax service is set up.
        QDir().mkpath(documents + QLatin1Char('/') + personalCoverPages);
        hive.ensureKey(QStringLiteral("Software\\Microsoft\\Fax\\UserInfo"));
    } else if (root == Root::ClassesRoot) {
        // The mail side's components, served by the program's own mail store, and the imaging
        // component, the program's binding to the scanner library. Taking a registration away
        // makes the program take its path for a machine without it.
        const std::pair<const char *, const char *> components[] = {
            {"Outlook.Application", "{6E3A1C20-5D1B-4C0E-9A51-2F4B8C7D0A01}"},
            {"MAPI.Session", "{6E3A1C20-5D1B-4C0E-9A51-2F4B8C7D0A02}"},
            {"RedOutlook.SafeMailItem", "{6E3A1C20-5D1B-4C0E-9A51-2F4B8C7D0A03}"},
            {"RedOutlook.MAPIUtils", "{6E3A1C20-5D1B-4C0E-9A51-2F4B8C7D0A04}"},
            {"Wia.Script", "{6E3A1C20-5D1B-4C0E-9A51-2F4B8C7D0A05}"},
        };
        for (const auto &[name, clsid] : components) {
            setString(hive, QLatin1String(name), QString(), QLatin1String(name));
            setString(hive, QLatin1String(name) + QStringLiteral("\\CLSID"), QString(), QLatin1String(clsid));
        }
    }
    return hive;
}

// Values the desktop answers at the time of asking, so a viewer or a tool installed later
// is seen. Worked out only for keys on their way, since reading the desktop's files costs.
Hive computedHive(Root root, const QString &key)
{
    Hive hive;
    if (root == Root::ClassesRoot) {
        if (const auto viewer = defaultApplicationFor(QStringLiteral("image/tiff"))) {
            setString(hive, kTiffViewerKey, QString(), viewer->className);
            setString(hive, viewer->className + QStringLiteral("\\shell\\open\\command"), QString(), viewer->command);
        }
    } else if (root == Root::LocalMachine && pathsRelated(key, kSysInfoKey)) {
        const QString tool = systemInformationTool();
        if (!tool.isEmpty())
            setString(hive, kSysInfoKey, QStringLiteral("PATH"), tool);
    }
    return hive;
}

bool hasComputedKeys(Root root, const QString &key)
{
    return root == Root::ClassesRoot || (root == Root::LocalMachine && pathsRelated(key, kSysInfoKey));
}

struct ReadFile {
    Hive hive;
    QList<ParseProblem> problems;
    bool existed = false;
    bool unreadable = false;  // then it must not be replaced: what it holds is unknown
};

ReadFile readFile(const QString &path, Root root)
{
    QFile file(path);
    if (!file.exists())
        return {seededHive(root), {}, false};
    if (!file.open(QIODevice::ReadOnly)) {
        return {Hive(), {{0, QStringLiteral("cannot be read: %1").arg(file.errorString())}}, true, true};
    }
    ParsedFile parsed = parseRegFile(file.readAll(), RegistryStore::rootName(root));
    return {std::move(parsed.hive), std::move(parsed.problems), true, false};
}

void reportProblems(const QString &path, const QList<ParseProblem> &problems)
{
    for (qsizetype i = 0; i < problems.size() && i < kMaxReportedProblems; ++i) {
        const ParseProblem &p = problems[i];
        if (p.line > 0)
            qCWarning(lcRegistry, "Registry file %s, line %d: %s; the line is skipped", qUtf8Printable(path),
                      p.line, qUtf8Printable(p.message));
        else
            qCWarning(lcRegistry, "Registry file %s: %s", qUtf8Printable(path), qUtf8Printable(p.message));
    }
    if (problems.size() > kMaxReportedProblems)
        qCWarning(lcRegistry, "Registry file %s: %lld more problems", qUtf8Printable(path),
                  qint64(problems.size() - kMaxReportedProblems));
}

// The damaged file is kept under a name of its own before it is replaced, never over an
// earlier copy. Without that copy the file is not replaced at all.
bool keepDamagedCopy(const QString &path)
{
    const QString base = path + QStringLiteral(".corrupt-")
        + QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddhhmmss"));
    QString copy = base;
    for (int n = 2; QFile::exists(copy); ++n)
        copy = base + u'-' + QString::number(n);
    if (QFile::copy(path, copy)) {
        QFile::setPermissions(copy, QFile::ReadOwner | QFile::WriteOwner);
        qCWarning(lcRegistry, "Registry file %s was damaged; kept a copy as %s before rewriting it",
                  qUtf8Printable(path), qUtf8Printable(copy));
        return true;
    }
    qCWarning(lcRegistry, "Registry file %s was damaged and could not be copied to %s; it is left as it is",
              qUtf8Printable(path), qUtf8Printable(copy));
    return false;
}

bool saveFile(const QString &path, const QByteArray &bytes)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly)) {
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
        if (file.write(bytes) == bytes.size() && file.commit())
            return true;
    }
    qCWarning(lcRegistry, "Registry file %s could not be saved: %s", qUtf8Printable(path),
              qUtf8Printable(file.errorString()));
    return false;
}

// Short polls instead of QLockFile's growing back-off: a writer that waits must not
// starve while another process saves value after value.
bool acquire(QLockFile &lock)
{
    const QDeadlineTimer deadline(kLockTimeoutMs);
    while (!lock.tryLock(0)) {
        if (lock.error() != QLockFile::LockFailedError || deadline.hasExpired())
            return false;
        QThread::usleep(200 + QRandomGenerator::global()->bounded(800));
    }
    return true;
}

bool syncPath(const QString &path, int flags)
{
    const int fd = ::open(QFile::encodeName(path).constData(), flags | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

}  // namespace

RegistryStore::RegistryStore(QString directory)
    : m_directory(std::move(directory)), m_cache(std::make_shared<std::array<CachedFile, 3>>())
{
}

QString RegistryStore::defaultDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/sendmere");
}

QString RegistryStore::rootName(Root root)
{
    switch (root) {
    case Root::ClassesRoot:
        return QStringLiteral("HKEY_CLASSES_ROOT");
    case Root::CurrentUser:
        return QStringLiteral("HKEY_CURRENT_USER");
    case Root::LocalMachine:
        return QStringLiteral("HKEY_LOCAL_MACHINE");
    }
    return {};
}

QString RegistryStore::filePath(Root root) const
{
    return m_directory + u'/' + rootName(root) + QStringLiteral(".reg");
}

bool RegistryStore::ensureDirectory() const
{
    if (!QDir().mkpath(m_directory)) {
        qCWarning(lcRegistry, "Registry folder %s could not be created", qUtf8Printable(m_directory));
        return false;
    }
    const auto ownerOnly = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
    const auto current = QFile::permissions(m_directory)
        & ~(QFile::ReadUser | QFile::WriteUser | QFile::ExeUser);  // Qt mirrors the owner bits here
    if (current != ownerOnly)
        QFile::setPermissions(m_directory, ownerOnly);
    return true;
}

const Hive &RegistryStore::storedHive(Root root) const
{
    CachedFile &slot = (*m_cache)[rootIndex(root)];
    const QString path = filePath(root);
    const FileStamp now = stampOf(path);
    if (slot.valid && slot.stamp == now)
        return slot.hive;
    if (!now.exists) {
        // A fresh machine: the file is made with the seed values. Where it cannot be made
        // the seed values still answer, without a new attempt at every read.
        if (!transact(root, [](Hive &) { return Outcome{true, false}; }))
            slot = {true, now, seededHive(root), std::nullopt};
        else if (seededInstaller())
            seededInstaller()(root);
        return slot.hive;
    }
    ReadFile read = readFile(path, root);
    if (!read.problems.isEmpty() && slot.reportedDamage != now) {
        reportProblems(path, read.problems);
        slot.reportedDamage = now;
    }
    slot.valid = true;
    slot.stamp = now;
    slot.hive = std::move(read.hive);
    return slot.hive;
}

bool RegistryStore::transact(Root root, const Change &change) const
{
    const QString path = filePath(root);
    if (!ensureDirectory())
        return false;
    QLockFile lock(path + QStringLiteral(".lock"));
    if (!acquire(lock)) {
        qCWarning(lcRegistry, "Registry file %s is locked by another process; the change is not saved",
                  qUtf8Printable(path));
        return false;
    }
    CachedFile &slot = (*m_cache)[rootIndex(root)];
    // Always the file's own contents: another process may have saved it in the same tick.
    const FileStamp before = stampOf(path);
    ReadFile read = readFile(path, root);
    const bool damaged = !read.problems.isEmpty();
    if (damaged && slot.reportedDamage != before)
        reportProblems(path, read.problems);
    if (read.unreadable || (damaged && !keepDamagedCopy(path)))
        return false;
    const Outcome outcome = change(read.hive);
    if ((outcome.changed || !read.existed || damaged)
        && !saveFile(path, formatRegFile(read.hive, rootName(root))))
        return false;
    slot = {true, stampOf(path), std::move(read.hive), std::nullopt};
    return outcome.result;
}

bool RegistryStore::keyExists(Root root, const QString &key) const
{
    const auto path = normalizeKeyPath(key);
    if (!path)
        return false;
    if (storedHive(root).key(*path))
        return true;
    return hasComputedKeys(root, *path) && computedHive(root, *path).key(*path);
}

bool RegistryStore::createKey(Root root, const QString &key)
{
    const auto path = normalizeKeyPath(key);
    if (!path)
        return false;
    if (storedHive(root).key(*path))
        return true;
    return transact(root, [&](Hive &hive) {
        const bool isNew = !hive.key(*path);
        hive.ensureKey(*path);
        return Outcome{true, isNew};
    });
}

QStringList RegistryStore::subKeys(Root root, const QString &key) const
{
    const auto path = normalizeKeyPath(key);
    if (!path)
        return {};
    QStringList names = storedHive(root).childNames(*path);
    if (hasComputedKeys(root, *path)) {
        for (const QString &name : computedHive(root, *path).childNames(*path)) {
            if (!names.contains(name, Qt::CaseInsensitive))
                names.append(name);
        }
    }
    return names;
}

void onRootSeeded(std::function<void(Root)> installer)
{
    seededInstaller() = std::move(installer);
}

std::optional<qsizetype> RegistryStore::opaqueValueSize(Root root, const QString &key, const QString &name) const
{
    const auto path = normalizeKeyPath(key);
    const HiveKey *k = path ? storedHive(root).key(*path) : nullptr;
    const StoredValue *stored = k ? k->find(name) : nullptr;
    const auto *opaque = stored ? std::get_if<OpaqueValue>(&stored->data) : nullptr;
    return opaque ? std::optional(opaque->bytes.size()) : std::nullopt;
}

std::optional<RegValue> RegistryStore::value(Root root, const QString &key, const QString &name) const
{
    const auto path = normalizeKeyPath(key);
    if (!path)
        return std::nullopt;
    const auto typedValue = [](const StoredValue *stored) -> std::optional<RegValue> {
        if (const auto *v = std::get_if<RegValue>(&stored->data))
            return *v;
        return std::nullopt;  // a type this store does not interpret
    };
    if (const HiveKey *k = storedHive(root).key(*path)) {
        if (const StoredValue *stored = k->find(name))
            return typedValue(stored);
    }
    if (!hasComputedKeys(root, *path))
        return std::nullopt;
    const Hive computed = computedHive(root, *path);
    const HiveKey *k = computed.key(*path);
    const StoredValue *stored = k ? k->find(name) : nullptr;
    return stored ? typedValue(stored) : std::nullopt;
}

bool RegistryStore::setValue(Root root, const QString &key, const QString &name, const RegValue &given)
{
    const auto path = normalizeKeyPath(key);
    const auto value = canonical(given);
    if (!path || !value || !writableName(name))
        return false;
    // A string value ends at its first NUL for every reader: one inside it would cut it short.
    if (value->type != ValueType::DWord && value->text.contains(QChar(0))) {
        qCWarning(lcRegistry, "%s\\%s: the value \"%s\" holds a NUL character; a string value cannot, so it was not written",
                  qPrintable(rootName(root)), qPrintable(key), qPrintable(name));
        return false;
    }
    const HiveKey *cached = storedHive(root).key(*path);
    const StoredValue *current = cached ? cached->find(name) : nullptr;
    if (current && current->data == std::variant<RegValue, OpaqueValue>(*value))
        return true;
    return transact(root, [&](Hive &hive) { return Outcome{true, hive.ensureKey(*path).set(name, *value)}; });
}

bool RegistryStore::deleteValue(Root root, const QString &key, const QString &name)
{
    const auto path = normalizeKeyPath(key);
    if (!path)
        return false;
    const HiveKey *cached = storedHive(root).key(*path);
    if (!cached || !cached->find(name))
        return false;
    return transact(root, [&](Hive &hive) {
        HiveKey *k = hive.key(*path) ? &hive.ensureKey(*path) : nullptr;
        const bool removed = k && k->remove(name);
        return Outcome{removed, removed};
    });
}

bool RegistryStore::flush(Root root)
{
    const QString path = filePath(root);
    storedHive(root);  // a missing file is made first
    return syncPath(path, O_RDONLY) && syncPath(m_directory, O_RDONLY | O_DIRECTORY);
}

}  // namespace sendmere::registry
