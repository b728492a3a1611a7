// The ordered child map of a path-cache trie node: a compact B+tree of shared node pointers.
//
// A node's name lives in the node itself, so an entry is one shared pointer (16 bytes) and the map
// is ordered by the children's names (bytes compared unsigned, as strcmp does). A small folder is
// a single leaf block that grows in small steps; a folder of more than 64 entries becomes a B+tree,
// so inserting into a folder of millions of entries stays O(log n). Nodes are never removed, so a
// subtree's smallest name never changes once set and the inner blocks keep raw pointers to the
// nodes whose names separate their children.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

// Every allocation of trie storage (nodes and child blocks) goes through here, so that tests can
// make the Nth one fail like a real out-of-memory condition would.
class CPathCacheAllocationHook {
public:
    // The allocation `n` allocations from now (0 = the next one) throws std::bad_alloc; a negative
    // value turns the fault off. Meant for tests; the countdown is process-wide.
    static void FailAllocationAfter(long n) { s_failAfter.store(n, std::memory_order_relaxed); }

    static void* Allocate(size_t bytes) {
        long left = s_failAfter.load(std::memory_order_relaxed);
        if (left >= 0) {
            s_failAfter.store(left - 1, std::memory_order_relaxed);
            if (left == 0) throw std::bad_alloc();
        }
        return ::operator new(bytes);
    }
    static void Free(void* p) noexcept { ::operator delete(p); }

private:
    static inline std::atomic<long> s_failAfter{-1};
};

// The allocator of nodes (std::allocate_shared): node and control block in one allocation.
template <class U>
struct CPathCacheNodeAllocator {
    using value_type = U;
    CPathCacheNodeAllocator() = default;
    template <class V>
    CPathCacheNodeAllocator(const CPathCacheNodeAllocator<V>&) {}
    U* allocate(size_t n) { return static_cast<U*>(CPathCacheAllocationHook::Allocate(n * sizeof(U))); }
    void deallocate(U* p, size_t) noexcept { CPathCacheAllocationHook::Free(p); }
    template <class V>
    bool operator==(const CPathCacheNodeAllocator<V>&) const { return true; }
    template <class V>
    bool operator!=(const CPathCacheNodeAllocator<V>&) const { return false; }
};

// `Node` gives `std::string_view GetName() const`, owns a `CPathCacheChildMap<Node>` as
// `m_children` and links to its parent through `m_parent` (cleared here when a map is torn down);
// it lets this class reach both.
template <class Node>
class CPathCacheChildMap {
public:
    using NodePtr = std::shared_ptr<Node>;
    static constexpr unsigned kLeafMax = 64;  // entries of a full leaf
    static constexpr unsigned kFanout = 64;   // children of a full inner block

private:
    struct Block {
        uint32_t version;  // of the whole map; kept in the root block only
        uint16_t count;
        uint8_t capacity;  // leaves only
        uint8_t leaf;
    };
    struct Leaf : Block {
        Leaf* next;
        NodePtr* Entries() { return reinterpret_cast<NodePtr*>(this + 1); }
        const NodePtr* Entries() const { return reinterpret_cast<const NodePtr*>(this + 1); }
    };
    struct Inner : Block {
        size_t total;                   // entries below; kept in the root block only
        const Node* keys[kFanout];      // keys[i]: the node with the smallest name below children[i], i >= 1
        Block* children[kFanout];
    };
    static constexpr int kMaxDepth = 16;

public:
    // What iteration yields: the child's name and its node.
    struct Entry {
        std::string_view first;
        const NodePtr& second;
    };

    // Dereferencing builds the entry inside the iterator (names live in the nodes), so a reference
    // to it lasts until the iterator moves; `for (auto& [name, node] : map)` works as with a map.
    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = Entry;
        using difference_type = std::ptrdiff_t;
        using reference = Entry&;
        using pointer = const Entry*;

        const_iterator() = default;
        const_iterator(const const_iterator& o) : m_leaf(o.m_leaf), m_index(o.m_index) {}
        const_iterator& operator=(const const_iterator& o) {
            m_leaf = o.m_leaf;
            m_index = o.m_index;
            m_stash.reset();
            return *this;
        }
        Entry& operator*() const {
            m_stash.emplace(Entry{Get()->GetName(), Get()});
            return *m_stash;
        }
        const Entry* operator->() const { return &**this; }
        const NodePtr& Get() const { return m_leaf->Entries()[m_index]; }
        std::string_view Name() const { return Get()->GetName(); }
        const_iterator& operator++() {
            if (++m_index >= m_leaf->count) {
                m_leaf = m_leaf->next;
                m_index = 0;
            }
            return *this;
        }
        const_iterator operator++(int) {
            const_iterator old = *this;
            ++*this;
            return old;
        }
        bool operator==(const const_iterator& o) const { return m_leaf == o.m_leaf && m_index == o.m_index; }
        bool operator!=(const const_iterator& o) const { return !(*this == o); }

    private:
        friend class CPathCacheChildMap;
        const_iterator(const Leaf* leaf, unsigned index) : m_leaf(leaf), m_index(index) {}
        const Leaf* m_leaf = nullptr;
        unsigned m_index = 0;
        mutable std::optional<Entry> m_stash;
    };
    using iterator = const_iterator;

    CPathCacheChildMap() = default;
    CPathCacheChildMap(const CPathCacheChildMap&) = delete;
    CPathCacheChildMap& operator=(const CPathCacheChildMap&) = delete;
    ~CPathCacheChildMap() { DestroyIteratively(); }

    bool empty() const { return m_root == nullptr; }
    size_t size() const {
        if (!m_root) return 0;
        return m_root->leaf ? m_root->count : static_cast<const Inner*>(m_root)->total;
    }
    // Changes with every insertion; lets a cursor notice that its iterator went stale.
    uint32_t Version() const { return m_root ? m_root->version : 0; }

    const_iterator begin() const {
        const Block* b = m_root;
        if (!b) return end();
        while (!b->leaf) b = static_cast<const Inner*>(b)->children[0];
        return const_iterator(static_cast<const Leaf*>(b), 0);
    }
    const_iterator end() const { return const_iterator(); }

    // The entry of `name`, or null. Allocates nothing.
    const NodePtr* FindEntry(std::string_view name) const {
        const Block* b = m_root;
        if (!b) return nullptr;
        while (!b->leaf) b = static_cast<const Inner*>(b)->children[ChildIndex(static_cast<const Inner*>(b), name)];
        const Leaf* leaf = static_cast<const Leaf*>(b);
        unsigned pos = LowerBound(leaf, name);
        if (pos < leaf->count && Compare(leaf->Entries()[pos]->GetName(), name) == 0) return &leaf->Entries()[pos];
        return nullptr;
    }
    const_iterator find(std::string_view name) const {
        const Block* b = m_root;
        if (!b) return end();
        while (!b->leaf) b = static_cast<const Inner*>(b)->children[ChildIndex(static_cast<const Inner*>(b), name)];
        const Leaf* leaf = static_cast<const Leaf*>(b);
        unsigned pos = LowerBound(leaf, name);
        if (pos < leaf->count && leaf->Entries()[pos]->GetName() == name) return const_iterator(leaf, pos);
        return end();
    }
    size_t count(std::string_view name) const { return FindEntry(name) ? 1 : 0; }
    // The first entry whose name is not before `name`.
    const_iterator lower_bound(std::string_view name) const {
        const Block* b = m_root;
        if (!b) return end();
        while (!b->leaf) b = static_cast<const Inner*>(b)->children[ChildIndex(static_cast<const Inner*>(b), name)];
        const Leaf* leaf = static_cast<const Leaf*>(b);
        unsigned pos = LowerBound(leaf, name);
        if (pos < leaf->count) return const_iterator(leaf, pos);
        return const_iterator(leaf->next, 0);
    }
    // The first entry whose name sorts after `name`.
    const_iterator upper_bound(std::string_view name) const {
        const Block* b = m_root;
        if (!b) return end();
        while (!b->leaf) b = static_cast<const Inner*>(b)->children[ChildIndex(static_cast<const Inner*>(b), name)];
        const Leaf* leaf = static_cast<const Leaf*>(b);
        unsigned pos = UpperBound(leaf, name);
        if (pos < leaf->count) return const_iterator(leaf, pos);
        return const_iterator(leaf->next, 0);
    }

    // Adds a child whose name is not in the map yet and answers where it now is. Throws
    // std::bad_alloc before changing anything when a block cannot be allocated; `child` is then
    // still the caller's.
    const NodePtr* Insert(NodePtr&& child) {
        const std::string_view name = child->GetName();
        if (!m_root) {
            Leaf* leaf = NewLeaf(1);
            new (leaf->Entries()) NodePtr(std::move(child));
            leaf->count = 1;
            leaf->version = 1;
            m_root = leaf;
            return leaf->Entries();
        }
        const uint32_t version = m_root->version + 1;
        const size_t sizeBefore = size();

        Inner* path[kMaxDepth];
        unsigned slot[kMaxDepth];
        int depth = 0;
        bool rightmost = true;  // every step so far took the last child
        Block* b = m_root;
        while (!b->leaf) {
            Inner* inner = static_cast<Inner*>(b);
            unsigned i = ChildIndex(inner, name);
            rightmost = rightmost && i + 1 == inner->count;
            path[depth] = inner;
            slot[depth] = i;
            ++depth;
            b = inner->children[i];
        }
        Leaf* leaf = static_cast<Leaf*>(b);
        const unsigned pos = LowerBound(leaf, name);

        if (leaf->count < leaf->capacity) {
            NodePtr* at = InsertInLeaf(leaf, pos, std::move(child));
            Counted(version);
            return at;
        }
        if (leaf->capacity < kLeafMax) {
            // Only a root leaf is smaller than full size: move it into a bigger block.
            Leaf* bigger = NewLeaf(NextCapacity(leaf->capacity));
            NodePtr* from = leaf->Entries();
            NodePtr* to = bigger->Entries();
            for (unsigned i = 0; i < pos; ++i) RelocateEntry(from + i, to + i);
            new (to + pos) NodePtr(std::move(child));
            for (unsigned i = pos; i < leaf->count; ++i) RelocateEntry(from + i, to + i + 1);
            bigger->count = static_cast<uint16_t>(leaf->count + 1);
            FreeBlock(leaf);
            m_root = bigger;
            m_root->version = version;
            return to + pos;
        }

        // A full leaf splits, and so may every full inner block above it. Allocate all new blocks
        // first so that a failure leaves the map as it was.
        int fullAbove = 0;
        while (fullAbove < depth && path[depth - 1 - fullAbove]->count == kFanout) ++fullAbove;
        const bool newRoot = fullAbove == depth;
        Block* spare[kMaxDepth + 2];
        int spares = 0;
        try {
            spare[spares++] = NewLeaf(kLeafMax);
            for (int i = 0; i < fullAbove + (newRoot ? 1 : 0); ++i) spare[spares++] = NewInner();
        } catch (...) {
            while (spares > 0) FreeBlock(spare[--spares]);
            throw;
        }
        int used = 0;

        // Split the leaf. Appending past the last entry of the whole map (names arriving in order,
        // as when a DirChange file is loaded) starts a new leaf instead of halving a full one.
        Leaf* right = static_cast<Leaf*>(spare[used++]);
        NodePtr* placed;
        if (rightmost && pos == leaf->count && !leaf->next) {
            placed = InsertInLeaf(right, 0, std::move(child));
        } else {
            const unsigned half = leaf->count / 2;
            for (unsigned i = half; i < leaf->count; ++i) RelocateEntry(leaf->Entries() + i, right->Entries() + i - half);
            right->count = static_cast<uint16_t>(leaf->count - half);
            leaf->count = static_cast<uint16_t>(half);
            placed = pos <= half ? InsertInLeaf(leaf, pos, std::move(child))
                                 : InsertInLeaf(right, pos - half, std::move(child));
        }
        right->next = leaf->next;
        leaf->next = right;

        // Hand the new block up, splitting full inner blocks on the way.
        const Node* upKey = right->Entries()[0].get();
        Block* upBlock = right;
        Block* left = leaf;
        for (int d = depth - 1; upBlock && d >= 0; --d) {
            Inner* inner = path[d];
            const unsigned at = slot[d] + 1;
            if (inner->count < kFanout) {
                InsertInInner(inner, at, upKey, upBlock);
                upBlock = nullptr;
                break;
            }
            Inner* sibling = static_cast<Inner*>(spare[used++]);
            SplitInner(inner, sibling, at, upKey, upBlock, rightmost);
            upKey = sibling->keys[0];
            upBlock = sibling;
            left = inner;
        }
        if (upBlock) {
            // The root split: a new root above the two halves.
            Inner* root = static_cast<Inner*>(spare[used++]);
            root->count = 2;
            root->keys[0] = nullptr;
            root->children[0] = left;
            root->keys[1] = upKey;
            root->children[1] = upBlock;
            root->total = sizeBefore;
            m_root = root;
        }
        Counted(version);
        return placed;
    }

private:
    // Byte order, unsigned. Names mostly differ in their first byte: test it before memcmp.
    static int Compare(std::string_view a, std::string_view b) {
        const size_t n = a.size() < b.size() ? a.size() : b.size();
        if (n != 0 && a[0] != b[0]) return static_cast<unsigned char>(a[0]) < static_cast<unsigned char>(b[0]) ? -1 : 1;
        const int r = n != 0 ? std::memcmp(a.data(), b.data(), n) : 0;
        if (r != 0) return r;
        return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
    }

    // Binary searches are bound by loading the nodes they compare against; they prefetch the
    // nodes of both possible next probes while comparing the current one.
    static void Prefetch(const Node* node) {
        const char* p = reinterpret_cast<const char*>(node);
        __builtin_prefetch(p);
        __builtin_prefetch(p + sizeof(Node));
    }
    static void Prefetch(const NodePtr& entry) { Prefetch(entry.get()); }
    static unsigned ChildIndex(const Inner* inner, std::string_view name) {
        unsigned lo = 1, hi = inner->count;
        while (lo < hi) {
            unsigned mid = (lo + hi) / 2;
            if (hi - lo > 2) {
                Prefetch(inner->keys[(lo + mid) / 2]);
                Prefetch(inner->keys[(mid + 1 + hi) / 2]);
            }
            if (Compare(name, inner->keys[mid]->GetName()) < 0)
                hi = mid;
            else
                lo = mid + 1;
        }
        return lo - 1;
    }
    static unsigned LowerBound(const Leaf* leaf, std::string_view name) {
        unsigned lo = 0, hi = leaf->count;
        const NodePtr* e = leaf->Entries();
        while (lo < hi) {
            unsigned mid = (lo + hi) / 2;
            if (hi - lo > 2) {
                Prefetch(e[(lo + mid) / 2]);
                Prefetch(e[(mid + 1 + hi) / 2]);
            }
            if (Compare(e[mid]->GetName(), name) < 0)
                lo = mid + 1;
            else
                hi = mid;
        }
        return lo;
    }
    static unsigned UpperBound(const Leaf* leaf, std::string_view name) {
        unsigned lo = 0, hi = leaf->count;
        const NodePtr* e = leaf->Entries();
        while (lo < hi) {
            unsigned mid = (lo + hi) / 2;
            if (Compare(name, e[mid]->GetName()) < 0)
                hi = mid;
            else
                lo = mid + 1;
        }
        return lo;
    }

    static unsigned NextCapacity(unsigned capacity) {
        // Steps of about a quarter: most folders hold a few dozen entries, and what a leaf holds
        // beyond them is memory paid per folder.
        unsigned next = std::max(capacity + 1, capacity * 5 / 4);
        return next > 48 ? kLeafMax : next;
    }
    static Leaf* NewLeaf(unsigned capacity) {
        void* raw = CPathCacheAllocationHook::Allocate(sizeof(Leaf) + capacity * sizeof(NodePtr));
        Leaf* leaf = new (raw) Leaf;
        leaf->version = 0;
        leaf->count = 0;
        leaf->capacity = static_cast<uint8_t>(capacity);
        leaf->leaf = 1;
        leaf->next = nullptr;
        return leaf;
    }
    static Inner* NewInner() {
        Inner* inner = new (CPathCacheAllocationHook::Allocate(sizeof(Inner))) Inner;
        inner->version = 0;
        inner->count = 0;
        inner->capacity = 0;
        inner->leaf = 0;
        inner->total = 0;
        return inner;
    }
    static void FreeBlock(Block* b) noexcept { CPathCacheAllocationHook::Free(b); }

    static void RelocateEntry(NodePtr* from, NodePtr* to) noexcept {
        new (to) NodePtr(std::move(*from));
        from->~NodePtr();
    }
    static NodePtr* InsertInLeaf(Leaf* leaf, unsigned pos, NodePtr&& child) noexcept {
        NodePtr* e = leaf->Entries();
        for (unsigned i = leaf->count; i > pos; --i) RelocateEntry(e + i - 1, e + i);
        new (e + pos) NodePtr(std::move(child));
        ++leaf->count;
        return e + pos;
    }
    static void InsertInInner(Inner* inner, unsigned at, const Node* key, Block* child) noexcept {
        for (unsigned i = inner->count; i > at; --i) {
            inner->keys[i] = inner->keys[i - 1];
            inner->children[i] = inner->children[i - 1];
        }
        inner->keys[at] = key;
        inner->children[at] = child;
        ++inner->count;
    }
    // `inner` is full; (key, child) goes in at `at`. The upper part moves to `sibling`, whose
    // keys[0] is the key to hand further up.
    static void SplitInner(Inner* inner, Inner* sibling, unsigned at, const Node* key, Block* child,
                           bool rightmost) noexcept {
        const Node* keys[kFanout + 1];
        Block* children[kFanout + 1];
        unsigned n = 0;
        for (unsigned i = 0; i < inner->count; ++i) {
            if (i == at) {
                keys[n] = key;
                children[n++] = child;
            }
            keys[n] = inner->keys[i];
            children[n++] = inner->children[i];
        }
        if (at == inner->count) {
            keys[n] = key;
            children[n++] = child;
        }
        const unsigned keep = (rightmost && at == inner->count) ? kFanout : n / 2;
        inner->count = static_cast<uint16_t>(keep);
        for (unsigned i = 0; i < keep; ++i) {
            inner->keys[i] = keys[i];
            inner->children[i] = children[i];
        }
        sibling->count = static_cast<uint16_t>(n - keep);
        for (unsigned i = keep; i < n; ++i) {
            sibling->keys[i - keep] = keys[i];
            sibling->children[i - keep] = children[i];
        }
    }
    void Counted(uint32_t version) noexcept {
        if (!m_root->leaf) ++static_cast<Inner*>(m_root)->total;
        m_root->version = version;
    }

    // Moves every entry out into `out` and frees the blocks.
    static void DrainInto(Block* b, std::vector<NodePtr>& out) noexcept {
        if (b->leaf) {
            Leaf* leaf = static_cast<Leaf*>(b);
            for (unsigned i = 0; i < leaf->count; ++i) {
                NodePtr& entry = leaf->Entries()[i];
                entry->m_parent = nullptr;  // the parent is going away
                out.push_back(std::move(entry));  // capacity reserved by the caller
                entry.~NodePtr();
            }
        } else {
            Inner* inner = static_cast<Inner*>(b);
            for (unsigned i = 0; i < inner->count; ++i) DrainInto(inner->children[i], out);
        }
        FreeBlock(b);
    }
    static void FreeRecursively(Block* b) noexcept {
        if (b->leaf) {
            Leaf* leaf = static_cast<Leaf*>(b);
            for (unsigned i = 0; i < leaf->count; ++i) {
                leaf->Entries()[i]->m_parent = nullptr;
                leaf->Entries()[i].~NodePtr();
            }
        } else {
            Inner* inner = static_cast<Inner*>(b);
            for (unsigned i = 0; i < inner->count; ++i) FreeRecursively(inner->children[i]);
        }
        FreeBlock(b);
    }

    // Releasing a deep tree through the nodes' own destructors would recurse once per path
    // component; tear the subtrees down from an explicit list instead. Nodes that someone else
    // still holds keep their children.
    void DestroyIteratively() noexcept {
        if (!m_root) return;
        Block* root = std::exchange(m_root, nullptr);
        std::vector<NodePtr> pending;
        try {
            pending.reserve(root->leaf ? root->count : static_cast<Inner*>(root)->total);
        } catch (...) {
            FreeRecursively(root);
            return;
        }
        DrainInto(root, pending);
        while (!pending.empty()) {
            NodePtr node = std::move(pending.back());
            pending.pop_back();
            CPathCacheChildMap& children = node->m_children;
            if (node.use_count() == 1 && children.m_root) {
                try {
                    pending.reserve(pending.size() + children.size());
                } catch (...) {
                    continue;  // this one subtree goes the recursive way
                }
                DrainInto(std::exchange(children.m_root, nullptr), pending);
            }
        }
    }

    Block* m_root = nullptr;
};
