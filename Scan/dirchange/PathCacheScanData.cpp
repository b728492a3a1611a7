#include "scan/dirchange/PathCacheScanData.h"

CPathCacheScanData::CPathCacheScanData(const CPathCacheScanData& other)
    : m_flags(other.m_flags), m_count(other.m_count), m_inline{other.m_inline[0], other.m_inline[1]} {
    if (other.m_extra) m_extra = std::make_unique<Extra>(*other.m_extra);
}

CPathCacheScanData& CPathCacheScanData::operator=(const CPathCacheScanData& other) {
    if (this != &other) {
        CPathCacheScanData copy(other);
        *this = std::move(copy);
    }
    return *this;
}

CPathCacheScanData::Extra& CPathCacheScanData::MakeExtra() {
    if (!m_extra) m_extra = std::make_unique<Extra>();
    return *m_extra;
}

void CPathCacheScanData::AddOffsetAddress(uint64_t address) {
    if (Count() < kInline)
        m_inline[Count()] = address;
    else
        MakeExtra().more.push_back(address);
    ++m_count;
}

std::vector<uint64_t> CPathCacheScanData::GetOffsetAddressList() const {
    std::vector<uint64_t> list;
    list.reserve(Count());
    for (size_t i = 0; i < Count(); ++i) list.push_back(GetOffsetAddress(i));
    return list;
}

bool CPathCacheScanData::HasOffsets(bool previous) const {
    for (size_t i = 0; i < Count(); ++i)
        if (IsPreviousOffsetAddress(GetOffsetAddress(i)) == previous) return true;
    return false;
}

void CPathCacheScanData::RemoveOffsets(bool previous) {
    size_t kept = 0;
    for (size_t i = 0; i < Count(); ++i) {
        const uint64_t address = GetOffsetAddress(i);
        if (IsPreviousOffsetAddress(address) == previous) continue;
        // Moving down never overwrites an entry not yet read.
        if (kept < kInline)
            m_inline[kept] = address;
        else
            m_extra->more[kept - kInline] = address;
        ++kept;
    }
    m_count = static_cast<uint32_t>(kept) | (m_count & kMarkBit);
    if (m_extra) m_extra->more.resize(kept > kInline ? kept - kInline : 0);
}

bool CPathCacheScanData::RemoveLastOffsetAddress(uint64_t address) {
    if (Count() == 0 || GetOffsetAddress(Count() - 1) != address) return false;
    --m_count;
    if (Count() >= kInline) m_extra->more.pop_back();
    return true;
}

const FVBasePtr& CPathCacheScanData::GetPreviousInfo() const {
    static const FVBasePtr none;
    return m_extra ? m_extra->previousInfo : none;
}

const FVBasePtr& CPathCacheScanData::GetCurrentInfo() const {
    static const FVBasePtr none;
    return m_extra ? m_extra->currentInfo : none;
}

void CPathCacheScanData::SetPreviousInfo(FVBasePtr info) {
    if (!info && !m_extra) return;
    MakeExtra().previousInfo = std::move(info);
}

void CPathCacheScanData::SetCurrentInfo(FVBasePtr info) {
    if (!info && !m_extra) return;
    MakeExtra().currentInfo = std::move(info);
}
