#include "agent/Item.h"

#include <atomic>
#include <utility>
#include <vector>

// Items carry a handful of properties at most, so a vector searched front to back beats a map.
struct CItem::PropertyBag {
    std::vector<std::pair<std::string, CItemPropertyValue>> entries;
};

CItem::CItem() = default;
CItem::~CItem() = default;
CItem::CItem(CItem&&) noexcept = default;
CItem& CItem::operator=(CItem&&) noexcept = default;

CItem::CItem(const CItem& other)
    : m_path(other.m_path), m_nameOffset(other.m_nameOffset), m_type(other.m_type), m_stat(other.m_stat) {
    if (other.m_properties) m_properties = std::make_unique<PropertyBag>(*other.m_properties);
}

CItem& CItem::operator=(const CItem& other) {
    if (this == &other) return *this;
    m_path = other.m_path;
    m_nameOffset = other.m_nameOffset;
    m_type = other.m_type;
    m_stat = other.m_stat;
    if (!other.m_properties) {
        if (m_properties) m_properties->entries.clear();
    } else if (m_properties) {
        m_properties->entries = other.m_properties->entries;
    } else {
        m_properties = std::make_unique<PropertyBag>(*other.m_properties);
    }
    return *this;
}

CItem& CItem::Recycle(std::shared_ptr<CItem>& slot) {
    if (slot && slot.use_count() == 1) {
        // The last other owner let go on another thread; see its writes before reusing.
        std::atomic_thread_fence(std::memory_order_acquire);
        slot->Reset();
    } else {
        slot = std::make_shared<CItem>();
    }
    return *slot;
}

void CItem::Reset() {
    m_path.clear();
    m_nameOffset = 0;
    m_type = EItemType::File;
    m_stat = SItemStat();
    if (m_properties) m_properties->entries.clear();
}

std::string_view CItem::GetParentPath() const {
    if (m_nameOffset == 0 || m_path.size() == 1) return std::string_view();
    if (m_nameOffset == 1) return std::string_view(m_path).substr(0, 1);
    return std::string_view(m_path).substr(0, m_nameOffset - 1);
}

void CItem::SetPath(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    m_path.assign(path.data(), path.size());
    size_t slash = m_path.rfind('/');
    m_nameOffset = slash == std::string::npos ? 0 : slash + 1;
}

void CItem::SetName(std::string_view name) {
    m_path.resize(m_nameOffset);
    m_path.append(name.data(), name.size());
}

void CItem::SetParentAndName(std::string_view parent, std::string_view name) {
    m_path.assign(parent.data(), parent.size());
    if (!m_path.empty() && m_path.back() != '/') m_path.push_back('/');
    m_nameOffset = m_path.size();
    m_path.append(name.data(), name.size());
}

EItemType CItem::TypeFromMode(uint32_t mode) {
    if (S_ISREG(mode)) return EItemType::File;
    if (S_ISDIR(mode)) return EItemType::Folder;
    if (S_ISLNK(mode)) return EItemType::SymLink;
    return EItemType::Other;
}

void CItem::SetStat(const struct stat& st) {
    m_stat.dev = st.st_dev;
    m_stat.ino = st.st_ino;
    m_stat.mode = st.st_mode;
    m_stat.uid = st.st_uid;
    m_stat.gid = st.st_gid;
    m_stat.nlink = st.st_nlink;
    m_stat.size = st.st_size;
    m_stat.blocks = st.st_blocks;
    m_stat.atime = st.st_atim;
    m_stat.mtime = st.st_mtim;
    m_stat.ctime = st.st_ctim;
    m_type = TypeFromMode(st.st_mode);
}

void CItem::SetProperty(std::string_view name, CItemPropertyValue value) {
    if (!m_properties) m_properties = std::make_unique<PropertyBag>();
    for (auto& entry : m_properties->entries) {
        if (entry.first == name) {
            entry.second = std::move(value);
            return;
        }
    }
    m_properties->entries.emplace_back(std::string(name), std::move(value));
}

const CItemPropertyValue* CItem::FindProperty(std::string_view name) const {
    if (!m_properties) return nullptr;
    for (const auto& entry : m_properties->entries)
        if (entry.first == name) return &entry.second;
    return nullptr;
}

bool CItem::RemoveProperty(std::string_view name) {
    if (!m_properties) return false;
    auto& entries = m_properties->entries;
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        if (it->first == name) {
            entries.erase(it);
            return true;
        }
    }
    return false;
}

bool CItem::HasProperties() const { return m_properties && !m_properties->entries.empty(); }

CItemConsumer::~CItemConsumer() = default;

CKoError CItemConsumer::Process(std::shared_ptr<CItem> /*item*/) {
    IncrementProcessedItemsCount();
    return CKoError::Success();
}
