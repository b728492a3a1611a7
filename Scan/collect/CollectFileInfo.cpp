#include "core/StringUtil.h"
#include "scan/collect/CollectInfoManager.h"

bool CollectFileInfo::Initialize(int32_t id, const std::string& name, _FSB_CTRL_COLLECT_FILE_TYPE type,
                                 int64_t startOffset, _COLLECT_FILE_PROCESSING_CONTEXT context, CSTATE state) {
    if (id < 0 || name.empty() || context == COLLECT_FILE_PROCESSING_CONTEXT_INVALID) return false;
    m_id = id;
    m_name = name;
    m_type = type;
    m_startOffset = startOffset;
    m_context = context;
    m_state = state;
    m_valid = true;
    return true;
}

void CollectFileInfo::Reset() {
    *this = CollectFileInfo();
    m_startOffset = -1;
}

std::string CollectFileInfo::PrintCollectMetadata() const {
    return FXString::Format("[Id] %d [Name] %s [Start Offset] %lld [Type] %u [ProcessingContent] %u [State] %u", m_id,
                            m_name.c_str(), static_cast<long long>(m_startOffset), static_cast<unsigned>(m_type),
                            static_cast<unsigned>(m_context), static_cast<unsigned>(m_state));
}
