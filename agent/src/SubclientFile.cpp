#include "agent/SubclientFile.h"

#include "agent/FilterTerm.h"
#include "core/Env.h"
#include "core/StringUtil.h"

namespace {

constexpr uint64_t kMaxFileBytes = 16u << 20;

// Errors of one file: each names it, and the line when there is one.
class CFileErrors {
public:
    explicit CFileErrors(const std::string& file) : m_file(file) {}
    CKoError At(const FXCodeLocation& loc, unsigned line, const std::string& what) const {
        return FXErrorUtil::ErrorWin32(loc, ZyWin32::ERROR_INVALID_DATA, "Subclient file [%s] line %u: %s",
                                       m_file.c_str(), line, what.c_str());
    }

private:
    const std::string& m_file;
};

std::string Quote(std::string_view s) { return "\"" + std::string(s) + "\""; }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

bool ParseUnsigned(std::string_view s, uint64_t max, uint64_t& out) {
    if (s.empty() || s.size() > 20) return false;
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        if (v > (max - static_cast<uint64_t>(c - '0')) / 10) return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    out = v;
    return true;
}

std::string StemOf(const std::string& path) {
    std::string name = path.substr(path.rfind('/') + 1);
    FXString::RemoveRight(name, ZYSubclientFile::kExtension);
    return name;
}

enum EKey { kId, kName, kContent, kFilter, kException, kReaders, kFileType, kAdded, kLastBackup, kKeyCount };
constexpr std::string_view kKeys[kKeyCount] = {"id",      "name",     "content", "filter",     "exception",
                                                "readers", "filetype", "added",   "last-backup"};
constexpr bool kOnce[kKeyCount] = {true, true, false, false, false, true, false, false, true};

}  // namespace

std::vector<std::string> ZYSubclientDefinition::Texts(const std::vector<Value>& values) {
    std::vector<std::string> out;
    out.reserve(values.size());
    for (const Value& v : values) out.push_back(v.text);
    return out;
}

CKoError ZYSubclientFile::Parse(const std::string& fileName, std::string_view text, ZYSubclientDefinition& out) {
    const CFileErrors err(fileName);
    ZYSubclientDefinition def;
    def.file = fileName;
    unsigned firstLine[kKeyCount] = {};
    unsigned lineNo = 0;
    bool any = false;
    while (!text.empty()) {
        ++lineNo;
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.find('\0') != std::string_view::npos) return err.At(ZY_HERE, lineNo, "NUL byte");
        line = Trim(line);
        if (line.empty() || line.front() == '#') continue;
        const size_t eq = line.find('=');
        if (eq == std::string_view::npos) return err.At(ZY_HERE, lineNo, "expected \"key = value\"");
        const std::string_view keyText = Trim(line.substr(0, eq)), value = Trim(line.substr(eq + 1));
        int key = -1;
        for (int k = 0; k < kKeyCount; ++k)
            if (keyText == kKeys[k]) key = k;
        if (key < 0) return err.At(ZY_HERE, lineNo, "unknown key " + Quote(keyText));
        if (kOnce[key] && firstLine[key])
            return err.At(ZY_HERE, lineNo,
                          Quote(keyText) + " given again (first on line " + std::to_string(firstLine[key]) + ")");
        if (!firstLine[key]) firstLine[key] = lineNo;
        if (value.empty()) return err.At(ZY_HERE, lineNo, Quote(keyText) + " has no value");
        any = true;
        uint64_t number = 0;
        switch (key) {
            case kId:
                if (!ParseUnsigned(value, UINT32_MAX, number) || number == 0)
                    return err.At(ZY_HERE, lineNo, "id must be a number from 1 to 4294967295, not " + Quote(value));
                def.id = static_cast<uint32_t>(number);
                break;
            case kName:
                def.name.assign(value);
                break;
            case kContent:
            case kAdded:
                if (value.front() != '/')
                    return err.At(ZY_HERE, lineNo, std::string(kKeys[key]) + " path " + Quote(value) + " is not absolute");
                (key == kContent ? def.content : def.added).push_back({std::string(value), lineNo});
                break;
            case kFilter:
            case kException: {
                CFilterTerm term;
                CKoError e = term.LoadRaw(value, EFilterSyntax::Subclient);
                if (e.IsError()) return err.At(ZY_HERE, lineNo, e.GetMessage());
                (key == kFilter ? def.filters : def.exceptions).push_back({std::string(value), lineNo});
                break;
            }
            case kReaders:
                if (value == "auto") {
                    def.readers = 0;
                } else if (!ParseUnsigned(value, 1000, number) || number == 0) {
                    return err.At(ZY_HERE, lineNo, "readers must be \"auto\" or a number from 1 to 1000, not " + Quote(value));
                } else {
                    def.readers = static_cast<int>(number);
                }
                break;
            case kFileType: {
                const size_t colon = value.find(':');
                const std::string_view name = Trim(value.substr(0, colon));
                if (colon == std::string_view::npos || name.empty())
                    return err.At(ZY_HERE, lineNo, "filetype must be \"NAME: PATTERN ...\"");
                std::vector<std::string> patterns;
                std::string_view rest = value.substr(colon + 1);
                while (!(rest = Trim(rest)).empty()) {
                    size_t stop = rest.find_first_of(" \t");
                    patterns.emplace_back(rest.substr(0, stop));
                    rest = stop == std::string_view::npos ? std::string_view() : rest.substr(stop);
                }
                if (patterns.empty()) return err.At(ZY_HERE, lineNo, "filetype " + Quote(name) + " has no pattern");
                def.fileTypes.emplace_back(std::string(name), std::move(patterns));
                break;
            }
            case kLastBackup:
                if (!ParseUnsigned(value, INT64_MAX, number))
                    return err.At(ZY_HERE, lineNo, "last-backup must be seconds since 1970, not " + Quote(value));
                def.lastBackupTime = static_cast<int64_t>(number);
                break;
        }
    }
    if (!any)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_EMPTY, "Subclient file [%s] is empty", fileName.c_str());
    if (def.content.empty()) return err.At(ZY_HERE, lineNo, "no \"content\" line: the subclient protects nothing");
    if (def.name.empty()) def.name = StemOf(fileName);
    out = std::move(def);
    return CKoError::Success();
}

CKoError ZYSubclientFile::Load(const std::string& path, ZYSubclientDefinition& out, bool checkContent) {
    std::string text;
    CKoError e = FXReadFileToString(path, text, kMaxFileBytes);
    if (FXErrorUtil::IsWin32(e, ZyWin32::ERROR_FILE_NOT_FOUND))
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_FILE_NOT_FOUND, "Subclient file [%s] not found",
                                       path.c_str());
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot read subclient file [%s]", path.c_str());
    ZYSubclientDefinition def;
    e = Parse(path, text, def);
    if (e.IsError()) return e.Push(ZY_HERE);
    if (checkContent) {
        const CFileErrors err(path);
        for (const auto& c : def.content) {
            // "/%name%" is a moniker the agent resolves later, not a path of this machine.
            if (c.text.size() >= 3 && c.text[1] == '%' && c.text.back() == '%') continue;
            FXFileStat st;
            CKoError se = FXEnv::Current()->Stat(c.text, st, true);
            if (FXErrorUtil::IsWin32(se, ZyWin32::ERROR_FILE_NOT_FOUND))
                return err.At(ZY_HERE, c.line, "content path " + Quote(c.text) + " does not exist");
            if (se.IsError()) return err.At(ZY_HERE, c.line, "content path " + Quote(c.text) + ": " + se.GetMessage());
        }
    }
    out = std::move(def);
    return CKoError::Success();
}
