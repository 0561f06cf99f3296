#include "RegHive.h"

Q_LOGGING_CATEGORY(lcRegistry, "sendmere.registry")

namespace sendmere::registry {

namespace {

constexpr QChar kSeparator = u'\\';
// Sorts below every character a key name may hold, so a key's subtree follows it directly.
constexpr QChar kOrderSeparator = QChar(1);
constexpr int kMaxKeyNameLength = 255;

bool validComponent(QStringView component)
{
    if (component.isEmpty() || component.size() > kMaxKeyNameLength)
        return false;
    return std::none_of(component.begin(), component.end(),
                        [](QChar c) { return c.unicode() < 0x20; });
}

}  // namespace

const StoredValue *HiveKey::find(const QString &name) const
{
    const auto it = index.constFind(name.toCaseFolded());
    return it == index.cend() ? nullptr : &values.at(*it);
}

bool HiveKey::set(const QString &name, const std::variant<RegValue, OpaqueValue> &data)
{
    const QString folded = name.toCaseFolded();
    const auto it = index.constFind(folded);
    if (it != index.cend()) {
        StoredValue &v = values[*it];
        if (v.data == data)
            return false;
        v.data = data;
        return true;
    }
    index.insert(folded, values.size());
    values.append({name, data});
    return true;
}

bool HiveKey::remove(const QString &name)
{
    const auto it = index.constFind(name.toCaseFolded());
    if (it == index.cend())
        return false;
    values.removeAt(*it);
    index.clear();
    for (qsizetype i = 0; i < values.size(); ++i)
        index.insert(values.at(i).name.toCaseFolded(), i);
    return true;
}

std::optional<QString> normalizeKeyPath(const QString &path)
{
    QString normalized = path;
    if (normalized.endsWith(kSeparator))
        normalized.chop(1);
    if (normalized.isEmpty())
        return normalized;
    for (QStringView component : QStringView(normalized).split(kSeparator)) {
        if (!validComponent(component))
            return std::nullopt;
    }
    return normalized;
}

bool pathsRelated(const QString &a, const QString &b)
{
    const QString &shorter = a.size() <= b.size() ? a : b;
    const QString &longer = a.size() <= b.size() ? b : a;
    if (shorter.isEmpty())
        return true;
    if (!longer.startsWith(shorter, Qt::CaseInsensitive))
        return false;
    return longer.size() == shorter.size() || longer.at(shorter.size()) == kSeparator;
}

Hive::Hive()
{
    m_keys.insert(QString(), HiveKey{});
}

QString Hive::orderKey(const QString &normalizedPath)
{
    QString key = normalizedPath.toCaseFolded();
    key.replace(kSeparator, kOrderSeparator);
    return key;
}

const HiveKey *Hive::key(const QString &normalizedPath) const
{
    const auto it = m_keys.constFind(orderKey(normalizedPath));
    return it == m_keys.cend() ? nullptr : &it.value();
}

HiveKey &Hive::ensureKey(const QString &normalizedPath)
{
    HiveKey *current = &m_keys[QString()];
    if (normalizedPath.isEmpty())
        return *current;
    QString spelled;
    for (const QString &component : normalizedPath.split(kSeparator)) {
        const QString candidate = spelled.isEmpty() ? component : spelled + kSeparator + component;
        auto it = m_keys.find(orderKey(candidate));
        if (it == m_keys.end())
            it = m_keys.insert(orderKey(candidate), HiveKey{candidate, {}, {}});
        spelled = it->path;
        current = &it.value();
    }
    return *current;
}

QStringList Hive::childNames(const QString &normalizedPath) const
{
    QString prefix = orderKey(normalizedPath);
    if (!prefix.isEmpty())
        prefix += kOrderSeparator;
    QStringList names;
    for (auto it = m_keys.lowerBound(prefix); it != m_keys.cend() && it.key().startsWith(prefix); ++it) {
        const QStringView rest = QStringView(it.key()).mid(prefix.size());
        if (!rest.isEmpty() && !rest.contains(kOrderSeparator))
            names.append(it->path.mid(it->path.lastIndexOf(kSeparator) + 1));
    }
    return names;
}

QList<const HiveKey *> Hive::keys() const
{
    QList<const HiveKey *> list;
    list.reserve(m_keys.size());
    for (const HiveKey &k : m_keys)
        list.append(&k);
    return list;
}

}  // namespace sendmere::registry
