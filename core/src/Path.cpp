#include "core/Path.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

std::string_view FXPath::WithoutTrailingDelimiters(std::string_view path) {
    size_t n = path.size();
    while (n > 1 && IsDelimiter(path[n - 1])) --n;
    return path.substr(0, n);
}

CKoError FXPath::Append(std::string& path, std::string_view name, unsigned /*flags*/) {
    if (name == "/" || name == "\\") {
        AppendTrailingDelimiter(path);
        if (path.empty()) path.push_back(kDelimiter);
        return CKoError::Success();
    }
    if (path.empty()) {
        path.assign(name);
        return CKoError::Success();
    }
    size_t skip = 0;
    while (skip < name.size() && IsDelimiter(name[skip])) ++skip;
    AppendTrailingDelimiter(path);
    path.append(name.substr(skip));
    return CKoError::Success();
}

std::string FXPath::Join(std::string_view path, std::string_view name) {
    std::string out(path);
    Append(out, name).IgnoreError();
    return out;
}

std::string& FXPath::AppendTrailingDelimiter(std::string& path) {
    if (!path.empty() && !IsDelimiter(path.back())) path.push_back(kDelimiter);
    return path;
}

std::string& FXPath::RemoveTrailingDelimiter(std::string& path) {
    path.resize(WithoutTrailingDelimiters(path).size());
    return path;
}

CKoError FXPath::SplitParentPath(std::string_view path, std::string& parent, std::string& name) {
    std::string_view p = WithoutTrailingDelimiters(path);
    size_t slash = p.find_last_of(kDelimiter);
    if (p.empty() || slash == std::string_view::npos || (p.size() == 1 && slash == 0)) {
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_PATH_NOT_FOUND, "Path has no parent, Path=[%.*s]",
                                       static_cast<int>(path.size()), path.data());
    }
    name.assign(p.substr(slash + 1));
    size_t end = slash;
    while (end > 0 && IsDelimiter(p[end - 1])) --end;
    parent.assign(end == 0 ? std::string_view("/") : p.substr(0, end));
    return CKoError::Success();
}

bool FXPath::IsSamePathAs(std::string_view a, std::string_view b) {
    return WithoutTrailingDelimiters(a) == WithoutTrailingDelimiters(b);
}

bool FXPath::IsAncestorOf(std::string_view ancestor, std::string_view path, bool orSame) {
    std::string_view a = WithoutTrailingDelimiters(ancestor);
    std::string_view p = WithoutTrailingDelimiters(path);
    if (a.empty()) return false;
    if (a == p) return orSame;
    if (p.size() <= a.size() || p.compare(0, a.size(), a) != 0) return false;
    // "/" is a prefix that already ends at a boundary.
    return IsDelimiter(a.back()) || IsDelimiter(p[a.size()]);
}

bool FXPath::DoesPathExist(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

CKoError FXPath::MakeRealPath(const std::string& path, std::string& realPath) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved) return FXErrorUtil::ErrorErrNo(ZY_HERE, errno, "realpath failed, Path=[%s]", path.c_str());
    realPath.assign(resolved);
    std::free(resolved);
    return CKoError::Success();
}
