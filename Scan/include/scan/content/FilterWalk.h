// The filter matcher as a depth-first walk asks it: item by item, by full path. The walk keeps
// the matcher's state of every folder above the current item, so an item costs one matcher
// step and a comparison of its folder's path, and no allocation once the deepest folder was
// reached. An item whose folder is not the one last entered (a new content root, a folder that
// another thread handed over) costs one step per folder in between.
//
// One walk per thread; the matcher behind it may be shared.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "scan/content/FilterMatcher.h"

class CFilterWalk {
public:
    explicit CFilterWalk(std::shared_ptr<const CFilterMatcher> matcher);

    // The verdict of an item of the walk, from its absolute path. A folder the walk descends
    // into (verdict.descend) becomes the folder of the items that follow.
    SFilterVerdict Decide(std::string_view path, bool isFolder);

    const CFilterMatcher& Matcher() const { return *m_matcher; }

private:
    struct Level {
        std::string path;  // "" for "/"
        CFilterFolderState state;
    };
    // Makes the level of `folder` (an absolute path without trailing "/", "" for the root) the
    // current one.
    void EnterFolder(std::string_view folder);

    std::shared_ptr<const CFilterMatcher> m_matcher;
    std::vector<Level> m_levels;  // [0] is the root; [0, m_depth] are live
    size_t m_depth = 0;
};
