// The flat collect line reader on arbitrary bytes: the file is cut into lines by the line reader
// (through the file-system seam, from memory), each line is parsed as a Unix flat collect line,
// and the default split callback sizes it. Checked: the lines give the input back, a parsed line
// formats to the same bytes, and the size the split uses is the parsed one.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "MemoryFile.h"
#include "core/Env.h"
#include "core/LineReader.h"
#include "scan/collect/FlatCollectFileSplitCallback.h"
#include "scan/collect/FlatCollectLine.h"

namespace {

struct CDefaultCallback : IFlatCollectFileSplitCallback {
    std::string GetSplitFileName(int) override { return std::string(); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FXLineReader reader(std::make_unique<CFuzzMemoryFile>(data, size, 97), "fuzz", 64, 1024);
    CDefaultCallback callback;
    std::string again, lines;
    for (;;) {
        std::string_view line;
        bool got = false;
        if (reader.Next(line, got).IsError()) {
            // Only a line over the limit stops the reader.
            if (size - lines.size() <= 1024) __builtin_trap();
            return 0;
        }
        if (!got) break;
        lines.append(line);
        lines.push_back('\n');
        SFlatCollectLine parsed;
        const bool ok = CFlatCollectLine::Parse(line, parsed);
        if (callback.GetItemSize(line) != (ok ? parsed.DataSize() : 0)) __builtin_trap();
        if (!ok) continue;
        again.clear();
        CFlatCollectLine::Format(parsed, again);
        if (again != line) __builtin_trap();
    }
    // Every byte came back, a line feed only added after a last line that had none.
    if (lines.compare(0, size, reinterpret_cast<const char*>(data), size) != 0) __builtin_trap();
    if (lines.size() != size && !(lines.size() == size + 1 && lines.back() == '\n')) __builtin_trap();
    return 0;
}
