#include "scan/trueup/TrueUpDirChangeFormatter.h"

#include <cstdio>

#include "scan/trueup/TrueUpDirChangeItemData.h"

std::string CTrueUpDirChangeFormatter::GetFormattedData(const FVBasePtr& item) const {
    std::string text = CDirChangeFormatter::GetFormattedData(item);
    const auto* data = dynamic_cast<const CTrueUpDirChangeItemData*>(item.get());
    if (!data) return text;
    char buffer[192];
    int n = 0;
    if (data->GetLastWriteTime().IsValid())
        n += std::snprintf(buffer + n, sizeof buffer - n, "|<LWT>%lld",
                           static_cast<long long>(data->GetLastWriteTime().AsUnixTime()));
    n += std::snprintf(buffer + n, sizeof buffer - n, "|<CTIME>%lld|<SIZE>%llu|<SCF>%u",
                       static_cast<long long>(data->GetChangeTime().AsUnixTime()),
                       static_cast<unsigned long long>(data->GetSize()), data->GetIsSubclientFile() ? 1u : 0u);
    if (data->GetCollectField() != -1)
        n += std::snprintf(buffer + n, sizeof buffer - n, "|<CI>%d", data->GetCollectField());
    if (!data->GetDataGuid().is_nil())
        n += std::snprintf(buffer + n, sizeof buffer - n, "|<SDG>%s", TrueUpGuidText(data->GetDataGuid()).c_str());
    if (data->IsACLOnly()) n += std::snprintf(buffer + n, sizeof buffer - n, "|<ACL>%d", 1);
    n += std::snprintf(buffer + n, sizeof buffer - n, "|<STUB>%u", data->GetIsStub() ? 1u : 0u);
    text.append(buffer, static_cast<size_t>(n));
    return text;
}
