#include "services/CWinReg.h"

namespace sendmere {

namespace {

using registry::RegValue;
using registry::Root;
using registry::ValueType;

// The read buffer of GetStringValue; it holds the text and its terminating NUL.
constexpr int kStringBufferChars = 256;
constexpr int kDWordBytes = 4;

std::optional<Root> rootOf(quint32 handle)
{
    switch (handle) {
    case CWinReg::HKEY_CLASSES_ROOT():
        return Root::ClassesRoot;
    case CWinReg::HKEY_CURRENT_USER():
        return Root::CurrentUser;
    case CWinReg::HKEY_LOCAL_MACHINE():
        return Root::LocalMachine;
    default:
        return std::nullopt;
    }
}

bool isText(const RegValue &value)
{
    return value.type == ValueType::String || value.type == ValueType::ExpandString;
}

bool fitsBuffer(const QString &text, int bufferChars)
{
    return text.size() + 1 <= bufferChars;
}

}  // namespace

CWinReg::CWinReg(QString storeDirectory) : m_store(std::move(storeDirectory)) {}

CWinReg::~CWinReg()
{
    CloseKey();
}

bool CWinReg::OpenKey(quint32 root, const QString &subKey, bool create)
{
    m_key.reset();
    const auto r = rootOf(root);
    if (!r)
        return false;
    const bool opened = create ? m_store.createKey(*r, subKey) : m_store.keyExists(*r, subKey);
    if (opened)
        m_key = OpenedKey{*r, subKey};
    return opened;
}

void CWinReg::CloseKey()
{
    m_key.reset();
}

std::optional<RegValue> CWinReg::read(const QString &name) const
{
    if (!m_key)
        return std::nullopt;
    return m_store.value(m_key->root, m_key->path, name);
}

bool CWinReg::SetStringValue(const QString &name, const QString &text)
{
    return m_key && m_store.setValue(m_key->root, m_key->path, name, RegValue::string(text));
}

QString CWinReg::GetStringValue(const QString &name) const
{
    const auto value = read(name);
    if (!value || !isText(*value) || !fitsBuffer(value->text, kStringBufferChars))
        return {};
    return value->text;
}

bool CWinReg::SetDWordValue(const QString &name, quint32 value)
{
    return m_key && m_store.setValue(m_key->root, m_key->path, name, RegValue::number(value));
}

quint32 CWinReg::GetDWordValue(const QString &name) const
{
    const auto value = read(name);
    return value && value->type == ValueType::DWord ? value->dword : 0;
}

bool CWinReg::SetBoolValue(const QString &name, bool flag)
{
    return SetStringValue(name, flag ? QStringLiteral("yes") : QStringLiteral("no"));
}

bool CWinReg::GetBoolValue(const QString &name) const
{
    return GetStringValue(name).toLower() == QStringLiteral("yes");
}

bool CWinReg::DeleteValue(const QString &name)
{
    return m_key && m_store.deleteValue(m_key->root, m_key->path, name);
}

bool CWinReg::FlushKey()
{
    return m_key && m_store.flush(m_key->root);
}

bool CWinReg::GetValueText(const QString &name, int maxChars, QString &out) const
{
    const auto value = read(name);
    if (!value) {
        // Binary, multi-string and the like: read into the buffer, and the text left as it was.
        const auto opaqueBytes = m_key ? m_store.opaqueValueSize(m_key->root, m_key->path, name) : std::nullopt;
        return opaqueBytes && *opaqueBytes <= qsizetype(maxChars) * 2;
    }
    switch (value->type) {
    case ValueType::String:
        if (!fitsBuffer(value->text, maxChars))
            return false;
        out = value->text;
        return true;
    case ValueType::DWord:
        if (maxChars < kDWordBytes)
            return false;
        out = QString::number(value->dword);
        return true;
    case ValueType::ExpandString:
        return fitsBuffer(value->text, maxChars);
    }
    return false;
}

}  // namespace sendmere
