// One subclient of a backup set as the configuration loads it: id, name, content, and filters by
// filter type (ZY_*_BACKUP_FILTERS of agent/HubServe.h).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "scan/content/ContentItem.h"

class CSubclientInfo {
public:
    using FilterMap = std::map<int, std::shared_ptr<CContentItemList>>;

    CSubclientInfo() = default;
    CSubclientInfo(uint32_t id, std::string name) : m_id(id), m_name(std::move(name)) {}

    uint32_t GetSubclientId() const { return m_id; }
    const std::string& GetSubclientName() const { return m_name; }
    const CContentItemList& GetContent() const { return m_content; }
    CContentItemList& GetContent() { return m_content; }
    const FilterMap& GetFilters() const { return m_filters; }
    // The filters of one type; null when none were loaded.
    std::shared_ptr<CContentItemList> GetFilters(int type) const {
        auto it = m_filters.find(type);
        return it == m_filters.end() ? nullptr : it->second;
    }
    void SetFilters(int type, std::shared_ptr<CContentItemList> items) { m_filters[type] = std::move(items); }

private:
    uint32_t m_id = 0;
    std::string m_name;
    CContentItemList m_content;
    FilterMap m_filters;
};
