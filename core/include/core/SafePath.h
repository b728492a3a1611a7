// The text side of path confinement: what a path read from a job file must look like before any
// operation acts on it, and how paths order and nest, component by component.
#pragma once

#include <string>

#include "core/KoError.h"
#include <string_view>
#include <vector>

class FXSafePath {
public:
    // "/" or "/a/b": absolute, no empty, "." or ".." component, no NUL, no trailing "/". Anything
    // else read from a job file is refused rather than normalised: normalising is how "a/../.."
    // ends up outside.
    static bool IsCleanAbsolute(std::string_view path);
    // "a/b": relative, non-empty, the same component rules. A single file name passes.
    static bool IsCleanRelative(std::string_view path);
    // A single component: non-empty, not "." or "..", no "/" or NUL.
    static bool IsCleanName(std::string_view name);

    // `path` is `root` or lies below it, by whole components ("/a" holds "/a/b", not "/ab").
    // Both are clean absolute paths.
    static bool IsAtOrBelow(std::string_view root, std::string_view path);
    // `path` below `root` without the leading "/": "" for the root itself. Requires IsAtOrBelow.
    static std::string_view RelativeTo(std::string_view root, std::string_view path);

    // Orders clean absolute paths by components, each compared as bytes: the order of a walk
    // that lists a folder's entries sorted by name, ancestors first ("/a" < "/a/b" < "/a-b").
    static int CompareComponents(std::string_view a, std::string_view b);

    // The real path `path` has, or will have once its missing folders are made: the real path of
    // its deepest existing ancestor and the plain names below it (a missing part with ".", ".."
    // or an empty component is refused). Lets a caller check a folder before making it.
    static CKoError RealPathToBe(const std::string& path, std::string& real);

    // The components of a clean relative path.
    static void Split(std::string_view relative, std::vector<std::string_view>& components);
};
