#include "scan/Unix/CollectFileEncode.h"

#include <array>
#include <cstring>
#include <new>

#include "core/PlatformInfo.h"
#include "core/ZyException.h"

namespace {

using EscapeTable = std::array<bool, 256>;

EscapeTable MakeTable(bool encodeAll) {
    EscapeTable t{};
    for (int b = 0; b < 256; ++b) {
        signed char s = static_cast<signed char>(b);
        t[b] = b == 0x0D || b == 0x0A || b == '%' || b == '|' || b == 0x1A || (encodeAll && s <= 0x1F);
    }
    return t;
}

const EscapeTable kBasic = MakeTable(false);
const EscapeTable kAll = MakeTable(true);

bool ReadEncodeAllSetting() {
    std::string value;
    if (ZYPlatformInfo::getString("FileSystemAgent", "encodeAllSpecialSymbols", value).IsError()) return false;
    return !value.empty() && (value[0] == 'y' || value[0] == 'Y');
}

constexpr char kHex[] = "0123456789ABCDEF";

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Decodes src[0..n) into dst (which may be src itself); returns the decoded length.
size_t Decode(const char* src, size_t n, char* dst, bool& decodedAny) {
    size_t out = 0;
    for (size_t i = 0; i < n; ++i) {
        if (src[i] == '%' && i + 2 < n) {
            int hi = HexValue(src[i + 1]), lo = HexValue(src[i + 2]);
            if (hi >= 0 && lo >= 0) {
                dst[out++] = static_cast<char>(hi << 4 | lo);
                i += 2;
                decodedAny = true;
                continue;
            }
        }
        dst[out++] = src[i];
    }
    return out;
}

}  // namespace

namespace {
bool EncodeAllSetting() {
    static const bool encodeAll = ReadEncodeAllSetting();
    return encodeAll;
}
}  // namespace

std::string escapeFileName(const char* name) { return escapeFileName(name, EncodeAllSetting()); }

std::string escapeFileName(const char* name, bool encodeAllSpecialSymbols) {
    std::string out;
    escapeFileName(name, encodeAllSpecialSymbols, out);
    return out;
}

void escapeFileName(const char* name, std::string& out) { escapeFileName(name, EncodeAllSetting(), out); }

void escapeFileName(const char* name, bool encodeAllSpecialSymbols, std::string& out) {
    out.clear();
    if (!name) return;
    const EscapeTable& table = encodeAllSpecialSymbols ? kAll : kBasic;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(name);
    size_t length = 0, escapes = 0;
    for (; p[length]; ++length) escapes += table[p[length]];
    try {
        if (escapes == 0) {
            out.assign(name, length);
            return;
        }
        out.resize(length + 2 * escapes);
        char* o = out.data();
        for (size_t i = 0; i < length; ++i) {
            unsigned char c = p[i];
            if (table[c]) {
                *o++ = '%';
                *o++ = kHex[c >> 4];
                *o++ = kHex[c & 0xF];
            } else {
                *o++ = static_cast<char>(c);
            }
        }
    } catch (const std::bad_alloc&) {
        throw ZyException("Not enough memory to allocate file name buffer");
    }
}

std::string decodeFileName(const char* name) {
    if (!name) return std::string();
    size_t n = std::strlen(name);
    if (!std::memchr(name, '%', n)) return std::string(name, n);
    std::string out(n, '\0');
    bool any = false;
    out.resize(Decode(name, n, out.data(), any));
    return out;
}

bool decodeEscapeChars(char* name) {
    if (!name) return false;
    size_t n = std::strlen(name);
    bool any = false;
    size_t length = Decode(name, n, name, any);
    name[length] = '\0';
    return any;
}

bool HasSpecialCharacters(const std::string& name) {
    for (char c : name) {
        if (static_cast<signed char>(c) <= 31 || c == '%' || c == '|') return true;
    }
    return false;
}

void escapeFileNameToPrint(const std::string& in, std::string& out) {
    out.clear();
    out.reserve(in.size() * 2);
    for (char c : in) {
        if (c == '\r' || c == '\n' || c == '%') {
            unsigned char u = static_cast<unsigned char>(c);
            out.push_back('%');
            out.push_back(kHex[u >> 4]);
            out.push_back(kHex[u & 0xF]);
        } else {
            out.push_back(c);
        }
    }
}

bool isXattrFiltered(const char* name) { return name && std::strcmp(name, "user.ZyStubFile") == 0; }
