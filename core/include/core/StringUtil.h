// String helpers. Names compare by the file-system order: case-sensitive, by unsigned byte value.
#pragma once

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/KoError.h"

class FXString {
public:
    static std::string Format(const char* format, ...) ZY_PRINTF(1, 2);

    // Splits at every occurrence of `separator` (a text, not a set of characters). An empty text
    // gives one empty part; an empty separator gives the whole text.
    static void Split(std::string_view text, std::string_view separator, std::vector<std::string>& parts);

    static std::string& TrimLeft(std::string& s, std::string_view chars = " \t");
    static std::string& TrimRight(std::string& s, std::string_view chars = " \t");
    static std::string& Trim(std::string& s, std::string_view chars = " \t");
    // Space, tab, CR, LF, vertical tab and form feed.
    static std::string& TrimWhiteSpace(std::string& s);

    // Strip a known prefix or suffix; answer whether it was there.
    static bool RemoveLeft(std::string& s, std::string_view prefix);
    static bool RemoveRight(std::string& s, std::string_view suffix);
    static bool RemoveLeftNoCase(std::string& s, std::string_view prefix);
    static bool RemoveRightNoCase(std::string& s, std::string_view suffix);

    static bool MatchLeft(std::string_view s, std::string_view prefix) {
        return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
    }
    static bool MatchRight(std::string_view s, std::string_view suffix) {
        return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
    }
    static bool MatchLeftNoCase(std::string_view s, std::string_view prefix);
    static bool MatchRightNoCase(std::string_view s, std::string_view suffix);

    // <0, 0, >0 like strcmp, ASCII letters folded.
    static int CompareNoCase(std::string_view a, std::string_view b);
    static bool EqualsNoCase(std::string_view a, std::string_view b) { return CompareNoCase(a, b) == 0; }
    // The file-system name order and equality of this platform: bytes compared unsigned.
    static int CompareFSCase(std::string_view a, std::string_view b) { return a.compare(b); }
    static bool MatchesFSCase(std::string_view a, std::string_view b) { return a == b; }

    // Replace every occurrence; answers the number of replacements.
    static size_t ReplaceAll(std::string& s, std::string_view from, std::string_view to);
    static size_t ReplaceAllNoCase(std::string& s, std::string_view from, std::string_view to);

    static std::string ToLower(std::string_view s);
    static std::string ToUpper(std::string_view s);

    static std::string ToString(long long value) { return std::to_string(value); }
    static std::string ToString(unsigned long long value) { return std::to_string(value); }
    static std::string ToString(int value) { return std::to_string(value); }
    static std::string ToString(unsigned value) { return std::to_string(value); }
    static std::string ToString(bool value) { return value ? "true" : "false"; }
};

// The trie and the DirChange order names by this: strcmp of NUL-terminated bytes.
struct __less_fscase_cmp {
    bool operator()(const std::string& a, const std::string& b) const { return std::strcmp(a.c_str(), b.c_str()) < 0; }
};
