#include "core/ScanMisc.h"

#include "core/File.h"
#include "core/StringUtil.h"

std::string SXScanMisc::ConvertToUncMoniker(std::string_view path) {
    if (!FXFile::IsVolumeUnc(path)) return std::string(path);
    std::string out(kUncMonikerPrefix);
    out.append(path.substr(2));
    return out;
}

std::string SXScanMisc::ConvertFromUncMoniker(std::string_view path) {
    std::string_view p = path;
    if (!p.empty() && p[0] == '/' && FXString::MatchLeftNoCase(p.substr(1), kUncMonikerPrefix)) p.remove_prefix(1);
    if (!FXString::MatchLeftNoCase(p, kUncMonikerPrefix)) return std::string(path);
    std::string_view rest = p.substr(kUncMonikerPrefix.size());
    // The delimiter of the rest tells which form the path had.
    size_t delim = rest.find_first_of("/\\");
    char d = (delim != std::string_view::npos) ? rest[delim] : '/';
    std::string out(2, d);
    out.append(rest);
    return out;
}
