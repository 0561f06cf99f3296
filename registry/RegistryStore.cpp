#include "RegistryStore.h"

#include "RegFileAccess.h"
#include "RegHive.h"
#include "RegSeed.h"

#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QStandardPaths>

#include <fcntl.h>

namespace sendmere::registry {

struct CachedFile {
    bool valid = false;
    FileStamp stamp;
    Hive hive;
    std::optional<FileStamp> reportedDamage;  // the version whose problems were logged
};

namespace {

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
