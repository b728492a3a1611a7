// How fsscan's collect files read: every line is an item path escaped with escapeFileName
// (folders end in "/"), or a deletion line "??d" + path (one item) or "??D" + path + "/" (a
// folder and everything below it). Item paths are absolute, so they never begin with "?", and
// the files are read without start characters.
#pragma once

#include <string>
#include <string_view>

enum class ECollectLineKind { Item, Deleted, DeletedTree };

struct SCollectLine {
    ECollectLineKind kind = ECollectLineKind::Item;
    bool folder = false;
    std::string path;  // decoded, without a folder's trailing "/" (but "/" for the root)
};

// `name` is the item name the collect file reader returns. False for a line that is not one of
// ours (empty, or not an absolute path).
bool ParseCollectLine(std::string_view name, SCollectLine& out);
