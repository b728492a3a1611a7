// A least-recently-used cache with a loader for misses and hooks for insertion and eviction.
#pragma once

#include <cstddef>
#include <functional>
#include <list>
#include <unordered_map>
#include <utility>

#include "core/KoError.h"

template <class K, class V, class Hash = std::hash<K>, class Equal = std::equal_to<K>>
class FSLRUCache {
public:
    using Loader = std::function<CKoError(const K&, V&)>;
    using Hook = std::function<void(const V&)>;
    // Given the number of entries, answers whether the cache holds too much beside its capacity.
    using CapacityTest = std::function<bool(size_t)>;

    // The hooks and the extra test may be empty.
    FSLRUCache(Loader loader, Hook onInsert, Hook onEvict, CapacityTest extraTest, size_t capacity)
        : m_loader(std::move(loader)),
          m_onInsert(std::move(onInsert)),
          m_onEvict(std::move(onEvict)),
          m_extraTest(std::move(extraTest)),
          m_capacity(capacity) {}

    // A hit becomes the most recently used entry; a miss is loaded and cached. A loader failure
    // is returned and nothing is cached.
    CKoError Get(const K& key, V& value) {
        auto found = m_map.find(key);
        if (found != m_map.end()) {
            m_recency.splice(m_recency.end(), m_recency, found->second.second);
            value = found->second.first;
            return CKoError::Success();
        }
        CKoError error = m_loader(key, value);
        if (error.IsError()) return error.Push(ZY_HERE);
        insert(key, value);
        return CKoError::Success();
    }

    // Evicts while over capacity, then adds the entry as the most recently used. A cache of
    // capacity n therefore holds up to n + 1 entries right after an insertion.
    void insert(const K& key, const V& value) {
        auto found = m_map.find(key);
        if (found != m_map.end()) {
            found->second.first = value;
            m_recency.splice(m_recency.end(), m_recency, found->second.second);
            return;
        }
        while (!m_map.empty() && HasCacheExceededCapacity()) evict();
        if (m_onInsert) m_onInsert(value);
        auto position = m_recency.insert(m_recency.end(), key);
        try {
            m_map.emplace(key, std::make_pair(value, position));
        } catch (...) {
            m_recency.erase(position);
            throw;
        }
    }

    bool HasCacheExceededCapacity() const {
        return m_map.size() > m_capacity || (m_extraTest && m_extraTest(m_map.size()));
    }

    // Drops the least recently used entry.
    void evict() {
        if (m_recency.empty()) return;
        auto found = m_map.find(m_recency.front());
        if (found != m_map.end()) {
            if (m_onEvict) m_onEvict(found->second.first);
            m_map.erase(found);
        }
        m_recency.pop_front();
    }

    void SetCapacity(size_t capacity) {
        m_capacity = capacity;
        while (!m_map.empty() && HasCacheExceededCapacity()) evict();
    }
    size_t GetCapacity() const { return m_capacity; }

    // Drops one entry, calling the evict hook; answers whether it was there.
    bool Erase(const K& key) {
        auto found = m_map.find(key);
        if (found == m_map.end()) return false;
        if (m_onEvict) m_onEvict(found->second.first);
        m_recency.erase(found->second.second);
        m_map.erase(found);
        return true;
    }

    // Empties the cache without calling the evict hook.
    void Clear() {
        m_map.clear();
        m_recency.clear();
    }

    size_t size() const { return m_map.size(); }
    bool empty() const { return m_map.empty(); }
    bool Contains(const K& key) const { return m_map.find(key) != m_map.end(); }

private:
    using Recency = std::list<K>;
    Loader m_loader;
    Hook m_onInsert;
    Hook m_onEvict;
    CapacityTest m_extraTest;
    size_t m_capacity;
    Recency m_recency;  // front: least recently used
    std::unordered_map<K, std::pair<V, typename Recency::iterator>, Hash, Equal> m_map;
};
