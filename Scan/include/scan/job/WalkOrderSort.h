// Puts the lines of a collect file in walk order: by path, compared component by component
// (a folder before what it holds, the names of a folder in byte order), as a one-thread walk
// writes them. Several scanner threads write the folders of the walk interleaved; a backup
// removes from a full job's mirror what the job did not collect only where its collect file is
// in walk order.
//
// Each line is prefixed with a key whose byte order is walk order (its unescaped path with the
// separator and the end of the path as the lowest bytes), the keyed lines are sorted externally
// (KoBatchSort: memory does not grow with the file) and the keys taken off again.
// Lines that do not start with "/" (deletions, other forms) keep their order after the others.
#pragma once

#include <string>
#include <string_view>

#include "core/KoError.h"

class CWalkOrderSort {
public:
    // `line` with its key; Decode takes the key off (false: no key there).
    static void Encode(std::string_view line, std::string& key);
    static bool Decode(std::string_view key, std::string& line);

    // Sorts the lines of `path` in place; `scratch` names the files and the work folder the sort
    // uses (`scratch` + "_keys", + "_sorted", + "_work"), removed when it ends, whatever the end.
    // On failure `path` may be cut short: the caller drops it.
    static CKoError SortFile(const std::string& path, const std::string& scratch);
};
