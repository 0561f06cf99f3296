// Feeds arbitrary bytes to the picture converter as its Fax.tiff: it must end with a result
// code, never crash, hang or leave a partial picture.
#include "Tiff2Png.h"

#include <cstdint>
#include <cstdio>
#include <string>

#include <dirent.h>
#include <unistd.h>

namespace {

// Whether dir holds anything besides the input and the picture: a partial picture.
bool leftoverIn(const std::string &dir) {
    DIR *d = opendir(dir.c_str());
    if (!d) return false;
    bool found = false;
    while (const dirent *e = readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != ".." && name != "Fax.tiff" && name != "Fax.png") found = true;
    }
    closedir(d);
    return found;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string dir = [] {
        char pattern[] = "/tmp/fuzz-tiff2png-XXXXXX";
        const char *made = mkdtemp(pattern);
        return std::string(made ? made : "/tmp");
    }();
    const std::string input = dir + "/Fax.tiff";
    const std::string output = dir + "/Fax.png";
    if (FILE *file = std::fopen(input.c_str(), "wb")) {
        std::fwrite(data, 1, size, file);
        std::fclose(file);
    }
    std::string message;
    const tiff2png::Result result = tiff2png::convert(input, output, message);
    if (leftoverIn(dir)) __builtin_trap();  // a partial picture left behind
    if (result != tiff2png::Converted && result != tiff2png::UnreadableTiff) __builtin_trap();
    unlink(output.c_str());
    return 0;
}
