#include "scan/job/ScanJobFilters.h"

#include "core/LogWriter.h"

std::vector<SScanFilterRecord> CScanJobFilters::Record(const CEffectiveFilters& filters) {
    std::vector<SScanFilterRecord> out;
    out.reserve(filters.Entries().size());
    for (const SFilterEntry& entry : filters.Entries())
        out.push_back({entry.pattern, entry.kind == EFilterRuleKind::Exception, entry.syntax == EFilterSyntax::Quick});
    return out;
}

CKoError CScanJobFilters::Prepare(const CEffectiveFilters& current) {
    *this = CScanJobFilters();
    m_record = Record(current);
    if (current.Entries().empty()) return CKoError::Success();
    CKoError e = current.Compile(m_currentMatcher);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot compile the job's filters");
    m_current = std::make_unique<CFilterWalk>(m_currentMatcher);
    return CKoError::Success();
}

CKoError CScanJobFilters::SetPrevious(const std::vector<SScanFilterRecord>& previous) {
    m_previous.reset();
    m_previousMatcher.reset();
    m_changed = m_record != previous;
    if (!m_changed) return CKoError::Success();

    // A filter is left out of nothing by an exception alone: without a previous filter nothing
    // was left out, and nothing is newly included.
    bool anyFilter = false;
    for (const SScanFilterRecord& r : previous) anyFilter = anyFilter || !r.exception;
    ZYLOG(1, "The filters changed since the previous job, Before=[%zu], Now=[%zu]", previous.size(), m_record.size());
    if (!anyFilter) return CKoError::Success();
    CEffectiveFilters before;
    for (const SScanFilterRecord& r : previous) {
        CKoError e = before.Add(r.pattern, r.exception ? EFilterRuleKind::Exception : EFilterRuleKind::Filter,
                                r.quick ? EFilterSyntax::Quick : EFilterSyntax::Subclient, "previous job");
        if (e.IsError())
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_DATA,
                                           "The previous job's filter [%s] cannot be read back: %s", r.pattern.c_str(),
                                           e.GetMessage().c_str());
    }
    CKoError e = before.Compile(m_previousMatcher);
    if (e.IsError()) return e.Push(ZY_HERE, "Cannot compile the previous job's filters");
    m_previous = std::make_unique<CFilterWalk>(m_previousMatcher);
    return CKoError::Success();
}

CScanJobFilters CScanJobFilters::ForAnotherThread() const {
    CScanJobFilters other;
    other.m_currentMatcher = m_currentMatcher;
    other.m_previousMatcher = m_previousMatcher;
    if (m_currentMatcher) other.m_current = std::make_unique<CFilterWalk>(m_currentMatcher);
    if (m_previousMatcher) other.m_previous = std::make_unique<CFilterWalk>(m_previousMatcher);
    other.m_record = m_record;
    other.m_changed = m_changed;
    return other;
}
