#include "scan/collect/FlatCollectLine.h"

#include <charconv>

namespace {

bool TakePrefix(std::string_view& s, std::string_view prefix) {
    if (s.substr(0, prefix.size()) != prefix) return false;
    s.remove_prefix(prefix.size());
    return true;
}

// Plain decimal: digits only, no leading zero unless the number is 0, within 64 bits.
bool ParseNumber(std::string_view s, uint64_t& value) {
    if (s.empty() || s.size() > 20 || (s.size() > 1 && s[0] == '0')) return false;
    uint64_t v = 0;
    for (char c : s) {
        const unsigned digit = static_cast<unsigned char>(c) - '0';
        if (digit > 9 || __builtin_mul_overflow(v, 10, &v) || __builtin_add_overflow(v, digit, &v)) return false;
    }
    value = v;
    return true;
}

// Takes ":number" off the end of `s`.
bool TakeNumberSuffix(std::string_view& s, uint64_t& value) {
    size_t colon = s.rfind(':');
    if (colon == std::string_view::npos || !ParseNumber(s.substr(colon + 1), value)) return false;
    s.remove_suffix(s.size() - colon);
    return true;
}

}  // namespace

void CFlatCollectLine::AppendNumber(std::string& out, uint64_t value) {
    char digits[24];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    (void)ec;
    out.append(digits, end);
}

bool CFlatCollectLine::Parse(std::string_view line, SFlatCollectLine& out) {
    out = SFlatCollectLine();
    const size_t bar = line.rfind('|');
    if (bar == std::string_view::npos || !ParseNumber(line.substr(bar + 1), out.size)) return false;
    std::string_view rest = line.substr(0, bar);

    // Most lines are a bare path: each prefix is looked for only after its first character.
    if (!rest.empty() && rest[0] == '%') {
        if (TakePrefix(rest, kExtentMarker))
            out.marker = SFlatCollectLine::EXTENT_QUALIFIED;
        else if (TakePrefix(rest, kContainerAclMarker))
            out.marker = SFlatCollectLine::CONTAINER_ACL;
    }
    out.rawDevice = rest.size() > 2 && rest[2] == '/' && TakePrefix(rest, kDevicePrefix);
    out.appleDouble = !rest.empty() && rest[0] == '-' && TakePrefix(rest, kAppleDoublePrefix);
    if (!rest.empty() && rest[0] == '?') {
        for (std::string_view start : {kAdHoc, kMigrationAssistant, kContentPush, kDeleted, kDeletedRecursive}) {
            if (TakePrefix(rest, start)) {
                out.startCharacters = start;
                break;
            }
        }
    }
    if (out.marker == SFlatCollectLine::EXTENT_QUALIFIED && !TakePrefix(rest, kFlagsEnd)) return false;
    if (out.marker != SFlatCollectLine::NO_MARKER) {
        if (!TakeNumberSuffix(rest, out.extentSize) || !TakeNumberSuffix(rest, out.extentItemSize) ||
            !TakeNumberSuffix(rest, out.times[2]) || !TakeNumberSuffix(rest, out.times[1]) ||
            !TakeNumberSuffix(rest, out.times[0]))
            return false;
    }
    out.name = rest;
    return !rest.empty();
}

void CFlatCollectLine::Format(const SFlatCollectLine& line, std::string& out) {
    if (line.marker == SFlatCollectLine::EXTENT_QUALIFIED) out.append(kExtentMarker);
    if (line.marker == SFlatCollectLine::CONTAINER_ACL) out.append(kContainerAclMarker);
    if (line.rawDevice) out.append(kDevicePrefix);
    if (line.appleDouble) out.append(kAppleDoublePrefix);
    out.append(line.startCharacters);
    if (line.marker == SFlatCollectLine::EXTENT_QUALIFIED) out.append(kFlagsEnd);
    out.append(line.name);
    if (line.marker != SFlatCollectLine::NO_MARKER) {
        for (uint64_t t : line.times) {
            out.push_back(':');
            AppendNumber(out, t);
        }
        out.push_back(':');
        AppendNumber(out, line.extentItemSize);
        out.push_back(':');
        AppendNumber(out, line.extentSize);
    }
    out.push_back('|');
    AppendNumber(out, line.size);
}
