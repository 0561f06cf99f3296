#include "platform/imaging/Imaging.h"

namespace sendmere::imaging {

// This build carries no imaging binding, so the component can never be created.
bool IsScanAvailable() { return false; }

}  // namespace sendmere::imaging
