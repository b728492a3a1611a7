// Nodes of the path-cache tries.
//
// A trie holds one node per path component of every item of a job, so a node is kept small: its
// payload, a byte of flags, its name's length and size class, a link to its parent and one pointer
// to its child blocks. The name is stored once, inside the node's own allocation (node, control
// block and name are one make_shared allocation); the child map is ordered by it.
//
// The parent link is a plain pointer rather than a weak pointer (8 bytes less per node): a parent
// owns its children, so it lives as long as they are in its map, and when a trie is torn down the
// children it releases get their link cleared. GetParent() finds the parent's own shared pointer
// in the grandparent's map (or, for the root, in the root's weak self-reference).
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "scan/dirchange/detail/PathCacheChildMap.h"

// The flag word of a trie node.
class BPathCacheNodeFlags {
public:
    enum PATHCACHE_NODE_CONTENT : uint32_t {
        CONTENT_PRESENT = 0x1,  // the node carries data of its own, not only a path step
    };

    BPathCacheNodeFlags() = default;
    explicit BPathCacheNodeFlags(uint32_t value) : m_value(value) {}

    void Set(PATHCACHE_NODE_CONTENT bit, bool on) {
        m_value &= ~static_cast<uint32_t>(bit);
        if (on) m_value |= bit;
    }
    bool IsSet(PATHCACHE_NODE_CONTENT bit) const { return (m_value & bit) == bit; }
    bool IsClear(PATHCACHE_NODE_CONTENT bit) const { return (m_value & bit) == 0; }
    uint32_t GetValue() const { return m_value; }

private:
    uint32_t m_value = 0;
};

struct CPathCacheOrderedTag {};
struct CPathCacheUnorderedTag {};

template <class T, class Tag>
class CPathCacheT;

namespace pathcache_detail {
template <class NodeT, size_t N>
struct NamedNode;
template <class NodeT>
struct LongNamedNode;
template <class NodeT>
struct RootNode;
}  // namespace pathcache_detail

template <class T, class Tag>
class CPathCacheNodeT {
public:
    using NodePtr = std::shared_ptr<CPathCacheNodeT>;
    using ChildMap = CPathCacheChildMap<CPathCacheNodeT>;

    CPathCacheNodeT(const CPathCacheNodeT&) = delete;
    CPathCacheNodeT& operator=(const CPathCacheNodeT&) = delete;

    // Empty for the root, and once the trie that held the node is gone.
    NodePtr GetParent() const;
    // The component name under which the parent keeps this node ("" for the root).
    std::string_view GetName() const;

    const T& GetData() const { return m_data; }
    T& GetData() { return m_data; }
    void SetData(const T& value) {
        m_data = value;
        m_flags |= BPathCacheNodeFlags::CONTENT_PRESENT;
    }
    void SetData(T&& value) {
        m_data = std::move(value);
        m_flags |= BPathCacheNodeFlags::CONTENT_PRESENT;
    }
    bool IsContentPresent() const { return (m_flags & BPathCacheNodeFlags::CONTENT_PRESENT) != 0; }
    void SetContentPresent() { m_flags |= BPathCacheNodeFlags::CONTENT_PRESENT; }
    BPathCacheNodeFlags GetNodeFlags() const { return BPathCacheNodeFlags(m_flags); }

    const ChildMap& GetChildren() const { return m_children; }
    bool HasChildren() const { return !m_children.empty(); }
    // The child called `name`, or null; allocates nothing.
    const NodePtr* FindChild(std::string_view name) const { return m_children.FindEntry(name); }

protected:
    // Only the trie makes nodes: a root, or a named child (a NamedNode / LongNamedNode).
    CPathCacheNodeT() = default;
    CPathCacheNodeT(const NodePtr& parent, uint8_t nameClass, uint16_t nameLength)
        : m_nameClass(nameClass), m_nameLength(nameLength), m_parent(parent.get()) {}

private:
    friend class CPathCacheT<T, Tag>;
    friend class CPathCacheChildMap<CPathCacheNodeT>;
    template <class, size_t>
    friend struct pathcache_detail::NamedNode;
    template <class>
    friend struct pathcache_detail::LongNamedNode;
    template <class>
    friend struct pathcache_detail::RootNode;

    static constexpr uint8_t kRootClass = 0xFF;
    static constexpr uint8_t kLongClass = 0xFE;
    static constexpr unsigned kInlineClasses = 16;

    static NodePtr MakeRoot();
    // Throws std::bad_alloc.
    static NodePtr MakeChild(std::string_view name, const NodePtr& parent);
    template <size_t... K>
    static NodePtr MakeInline(unsigned nameClass, std::string_view name, const NodePtr& parent,
                              std::index_sequence<K...>);
    template <size_t... K>
    const char* InlineChars(std::index_sequence<K...>) const;

    T m_data{};
    uint8_t m_flags = 0;
    uint8_t m_nameClass = kRootClass;
    uint16_t m_nameLength = 0;
    CPathCacheNodeT* m_parent = nullptr;
    ChildMap m_children;
};

namespace pathcache_detail {

// Name capacity of inline size class k of a node type: chosen so that the allocation of control
// block, node and name fills a malloc chunk (16-byte steps, 8 bytes of chunk header) exactly.
template <class NodeT>
constexpr size_t InlineCapacity(size_t k) {
    constexpr size_t kControlBlock = 16;
    constexpr size_t kMallocHeader = 8;
    const size_t rest = (kControlBlock + sizeof(NodeT) + kMallocHeader) % 16;
    const size_t first = rest == 0 ? 16 : 16 - rest;
    return first + 16 * k;
}

template <class NodeT, size_t N>
struct NamedNode final : NodeT {
    NamedNode(std::string_view name, const std::shared_ptr<NodeT>& parent, uint8_t nameClass)
        : NodeT(parent, nameClass, static_cast<uint16_t>(name.size())) {
        std::memcpy(chars, name.data(), name.size());
    }
    char chars[N];
};

template <class NodeT>
struct RootNode final : NodeT {
    std::weak_ptr<NodeT> self;
};

template <class NodeT>
struct LongNamedNode final : NodeT {
    LongNamedNode(std::string_view name, const std::shared_ptr<NodeT>& parent, uint8_t nameClass)
        : NodeT(parent, nameClass, 0), name(name) {}
    std::string name;
};

}  // namespace pathcache_detail

template <class T, class Tag>
template <size_t... K>
__attribute__((always_inline)) inline const char* CPathCacheNodeT<T, Tag>::InlineChars(std::index_sequence<K...>) const {
    const char* chars = nullptr;
    (void)((m_nameClass == K
          ? (chars = static_cast<const pathcache_detail::NamedNode<
                         CPathCacheNodeT, pathcache_detail::InlineCapacity<CPathCacheNodeT>(K)>*>(this)
                         ->chars,
             true)
          : false) ||
     ...);
    return chars;
}

template <class T, class Tag>
__attribute__((always_inline)) inline std::string_view CPathCacheNodeT<T, Tag>::GetName() const {
    if (m_nameClass < kInlineClasses)
        return std::string_view(InlineChars(std::make_index_sequence<kInlineClasses>()), m_nameLength);
    if (m_nameClass == kLongClass) return static_cast<const pathcache_detail::LongNamedNode<CPathCacheNodeT>*>(this)->name;
    return std::string_view();
}

template <class T, class Tag>
typename CPathCacheNodeT<T, Tag>::NodePtr CPathCacheNodeT<T, Tag>::MakeRoot() {
    auto root = std::allocate_shared<pathcache_detail::RootNode<CPathCacheNodeT>>(CPathCacheNodeAllocator<CPathCacheNodeT>());
    root->self = root;
    return root;
}

template <class T, class Tag>
typename CPathCacheNodeT<T, Tag>::NodePtr CPathCacheNodeT<T, Tag>::GetParent() const {
    const CPathCacheNodeT* parent = m_parent;
    if (!parent) return NodePtr();
    if (parent->m_nameClass == kRootClass)
        return static_cast<const pathcache_detail::RootNode<CPathCacheNodeT>*>(parent)->self.lock();
    const CPathCacheNodeT* grandparent = parent->m_parent;
    if (!grandparent) return NodePtr();
    const NodePtr* entry = grandparent->m_children.FindEntry(parent->GetName());
    return entry ? *entry : NodePtr();
}

template <class T, class Tag>
template <size_t... K>
typename CPathCacheNodeT<T, Tag>::NodePtr CPathCacheNodeT<T, Tag>::MakeInline(unsigned nameClass,
                                                                               std::string_view name,
                                                                               const NodePtr& parent,
                                                                               std::index_sequence<K...>) {
    NodePtr node;
    (void)((nameClass == K
          ? (node = std::allocate_shared<pathcache_detail::NamedNode<
                 CPathCacheNodeT, pathcache_detail::InlineCapacity<CPathCacheNodeT>(K)>>(
                 CPathCacheNodeAllocator<CPathCacheNodeT>(), name, parent, static_cast<uint8_t>(K)),
             true)
          : false) ||
     ...);
    return node;
}

template <class T, class Tag>
typename CPathCacheNodeT<T, Tag>::NodePtr CPathCacheNodeT<T, Tag>::MakeChild(std::string_view name,
                                                                              const NodePtr& parent) {
    const size_t first = pathcache_detail::InlineCapacity<CPathCacheNodeT>(0);
    const size_t classes = kInlineClasses;
    const size_t nameClass = name.size() <= first ? 0 : (name.size() - first + 15) / 16;
    if (nameClass < classes) return MakeInline(static_cast<unsigned>(nameClass), name, parent, std::make_index_sequence<kInlineClasses>());
    return std::allocate_shared<pathcache_detail::LongNamedNode<CPathCacheNodeT>>(
        CPathCacheNodeAllocator<CPathCacheNodeT>(), name, parent, kLongClass);
}
