#include "scan/dirchange/DirChangeFileFormat.h"

#include <cstring>

#include "core/Path.h"
#include "core/ScanMisc.h"
#include "core/StringUtil.h"
#include "scan/Unix/CollectFileEncode.h"

namespace {

bool IsSlash(char c) { return c == '/' || c == '\\'; }

// Only paths that begin with two slashes can be network paths; everything else keeps its form.
bool MayBeUnc(std::string_view path) { return path.size() >= 2 && IsSlash(path[0]) && IsSlash(path[1]); }

bool MayBeMoniker(std::string_view path) {
    if (!path.empty() && path[0] == '/') path.remove_prefix(1);
    return FXString::MatchLeftNoCase(path, SXScanMisc::kUncMonikerPrefix);
}

// Bytes that neither escaping mode leaves alone are below 0x20, from 0x80 up, "%" and "|".
bool NeedsEscaping(std::string_view name) {
    for (char c : name) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x80 || c == '%' || c == '|') return true;
    }
    return false;
}

void DecodeInPlace(std::string& text) {
    if (text.find('%') == std::string::npos) return;
    decodeEscapeChars(text.data());
    text.resize(std::strlen(text.c_str()));
}

}  // namespace

void CDirChangeFileFormat::AppendTreeFolderLine(std::string& out, std::string_view folder) {
    if (MayBeUnc(folder))
        out += SXScanMisc::ConvertToUncMoniker(folder);
    else
        out.append(folder);
    out.push_back('\n');
}

void CDirChangeFileFormat::AppendTreeFileLine(std::string& out, std::string_view name) {
    out.push_back('\t');
    out.append(name);
    out.push_back('\n');
}

void CDirChangeFileFormat::AppendEscapedName(std::string& out, std::string_view name) {
    if (!NeedsEscaping(name))
        out.append(name);
    else
        out += escapeFileName(std::string(name).c_str());
}

void CDirChangeFileFormat::AppendFlatFolderLine(std::string& out, std::string_view folder, bool encode,
                                                std::string_view fields) {
    if (MayBeUnc(folder)) {
        std::string path(folder);
        FXPath::AppendTrailingDelimiter(path);
        path = SXScanMisc::ConvertToUncMoniker(path);
        if (encode)
            AppendEscapedName(out, path);
        else
            out += path;
    } else {
        if (encode)
            AppendEscapedName(out, folder);
        else
            out.append(folder);
        // "/" is never escaped, so it can follow the escaped text.
        if (!folder.empty() && folder.back() != '/') out.push_back('/');
    }
    out.append(fields);
    out.push_back('\n');
}

void CDirChangeFileFormat::AppendFlatFileLine(std::string& out, std::string_view name, bool encode,
                                              std::string_view fields, std::string_view decisionPoint) {
    out.push_back('\t');
    if (encode)
        AppendEscapedName(out, name);
    else
        out.append(name);
    out.append(fields);
    out.append(decisionPoint);
    out.push_back('\n');
}

void CDirChangeFileFormat::AppendDecisionPointFields(std::string& out, std::string_view time,
                                                     const FXCodeLocation& location, std::string_view reason) {
    out += "|<DPtim>";
    out.append(time);
    if (location.IsValid()) {
        out += "|<DPloc>";
        out += location.GetFunction();
        out += "(" + std::to_string(location.GetLine()) + ")";
    }
    if (!reason.empty()) {
        out += "|<DPrsn>";
        out.append(reason);
    }
}

void CDirChangeFileFormat::DecodeFlatFolder(std::string_view text, bool decode, std::string& out) {
    size_t length = text.size();
    while (length > 0 && text[length - 1] == '/') --length;
    out.assign(text.data(), length);
    out.push_back('/');
    if (decode) DecodeInPlace(out);
    if (MayBeMoniker(out)) out = SXScanMisc::ConvertFromUncMoniker(out);
}

void CDirChangeFileFormat::DecodeFlatFileName(std::string_view name, bool decode, std::string& out) {
    out.assign(name);
    if (decode) DecodeInPlace(out);
}
