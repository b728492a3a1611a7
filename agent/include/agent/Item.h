// The scanner's item (one file-system object as the walk found it) and the base of the consumers
// that the scanner feeds items to.
//
// A walk produces millions of items, so an item is built to be reused: the path is one string
// whose capacity survives every Set*, the stat fields are plain values, and the property bag is
// only allocated once a property is set and is kept (emptied) by Reset(). A walker holds one
// std::shared_ptr<CItem> per folder level or thread, refills it with CItem::Recycle() and hands
// copies of that pointer to the consumers, so passing an item costs no allocation.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include "core/KoError.h"

enum class EItemType : uint8_t { File, Folder, SymLink, Other };

// The fields of stat(2) that the library uses; times keep their nanoseconds.
struct SItemStat {
    uint64_t dev = 0;
    uint64_t ino = 0;
    uint32_t mode = 0;
    uint32_t uid = 0;
    uint32_t gid = 0;
    uint64_t nlink = 0;
    int64_t size = 0;
    int64_t blocks = 0;  // 512-byte units
    timespec atime{};
    timespec mtime{};
    timespec ctime{};
};

// A named value of an item's property bag ("DELETED" true, "PREV_PATH" "/a/old", ...).
using CItemPropertyValue = std::variant<bool, long long, unsigned long long, std::string>;

class CItem {
public:
    CItem();
    ~CItem();
    CItem(const CItem& other);
    CItem& operator=(const CItem& other);
    CItem(CItem&&) noexcept;
    CItem& operator=(CItem&&) noexcept;

    // Makes `slot` an item ready to be filled: the same object emptied by Reset() when nobody else
    // holds it any more, otherwise a new one (a consumer that kept the previous item keeps it intact).
    static CItem& Recycle(std::shared_ptr<CItem>& slot);
    // Empties the item but keeps the capacity of its path and of its property bag.
    void Reset();

    // The full path, without trailing delimiter except for the root "/".
    const std::string& GetPath() const { return m_path; }
    // The last component ("" for "/").
    std::string_view GetName() const { return std::string_view(m_path).substr(m_nameOffset); }
    // "/a" for "/a/b", "/" for "/a", "" for "/" and for a name without delimiter.
    std::string_view GetParentPath() const;

    // Trailing delimiters are dropped (except for "/" itself).
    void SetPath(std::string_view path);
    // Replaces the last component and keeps the parent: a walker sets a folder's path once and
    // then only the names of its entries. `name` is one component.
    void SetName(std::string_view name);
    // `parent` + "/" + `name`; an empty parent gives the bare name. Neither may view into this item.
    void SetParentAndName(std::string_view parent, std::string_view name);

    EItemType GetType() const { return m_type; }
    void SetType(EItemType type) { m_type = type; }
    bool IsFolder() const { return m_type == EItemType::Folder; }
    bool IsFile() const { return m_type == EItemType::File; }
    bool IsSymLink() const { return m_type == EItemType::SymLink; }

    const SItemStat& Stat() const { return m_stat; }
    SItemStat& Stat() { return m_stat; }
    // Copies the fields from stat(2) (or lstat) and sets the type from the mode.
    void SetStat(const struct stat& st);
    static EItemType TypeFromMode(uint32_t mode);

    // Sets or replaces a property; the bag is allocated by the first one.
    void SetProperty(std::string_view name, CItemPropertyValue value);
    // Null when the item has no such property.
    const CItemPropertyValue* FindProperty(std::string_view name) const;
    // Null when absent or of another type.
    template <class T>
    const T* GetProperty(std::string_view name) const {
        const CItemPropertyValue* v = FindProperty(name);
        return v ? std::get_if<T>(v) : nullptr;
    }
    bool GetBoolProperty(std::string_view name, bool defaultValue = false) const {
        const bool* v = GetProperty<bool>(name);
        return v ? *v : defaultValue;
    }
    bool RemoveProperty(std::string_view name);
    bool HasProperties() const;

private:
    struct PropertyBag;

    std::string m_path;
    size_t m_nameOffset = 0;
    EItemType m_type = EItemType::File;
    SItemStat m_stat;
    std::unique_ptr<PropertyBag> m_properties;
};

// The base of everything the scanner hands items to. The id is the consumer's own (a collect
// number, a stream number); the base only keeps it.
class CItemConsumer {
public:
    explicit CItemConsumer(long long id) : m_id(id) {}
    virtual ~CItemConsumer();
    CItemConsumer(const CItemConsumer&) = delete;
    CItemConsumer& operator=(const CItemConsumer&) = delete;

    long long GetId() const { return m_id; }

    // Takes one item. The default counts it. A consumer may keep the pointer: the scanner then
    // leaves that object alone and fills a new one (CItem::Recycle).
    virtual CKoError Process(std::shared_ptr<CItem> item);
    virtual long long getProcessedItemsCount() const { return m_processedItems.load(std::memory_order_relaxed); }

protected:
    void IncrementProcessedItemsCount(long long count = 1) {
        m_processedItems.fetch_add(count, std::memory_order_relaxed);
    }

private:
    long long m_id;
    std::atomic<long long> m_processedItems{0};
};
