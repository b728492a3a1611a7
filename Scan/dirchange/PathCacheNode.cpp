#include "scan/dirchange/PathCacheNode.h"

namespace {
using Flags = BDirChangeItemFlags;
}

void PathCacheNode::startSegment(int64_t offset, BDirChangeItemFlags flags) {
    if (flags.IsAnySet(Flags::PREVIOUS_JOB_FLAGS_MASK)) m_previous.startSegment(offset);
    if (flags.IsAnySet(Flags::CURRENT_JOB_FLAGS_MASK)) m_current.startSegment(offset);
}

void PathCacheNode::closeSegment(int64_t offset, BDirChangeItemFlags flags) {
    if (flags.IsAnySet(Flags::PREVIOUS_JOB_FLAGS_MASK)) m_previous.closeSegment(offset);
    if (flags.IsAnySet(Flags::CURRENT_JOB_FLAGS_MASK)) m_current.closeSegment(offset);
}

EPathCacheResult PathCacheNode::search(const std::string& name, BDirChangeItemFlags flags, const SymLinkItemInfo& info) {
    const bool fromDirChange = !flags.IsAnySet(Flags::CURRENT_COLLECT_FLAGS_MASK);
    FileRegistry& registry = flags.IsAnySet(Flags::PREVIOUS_JOB_FLAGS_MASK) ? m_previous : m_current;
    return registry.search(name, fromDirChange, info);
}
