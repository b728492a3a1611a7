// The hook through which the scan answers a collect-file writer's questions about the previous
// job, and through which it can take over the bookkeeping of folders already written.
#pragma once

#include <string>

#include "core/KoError.h"

class CCheckIfAlreadyPresent {
public:
    CCheckIfAlreadyPresent() = default;
    virtual ~CCheckIfAlreadyPresent();

    // True when the item is already in the collect set and must not be written again.
    virtual bool IsAlreadyPresent(const std::string& path) = 0;
    // True when the previous job had the item (folders of incremental jobs are then not written).
    virtual bool IsItemInPreviousJob(const std::string& path);
    // Written-folder bookkeeping of a writer that delegates it (SetDelegatePaths): whether the
    // folder was written, and recording that it was. The base keeps nothing: SetWritten answers
    // Win32 50 (not supported).
    virtual bool IsWritten(const std::string& path);
    virtual CKoError SetWritten(const std::string& path);

protected:
    CCheckIfAlreadyPresent(const CCheckIfAlreadyPresent&) = default;
    CCheckIfAlreadyPresent& operator=(const CCheckIfAlreadyPresent&) = default;
};
