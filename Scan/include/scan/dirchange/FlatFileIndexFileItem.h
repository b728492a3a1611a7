// One file to be written to a flat-file index's current DirChange, with why it was chosen.
#pragma once

#include <map>
#include <string>

#include "core/KoError.h"
#include "core/StringUtil.h"
#include "scan/dirchange/FVBase.h"

class CFlatFileIndexFileItem {
public:
    CFlatFileIndexFileItem() = default;
    CFlatFileIndexFileItem(const FXCodeLocation& location, std::string reason, FVBasePtr info = FVBasePtr())
        : m_location(location), m_reason(std::move(reason)), m_info(std::move(info)) {}

    // Where the decision to add the file was taken (written as a decision-point field).
    const FXCodeLocation& GetLocation() const { return m_location; }
    const std::string& GetReason() const { return m_reason; }
    const FVBasePtr& GetInfo() const { return m_info; }
    void SetInfo(FVBasePtr info) { m_info = std::move(info); }

private:
    FXCodeLocation m_location;
    std::string m_reason;
    FVBasePtr m_info;
};

// A folder's files by name, in file-system name order.
using FlatFileIndexFileItemMap = std::map<std::string, CFlatFileIndexFileItem, __less_fscase_cmp>;
