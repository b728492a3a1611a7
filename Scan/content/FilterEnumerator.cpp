#include "scan/content/FilterEnumerator.h"

CKoError CFilterEnumerator::Process() { return CKoError::Success(); }

CKoError CFilterEnumerator::Process(CBuiltInFilterManagerPtr manager) {
    m_manager = std::move(manager);
    CKoError e = Process();
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError CFilterEnumerator::LoadFilters(RawFileNameFilterSet& /*filters*/, RawFileNameFilterSet& /*exceptions*/) {
    return CKoError::Success();
}
