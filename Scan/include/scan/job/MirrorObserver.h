// What a backup keeps beside the mirror copy of an item, told by the mirror as it works: one
// observer per reader thread, set on that reader's cursor.
#pragma once

#include <sys/stat.h>

#include <string>

#include "core/KoError.h"

class IMirrorObserver {
public:
    virtual ~IMirrorObserver() = default;
    // The source file `fd` has been read to its end; `before` is its status when it was opened.
    // An error ends the job (the observer's own files failed); item trouble is only logged.
    virtual CKoError OnFileRead(int fd, const struct stat& before) {
        (void)fd;
        (void)before;
        return CKoError::Success();
    }
    // The item `source` (its folder `sourceParent`, its name `leaf`, its status `st`) was copied.
    // Metadata that cannot be read sets `sourceError` and `reason`, as an unreadable item does.
    virtual CKoError OnItemCopied(const std::string& source, int sourceParent, const std::string& leaf,
                                  const struct stat& st, bool& sourceError, std::string& reason) = 0;
    // The item `source` and everything below it left the mirror.
    virtual CKoError OnItemRemoved(const std::string& source) = 0;
};
