#pragma once
// The machine's registry on this platform: one text file per root key in the registry
// editor's ".reg" format ("Windows Registry Editor Version 5.00"), under
// $XDG_CONFIG_HOME/sendmere/. Key paths use backslashes and compare without regard to
// letter case. Every write takes a cross-process lock, re-reads the file and saves it
// atomically, so two processes writing the same file lose no value.
#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <optional>

namespace sendmere::registry {

enum class Root { ClassesRoot, CurrentUser, LocalMachine };

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
    bool deleteValue(Root root, const QString &key, const QString &name);
    bool flush(Root root);  // the file is on disk (fsync'd) when this returns true

private:
    QString m_directory;
};

}  // namespace sendmere::registry
