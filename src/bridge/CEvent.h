#pragma once
// Opens the rendered preview in the desktop's TIFF viewer.
#include <QString>

namespace sendmere {

class CEvent {
public:
    // Opens PreviewFile with the program the classes root associates with ".tiff", or tells
    // the user to install one; then leaves preview mode. Failures are logged as
    // "cEvent.previewFax".
    void previewFax();
};

// The command registered to open a ".tiff" file, without its arguments and quotes; empty
// when no viewer is registered.
QString tiffViewerCommand();

}  // namespace sendmere
