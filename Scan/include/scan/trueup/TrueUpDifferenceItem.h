// One difference a TrueUp comparison found between what the backups hold and what the file
// system holds.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class CTrueUpDifferenceItem {
public:
    // What differed in a modified item (GetChanges), whatever the decision-point option says.
    enum EChange : uint32_t {
        CHANGE_MODIFIED_TIME = 0x1,
        CHANGE_SIZE = 0x2,
        CHANGE_CHANGE_TIME = 0x4,
        CHANGE_STUB = 0x8,
    };

    CTrueUpDifferenceItem() = default;
    CTrueUpDifferenceItem(std::string path, std::string reason, bool deleted, uint64_t size, bool folder,
                          int collectField, bool aclOnly)
        : m_path(std::move(path)),
          m_reason(std::move(reason)),
          m_deleted(deleted),
          m_size(size),
          m_folder(folder),
          m_collectField(collectField),
          m_aclOnly(aclOnly) {}

    const std::string& GetPath() const { return m_path; }
    // Empty unless the comparison adds decision-point information.
    const std::string& GetReason() const { return m_reason; }
    // Held by the backups only.
    bool IsDeleted() const { return m_deleted; }
    // The item's current size (0 for deleted items).
    uint64_t GetSize() const { return m_size; }
    bool IsFolder() const { return m_folder; }
    // The current item's collect field (0 for deleted items).
    int GetCollectField() const { return m_collectField; }
    // Only the item's security information changed.
    bool IsACLOnly() const { return m_aclOnly; }
    // EChange bits; 0 for new and deleted items.
    uint32_t GetChanges() const { return m_changes; }
    void SetChanges(uint32_t changes) { m_changes = changes; }

private:
    std::string m_path;
    std::string m_reason;
    bool m_deleted = false;
    uint64_t m_size = 0;
    bool m_folder = false;
    int m_collectField = 0;
    bool m_aclOnly = false;
    uint32_t m_changes = 0;
};

using CTrueUpDifferenceItemPtr = std::shared_ptr<CTrueUpDifferenceItem>;
