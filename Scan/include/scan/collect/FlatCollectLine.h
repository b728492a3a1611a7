// One line of a Unix flat collect file, taken apart and put together:
//
//   [marker] [device prefix] [AppleDouble prefix] [start characters] [flags end] name [extent] "|" size
//
// - marker: "%EXTENTQ%" (an extent-qualified file) or "%CONTAINERACL%" (only its ACLs), for
//   extent lines only; "%ZYFLAGSEND%" follows the start characters of an "%EXTENTQ%" line.
// - device prefix "///device/" (a raw device), AppleDouble prefix "-".
// - start characters: "??d" deleted, "??D" deleted with everything below, "??OD" ad-hoc,
//   "??MA" migration assistant, "??CP" content push.
// - name: the escaped path (escapeFileName), folders ending in "/".
// - extent (extent lines only): ":t1:t2:t3:size:extentSize" with three Unix times.
// - size: decimal; on an extent line the item's size again.
//
// Numbers are plain decimal without leading zeros, so Format(Parse(line)) gives the line back.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

struct SFlatCollectLine {
    enum EMarker : uint8_t { NO_MARKER, EXTENT_QUALIFIED, CONTAINER_ACL };

    EMarker marker = NO_MARKER;
    bool rawDevice = false;
    bool appleDouble = false;
    std::string_view startCharacters;  // empty, or one of the five above
    std::string_view name;             // escaped, as in the line
    uint64_t times[3] = {0, 0, 0};     // extent lines only
    uint64_t extentItemSize = 0;       // extent lines only: the size before "|"
    uint64_t extentSize = 0;           // extent lines only
    uint64_t size = 0;

    bool IsDeleted() const { return startCharacters == "??d" || startCharacters == "??D"; }
    // The bytes a reader of this line backs up: none for a deleted item or an ACL-only one.
    uint64_t DataSize() const { return IsDeleted() || marker == CONTAINER_ACL ? 0 : size; }
};

class CFlatCollectLine {
public:
    static constexpr std::string_view kExtentMarker = "%EXTENTQ%";
    static constexpr std::string_view kContainerAclMarker = "%CONTAINERACL%";
    static constexpr std::string_view kFlagsEnd = "%ZYFLAGSEND%";
    static constexpr std::string_view kDevicePrefix = "///device/";
    static constexpr std::string_view kAppleDoublePrefix = "-";
    static constexpr std::string_view kDeleted = "??d";
    static constexpr std::string_view kDeletedRecursive = "??D";
    static constexpr std::string_view kAdHoc = "??OD";
    static constexpr std::string_view kMigrationAssistant = "??MA";
    static constexpr std::string_view kContentPush = "??CP";

    // False when the line does not have this form (no "|" and size, an empty name, a malformed
    // extent part); `out` then holds what was read so far. Views point into `line`.
    static bool Parse(std::string_view line, SFlatCollectLine& out);
    // Appends the line (without line feed) to `out`.
    static void Format(const SFlatCollectLine& line, std::string& out);
    // Appends a number as Format writes it.
    static void AppendNumber(std::string& out, uint64_t value);
};
