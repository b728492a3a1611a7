// The walk-order keys of collect lines on arbitrary bytes: every line (the input cut at line
// feeds) keys and unkeys to itself, keys of lines sort as their unescaped paths do component by
// component, and unkeying arbitrary bytes (a damaged sort file) never reads past them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "scan/Unix/CollectFileEncode.h"
#include "scan/job/WalkOrderSort.h"

namespace {

// -1, 0, 1 as `a` and `b` (paths) come in a walk: component by component, bytes unsigned.
int WalkCompare(const std::string& a, const std::string& b) {
    size_t i = 0;
    for (; i < a.size() && i < b.size() && a[i] == b[i]; ++i) {
    }
    if (i == a.size() && i == b.size()) return 0;
    if (i == a.size()) return -1;
    if (i == b.size()) return 1;
    if (a[i] == '/') return -1;
    if (b[i] == '/') return 1;
    return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]) ? -1 : 1;
}

std::string PathOf(std::string_view line) {
    return decodeFileName(std::string(line.substr(0, line.find('|'))).c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::string key, back, previousKey, previousLine;
    std::string_view rest = input;
    while (!rest.empty()) {
        const size_t end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        if (line.find('\0') != std::string_view::npos) continue;  // no collect line holds a NUL
        CWalkOrderSort::Encode(line, key);
        if (key.find('\n') != std::string::npos) std::abort();
        if (!CWalkOrderSort::Decode(key, back) || back != line) std::abort();
        if (!previousLine.empty() && line[0] == '/' && previousLine[0] == '/') {
            const std::string a = PathOf(previousLine), b = PathOf(line);
            if (a.find('\0') == std::string::npos && b.find('\0') == std::string::npos) {
                const int walk = WalkCompare(a, b);
                const int keys = previousKey.compare(key);
                if (walk < 0 && keys >= 0) std::abort();
                if (walk > 0 && keys <= 0) std::abort();
            }
        }
        previousKey = key;
        previousLine = std::string(line);
    }
    CWalkOrderSort::Decode(input, back);  // damaged keys: an answer, nothing more
    return 0;
}
