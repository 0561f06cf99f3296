#pragma once
// Faxes, jobs and devices as sendmere-fax shows them to a user.
#include <QString>
#include <QVariantMap>

namespace sendmere::console {

QString statusName(int status);  // a job's status in words; its number when it has none
QVariantMap readable(QVariantMap props);

}  // namespace sendmere::console
