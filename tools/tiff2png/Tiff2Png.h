#pragma once
// Converts the first page of a TIFF into a PNG picture. A bilevel fax page is written as a
// 1-bit picture, row by row, with its rows repeated where the image is coarser vertically
// than horizontally (a standard-resolution fax: 204 x 98 dpi), so that it keeps its
// aspect ratio. Anything else libtiff reads becomes an RGBA picture.
#include <string>

namespace tiff2png {

enum Result : int {
    Converted = 0,
    NothingToConvert = 1,
    UnreadableTiff = 2,
    UnwritablePng = 3,
};

// Writes outputPath through a temporary file beside it, so that outputPath is either the
// whole picture or untouched. message gets what went wrong.
Result convert(const std::string &inputPath, const std::string &outputPath, std::string &message);

}  // namespace tiff2png
