// Path helpers. Paths are byte strings with "/" as the delimiter.
#pragma once

#include <string>
#include <string_view>

#include "core/KoError.h"

class FXPath {
public:
    static constexpr char kDelimiter = '/';
    static bool IsDelimiter(char c) { return c == '/'; }

    // Appends `name` with exactly one delimiter between path and name. A name that is only a
    // delimiter ("/" or "\") makes sure the path ends in one delimiter. An empty path takes the
    // name as it is. `flags` is reserved (other platforms choose the delimiter with it).
    static CKoError Append(std::string& path, std::string_view name, unsigned flags = 0);
    static std::string Join(std::string_view path, std::string_view name);

    // An empty path stays empty.
    static std::string& AppendTrailingDelimiter(std::string& path);
    // Removes every trailing delimiter but keeps "/" for the root.
    static std::string& RemoveTrailingDelimiter(std::string& path);
    static bool HasTrailingDelimiter(std::string_view path) { return !path.empty() && IsDelimiter(path.back()); }

    // "/a/b" -> "/a" and "b"; "/a" -> "/" and "a"; trailing delimiters are ignored.
    // A path without a parent ("", "/", "a") fails with Win32 code 3 (path not found).
    static CKoError SplitParentPath(std::string_view path, std::string& parent, std::string& name);

    // Equal when they differ at most in trailing delimiters.
    static bool IsSamePathAs(std::string_view a, std::string_view b);
    // True when `ancestor` is a proper ancestor of `path`, at component boundaries ("/a/b" is not
    // an ancestor of "/a/bc"); with `orSame`, an equal path counts too.
    static bool IsAncestorOf(std::string_view ancestor, std::string_view path, bool orSame = false);
    static bool IsDescendantOf(std::string_view path, std::string_view ancestor, bool orSame = false) {
        return IsAncestorOf(ancestor, path, orSame);
    }

    static bool DoesPathExist(const std::string& path);
    // The canonical absolute path (symbolic links resolved); the path must exist.
    static CKoError MakeRealPath(const std::string& path, std::string& realPath);

private:
    static std::string_view WithoutTrailingDelimiters(std::string_view path);
};
