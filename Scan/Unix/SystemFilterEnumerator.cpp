#include "scan/Unix/SystemFilterEnumerator.h"

#include <functional>

#include "core/LogWriter.h"
#include "scan/Unix/SystemFilterSources.h"

CSystemFilterEnumerator::CSystemFilterEnumerator(const std::string& instanceName, const std::string& clientName,
                                                 uint32_t backupLevel, const std::string& jobResultsFolder,
                                                 unsigned long value, bool filterSnapshotMounts, bool laptopBackup,
                                                 bool flag1, bool flag2)
    : CFilterEnumerator(instanceName, clientName, backupLevel, jobResultsFolder), m_value(value) {
    m_flags[kFilterSnapshotMounts] = filterSnapshotMounts;
    m_flags[kLaptopBackup] = laptopBackup;
    m_flags[kFlag1] = flag1;
    m_flags[kFlag2] = flag2;
}

CSystemFilterEnumerator::CSystemFilterEnumerator(const std::string& instanceName, const std::string& clientName,
                                                 uint32_t backupLevel, const std::string& jobResultsFolder,
                                                 unsigned long value, bool laptopBackup, bool flag1, bool flag2)
    : CSystemFilterEnumerator(instanceName, clientName, backupLevel, jobResultsFolder, value, false, laptopBackup,
                              flag1, flag2) {}

CSystemFilterEnumerator::CSystemFilterEnumerator(const std::string& instanceName, uint32_t backupLevel,
                                                 const std::string& jobResultsFolder, unsigned long value,
                                                 bool laptopBackup, bool flag1, bool flag2, bool flag3)
    : CSystemFilterEnumerator(instanceName, std::string(), backupLevel, jobResultsFolder, value, false, laptopBackup,
                              flag1, flag2) {
    m_flags[kFlag3] = flag3;
}

CSystemFilterEnumerator::CSystemFilterEnumerator(const std::string& clientName, bool flag1, bool flag2, bool flag3)
    : CSystemFilterEnumerator(std::string(), clientName, 1, std::string(), 0, false, false, flag1, flag2) {
    m_flags[kFlag3] = flag3;
}

CKoError CSystemFilterEnumerator::Process() {
    m_filters.clear();
    m_exceptions.clear();
    CKoError e = LoadFilters(m_filters, m_exceptions);
    if (e.IsError()) return e.Push(ZY_HERE, "LoadFilters failed");
    e = LoadOptionalFilters(m_filters, m_exceptions);
    if (e.IsError()) return e.Push(ZY_HERE, "LoadOptionalFilters failed");
    ZYLOG(1, "%llu filters, %llu filter exceptions", static_cast<unsigned long long>(m_filters.size()),
          static_cast<unsigned long long>(m_exceptions.size()));
    return CKoError::Success();
}

CKoError CSystemFilterEnumerator::LoadFilters(RawFileNameFilterSet& filters, RawFileNameFilterSet& exceptions) {
    struct SSource {
        const char* name;
        std::function<std::unique_ptr<CEnumeratedFilters>()> make;
    };
    const SSource sources[] = {
        {"FilesNotToBackup",
         [&] { return std::make_unique<CFilterFilesNotToBackup>(m_flags[kFilterSnapshotMounts]); }},
        {"FoldersAtMountHome", [&] { return std::make_unique<CFilterFoldersAtMountHomeNotToBackup>(m_mountTable); }},
        {"OrreryFolders",
         [&] {
             return std::make_unique<CFilterOrreryFolders>(m_instanceName, m_secondName, m_backupLevel, m_thirdName,
                                                           m_flags[kLaptopBackup], m_flags[kFlag1]);
         }},
        {"OrreryMagneticMountPaths", [&] { return std::make_unique<CFilterOrreryMagneticMountPaths>(m_instanceName); }},
        {"PerformanceCounters", [] { return std::make_unique<CFilterPerformanceCounters>(); }},
        {"SingleInstanceDatabaseFiles",
         [&] { return std::make_unique<CFilterSingleInstanceDatabaseFiles>(m_secondName, false); }},
        {"SystemProtectedFiles", [] { return std::make_unique<CFilterSystemProtectedFiles>(); }},
        {"ApplicationSpecificFiles", [&] { return std::make_unique<CFilterApplicationSpecificFiles>(m_secondName); }},
        {"DDBSnapshots", [] { return std::make_unique<CFilterDDBSnapshots>(); }},
    };
    m_results.clear();
    for (size_t i = 0; i < sizeof sources / sizeof *sources; ++i) {
        const SSource& source = sources[i];
        std::unique_ptr<CEnumeratedFilters> filter = source.make();
        SSourceResult result;
        result.name = source.name;
        CKoError e = filter->Process(m_manager);
        if (e.IsSuccess()) {
            filter->GetFilters(result.filters).IgnoreError();
            filter->GetFilterExceptions(result.exceptions).IgnoreError();
            filters.insert(result.filters.begin(), result.filters.end());
            exceptions.insert(result.exceptions.begin(), result.exceptions.end());
            result.succeeded = true;
            if (i == 7) ZYLOG(2, "Loading Application specific filters");
            if (i == 8) ZYLOG(2, "Loading DDB Snapshot filter");
        } else if (i == 7) {
            ZYLOG(2, "Process(ApplicationSpeficicFiles)[%s]", e.AsString().c_str());
        } else if (i == 8) {
            ZYLOG_ERROR("Process(DDBSanpshots)[%s]", e.AsString().c_str());
        } else {
            ZYLOG_ERROR("Process(%s) failed, error=%s", source.name, e.AsString().c_str());
        }
        m_results.push_back(std::move(result));
    }
    return CKoError::Success();
}

CKoError CSystemFilterEnumerator::LoadOptionalFilters(RawFileNameFilterSet& /*filters*/,
                                                      RawFileNameFilterSet& /*exceptions*/) {
    return CKoError::Success();
}

CKoError CSystemFilterEnumerator::GetSystemFilters(std::vector<std::shared_ptr<CEnumeratedFilters>>& filters) {
    filters.clear();
    return CKoError::Success();
}

void CSystemFilterEnumerator::AppendTo(CEffectiveFilters& effective) const {
    for (EFilterRuleKind kind : {EFilterRuleKind::Filter, EFilterRuleKind::Exception}) {
        const RawFileNameFilterSet& merged = kind == EFilterRuleKind::Filter ? m_filters : m_exceptions;
        for (const std::string& pattern : merged) {
            std::string source = "?";
            for (const SSourceResult& r : m_results) {
                const RawFileNameFilterSet& set = kind == EFilterRuleKind::Filter ? r.filters : r.exceptions;
                if (set.count(pattern)) {
                    source = r.name;
                    break;
                }
            }
            effective.AddOrSkip(pattern, kind, EFilterSyntax::Subclient, CEffectiveFilters::SystemSource(source));
        }
    }
}
