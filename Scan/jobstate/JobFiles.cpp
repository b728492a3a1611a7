#include "scan/jobstate/JobFiles.h"

#include <fnmatch.h>

#include <algorithm>
#include <memory>

#include "core/Env.h"
#include "core/Path.h"

CKoError CJobFiles::ReadWhole(const std::string& path, std::string& content, uint64_t maxBytes) {
    content.clear();
    FXEnv* env = FXEnv::Current();
    std::unique_ptr<FXSequentialFile> file;
    CKoError e = env->NewSequentialFile(path, file);
    if (e.IsError()) return e;
    char buffer[64 * 1024];
    for (;;) {
        size_t got = 0;
        e = file->Read(buffer, sizeof buffer, got);
        if (e.IsError()) return e.Push(ZY_HERE, "Failed to read file, FileName=[%s]", path.c_str());
        if (got == 0) break;
        if (content.size() + got > maxBytes)
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA,
                                           "File larger than expected, FileName=[%s], Limit=[%llu]", path.c_str(),
                                           static_cast<unsigned long long>(maxBytes));
        content.append(buffer, got);
    }
    return CKoError::Success();
}

CKoError CJobFiles::CopyDurably(const std::string& from, const std::string& to) {
    FXEnv* env = FXEnv::Current();
    std::unique_ptr<FXSequentialFile> in;
    CKoError e = env->NewSequentialFile(from, in);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot open the file to copy, FileName=[%s]", from.c_str());
    FXDurableReplace out(to);
    e = out.Open();
    if (e.IsError()) return e.Push(ZY_HERE);
    std::unique_ptr<char[]> buffer(new char[1 << 20]);
    for (;;) {
        size_t got = 0;
        e = in->Read(buffer.get(), 1 << 20, got);
        if (e.IsError()) return e.Push(ZY_HERE, "Failed to read file, FileName=[%s]", from.c_str());
        if (got == 0) break;
        e = out.Append(std::string_view(buffer.get(), got));
        if (e.IsError()) return e.Push(ZY_HERE, "Failed to write file, FileName=[%s]", to.c_str());
    }
    e = out.Commit();
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError CJobFiles::ListMatching(const std::string& folder, const std::string& pattern,
                                 std::vector<std::string>& names) {
    names.clear();
    FXEnv* env = FXEnv::Current();
    std::vector<std::string> children;
    CKoError e = env->GetChildren(folder, children);
    if (e.IsError()) return e.Push(ZY_HERE, "SearchFolder=[%s], SearchFilePattern=[%s]", folder.c_str(), pattern.c_str());
    for (std::string& name : children) {
        if (::fnmatch(pattern.c_str(), name.c_str(), FNM_PERIOD) != 0) continue;
        FXFileStat st;
        // An entry that went meanwhile is skipped like a folder.
        if (env->Stat(FXPath::Join(folder, name), st).IsError() || st.IsDirectory()) continue;
        names.push_back(std::move(name));
    }
    std::sort(names.begin(), names.end());
    return CKoError::Success();
}

CKoError CJobFiles::RemoveIfPresent(const std::string& path) {
    CKoError e = FXEnv::Current()->RemoveFile(path);
    if (e.IsError() && !FXErrorUtil::IsWin32(e, ZyWin32::ERROR_FILE_NOT_FOUND)) return e;
    return CKoError::Success();
}

bool CJobFiles::Exists(const std::string& path) {
    FXFileStat st;
    return FXEnv::Current()->Stat(path, st).IsSuccess();
}

bool CJobFiles::IsPlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

CKoError CJobFiles::LoadDocument(CKoXDocument& document, const std::string& path, uint64_t maxBytes,
                                 const char* what) {
    document.Clear();
    std::string text;
    CKoError e = ReadWhole(path, text, maxBytes);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot read the %s, FileName=[%s]", what, path.c_str());
    if (text.find_first_not_of(" \t\r\n") == std::string::npos)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_EMPTY, "The %s is empty, FileName=[%s]", what,
                                       path.c_str());
    e = document.LoadFromString(text);
    if (e.IsError()) return e.Push(ZY_HERE, "The %s is not well-formed, FileName=[%s]", what, path.c_str());
    return CKoError::Success();
}

CKoError CJobFiles::SaveDocument(const CKoXDocument& document, const std::string& path, const char* what) {
    std::string text;
    CKoError e = document.SaveAsString(text);
    if (e.IsSuccess()) e = FXDurableReplace::WriteWhole(path, text);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot save the %s, FileName=[%s]", what, path.c_str());
    return CKoError::Success();
}
