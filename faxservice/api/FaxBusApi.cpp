#include "FaxBusApi.h"

#include <QDBusArgument>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QDateTime>

namespace sendmere::faxbus {

void registerTypes()
{
    qDBusRegisterMetaType<MapList>();
}

namespace {

QVariant plainArgument(const QDBusArgument &arg)
{
    switch (arg.currentType()) {
    case QDBusArgument::MapType: {
        QVariantMap map;
        arg.beginMap();
        while (!arg.atEnd()) {
            arg.beginMapEntry();
            const QVariant key = arg.asVariant();
            const QVariant value = arg.asVariant();
            arg.endMapEntry();
            map.insert(plain(key).toString(), plain(value));
        }
        arg.endMap();
        return map;
    }
    case QDBusArgument::ArrayType: {
        QVariantList list;
        arg.beginArray();
        while (!arg.atEnd())
            list.append(plain(arg.asVariant()));
        arg.endArray();
        return list;
    }
    case QDBusArgument::StructureType: {
        QVariantList list;
        arg.beginStructure();
        while (!arg.atEnd())
            list.append(plain(arg.asVariant()));
        arg.endStructure();
        return list;
    }
    default:
        return plain(arg.asVariant());
    }
}

}  // namespace

QVariant plain(const QVariant &value)
{
    if (value.metaType() == QMetaType::fromType<QDBusVariant>())
        return plain(value.value<QDBusVariant>().variant());
    if (value.metaType() == QMetaType::fromType<QDBusArgument>())
        return plainArgument(value.value<QDBusArgument>());
    if (value.metaType() == QMetaType::fromType<QVariantMap>()) {
        QVariantMap map = value.toMap();
        for (auto it = map.begin(); it != map.end(); ++it)
            *it = plain(*it);
        return map;
    }
    if (value.metaType() == QMetaType::fromType<QVariantList>()) {
        QVariantList list = value.toList();
        for (auto &item : list)
            item = plain(item);
        return list;
    }
    if (value.metaType() == QMetaType::fromType<MapList>()) {
        QVariantList list;
        for (const auto &map : value.value<MapList>())
            list.append(plain(map));
        return list;
    }
    return value;
}

QVariantMap plainMap(const QVariant &value)
{
    return plain(value).toMap();
}

QList<QVariantMap> plainMapList(const QVariant &value)
{
    QList<QVariantMap> maps;
    for (const auto &item : plain(value).toList())
        maps.append(item.toMap());
    return maps;
}

QString faxNumberProblem(const QString &number, int maxLength)
{
    static const QString allowed = QStringLiteral("0123456789+ -()./*#,pPwW");
    if (number.size() > maxLength)
        return QStringLiteral("The fax number has %1 characters; at most %2 are taken.").arg(number.size()).arg(maxLength);
    bool digit = false;
    for (const QChar c : number) {
        if (!allowed.contains(c))
            return QStringLiteral("The fax number \"%1\" holds \"%2\", which cannot be dialled.").arg(number, c);
        digit = digit || c.isDigit();
    }
    if (!digit)
        return QStringLiteral("The fax number \"%1\" has no digit.").arg(number);
    return {};
}

qint64 toWire(const QDateTime &time)
{
    return time.isValid() ? time.toMSecsSinceEpoch() : 0;
}

QDateTime fromWire(const QVariant &value)
{
    const qint64 ms = value.toLongLong();
    return ms > 0 ? QDateTime::fromMSecsSinceEpoch(ms).toLocalTime() : QDateTime();
}

}  // namespace sendmere::faxbus
