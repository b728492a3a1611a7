#include "core/SafePath.h"

#include <cstring>

#include "core/Env.h"
#include "core/Path.h"

namespace {

bool CleanComponents(std::string_view p) {
    // `p` holds components separated by single "/", nothing before the first or after the last.
    size_t start = 0;
    for (;;) {
        size_t slash = p.find('/', start);
        std::string_view c = p.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
        if (!FXSafePath::IsCleanName(c)) return false;
        if (slash == std::string_view::npos) return true;
        start = slash + 1;
    }
}

}  // namespace

bool FXSafePath::IsCleanName(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return false;
    return name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

bool FXSafePath::IsCleanAbsolute(std::string_view path) {
    if (path.empty() || path[0] != '/') return false;
    if (path.size() == 1) return true;
    return CleanComponents(path.substr(1));
}

bool FXSafePath::IsCleanRelative(std::string_view path) { return !path.empty() && path[0] != '/' && CleanComponents(path); }

bool FXSafePath::IsAtOrBelow(std::string_view root, std::string_view path) {
    if (root == "/") return !path.empty() && path[0] == '/';
    if (path.size() < root.size() || path.compare(0, root.size(), root) != 0) return false;
    return path.size() == root.size() || path[root.size()] == '/';
}

std::string_view FXSafePath::RelativeTo(std::string_view root, std::string_view path) {
    if (root == "/") return path.substr(1);
    if (path.size() == root.size()) return std::string_view();
    return path.substr(root.size() + 1);
}

int FXSafePath::CompareComponents(std::string_view a, std::string_view b) {
    // Equal prefixes up to the first difference; there "/" (end of a component) sorts first.
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        if (a[i] == b[i]) continue;
        if (a[i] == '/') return -1;
        if (b[i] == '/') return 1;
        return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]) ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

void FXSafePath::Split(std::string_view relative, std::vector<std::string_view>& components) {
    components.clear();
    size_t start = 0;
    while (start < relative.size()) {
        size_t slash = relative.find('/', start);
        if (slash == std::string_view::npos) slash = relative.size();
        components.push_back(relative.substr(start, slash - start));
        start = slash + 1;
    }
}

CKoError FXSafePath::RealPathToBe(const std::string& path, std::string& real) {
    std::string existing = path;
    std::vector<std::string> missing;
    for (FXFileStat st; FXEnv::Current()->Stat(existing, st, true).IsError();) {
        std::string parent, name;
        if (FXPath::SplitParentPath(existing, parent, name).IsError() || name.empty())
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_PATH_NOT_FOUND, "Cannot resolve, Path=[%s]", path.c_str());
        if (!IsCleanName(name))
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_BAD_ARGUMENTS,
                                           "The part of the path still to make must be plain names, Path=[%s]", path.c_str());
        missing.push_back(name);
        existing = parent.empty() ? "." : parent;
    }
    CKoError e = FXPath::MakeRealPath(existing, real);
    if (e.IsError()) return e.Push(ZY_HERE);
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) real = FXPath::Join(real, *it);
    return CKoError::Success();
}
