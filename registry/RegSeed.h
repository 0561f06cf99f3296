#pragma once
// What the registry holds before anything was written: the values of a fresh machine, and
// those the desktop answers at the time of reading.
#include "RegHive.h"
#include "RegistryStore.h"

#include <functional>

namespace sendmere::registry {

Hive seededHive(Root root);
Hive computedHive(Root root, const QString &key);
bool hasComputedKeys(Root root, const QString &key);  // whether computedHive may answer for key
std::function<void(Root)> &seededInstaller();  // the one onRootSeeded set; empty when none

}  // namespace sendmere::registry
