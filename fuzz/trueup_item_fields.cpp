// The TrueUp item parser (the field list of a TrueUp DirChange line), and the formatter over what
// it read: the text written for an item must read back as the same item.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/StringUtil.h"
#include "scan/trueup/TrueUpDirChangeFormatter.h"
#include "scan/trueup/TrueUpDirChangeItemDataImpl.h"
#include "scan/trueup/TrueUpDirChangeParser.h"

namespace {

std::string Format(const FVBasePtr& item) { return CTrueUpDirChangeFormatter().GetFormattedData(item); }

FVBasePtr Parse(const std::string& line) {
    std::vector<std::string> fields;
    FXString::Split(line.substr(0, line.find("||")), "|", fields);
    FVBasePtr item;
    if (CTrueUpDirChangeParser().GetItemInfo(item, fields).IsError() || !item) std::abort();
    return item;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);
    const FVBasePtr first = Parse(line);
    const std::string text = Format(first);
    // A name, then the fields written: the same text again.
    if (Format(Parse("\tname" + text)) != text) std::abort();
    return 0;
}
