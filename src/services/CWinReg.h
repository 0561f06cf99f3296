#pragma once
// The program's one way into the registry: one open key at a time, values read and
// written on it. Failures never raise or log; they show as false, empty text or 0.
#include "RegistryStore.h"

#include <QString>
#include <QtGlobal>
#include <optional>

namespace sendmere {

class CWinReg {
public:
    explicit CWinReg(QString storeDirectory = registry::RegistryStore::defaultDirectory());
    ~CWinReg();
    CWinReg(const CWinReg &) = delete;
    CWinReg &operator=(const CWinReg &) = delete;

    static constexpr quint32 HKEY_CLASSES_ROOT() { return 0x80000000u; }
    static constexpr quint32 HKEY_CURRENT_USER() { return 0x80000001u; }
    static constexpr quint32 HKEY_LOCAL_MACHINE() { return 0x80000002u; }

    // An open key stays open; a failed open leaves no key open.
    bool OpenKey(quint32 root, const QString &subKey, bool create);
    void CloseKey();

    // name "" addresses the key's default (unnamed) value.
    bool SetStringValue(const QString &name, const QString &text);
    QString GetStringValue(const QString &name) const;
    bool SetDWordValue(const QString &name, quint32 value);
    quint32 GetDWordValue(const QString &name) const;
    bool SetBoolValue(const QString &name, bool flag);
    bool GetBoolValue(const QString &name) const;
    bool DeleteValue(const QString &name);
    bool FlushKey();

    // A string or 32-bit value as text, read with a buffer of maxChars characters: strings
    // as they are, numbers as decimal text, other types leave out unchanged. False when the
    // value is missing or does not fit.
    bool GetValueText(const QString &name, int maxChars, QString &out) const;

private:
    struct OpenedKey {
        registry::Root root;
        QString path;
    };
    std::optional<registry::RegValue> read(const QString &name) const;

    registry::RegistryStore m_store;
    std::optional<OpenedKey> m_key;  // the open key's "handle"; empty when none is open
};

}  // namespace sendmere
