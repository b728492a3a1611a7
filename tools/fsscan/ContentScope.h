// What a backup may act on: the job's content roots (real paths), for items to copy, and also
// the roots of the job before it, for deletions. A line of a collect file is checked here before
// anything touches the file system; a line refused is an error of that line, never acted upon.
#pragma once

#include <string>
#include <vector>

#include "CollectLine.h"

class CContentScope {
public:
    CContentScope(std::vector<std::string> roots, std::vector<std::string> formerRoots);

    // Null when the line may be acted on; otherwise why not. Items lie at or below a root, or
    // are folders above one (the scan lists a root's ancestors); deletions lie at or below a root
    // or a former root, and never name "/".
    const char* Refusal(const SCollectLine& line) const;
    // The root `path` lies at or below, or null.
    const std::string* RootOf(const std::string& path) const;
    const std::vector<std::string>& Roots() const { return m_roots; }
    const std::vector<std::string>& FormerRoots() const { return m_formerRoots; }

private:
    std::vector<std::string> m_roots, m_formerRoots;
};
