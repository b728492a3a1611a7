// A collect file of arbitrary bytes through the collect-file sort (endpoint-sync jobs reorder
// their collect file with it). The first byte chooses the order (its value modulo 3) and, with
// bit 4, a long first line; the rest is the file.
//
// The sorted file holds exactly the lines of the input, each once, line ends aside (and the
// sequence tag aside, for the sort that adds one).
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "core/File.h"
#include "scan/collect/CollectFileSort.h"

namespace {

// The lines of a file without their line ends (a last line without LF counts).
std::vector<std::string> Lines(std::string_view text, bool dropSequenceTag) {
    std::vector<std::string> lines;
    while (!text.empty()) {
        size_t lf = text.find('\n');
        std::string_view line = text.substr(0, lf);
        text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
        if (dropSequenceTag) {
            size_t tag = line.rfind("|<SEQUENCE>");
            FUZZ_CHECK(tag != std::string_view::npos);
            line = line.substr(0, tag);
        }
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
        lines.emplace_back(line);
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::Setup();
    if (size == 0) return 0;
    const int order = data[0] % 3;
    std::string content(reinterpret_cast<const char*>(data + 1), size - 1);
    // A first line near the 64 KiB the sort reads at once, at a length the input chooses.
    if (data[0] & 4) content.insert(0, 65536 - 48 + (data[0] >> 3) * 3, 'x');
    const std::string input = fuzzsupport::WriteScratchFile("Collect.zyf", content);
    const std::string output = fuzzsupport::ScratchPath("Sorted.zyf");

    CCollectFileSort sort(input, output);
    CKoError e = order == 0 ? sort.SortByDepth() : order == 1 ? sort.SortByUsn() : sort.SortBySequence();
    FUZZ_CHECK(e.IsSuccess());
    std::string sorted;
    FUZZ_CHECK(FXFile::ReadWholeFile(output, sorted).IsSuccess());
    FUZZ_CHECK(Lines(sorted, order == 2) == Lines(content, false));
    return 0;
}
