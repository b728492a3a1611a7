#include "scan/dirchange/DirChangeFormatter.h"

#include <cstdio>

#include "scan/dirchange/DirChangeItemData.h"

std::string CFlatFileIndexFormatter::GetFormattedData(const FVBasePtr& /*item*/) const { return std::string(); }

std::string CDirChangeItemBaseFormatter::GetFormattedData(const FVBasePtr& item) const {
    std::string text = CFlatFileIndexFormatter::GetFormattedData(item);
    const auto* info = dynamic_cast<const CDirChangeItemBaseInfo*>(item.get());
    if (info && info->GetIsDeleted()) text += "|<D>1";
    return text;
}

std::string CDirChangeFormatter::GetFormattedData(const FVBasePtr& item) const {
    std::string text = CDirChangeItemBaseFormatter::GetFormattedData(item);
    const auto* data = dynamic_cast<const CDirChangeItemData*>(item.get());
    if (!data) return text;
    char buffer[48];
    if (data->GetFileId() != 0) {
        std::snprintf(buffer, sizeof(buffer), "|<FID>0x%016llX", static_cast<unsigned long long>(data->GetFileId()));
        text += buffer;
    }
    if (data->GetBackupFrequency() != 0) {
        std::snprintf(buffer, sizeof(buffer), "|<BFQ>%d", static_cast<int>(data->GetBackupFrequency()));
        text += buffer;
    }
    if (data->GetIsSelectiveSync()) text += "|<SELSYNC>";
    if (data->GetIsAddedToCollect()) text += "|<IS>1";
    return text;
}
