// One line of a restore's timestamp file: parsed, and when it parses, written and parsed again
// to the same record.
#include <cstddef>
#include <cstdint>
#include <string>

#include "scan/fsservices/TimestampData.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);
    CTimestampData record;
    if (record.DeSerialize(line).IsError()) return 0;
    std::string text;
    if (record.Serialize(text).IsError()) __builtin_trap();
    if (text.find('\n') != std::string::npos) __builtin_trap();
    CTimestampData again;
    if (again.DeSerialize(text).IsError()) __builtin_trap();
    if (again.GetFileName() != record.GetFileName() || again.GetReportingFileName() != record.GetReportingFileName() ||
        again.HasModifiedTime() != record.HasModifiedTime() || again.HasAccessTime() != record.HasAccessTime() ||
        again.HasCreationTime() != record.HasCreationTime() || again.GetModifiedTime() != record.GetModifiedTime() ||
        again.GetAccessTime() != record.GetAccessTime() || again.GetCreationTime() != record.GetCreationTime())
        __builtin_trap();
    return 0;
}
