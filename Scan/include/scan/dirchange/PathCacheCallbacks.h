// Walk callbacks and the node iterator of the path-cache tries.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "scan/dirchange/detail/PathCacheNode.h"

// Keeps a position in a child map across insertions into that map: when the map changed since
// the last step, the position is found again after the last child visited.
template <class Node>
class CPathCacheChildCursor {
public:
    using ChildMap = CPathCacheChildMap<Node>;
    using const_iterator = typename ChildMap::const_iterator;

    // The first child, or null.
    const std::shared_ptr<Node>* First(const ChildMap& map) {
        m_it = map.begin();
        return Take(map);
    }
    // The child after the one answered last, or null.
    const std::shared_ptr<Node>* Next(const ChildMap& map) {
        if (map.Version() != m_version)
            m_it = map.upper_bound(m_last->GetName());
        else
            ++m_it;
        return Take(map);
    }
    const const_iterator& Iterator() const { return m_it; }

private:
    const std::shared_ptr<Node>* Take(const ChildMap& map) {
        m_version = map.Version();
        if (m_it == map.end()) return nullptr;
        const std::shared_ptr<Node>* entry = &m_it.Get();
        m_last = entry->get();
        return entry;
    }

    const_iterator m_it;
    uint32_t m_version = 0;
    const Node* m_last = nullptr;
};

// Called by Walk for every node, pre-order, children in name order, one round over a node's
// children per pass. Returning false from OnNode skips the node's subtree.
template <class T, class Tag>
class CPathCacheWalkCallbackT {
public:
    using Node = CPathCacheNodeT<T, Tag>;
    using ChildIterator = typename CPathCacheChildMap<Node>::const_iterator;

    virtual ~CPathCacheWalkCallbackT() = default;
    virtual int GetNumberOfPasses() { return 1; }
    virtual bool IsInPass(int pass, const ChildIterator& /*child*/) { return pass == 0; }
    virtual bool OnNode(const std::string& /*path*/, const std::string& /*name*/, int /*depth*/,
                        BPathCacheNodeFlags /*flags*/, const T& /*data*/) {
        return true;
    }
};

// Two passes: first the children without children of their own (leaves), then the others.
template <class T, class Tag>
class CPathCacheWalkCallbackVerticalT : public CPathCacheWalkCallbackT<T, Tag> {
public:
    using typename CPathCacheWalkCallbackT<T, Tag>::ChildIterator;
    int GetNumberOfPasses() override { return 2; }
    bool IsInPass(int pass, const ChildIterator& child) override {
        const bool inner = child.Get()->HasChildren();
        return pass == 0 ? !inner : pass == 1 && inner;
    }
};

// Called by WalkNode for every node, in the order of Walk with one pass.
template <class T, class Tag>
class CPathCacheWalkNodeCallbackT {
public:
    using Node = CPathCacheNodeT<T, Tag>;
    virtual ~CPathCacheWalkNodeCallbackT() = default;
    virtual bool OnNode(int /*depth*/, const std::shared_ptr<Node>& /*node*/) { return true; }
};

// Pre-order iteration over a node and everything below it, children in name order.
template <class T, class Tag>
class CPathCacheNodeIteratorT {
public:
    using Node = CPathCacheNodeT<T, Tag>;
    using NodePtr = std::shared_ptr<Node>;

    // Over a whole trie: (empty path, trie.GetRoot(), trie.GetDelimiter(), trie.IsExposeRoot()).
    // With includeStart false the iterator starts on the first child, and the start node's
    // children are named by their bare names.
    CPathCacheNodeIteratorT(const std::string& startPath, const NodePtr& startNode, char delimiter,
                            bool includeStart)
        : m_delimiter(delimiter), m_includeStart(includeStart) {
        if (!startNode) return;
        m_path = startPath;
        m_frames.push_back(Frame{startNode, m_path.size(), false, {}});
        if (!includeStart) ++*this;
    }

    CPathCacheNodeIteratorT& operator++() {
        while (!m_frames.empty()) {
            Frame& top = m_frames.back();
            const ChildMap& children = top.node->GetChildren();
            const NodePtr* child = top.started ? top.cursor.Next(children) : top.cursor.First(children);
            top.started = true;
            if (child) {
                if (m_frames.size() == 1 && !m_includeStart) {
                    m_path.assign((*child)->GetName());
                } else {
                    m_path.resize(top.pathLength);
                    m_path.push_back(m_delimiter);
                    m_path.append((*child)->GetName());
                }
                m_frames.push_back(Frame{*child, m_path.size(), false, {}});
                return *this;
            }
            Pop();
        }
        return *this;
    }

    // The current node; empty at the end.
    NodePtr GetNode() const { return m_frames.empty() ? NodePtr() : m_frames.back().node; }
    // The full path of the current node; empty at the end.
    const std::string& GetName() const { return m_path; }
    // The number of open levels.
    int Depth() const { return static_cast<int>(m_frames.size()); }
    bool IsEnd() const { return m_frames.empty(); }
    // The next advance goes on with the current node's next sibling.
    void SkipOverChildren() {
        if (!m_frames.empty()) Pop();
    }

private:
    using ChildMap = CPathCacheChildMap<Node>;
    struct Frame {
        NodePtr node;
        size_t pathLength;
        bool started;
        CPathCacheChildCursor<Node> cursor;
    };
    void Pop() {
        m_frames.pop_back();
        if (m_frames.empty())
            m_path.clear();
        else
            m_path.resize(m_frames.back().pathLength);
    }

    std::vector<Frame> m_frames;
    std::string m_path;
    char m_delimiter;
    bool m_includeStart;
};

template <class T>
using CPathCacheOrderedTNode = CPathCacheNodeT<T, CPathCacheOrderedTag>;
template <class T>
using CPathCacheUnorderedTNode = CPathCacheNodeT<T, CPathCacheUnorderedTag>;
template <class T>
using CPathCacheOrderedTWalkCallback = CPathCacheWalkCallbackT<T, CPathCacheOrderedTag>;
template <class T>
using CPathCacheUnorderedTWalkCallback = CPathCacheWalkCallbackT<T, CPathCacheUnorderedTag>;
template <class T>
using CPathCacheOrderedTWalkCallbackVertical = CPathCacheWalkCallbackVerticalT<T, CPathCacheOrderedTag>;
template <class T>
using CPathCacheUnorderedTWalkCallbackVertical = CPathCacheWalkCallbackVerticalT<T, CPathCacheUnorderedTag>;
template <class T>
using CPathCacheOrderedTWalkNodeCallback = CPathCacheWalkNodeCallbackT<T, CPathCacheOrderedTag>;
template <class T>
using CPathCacheUnorderedTWalkNodeCallback = CPathCacheWalkNodeCallbackT<T, CPathCacheUnorderedTag>;
template <class T>
using CPathCacheOrderedTNodeIterator = CPathCacheNodeIteratorT<T, CPathCacheOrderedTag>;
template <class T>
using CPathCacheUnorderedTNodeIterator = CPathCacheNodeIteratorT<T, CPathCacheUnorderedTag>;
