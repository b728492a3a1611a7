// Runs a series of filter sources and merges their filters and exceptions (the system filter
// enumerator of Scan/Unix derives from it).
#pragma once

#include <cstdint>
#include <string>

#include "scan/content/EnumeratedFilters.h"

class CFilterEnumerator {
public:
    CFilterEnumerator(const std::string& instanceName, const std::string& secondName, uint32_t backupLevel,
                      const std::string& thirdName)
        : m_instanceName(instanceName), m_secondName(secondName), m_backupLevel(backupLevel), m_thirdName(thirdName) {}
    virtual ~CFilterEnumerator() = default;

    // The base does nothing.
    virtual CKoError Process();
    // Keeps the manager for the sources, then runs Process().
    virtual CKoError Process(CBuiltInFilterManagerPtr manager);
    // Adds to the two sets; the base adds nothing.
    virtual CKoError LoadFilters(RawFileNameFilterSet& filters, RawFileNameFilterSet& exceptions);
    virtual const RawFileNameFilterSet& GetFilters() const { return m_filters; }
    virtual const RawFileNameFilterSet& GetFilterExceptions() const { return m_exceptions; }

protected:
    std::string m_instanceName;
    std::string m_secondName;
    uint32_t m_backupLevel;
    std::string m_thirdName;
    CBuiltInFilterManagerPtr m_manager;
    RawFileNameFilterSet m_filters;
    RawFileNameFilterSet m_exceptions;
};
