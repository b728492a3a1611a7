#include "scan/dirchange/DirChangeItemFlags.h"

#include "core/LogWriter.h"

namespace {

// In display order.
const SDisplayBit kDirChangeItemFlagNames[] = {
    {BDirChangeItemFlags::PREVIOUSDIRCHANGE, "PREVIOUSDIRCHANGE"},
    {BDirChangeItemFlags::PD_FILE, "PD_FILE"},
    {BDirChangeItemFlags::CURRENTDIRCHANGE, "CURRENTDIRCHANGE"},
    {BDirChangeItemFlags::CD_FILE, "CD_FILE"},
    {BDirChangeItemFlags::CD_INTERMEDIATE, "CD_INTERMEDIATE"},
    {BDirChangeItemFlags::CD_ANCESTOR, "CD_ANCESTOR"},
    {BDirChangeItemFlags::CURRENTCOLLECT, "CURRENTCOLLECT"},
    {BDirChangeItemFlags::CC_INTERMEDIATE, "CC_INTERMEDIATE"},
    {BDirChangeItemFlags::CC_FILE, "CC_FILE"},
    {BDirChangeItemFlags::COLLECT_WRITTEN, "COLLECT_WRITTEN"},
    {BDirChangeItemFlags::DIRCHANGE_WRITTEN, "DIRCHANGE_WRITTEN"},
};

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

}  // namespace

std::string BDirChangeItemFlags::AsString() const { return CDisplayBitsBase::AsString(kDirChangeItemFlagNames, m_value); }

std::wstring BDirChangeItemFlags::AsWstring() const { return Widen(AsString()); }

BDirChangeItemFlags BDirChangeItemFlags::Merge(BDirChangeItemFlags existing, BDirChangeItemFlags incoming) {
    if (!incoming.IsAnySet(CURRENT_JOB_FLAGS_MASK)) return existing | incoming;
    return MergeCurrentJob(existing, incoming);
}

BDirChangeItemFlags BDirChangeItemFlags::MergeCurrentJob(BDirChangeItemFlags existing, BDirChangeItemFlags incoming) {
    const bool wasInCurrentJob = existing.IsAnySet(CURRENT_JOB_FLAGS_MASK);
    const bool wasAncestor = existing.IsSet(CD_ANCESTOR);
    BDirChangeItemFlags merged = existing;
    merged.Clear(CD_ANCESTOR);
    merged |= incoming;
    if (wasInCurrentJob && !wasAncestor) merged.Clear(CD_ANCESTOR);
    return merged;
}

std::string EDirChangeMethod::AsString() const {
    switch (m_value) {
        case DIRCHANGE_METHOD_NOT_CONFIGURED: return "DIRCHANGE_METHOD_NOT_CONFIGURED";
        case DIRCHANGE_METHOD_FILE: return "DIRCHANGE_METHOD_FILE";
        case DIRCHANGE_METHOD_CONTAINER: return "DIRCHANGE_METHOD_CONTAINER";
    }
    return "DIRCHANGE_METHOD_UNKNOWN(" + std::to_string(static_cast<int>(m_value)) + ")";
}

std::wstring EDirChangeMethod::AsWstring() const { return Widen(AsString()); }
