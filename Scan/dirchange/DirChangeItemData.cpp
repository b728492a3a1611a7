#include <cstdlib>

#include "core/StringUtil.h"
#include "scan/dirchange/DirChangeItemData.h"

bool CDirChangeItemData::ParseDataField(const std::string& element) {
    if (element.size() < 4 || element[0] != '<') return false;
    // Numbers take the base their text shows (0x: hexadecimal, leading 0: octal) and read as far
    // as they parse.
    if (FXString::MatchLeftNoCase(element, "<FID>")) {
        SetFileId(std::strtoull(element.c_str() + 5, nullptr, 0));
    } else if (FXString::MatchLeftNoCase(element, "<BFQ>")) {
        const long long frequency = std::strtoll(element.c_str() + 5, nullptr, 0);
        SetBackupFrequency(static_cast<eDirChangeItemBackupFrequency>(frequency & 0xF));
    } else if (FXString::MatchLeftNoCase(element, "<SELSYNC>")) {
        SetIsSelectiveSync(true);
    } else if (FXString::MatchLeftNoCase(element, "<IS>")) {
        SetIsAddedToCollect(element.size() > 4 && element[4] == '1');
    } else {
        return false;
    }
    return true;
}

CKoError CDirChangeItemData::ParseFields(const std::vector<std::string>& fields) {
    for (const std::string& element : fields) {
        if (!ParseBaseField(element)) ParseDataField(element);
    }
    return CKoError::Success();
}
