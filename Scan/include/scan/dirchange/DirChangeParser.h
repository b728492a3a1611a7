// Parsers: turn the field list of a DirChange line (name first) into an item.
#pragma once

#include <string>
#include <vector>

#include "core/KoError.h"
#include "scan/dirchange/FVBase.h"

// Builds no item: `item` is left empty.
class CFlatFileIndexParser {
public:
    virtual ~CFlatFileIndexParser() = default;
    virtual CKoError GetItemInfo(FVBasePtr& item, const std::vector<std::string>& fields);
};

// A CDirChangeItemBaseInfoImpl (the deleted mark).
class CDirChangeItemBaseParser : public CFlatFileIndexParser {
public:
    CKoError GetItemInfo(FVBasePtr& item, const std::vector<std::string>& fields) override;
};

// A CDirChangeItemDataImpl.
class CDirChangeParser : public CDirChangeItemBaseParser {
public:
    CKoError GetItemInfo(FVBasePtr& item, const std::vector<std::string>& fields) override;
};
