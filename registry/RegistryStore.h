#pragma once
// The machine's registry on this platform: one text file per root key in the registry
// editor's ".reg" format ("Windows Registry Editor Version 5.00"), under
// $XDG_CONFIG_HOME/sendmere/. Key paths use backslashes and compare without regard to
// letter case. Every write takes a cross-process lock, re-reads the file and saves it
// atomically, so two processes writing the same file lose no value.
// A missing file is made with what a fresh machine holds (the shell folders, the fax
// cover page folders, the mail client keys). The classes root ".tiff" viewer and the local
// machine's system information tool are answered from the desktop at the time of reading,
// unless the file holds a value there.
#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <array>
#include <functional>
#include <memory>
#include <optional>

namespace sendmere::registry {

enum class Root { ClassesRoot, CurrentUser, LocalMachine };

// Runs after a store has made a root's missing file with the seed values (a fresh machine),
// so that a program installs what goes with them: the shipped cover pages in the seeded
// server cover page folder, say. One per process, set at its start.
void onRootSeeded(std::function<void(Root)> installer);

enum class ValueType : quint32 { String = 1, ExpandString = 2, DWord = 4 };

struct RegValue {
    ValueType type = ValueType::String;
    QString text;        // String, ExpandString (never expanded)
    quint32 dword = 0;   // DWord

    static RegValue string(const QString &s) { return {ValueType::String, s, 0}; }
    static RegValue expandString(const QString &s) { return {ValueType::ExpandString, s, 0}; }
    static RegValue number(quint32 n) { return {ValueType::DWord, {}, n}; }
    bool operator==(const RegValue &) const = default;
};

class Hive;
struct CachedFile;

class RegistryStore {
public:
    // directory defaults to $XDG_CONFIG_HOME/sendmere (created on first write).
    explicit RegistryStore(QString directory = defaultDirectory());

    static QString defaultDirectory();
    static QString rootName(Root root);  // "HKEY_CURRENT_USER" ...
    QString filePath(Root root) const;   // <directory>/<rootName>.reg

    bool keyExists(Root root, const QString &key) const;
    bool createKey(Root root, const QString &key);  // with its parents; true when it exists after
    QStringList subKeys(Root root, const QString &key) const;
    // name "" is the key's default (unnamed) value.
    std::optional<RegValue> value(Root root, const QString &key, const QString &name) const;
    bool setValue(Root root, const QString &key, const QString &name, const RegValue &value);
    // The size in bytes of a value of a type this store keeps but does not interpret (binary,
    // multi-string ...); nullopt when there is no such value.
    std::optional<qsizetype> opaqueValueSize(Root root, const QString &key, const QString &name) const;
    bool deleteValue(Root root, const QString &key, const QString &name);
    bool flush(Root root);  // the file is on disk (fsync'd) when this returns true

private:
    struct Outcome {
        bool result = false;   // what the operation answers
        bool changed = false;  // whether the file must be saved
    };
    using Change = std::function<Outcome(Hive &)>;

    // The keys and values held in a root's file, re-read only when the file changed.
    const Hive &storedHive(Root root) const;
    // Runs change on the file's current contents under the cross-process lock and saves the
    // result when it changed (or when the file was missing or damaged).
    bool transact(Root root, const Change &change) const;
    bool ensureDirectory() const;

    QString m_directory;
    // One cache slot per root; shared_ptr keeps the store a cheap copyable value.
    std::shared_ptr<std::array<CachedFile, 3>> m_cache;
};

}  // namespace sendmere::registry
