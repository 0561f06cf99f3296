#pragma once
// Where the fax service keeps cover page templates: the machine's server directory and the
// user's personal one, both named by the registry.
#include <QString>

namespace sendmere {

// "Common AppData" + "/" + "ServerCoverPageDir"; a value that cannot be read counts as empty.
QString ServerCoverPageDirectory();
// "Personal" + "/" + "CoverPageDir", by the same rule.
QString PersonalCoverPageDirectory();

// True when the server directory occurs anywhere in path, in any letter case. A failure is
// logged as "mCommon.IsServerCoverPage" and answers false.
bool IsServerCoverPage(const QString &path);

// From now on, a fresh machine's registry, once seeded, gets the shipped cover page templates
// in the server folder it names. A failure is logged as "mCommon.ShipCoverPages".
void shipCoverPagesWhenSeeded();

}  // namespace sendmere
