// Formatters: the field text that follows an item's name on a DirChange line. Stateless.
#pragma once

#include <string>

#include "scan/dirchange/FVBase.h"

// Writes no fields: lines carry only names.
class CFlatFileIndexFormatter {
public:
    virtual ~CFlatFileIndexFormatter() = default;
    virtual std::string GetFormattedData(const FVBasePtr& item) const;
};

// "|<D>1" for an item marked deleted.
class CDirChangeItemBaseFormatter : public CFlatFileIndexFormatter {
public:
    std::string GetFormattedData(const FVBasePtr& item) const override;
};

// Then "|<FID>0x%016llX", "|<BFQ>%d", "|<SELSYNC>" and "|<IS>1", each only when set.
class CDirChangeFormatter : public CDirChangeItemBaseFormatter {
public:
    std::string GetFormattedData(const FVBasePtr& item) const override;
};
