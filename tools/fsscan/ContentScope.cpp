#include "ContentScope.h"

#include "core/SafePath.h"

CContentScope::CContentScope(std::vector<std::string> roots, std::vector<std::string> formerRoots)
    : m_roots(std::move(roots)), m_formerRoots(std::move(formerRoots)) {}

const std::string* CContentScope::RootOf(const std::string& path) const {
    for (const std::string& root : m_roots)
        if (FXSafePath::IsAtOrBelow(root, path)) return &root;
    return nullptr;
}

const char* CContentScope::Refusal(const SCollectLine& line) const {
    const std::string& path = line.path;
    if (!FXSafePath::IsCleanAbsolute(path)) return "the path has an empty, \".\" or \"..\" component or is not absolute";
    if (line.kind == ECollectLineKind::Item) {
        if (RootOf(path)) return nullptr;
        if (line.folder)
            for (const std::string& root : m_roots)
                if (FXSafePath::IsAtOrBelow(path, root)) return nullptr;
        return "the path lies outside the job's content";
    }
    if (path == "/") return "the deletion names /";
    if (RootOf(path)) return nullptr;
    for (const std::string& root : m_formerRoots)
        if (FXSafePath::IsAtOrBelow(root, path)) return nullptr;
    return "the deletion lies outside the job's content";
}
