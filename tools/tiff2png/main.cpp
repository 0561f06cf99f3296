// tiff2png: started in a folder with file patterns ("*.*"), writes a PNG picture of the
// first page of every TIFF there that a pattern names, as <name>.png beside it.
// Exit codes: 0 all converted, 1 no TIFF found, 2 a TIFF could not be read, 3 a picture
// could not be written.
#include "Tiff2Png.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include <dirent.h>
#include <fnmatch.h>

namespace {

bool isTiffName(const std::string &name) {
    const auto dot = name.rfind('.');
    if (dot == std::string::npos) return false;
    std::string ext = name.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return ext == "tif" || ext == "tiff";
}

std::vector<std::string> tiffsMatching(const std::vector<std::string> &patterns) {
    std::vector<std::string> names;
    DIR *dir = opendir(".");
    if (!dir) return names;
    while (const dirent *entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || !isTiffName(name)) continue;
        for (const std::string &pattern : patterns) {
            if (fnmatch(pattern.c_str(), name.c_str(), 0) == 0) {
                names.push_back(name);
                break;
            }
        }
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<std::string> patterns(argv + 1, argv + argc);
    if (patterns.empty()) patterns.push_back("*.*");
    const std::vector<std::string> inputs = tiffsMatching(patterns);
    if (inputs.empty()) {
        std::fprintf(stderr, "tiff2png: no TIFF image matches\n");
        return tiff2png::NothingToConvert;
    }
    int result = tiff2png::Converted;
    for (const std::string &input : inputs) {
        const std::string output = input.substr(0, input.rfind('.')) + ".png";
        std::string message;
        const tiff2png::Result r = tiff2png::convert(input, output, message);
        if (r != tiff2png::Converted) {
            std::fprintf(stderr, "tiff2png: %s\n", message.c_str());
            result = std::max(result, int(r));
        }
    }
    return result;
}
