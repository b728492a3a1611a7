// One registered collect file of a job and the registry's numbering of types and contexts.
#pragma once

#include <cstdint>
#include <string>

// The registry's numbering of collect file types.
enum _FSB_CTRL_COLLECT_FILE_TYPE : uint32_t {
    FSB_CTRL_COLLECT_FILE_TYPE_REGULAR = 1,
    FSB_CTRL_COLLECT_FILE_TYPE_FILE_EXTENT = 2048,  // description type 1
    FSB_CTRL_COLLECT_FILE_TYPE_SECONDARY = 4096,    // description type 2
};

enum _COLLECT_FILE_PROCESSING_CONTEXT : uint32_t {
    COLLECT_FILE_PROCESSING_CONTEXT_INVALID = 0,
    COLLECT_FILE_PROCESSING_CONTEXT_PRE_THREAD_POOL = 1,
    COLLECT_FILE_PROCESSING_CONTEXT_IN_THREAD_POOL = 2,
    COLLECT_FILE_PROCESSING_CONTEXT_POST_THREAD_POOL = 3,
};

// One registered collect file.
class CollectFileInfo {
public:
    enum CSTATE : uint32_t {
        CSTATE_TO_BE_PROCESSED = 1,
        CSTATE_IN_PROGRESS = 2,
        CSTATE_DONE = 3,
    };

    CollectFileInfo() = default;

    // Refuses (false, nothing changed) a negative id, an empty name or the invalid context;
    // otherwise stores everything and makes the info valid.
    bool Initialize(int32_t id, const std::string& name, _FSB_CTRL_COLLECT_FILE_TYPE type, int64_t startOffset,
                    _COLLECT_FILE_PROCESSING_CONTEXT context, CSTATE state);
    // Back to a fresh, invalid info, with start offset -1.
    void Reset();

    int32_t GetCollectId() const { return m_id; }
    void SetCollectId(int32_t id) { m_id = id; }
    const std::string& GetCollectName() const { return m_name; }
    int64_t GetCollectStartOffset() const { return m_startOffset; }
    void SetCollectStartOffset(int64_t offset) { m_startOffset = offset; }
    _FSB_CTRL_COLLECT_FILE_TYPE GetCollectType() const { return m_type; }
    _COLLECT_FILE_PROCESSING_CONTEXT GetProcessingContext() const { return m_context; }
    void SetProcessingContext(_COLLECT_FILE_PROCESSING_CONTEXT context) { m_context = context; }
    CSTATE GetCollectState() const { return m_state; }
    void SetCollectState(CSTATE state) { m_state = state; }
    const std::string& GetParentGrpName() const { return m_parentGroupName; }
    void SetParentGrpName(std::string name) { m_parentGroupName = std::move(name); }
    uint32_t GetPassNum() const { return m_passNum; }
    void SetPassNum(uint32_t passNum) { m_passNum = passNum; }

    bool IsValidCollect() const { return m_valid; }
    bool IsCollectToBeProcessed() const { return m_state == CSTATE_TO_BE_PROCESSED; }

    // "[Id] 3 [Name] /jr/NumColInc4.zyf [Start Offset] 0 [Type] 1 [ProcessingContent] 2 [State] 1"
    std::string PrintCollectMetadata() const;

private:
    int32_t m_id = -1;
    std::string m_name;
    int64_t m_startOffset = 0;
    _FSB_CTRL_COLLECT_FILE_TYPE m_type = FSB_CTRL_COLLECT_FILE_TYPE_REGULAR;
    _COLLECT_FILE_PROCESSING_CONTEXT m_context = COLLECT_FILE_PROCESSING_CONTEXT_IN_THREAD_POOL;
    bool m_valid = false;
    CSTATE m_state = CSTATE_TO_BE_PROCESSED;
    std::string m_parentGroupName;
    uint32_t m_passNum = 0;
};
