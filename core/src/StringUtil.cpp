#include "core/StringUtil.h"

#include <cstdarg>

namespace {
inline char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

size_t FindNoCase(std::string_view s, std::string_view what, size_t from) {
    if (what.empty() || s.size() < what.size()) return std::string::npos;
    for (size_t i = from; i + what.size() <= s.size(); ++i) {
        size_t k = 0;
        while (k < what.size() && FoldAscii(s[i + k]) == FoldAscii(what[k])) ++k;
        if (k == what.size()) return i;
    }
    return std::string::npos;
}
}  // namespace

std::string FXString::Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string out = ZyVFormat(format, args);
    va_end(args);
    return out;
}

void FXString::Split(std::string_view text, std::string_view separator, std::vector<std::string>& parts) {
    parts.clear();
    if (separator.empty()) {
        parts.emplace_back(text);
        return;
    }
    size_t start = 0;
    for (;;) {
        size_t pos = text.find(separator, start);
        if (pos == std::string_view::npos) {
            parts.emplace_back(text.substr(start));
            return;
        }
        parts.emplace_back(text.substr(start, pos - start));
        start = pos + separator.size();
    }
}

std::string& FXString::TrimLeft(std::string& s, std::string_view chars) {
    size_t pos = s.find_first_not_of(chars);
    s.erase(0, pos == std::string::npos ? s.size() : pos);
    return s;
}

std::string& FXString::TrimRight(std::string& s, std::string_view chars) {
    size_t pos = s.find_last_not_of(chars);
    s.erase(pos == std::string::npos ? 0 : pos + 1);
    return s;
}

std::string& FXString::Trim(std::string& s, std::string_view chars) { return TrimLeft(TrimRight(s, chars), chars); }

std::string& FXString::TrimWhiteSpace(std::string& s) { return Trim(s, " \t\r\n\v\f"); }

bool FXString::RemoveLeft(std::string& s, std::string_view prefix) {
    if (!MatchLeft(s, prefix)) return false;
    s.erase(0, prefix.size());
    return true;
}

bool FXString::RemoveRight(std::string& s, std::string_view suffix) {
    if (!MatchRight(s, suffix)) return false;
    s.erase(s.size() - suffix.size());
    return true;
}

bool FXString::RemoveLeftNoCase(std::string& s, std::string_view prefix) {
    if (!MatchLeftNoCase(s, prefix)) return false;
    s.erase(0, prefix.size());
    return true;
}

bool FXString::RemoveRightNoCase(std::string& s, std::string_view suffix) {
    if (!MatchRightNoCase(s, suffix)) return false;
    s.erase(s.size() - suffix.size());
    return true;
}

bool FXString::MatchLeftNoCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && CompareNoCase(s.substr(0, prefix.size()), prefix) == 0;
}

bool FXString::MatchRightNoCase(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && CompareNoCase(s.substr(s.size() - suffix.size()), suffix) == 0;
}

int FXString::CompareNoCase(std::string_view a, std::string_view b) {
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        unsigned char ca = static_cast<unsigned char>(FoldAscii(a[i]));
        unsigned char cb = static_cast<unsigned char>(FoldAscii(b[i]));
        if (ca != cb) return ca < cb ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

size_t FXString::ReplaceAll(std::string& s, std::string_view from, std::string_view to) {
    if (from.empty()) return 0;
    size_t count = 0;
    std::string out;
    size_t start = 0;
    for (size_t pos = s.find(from); pos != std::string::npos; pos = s.find(from, start)) {
        out.append(s, start, pos - start);
        out.append(to);
        start = pos + from.size();
        ++count;
    }
    if (count == 0) return 0;
    out.append(s, start, std::string::npos);
    s.swap(out);
    return count;
}

size_t FXString::ReplaceAllNoCase(std::string& s, std::string_view from, std::string_view to) {
    if (from.empty()) return 0;
    size_t count = 0;
    std::string out;
    size_t start = 0;
    for (size_t pos = FindNoCase(s, from, 0); pos != std::string::npos; pos = FindNoCase(s, from, start)) {
        out.append(s, start, pos - start);
        out.append(to);
        start = pos + from.size();
        ++count;
    }
    if (count == 0) return 0;
    out.append(s, start, std::string::npos);
    s.swap(out);
    return count;
}

std::string FXString::ToLower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = FoldAscii(c);
    return out;
}

std::string FXString::ToUpper(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}
