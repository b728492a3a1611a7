// The field text of TrueUp DirChange lines: the DirChange fields, then, for TrueUp item data,
// "|<LWT>%lld" (when the time is set), "|<CTIME>%lld", "|<SIZE>%llu", "|<SCF>%u", "|<CI>%d" (when
// not -1), "|<SDG>" and the GUID (when not nil), "|<ACL>1" (when set) and "|<STUB>%u". Times are
// Unix seconds.
#pragma once

#include <string>

#include "scan/dirchange/DirChangeFormatter.h"

class CTrueUpDirChangeFormatter : public CDirChangeFormatter {
public:
    std::string GetFormattedData(const FVBasePtr& item) const override;
};
