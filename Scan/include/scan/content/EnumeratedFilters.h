// One source of filters and filter exceptions (the operating system's pseudo file systems, the
// product's own folders, ...). A source collects strings; the scan's matcher reads them
// (scan/content/FilterMatcher.h). The file, folder and wildcard forms of the adders all end in
// AddFilter or AddFilterException, so a subclass changes every one of them in one place.
#pragma once

#include <list>
#include <set>
#include <string>

#include "core/KoError.h"
#include "core/StringUtil.h"
#include "scan/content/BuiltInFilterManager.h"

// Filter strings in the file system's order; duplicates collapse.
using RawFileNameFilterSet = std::set<std::string, __less_fscase_cmp>;

class CEnumeratedFilters {
public:
    CEnumeratedFilters() = default;
    CEnumeratedFilters(const std::string& clientName, bool calledFromService)
        : m_clientName(clientName), m_calledFromService(calledFromService) {}
    virtual ~CEnumeratedFilters() = default;

    // Fills the sets; the base adds nothing.
    virtual CKoError Process();
    // Runs Process() unless `manager` ignores this source by name.
    virtual CKoError Process(CBuiltInFilterManagerPtr manager);
    virtual CKoError GetFilters(std::list<std::string>& filters) const;
    virtual CKoError GetFilters(RawFileNameFilterSet& filters) const;
    virtual CKoError GetFilterExceptions(std::list<std::string>& exceptions) const;
    virtual CKoError GetFilterExceptions(RawFileNameFilterSet& exceptions) const;
    // The name the built-in filter manager knows this source by; empty: never ignored.
    virtual std::string GetFilterName() const { return std::string(); }
    virtual CKoError AddFilter(const std::string& filter);
    virtual CKoError AddFileFilter(const std::string& filter);
    virtual CKoError AddFolderFilter(const std::string& filter);
    virtual CKoError AddWildcardFilter(const std::string& filter);
    virtual CKoError AddFilterException(const std::string& exception);
    virtual CKoError AddFileFilterException(const std::string& exception);
    virtual CKoError AddFolderFilterException(const std::string& exception);
    virtual CKoError AddWildcardFilterException(const std::string& exception);
    virtual bool IsFilterApplicable(CBuiltInFilterManagerPtr manager);

    void SetUseGetLongPathName(bool use);
    bool GetUseGetLongPathName() const { return m_useLongPathName; }
    const std::string& GetClientName() const { return m_clientName; }
    bool IsCalledFromService() const { return m_calledFromService; }

private:
    bool m_useLongPathName = true;
    RawFileNameFilterSet m_filters;
    RawFileNameFilterSet m_exceptions;
    std::string m_clientName;
    bool m_calledFromService = false;
};
