// The kind of scan a job runs; it chooses, among other things, the collect-line form.
#pragma once

#include <string>

class EScanJobType {
public:
    enum EValue : int {
        INVALID_TYPE = 0,
        FILE_SYSTEM = 3,
        UNIX_FILE_SYSTEM = 5,
        FILE_SYSTEM_DATA_MIGRATOR = 6,
        SNAP_BACKUP = 11,
        SNAP_CATALOG = 12,
        TURBO = 13,
        TURBO_NAS = 14,
        FILE_LEVEL_REPLICATION_REPSET = 18,
        BRIM_SYNC = 21,
        SNAP_BACKUP_WITHOUT_SNAP_CATALOG = 22,
        SOLR_INDEX = 29,
        SNAP_DEFERRED_CATALOG = 30,
        FILE_ANALYTICS = 32,
        SOLR_CLOUD_BACKUP = 33,
        BLOCK_LEVEL_SNAP_CATALOG = 36,
        BLOCK_LEVEL_SNAP_BACKUP = 37,
        FILE_SYSTEM_UNIFOLD = 42,
        SNAP_CATALOG_SNAPDIFF = 44,
        UNIFOLD = 45,
        UNIFOLD_SYNTHFULL_CLIENT_SCAN = 46,
        FILE_SYSTEM_UNIFOLD_SYNTHFULL_CLIENT_SCAN = 47,
        SNAP_BACKUP_WITH_SCAN = 48,
    };

    struct SDisplayEntry {
        int value;
        const char* name;
    };

    constexpr EScanJobType(int value = INVALID_TYPE) : m_value(value) {}

    constexpr int GetValue() const { return m_value; }
    constexpr bool IsSelected(int value) const { return m_value == value; }
    constexpr bool operator==(const EScanJobType& o) const { return m_value == o.m_value; }
    constexpr bool operator!=(const EScanJobType& o) const { return m_value != o.m_value; }

    // The value's name from the display table; a value the table does not know is shown as its number.
    std::string AsString() const;
    std::wstring AsWstring() const;

    static const SDisplayEntry* GetDisplayTable(size_t& count);

private:
    int m_value;
};
