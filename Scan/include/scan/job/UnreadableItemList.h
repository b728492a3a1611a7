// The items a backup could not read, as its scan-error file recorded them: the next scan of the
// subclient collects them again, changed or not.
#pragma once

#include <string>
#include <vector>

#include "core/KoError.h"

class CUnreadableItemList {
public:
    // The paths (decoded, as the collect lines named them) of the "cannot back up this item"
    // records of the scan-error file in `folder`. No file is an empty list; damaged records are
    // passed over.
    static CKoError Read(const std::string& folder, std::vector<std::string>& paths);
    // The form an argument of a record takes: "%" and "|" escaped; and back.
    static std::string EscapeArgument(const std::string& text);
    static std::string UnescapeArgument(const std::string& text);
};
