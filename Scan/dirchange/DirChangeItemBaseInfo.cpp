#include "core/StringUtil.h"
#include "scan/dirchange/DirChangeItemBaseInfo.h"

bool CDirChangeItemBaseInfo::ParseBaseField(const std::string& element) {
    if (!FXString::MatchLeftNoCase(element, "<D>")) return false;
    SetIsDeleted(element.size() > 3 && element[3] == '1');
    return true;
}

CKoError CDirChangeItemBaseInfo::ParseFields(const std::vector<std::string>& fields) {
    for (const std::string& element : fields) ParseBaseField(element);
    return CKoError::Success();
}
