#include "scan/content/EnumeratedFilters.h"

#include "core/LogWriter.h"

namespace {

const char* KindOf(const std::string& s) {
    if (!s.empty() && s[0] == '<') return "token";
    if (s.size() >= 2 && (s.compare(0, 2, "//") == 0 || s.compare(0, 2, "\\\\") == 0)) return "UNC path";
    return "path";
}

}  // namespace

CKoError CEnumeratedFilters::Process() { return CKoError::Success(); }

CKoError CEnumeratedFilters::Process(CBuiltInFilterManagerPtr manager) {
    const std::string name = GetFilterName();
    if (manager && !name.empty() && manager->IsFilterIgnored(name)) {
        ZYLOG(2, "Filter ignored, FilterName=[%s]", name.c_str());
        return CKoError::Success();
    }
    ZYLOG(2, "Filter allowed, FilterName=[%s]", name.c_str());
    CKoError e = Process();
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError CEnumeratedFilters::GetFilters(std::list<std::string>& filters) const {
    filters.insert(filters.end(), m_filters.begin(), m_filters.end());
    return CKoError::Success();
}

CKoError CEnumeratedFilters::GetFilters(RawFileNameFilterSet& filters) const {
    filters.insert(m_filters.begin(), m_filters.end());
    return CKoError::Success();
}

CKoError CEnumeratedFilters::GetFilterExceptions(std::list<std::string>& exceptions) const {
    exceptions.insert(exceptions.end(), m_exceptions.begin(), m_exceptions.end());
    return CKoError::Success();
}

CKoError CEnumeratedFilters::GetFilterExceptions(RawFileNameFilterSet& exceptions) const {
    exceptions.insert(m_exceptions.begin(), m_exceptions.end());
    return CKoError::Success();
}

CKoError CEnumeratedFilters::AddFilter(const std::string& filter) {
    if (filter.empty()) return CKoError::Success();
    ZYLOG(5, "Filter=[%s] (%s)", filter.c_str(), KindOf(filter));
    m_filters.insert(filter);
    return CKoError::Success();
}

CKoError CEnumeratedFilters::AddFilterException(const std::string& exception) {
    if (exception.empty()) return CKoError::Success();
    ZYLOG(5, "Exception=[%s] (%s)", exception.c_str(), KindOf(exception));
    m_exceptions.insert(exception);
    return CKoError::Success();
}

#define ZY_FORWARD(Method, Target)                                           \
    CKoError CEnumeratedFilters::Method(const std::string& s) {              \
        CKoError e = Target(s);                                              \
        if (e.IsError()) return e.Push(ZY_HERE);                             \
        return CKoError::Success();                                          \
    }
ZY_FORWARD(AddFileFilter, AddFilter)
ZY_FORWARD(AddFolderFilter, AddFilter)
ZY_FORWARD(AddWildcardFilter, AddFilter)
ZY_FORWARD(AddFileFilterException, AddFilterException)
ZY_FORWARD(AddFolderFilterException, AddFilterException)
ZY_FORWARD(AddWildcardFilterException, AddFilterException)
#undef ZY_FORWARD

bool CEnumeratedFilters::IsFilterApplicable(CBuiltInFilterManagerPtr /*manager*/) { return true; }

void CEnumeratedFilters::SetUseGetLongPathName(bool use) {
    if (use != m_useLongPathName) ZYLOG(3, "UseGetLongPathName=[%d]", use ? 1 : 0);
    m_useLongPathName = use;
}
