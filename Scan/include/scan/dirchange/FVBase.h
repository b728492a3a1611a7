// The common base of the per-item information objects passed between the DirChange stores, the
// collect writers and their formatters and parsers.
#pragma once

#include <memory>

class FVBase {
public:
    virtual ~FVBase() = default;
};

using FVBasePtr = std::shared_ptr<FVBase>;
