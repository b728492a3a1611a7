// The lines of a text, without their line feeds (a last line without one is a line too).
#pragma once

#include <string>
#include <vector>

namespace testsupport {

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

}  // namespace testsupport
