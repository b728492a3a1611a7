// One record of a restore's timestamp files.
#include "scan/fsservices/TimestampData.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/StringUtil.h"

class CTimestampDataPrivate {
public:
    std::string fileName;
    std::string reportingName;
    bool isDirectory = false;
    bool hasCtime = false, hasAtime = false, hasMtime = false;
    int64_t ctime = 0, atime = 0, mtime = 0;
};

namespace {

constexpr std::string_view kPath = "<PATH>", kPathX = "<PATHX>", kRepPath = "<REPPATH>", kRepPathX = "<REPPATHX>",
                           kCtime = "<CTIME>", kMtime = "<MTIME>", kAtime = "<ATIME>";

// The path is the leftover of the cutting, so only "|<" could be taken for a field; the
// reporting name is cut off by its "|", so any "|" in it would split it.
bool NeedsEscape(std::string_view name, bool anyBar) {
    return name.find_first_of("\r\n") != std::string_view::npos ||
           name.find(anyBar ? "|" : "|<") != std::string_view::npos;
}

void Escape(std::string_view name, std::string& out) {
    static const char kHex[] = "0123456789ABCDEF";
    for (const char c : name) {
        if (c == '%' || c == '\r' || c == '\n' || c == '|') {
            out += '%';
            out += kHex[static_cast<unsigned char>(c) >> 4];
            out += kHex[static_cast<unsigned char>(c) & 15];
        } else {
            out += c;
        }
    }
}

bool Unescape(std::string_view in, std::string& out) {
    out.clear();
    auto hex = [](char c) { return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1; };
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '%') {
            out += in[i];
            continue;
        }
        if (i + 2 >= in.size()) return false;
        const int hi = hex(in[i + 1]), lo = hex(in[i + 2]);
        if (hi < 0 || lo < 0) return false;
        out += static_cast<char>(hi << 4 | lo);
        i += 2;
    }
    return true;
}

void AppendName(std::string& out, bool first, std::string_view plainTag, std::string_view escapedTag,
                std::string_view name) {
    if (!first) out += '|';
    if (NeedsEscape(name, !first)) {
        out += escapedTag;
        Escape(name, out);
    } else {
        out += plainTag;
        out += name;
    }
}

bool ParseTime(std::string_view text, int64_t& value) {
    if (text.empty() || text.size() > 20) return false;
    char buffer[24];
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    const char* start = buffer;
    if (*start == '-' || *start == '+') ++start;
    if (*start < '0' || *start > '9') return false;
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(buffer, &end, 10);
    if (errno != 0 || *end != '\0') return false;
    value = v;
    return true;
}

}  // namespace

CTimestampData::CTimestampData() : m_p(std::make_shared<CTimestampDataPrivate>()) {}

CTimestampData::CTimestampData(std::string fileName, bool isDirectory) : CTimestampData() {
    m_p->fileName = std::move(fileName);
    m_p->isDirectory = isDirectory;
}

const std::string& CTimestampData::GetFileName() const { return m_p->fileName; }
void CTimestampData::SetFileName(std::string fileName) { m_p->fileName = std::move(fileName); }
const std::string& CTimestampData::GetReportingFileName() const { return m_p->reportingName; }
void CTimestampData::SetReportingFileName(std::string name) { m_p->reportingName = std::move(name); }
bool CTimestampData::IsDirectory() const { return m_p->isDirectory; }
void CTimestampData::SetDirectory(bool isDirectory) { m_p->isDirectory = isDirectory; }
bool CTimestampData::HasCreationTime() const { return m_p->hasCtime; }
int64_t CTimestampData::GetCreationTime() const { return m_p->ctime; }
bool CTimestampData::HasAccessTime() const { return m_p->hasAtime; }
int64_t CTimestampData::GetAccessTime() const { return m_p->atime; }
bool CTimestampData::HasModifiedTime() const { return m_p->hasMtime; }
int64_t CTimestampData::GetModifiedTime() const { return m_p->mtime; }

void CTimestampData::SetCreationTime(int64_t seconds) {
    m_p->ctime = seconds;
    m_p->hasCtime = true;
}

void CTimestampData::SetAccessTime(int64_t seconds) {
    m_p->atime = seconds;
    m_p->hasAtime = true;
}

void CTimestampData::SetModifiedTime(int64_t seconds) {
    m_p->mtime = seconds;
    m_p->hasMtime = true;
}

CKoError CTimestampData::Serialize(std::string& out) const {
    const CTimestampDataPrivate& p = *m_p;
    if (p.fileName.empty()) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "No file name");
    out.clear();
    AppendName(out, true, kPath, kPathX, p.fileName);
    if (!p.reportingName.empty()) AppendName(out, false, kRepPath, kRepPathX, p.reportingName);
    if (p.hasCtime) out += FXString::Format("|%s%lld", kCtime.data(), static_cast<long long>(p.ctime));
    if (p.hasMtime) out += FXString::Format("|%s%lld", kMtime.data(), static_cast<long long>(p.mtime));
    if (p.hasAtime) out += FXString::Format("|%s%lld", kAtime.data(), static_cast<long long>(p.atime));
    return CKoError::Success();
}

CKoError CTimestampData::DeSerialize(std::string_view record) {
    if (record.empty()) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "Input is empty");
    CTimestampDataPrivate p;
    bool hasRep = false;
    auto bad = [&record](const char* what) {
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA, "Corrupt timestamp record (%s): [%.*s]",
                                       what, static_cast<int>(std::min<size_t>(record.size(), 256)), record.data());
    };
    auto startsWith = [](std::string_view s, std::string_view tag) { return s.compare(0, tag.size(), tag) == 0; };
    // Fields from the right; the first piece that is not a known field ends the cutting, and what
    // is left is the path field.
    std::string_view rest = record;
    for (size_t bar; (bar = rest.rfind('|')) != std::string_view::npos;) {
        const std::string_view field = rest.substr(bar + 1);
        int64_t* time = nullptr;
        bool* has = nullptr;
        std::string_view tag;
        if (startsWith(field, kCtime)) {
            time = &p.ctime, has = &p.hasCtime, tag = kCtime;
        } else if (startsWith(field, kMtime)) {
            time = &p.mtime, has = &p.hasMtime, tag = kMtime;
        } else if (startsWith(field, kAtime)) {
            time = &p.atime, has = &p.hasAtime, tag = kAtime;
        } else if (startsWith(field, kRepPathX)) {
            if (hasRep) return bad("reporting name twice");
            if (!Unescape(field.substr(kRepPathX.size()), p.reportingName)) return bad("bad escape");
            hasRep = true;
        } else if (startsWith(field, kRepPath)) {
            if (hasRep) return bad("reporting name twice");
            p.reportingName.assign(field.substr(kRepPath.size()));
            hasRep = true;
        } else {
            break;
        }
        if (time) {
            if (*has) return bad("time given twice");
            if (!ParseTime(field.substr(tag.size()), *time)) return bad("time is not a number");
            *has = true;
        }
        rest = rest.substr(0, bar);
    }
    if (startsWith(rest, kPathX)) {
        if (!Unescape(rest.substr(kPathX.size()), p.fileName)) return bad("bad escape");
    } else if (startsWith(rest, kPath)) {
        p.fileName.assign(rest.substr(kPath.size()));
    } else {
        return bad("no <PATH>");
    }
    if (p.fileName.empty()) return bad("empty path");
    p.isDirectory = m_p->isDirectory;
    *m_p = std::move(p);
    return CKoError::Success();
}
