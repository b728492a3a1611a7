#include "scan/content/BuiltInFilterManager.h"

#include "core/LogWriter.h"
#include "core/StringUtil.h"

bool __less_nocase_cmp::operator()(const std::string& a, const std::string& b) const {
    return FXString::CompareNoCase(a, b) < 0;
}

CKoError CBuiltInFilterManager::ProcessFilterOption(const std::string& option) {
    if (option.empty()) return CKoError::Success();
    std::string name = option.substr(1);
    FXString::TrimWhiteSpace(name);
    if (option[0] == '-') {
        ZYLOG(2, "IgnoreFilterName=%s", name.c_str());
        m_ignored.insert(std::move(name));
    } else if (option[0] == '+') {
        ZYLOG(2, "OptionalFilterName=%s", name.c_str());
        m_optional.insert(std::move(name));
    } else {
        ZYLOG(1, "Unknown option, FilterOption=%s", option.c_str());
    }
    return CKoError::Success();
}
