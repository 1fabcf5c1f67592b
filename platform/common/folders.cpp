// The library search folders of both loaders, given as one list.
#include "common.h"

namespace winplat {

std::vector<std::string> SplitFolders(const std::string &folders, char separator) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= folders.size()) {
        size_t end = folders.find(separator, start);
        if (end == std::string::npos)
            end = folders.size();
        // Empty entries name no folder.
        if (end > start)
            out.push_back(folders.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

} // namespace winplat
