#include "scan/collect/ScanJobType.h"

namespace {
#define ZY_SCAN_JOB_TYPE(name) {EScanJobType::name, #name}
constexpr EScanJobType::SDisplayEntry kDisplayTable[] = {
    ZY_SCAN_JOB_TYPE(INVALID_TYPE),
    ZY_SCAN_JOB_TYPE(FILE_SYSTEM),
    ZY_SCAN_JOB_TYPE(UNIX_FILE_SYSTEM),
    ZY_SCAN_JOB_TYPE(FILE_SYSTEM_DATA_MIGRATOR),
    ZY_SCAN_JOB_TYPE(SNAP_BACKUP),
    ZY_SCAN_JOB_TYPE(SNAP_CATALOG),
    ZY_SCAN_JOB_TYPE(TURBO),
    ZY_SCAN_JOB_TYPE(TURBO_NAS),
    ZY_SCAN_JOB_TYPE(FILE_LEVEL_REPLICATION_REPSET),
    ZY_SCAN_JOB_TYPE(BRIM_SYNC),
    ZY_SCAN_JOB_TYPE(SNAP_BACKUP_WITHOUT_SNAP_CATALOG),
    ZY_SCAN_JOB_TYPE(SOLR_INDEX),
    ZY_SCAN_JOB_TYPE(SNAP_DEFERRED_CATALOG),
    ZY_SCAN_JOB_TYPE(FILE_ANALYTICS),
    ZY_SCAN_JOB_TYPE(SOLR_CLOUD_BACKUP),
    ZY_SCAN_JOB_TYPE(BLOCK_LEVEL_SNAP_CATALOG),
    ZY_SCAN_JOB_TYPE(BLOCK_LEVEL_SNAP_BACKUP),
    ZY_SCAN_JOB_TYPE(FILE_SYSTEM_UNIFOLD),
    ZY_SCAN_JOB_TYPE(SNAP_CATALOG_SNAPDIFF),
    ZY_SCAN_JOB_TYPE(UNIFOLD),
    ZY_SCAN_JOB_TYPE(UNIFOLD_SYNTHFULL_CLIENT_SCAN),
    ZY_SCAN_JOB_TYPE(FILE_SYSTEM_UNIFOLD_SYNTHFULL_CLIENT_SCAN),
    ZY_SCAN_JOB_TYPE(SNAP_BACKUP_WITH_SCAN),
};
#undef ZY_SCAN_JOB_TYPE
}  // namespace

const EScanJobType::SDisplayEntry* EScanJobType::GetDisplayTable(size_t& count) {
    count = sizeof kDisplayTable / sizeof kDisplayTable[0];
    return kDisplayTable;
}

std::string EScanJobType::AsString() const {
    for (const SDisplayEntry& entry : kDisplayTable) {
        if (entry.value == m_value) return entry.name;
    }
    return std::to_string(m_value);
}

std::wstring EScanJobType::AsWstring() const {
    std::string narrow = AsString();
    return std::wstring(narrow.begin(), narrow.end());  // the names are ASCII
}
