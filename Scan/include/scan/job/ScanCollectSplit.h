// Splits a collect file the scan has just written (still under its temporary name, before the
// job commits) into parts for several data readers, with the collect-file split rules.
//
// The job commits only after the split: a crash at any step leaves the previous job in force and
// this run's files for the next run to remove. A split that fails (a full disk while writing a
// part) rolls back and the collect file stays whole; the result says which happened.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "core/KoError.h"

class CScanCollectSplit {
public:
    struct SPart {
        std::string name;  // in the job-results folder, after the commit
        std::string path;  // where it is written until then
    };
    struct SResult {
        std::vector<SPart> parts;  // the collect file itself first; one part when not split
        std::string report;        // "split into N parts", "not split: ..."
    };

    // `name`: the collect file's own name ("CollectInc1.zyf"); `path`: where it is now;
    // `collectNumber`: for messages; `tempOf`: where a part of a given name is written until the
    // commit. Parts are named "CollectInc1.zyf", "CollectInc1_1.zyf", "CollectInc1_2.zyf", ...
    // An error means the split could not even be rolled back: the job must not commit.
    static CKoError Split(const std::string& name, const std::string& path, int collectNumber, int readers,
                          const std::function<std::string(const std::string&)>& tempOf, SResult& result);

    // Files a split of `path` may leave behind when it is cut short (besides its parts).
    static std::vector<std::string> Leftovers(const std::string& path);
};
