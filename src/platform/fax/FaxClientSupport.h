#pragma once
// What the fax client's objects share: paths as the service takes them, and the items of a
// collection counted from 1.
#include "platform/AutomationError.h"

#include <QString>

namespace sendmere::fax {

QString absolute(const QString &path);  // empty stays empty

template <typename List>
const auto &checkedItem(const List &list, int index)
{
    if (index < 1 || index > list.size())
        throw AutomationError::subscriptOutOfRange();
    return list.at(index - 1);
}

}  // namespace sendmere::fax
