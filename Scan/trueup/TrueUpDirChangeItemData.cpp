#include "scan/trueup/TrueUpDirChangeItemData.h"

#include <cstdlib>

#include "core/LogWriter.h"
#include "core/StringUtil.h"

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool TrueUpParseGuid(const std::string& text, boost::uuids::uuid& guid, std::string& error) {
    guid = boost::uuids::uuid();
    std::string_view s(text);
    if (!s.empty() && s.front() == '{') {
        if (s.size() < 2 || s.back() != '}') {
            error = "unbalanced braces";
            return false;
        }
        s = s.substr(1, s.size() - 2);
    }
    const bool dashed = s.size() == 36;
    if (!dashed && s.size() != 32) {
        error = "not 32 hexadecimal digits";
        return false;
    }
    boost::uuids::uuid out;
    size_t digit = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if (dashed && (i == 8 || i == 13 || i == 18 || i == 23)) {
            if (s[i] != '-') {
                error = "dash expected";
                return false;
            }
            continue;
        }
        const int v = HexValue(s[i]);
        if (v < 0) {
            error = "not a hexadecimal digit";
            return false;
        }
        if (digit % 2 == 0)
            out.data[digit / 2] = static_cast<uint8_t>(v << 4);
        else
            out.data[digit / 2] |= static_cast<uint8_t>(v);
        ++digit;
    }
    guid = out;
    return true;
}

std::string TrueUpGuidText(const boost::uuids::uuid& guid) {
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(36);
    for (size_t i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
        text.push_back(kHex[guid.data[i] >> 4]);
        text.push_back(kHex[guid.data[i] & 0xF]);
    }
    return text;
}

CTimeStamp TrueUpTimeFromUnix(long long seconds) {
    // A time stamp counts microseconds in 64 bits.
    constexpr long long kLimit = INT64_MAX / 1000000 - 1;
    if (seconds > kLimit) seconds = kLimit;
    if (seconds < -kLimit) seconds = -kLimit;
    return CTimeStamp::FromUnixTime(seconds);
}

bool CTrueUpDirChangeItemData::ParseTrueUpField(const std::string& element) {
    if (element.size() < 3 || element[0] != '<') return false;
    const char* rest = nullptr;
    if (FXString::MatchLeftNoCase(element, "<LWT>")) {
        SetLastWriteTime(TrueUpTimeFromUnix(std::strtoll(element.c_str() + 5, nullptr, 0)));
    } else if (FXString::MatchLeftNoCase(element, "<CTIME>")) {
        SetChangeTime(TrueUpTimeFromUnix(std::strtoll(element.c_str() + 7, nullptr, 0)));
    } else if (FXString::MatchLeftNoCase(element, "<SIZE>")) {
        SetSize(std::strtoull(element.c_str() + 6, nullptr, 0));
    } else if (FXString::MatchLeftNoCase(element, "<SCF>")) {
        SetIsSubclientFile(std::strtoll(element.c_str() + 5, nullptr, 0) != 0);
    } else if (FXString::MatchLeftNoCase(element, "<CI>")) {
        const long long value = std::strtoll(element.c_str() + 4, nullptr, 0);
        SetCollectField(static_cast<int32_t>(static_cast<uint32_t>(value)));
    } else if (FXString::MatchLeftNoCase(element, "<SDG>")) {
        rest = element.c_str() + 5;
        boost::uuids::uuid guid;
        std::string error;
        if (!TrueUpParseGuid(rest, guid, error))
            ZYLOG_ERROR("Failed to convert string GUID, GUID=[%s], error=%s", rest, error.c_str());
        SetDataGuid(guid);
    } else if (FXString::MatchLeftNoCase(element, "<STUB>")) {
        SetIsStub(element.size() > 6 && element[6] == '1');
    } else if (FXString::MatchLeftNoCase(element, "<ACL>")) {
        SetACLOnly(element.size() > 5 && element[5] == '1');
    } else {
        return false;
    }
    return true;
}

CKoError CTrueUpDirChangeItemData::ParseFields(const std::vector<std::string>& fields) {
    CDirChangeItemData::ParseFields(fields).IgnoreError();
    for (const std::string& element : fields) ParseTrueUpField(element);
    return CKoError::Success();
}
