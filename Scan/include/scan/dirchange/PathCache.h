// Path-cache tries: file-system paths kept in a trie whose edges are path components.
//
// Every change-detection structure keeps its paths here (the DirChange tree, the folder records of
// the flat-file index, offset lists, the collect writers' folder maps). A trie only grows until it
// is destroyed. None of these types locks: one thread at a time.
//
// CPathCacheOrderedT and CPathCacheUnorderedT behave identically (both keep children ordered by
// name); they are distinct types so that each use names what it relies on.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/KoError.h"
#include "core/LogWriter.h"
#include "scan/dirchange/PathCacheCallbacks.h"
#include "scan/dirchange/detail/PathCacheNode.h"

// The outcome of a trie search.
class EPathCacheResult {
public:
    enum Value {
        NOT_FOUND = 0,       // no node on the path carries content
        FOUND_EXACT = 1,     // the node of the full path carries content
        FOUND_PARENT = 2,    // the parent of the last component carries content
        FOUND_ANCESTOR = 3,  // a node further up carries content (the nearest one)
    };

    EPathCacheResult(Value value = NOT_FOUND) : m_value(value) {}
    EPathCacheResult& operator=(Value value) {
        m_value = value;
        return *this;
    }
    operator Value() const { return m_value; }
    Value Get() const { return m_value; }
    const char* AsString() const {
        switch (m_value) {
            case NOT_FOUND: return "NOT_FOUND";
            case FOUND_EXACT: return "FOUND_EXACT";
            case FOUND_PARENT: return "FOUND_PARENT";
            case FOUND_ANCESTOR: return "FOUND_ANCESTOR";
        }
        return "UNKNOWN";
    }

private:
    Value m_value;
};

// Update policies of InsertOrUpdate: OnExists(existing, new) gives the value to store when the
// target node already carries content.
template <class T>
struct LeaveDataAlone {
    static const T& OnExists(const T& existing, const T& /*value*/) { return existing; }
};

// Stream-affinity words of the collect writers: bits 16-23 are the affinity byte.
constexpr uint32_t kPathCacheAffinityMask = 0xFF0000;

// A value with bits outside the affinity byte is replaced by the new value, keeping its own
// affinity byte; a value that is only an affinity byte stays as it is.
struct KeepAffinity {
    static uint32_t OnExists(uint32_t existing, uint32_t value) {
        if ((existing & ~kPathCacheAffinityMask) == 0) return existing;
        return (value & ~kPathCacheAffinityMask) | (existing & kPathCacheAffinityMask);
    }
};

// The existing value gains the new value's affinity byte.
struct CombineAffinity {
    static uint32_t OnExists(uint32_t existing, uint32_t value) { return existing | (value & kPathCacheAffinityMask); }
};

// The file-system name hash: h = h * 5 + c over the bytes taken as signed.
struct __hash_fscase {
    size_t operator()(std::string_view name) const {
        size_t h = 0;
        for (char c : name) h = h * 5 + static_cast<size_t>(static_cast<long>(static_cast<signed char>(c)));
        return h;
    }
};

// The text of a payload in diagnostic dumps: numbers as numbers, types with AsString() through it,
// shared pointers through what they point to; anything else as nothing.
template <class T, class = void>
struct CPathCacheDataText {
    static std::string Get(const T&) { return std::string(); }
};
template <class T>
struct CPathCacheDataText<T, std::enable_if_t<std::is_arithmetic_v<T>>> {
    static std::string Get(const T& value) { return std::to_string(value); }
};
template <class T>
struct CPathCacheDataText<T, std::void_t<decltype(std::declval<const T&>().AsString())>> {
    static std::string Get(const T& value) { return std::string(value.AsString()); }
};
template <class T>
struct CPathCacheDataText<std::shared_ptr<T>, void> {
    static std::string Get(const std::shared_ptr<T>& value) {
        return value ? CPathCacheDataText<T>::Get(*value) : std::string("(null)");
    }
};

template <class T, class Tag>
class CPathCacheT {
public:
    using Node = CPathCacheNodeT<T, Tag>;
    using NodePtr = std::shared_ptr<Node>;
    using ChildMap = CPathCacheChildMap<Node>;
    using CChildMap = ChildMap;
    using WalkCallback = CPathCacheWalkCallbackT<T, Tag>;
    using WalkNodeCallback = CPathCacheWalkNodeCallbackT<T, Tag>;
    using NodeIterator = CPathCacheNodeIteratorT<T, Tag>;
    // One dump line of a node: (prefix, indentation, name, node) -> text.
    using DumpLineFormatter =
        std::function<std::string(const std::string&, const std::string&, const std::string&, const Node&)>;

    CPathCacheT() { Initialize(); }
    virtual ~CPathCacheT() = default;
    CPathCacheT(const CPathCacheT&) = delete;
    CPathCacheT& operator=(const CPathCacheT&) = delete;

    // Delimiter "/", both-slashes off, expose-root on, not write-protected, a new empty root.
    void Initialize() {
        m_delimiter = '/';
        m_bothSlashes = false;
        m_exposeRoot = true;
        m_writeProtected = false;
        m_root = Node::MakeRoot();
    }

    char GetDelimiter() const { return m_delimiter; }
    void SetDelimiter(char delimiter) { m_delimiter = delimiter; }
    // With a slash delimiter, both "/" and "\" then separate components.
    bool IsBothSlashes() const { return m_bothSlashes; }
    void SetBothSlashes(bool on) { m_bothSlashes = on; }
    // Off: the first component keeps its leading delimiters ("/usr/bin" is "/usr", then "bin"),
    // and walks report the root as "(ROOT)" only when it carries content.
    bool IsExposeRoot() const { return m_exposeRoot; }
    void SetExposeRoot(bool on) { m_exposeRoot = on; }
    bool IsWriteProtected() const { return m_writeProtected; }
    void SetWriteProtected(bool on) { m_writeProtected = on; }
    const NodePtr& GetRoot() const { return m_root; }

    bool IsDelimiter(char c) const {
        return c == m_delimiter || (m_bothSlashes && (m_delimiter == '/' || m_delimiter == '\\') && (c == '/' || c == '\\'));
    }

    // Component scanner on a NUL-terminated path: moves `position` to the start of the next
    // component and answers the delimiter that ends it, or null at the end of the text.
    const char* FindDelimiter(const char*& position, const char* start) const {
        const Scanner s = MakeScanner();
        const char* end = position + std::strlen(position);
        const char* p = position;
        if (position == start && !m_exposeRoot) {
            while (p < end && s.IsDelimiter(*p)) ++p;
        } else {
            while (position < end && s.IsDelimiter(*position)) ++position;
            p = position;
        }
        while (p < end && !s.IsDelimiter(*p)) ++p;
        return p < end ? p : nullptr;
    }

    // Stores `value` at `path`, creating the missing nodes on the way (without content); a node
    // that already carries content gets Policy::OnExists(existing, value).
    template <class Policy>
    CKoError InsertOrUpdate(std::string_view path, const T& value) {
        if (m_writeProtected)
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_WRITE_PROTECT, "Container is write-protected");
        const NodePtr* node = nullptr;
        CKoError error = Descend(path, node);
        if (error.IsError()) return error.Push(ZY_HERE);
        Node& target = **node;
        if (!target.IsContentPresent())
            target.SetData(value);
        else if constexpr (!std::is_same_v<Policy, LeaveDataAlone<T>>)
            target.SetData(T(Policy::OnExists(target.m_data, value)));
        return CKoError::Success();
    }
    CKoError Insert(std::string_view path, const T& value) { return InsertOrUpdate<LeaveDataAlone<T>>(path, value); }

    // InsertOrUpdate of the child `name` of `parent`, a node of this trie: the same result as for
    // the child's full path, without descending from the root, for loaders that add the many
    // names of one folder in a row. `name` is one component: not empty and without a delimiter.
    template <class Policy>
    CKoError InsertOrUpdateChild(const NodePtr& parent, std::string_view name, const T& value) {
        if (m_writeProtected)
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_WRITE_PROTECT, "Container is write-protected");
        const NodePtr* child = parent->m_children.FindEntry(name);
        if (!child) {
            try {
                NodePtr made = Node::MakeChild(name, parent);
                child = parent->m_children.Insert(std::move(made));
            } catch (const std::bad_alloc&) {
                return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY, "Failed to allocate a node, Name=[%.*s]",
                                               static_cast<int>(name.size()), name.data());
            }
        }
        Node& target = **child;
        if (!target.IsContentPresent())
            target.SetData(value);
        else if constexpr (!std::is_same_v<Policy, LeaveDataAlone<T>>)
            target.SetData(T(Policy::OnExists(target.m_data, value)));
        return CKoError::Success();
    }
    // True when InsertOrUpdateChild may take `name` as one component.
    bool IsSingleComponent(std::string_view name) const {
        if (name.empty()) return false;
        for (char c : name)
            if (IsDelimiter(c) || c == '\\' || c == '/') return false;
        return true;
    }

    // Finds the node of `path`, creating what is missing; a node without content gets a
    // default value. The result is FOUND_EXACT on success.
    CKoError SearchOrInsert(std::string_view path, NodePtr& node, EPathCacheResult& result) {
        if (m_writeProtected)
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_WRITE_PROTECT, "Container is write-protected");
        const NodePtr* found = nullptr;
        CKoError error = Descend(path, found);
        if (error.IsError()) return error.Push(ZY_HERE);
        if (!(*found)->IsContentPresent()) (*found)->SetData(T());
        node = *found;
        result = EPathCacheResult::FOUND_EXACT;
        return CKoError::Success();
    }

    // `node` becomes the node the result names (empty for NOT_FOUND).
    EPathCacheResult Search(std::string_view path, NodePtr& node) const {
        const NodePtr* found = nullptr;
        EPathCacheResult result = Find(path, found);
        if (found)
            node = *found;
        else
            node.reset();
        return result;
    }
    // Copies the data of the node the result names, also for FOUND_PARENT and FOUND_ANCESTOR;
    // `value` is left alone for NOT_FOUND.
    EPathCacheResult Search(std::string_view path, T& value) const {
        const NodePtr* found = nullptr;
        EPathCacheResult result = Find(path, found);
        if (found) value = (*found)->m_data;
        return result;
    }

    // The descent of Search without looking at content: the node of the full path, else the
    // deepest node that exists.
    EPathCacheResult SearchIgnoreContent(std::string_view path, NodePtr& node) const {
        node.reset();
        Scanner s = MakeScanner(DropLoneDelimiter(path));
        const NodePtr* current = &m_root;
        std::string_view name;
        for (;;) {
            const bool last = s.Next(name);
            const NodePtr* child = (*current)->m_children.FindEntry(name);
            if (child) {
                if (!last) {
                    current = child;
                    continue;
                }
                node = *child;
                return EPathCacheResult::FOUND_EXACT;
            }
            if (last && current == &m_root && name.empty()) {
                node = m_root;
                return EPathCacheResult::FOUND_EXACT;
            }
            if (!m_exposeRoot && current == &m_root) return EPathCacheResult::NOT_FOUND;
            node = *current;
            return last ? EPathCacheResult::FOUND_PARENT : EPathCacheResult::FOUND_ANCESTOR;
        }
    }

    // Depth-first, pre-order, children in name order, one round per pass of the callback. Answers
    // the number of nodes below the root whose OnNode returned true.
    int Walk(WalkCallback& callback) const {
        const int passes = callback.GetNumberOfPasses();
        return Traverse(
            passes, [&](int pass, const typename ChildMap::const_iterator& child) { return callback.IsInPass(pass, child); },
            [&](const std::string& path, const std::string& name, int depth, const NodePtr&, const Node& node) {
                return callback.OnNode(path, name, depth, node.GetNodeFlags(), node.m_data);
            });
    }
    // The order and depths of Walk, one pass, with the nodes themselves.
    int WalkNode(WalkNodeCallback& callback) const {
        return Traverse(
            1, [](int pass, const typename ChildMap::const_iterator&) { return pass == 0; },
            [&](const std::string&, const std::string&, int depth, const NodePtr& entry, const Node&) {
                // A copy: the callback may insert, which can move the entry.
                const NodePtr node = entry;
                return callback.OnNode(depth, node);
            });
    }

    // Lists the tree, one line per node: "prefix: |==|-- name    data" ("|==" per level for nodes
    // with content, "|--" without), then "prefix N items". Nothing without a line writer.
    void DumpDiagnosticData(CLineWriter* writer, const std::string& prefix) const {
        DumpDiagnosticData(writer, prefix, DumpLineFormatter());
    }
    void DumpDiagnosticData(CLineWriter* writer, const std::string& prefix, const DumpLineFormatter& format) const {
        if (!writer) return;
        const int count = Dump(prefix, format, [writer](const std::string& line) { writer->WriteText(line).IgnoreError(); });
        if (count > 0) writer->WriteLine("%s %d items", prefix.c_str(), count).IgnoreError();
    }
    // The same listing to the debug log, when the log is at `level` or above.
    void DumpToLog(int level, const std::string& prefix, const DumpLineFormatter& format = DumpLineFormatter()) const {
        if (!ZyLogEnabled(level)) return;
        const int count = Dump(prefix, format, [level](const std::string& line) { ZYLOG(level, "%s", line.c_str()); });
        if (count > 0) ZYLOG(level, "%s %d items", prefix.c_str(), count);
    }

    // An estimate: 80 bytes per node, and per child link its name's string capacity plus 32.
    size_t GetMemoryUsed() const {
        size_t total = 0;
        std::vector<const Node*> pending{m_root.get()};
        while (!pending.empty()) {
            const Node* node = pending.back();
            pending.pop_back();
            total += 80;
            for (const auto& entry : node->m_children) {
                // The capacity a std::string of the name would have.
                total += std::max<size_t>(entry.first.size(), 15) + 32;
                pending.push_back(entry.second.get());
            }
        }
        return total;
    }

private:
    // Cuts components out of a path (a run of delimiters separates two components; a delimiter
    // that ends the path ends the last component).
    struct Scanner {
        char d1, d2;
        bool exposeRoot;
        const char* start;
        const char* pos;
        const char* end;

        bool IsDelimiter(char c) const { return c == d1 || c == d2; }
        // Cuts the next component into `name`; answers whether it is the last one.
        bool Next(std::string_view& name) {
            const char* p;
            if (pos == start && !exposeRoot) {
                p = pos;
                while (p < end && IsDelimiter(*p)) ++p;
            } else {
                while (pos < end && IsDelimiter(*pos)) ++pos;
                p = pos;
            }
            while (p < end && !IsDelimiter(*p)) ++p;
            name = std::string_view(pos, static_cast<size_t>(p - pos));
            if (p == end || p + 1 == end) return true;
            pos = p + 1;
            return false;
        }
    };
    Scanner MakeScanner(std::string_view path = std::string_view()) const {
        const bool both = m_bothSlashes && (m_delimiter == '/' || m_delimiter == '\\');
        return Scanner{m_delimiter, both ? (m_delimiter == '/' ? '\\' : '/') : m_delimiter, m_exposeRoot,
                       path.data(), path.data(), path.data() + path.size()};
    }
    bool IsRootPath(std::string_view path) const { return path.empty() || (path.size() == 1 && IsDelimiter(path[0])); }
    std::string_view DropLoneDelimiter(std::string_view path) const {
        if (!m_exposeRoot && path.size() == 1 && IsDelimiter(path[0])) return std::string_view();
        return path;
    }

    // The node of `path`, created with its missing ancestors.
    CKoError Descend(std::string_view path, const NodePtr*& node) {
        node = &m_root;
        if (IsRootPath(path)) return CKoError::Success();
        Scanner s = MakeScanner(path);
        std::string_view name;
        for (;;) {
            const bool last = s.Next(name);
            const NodePtr* child = (*node)->m_children.FindEntry(name);
            if (!child) {
                // The node is made before it enters the map, so a failure leaves no entry behind.
                try {
                    NodePtr made = Node::MakeChild(name, *node);
                    child = (*node)->m_children.Insert(std::move(made));
                } catch (const std::bad_alloc&) {
                    return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY,
                                                   "Failed to allocate a node, Name=[%.*s], Path=[%.*s]",
                                                   static_cast<int>(name.size()), name.data(),
                                                   static_cast<int>(path.size()), path.data());
                }
            }
            node = child;
            if (last) return CKoError::Success();
        }
    }

    EPathCacheResult Find(std::string_view path, const NodePtr*& found) const {
        found = nullptr;
        Scanner s = MakeScanner(DropLoneDelimiter(path));
        const NodePtr* current = &m_root;
        const NodePtr* nearest = &m_root;  // nearest node with content on the way
        std::string_view name;
        for (;;) {
            const bool last = s.Next(name);
            const NodePtr* child = (*current)->m_children.FindEntry(name);
            if (child && !last) {
                current = child;
                if ((*child)->IsContentPresent()) nearest = child;
                continue;
            }
            if (child && (*child)->IsContentPresent()) {
                found = child;
                return EPathCacheResult::FOUND_EXACT;
            }
            if (!child && last && current == &m_root && name.empty() && m_root->IsContentPresent()) {
                found = &m_root;
                return EPathCacheResult::FOUND_EXACT;
            }
            if ((*current)->IsContentPresent()) {
                found = current;
                return last ? EPathCacheResult::FOUND_PARENT : EPathCacheResult::FOUND_ANCESTOR;
            }
            if ((*nearest)->IsContentPresent()) {
                found = nearest;
                return EPathCacheResult::FOUND_ANCESTOR;
            }
            return EPathCacheResult::NOT_FOUND;
        }
    }

    // The walk of Walk and WalkNode, without recursion so that a deep tree cannot exhaust the
    // stack. `inPass(pass, child)` picks the children of each pass; `visit(path, name, depth,
    // entry, node)` reports a node and answers whether to go below it. A visit may insert into
    // the trie: positions are kept by cursors, and the entry is not used after the visit.
    template <class InPass, class Visit>
    int Traverse(int passes, InPass&& inPass, Visit&& visit) const {
        std::string path, name;
        if (m_exposeRoot) {
            path.assign(1, m_delimiter);
            name = path;
            if (!visit(path, name, 1, m_root, *m_root)) return 0;
        } else if (m_root->IsContentPresent()) {
            path = name = "(ROOT)";
            if (!visit(path, name, 0, m_root, *m_root)) return 0;
        }
        struct Frame {
            const Node* node;
            size_t pathLength;  // of the node's own path; children append to it
            bool delimit;       // whether a delimiter goes between that path and a child's name
            int depth;
            int pass;
            bool started;
            CPathCacheChildCursor<Node> cursor;
        };
        std::vector<Frame> frames;
        frames.push_back(Frame{m_root.get(), 0, m_exposeRoot, m_exposeRoot ? 1 : 0, 0, false, {}});
        int count = 0;
        while (!frames.empty()) {
            Frame& top = frames.back();
            if (top.pass >= passes) {
                frames.pop_back();
                continue;
            }
            const ChildMap& children = top.node->m_children;
            const NodePtr* child = top.started ? top.cursor.Next(children) : top.cursor.First(children);
            top.started = true;
            if (!child) {
                ++top.pass;
                top.started = false;
                continue;
            }
            if (!inPass(top.pass, top.cursor.Iterator())) continue;
            const std::string_view childName = (*child)->GetName();
            path.resize(top.pathLength);
            if (top.delimit) path.push_back(m_delimiter);
            path.append(childName);
            name.assign(childName);
            const int depth = top.depth + 1;
            const Node* node = child->get();
            if (!visit(path, name, depth, *child, *node)) continue;
            ++count;
            if (node->HasChildren()) frames.push_back(Frame{node, path.size(), true, depth, 0, false, {}});
        }
        return count;
    }

    template <class Emit>
    int Dump(const std::string& prefix, const DumpLineFormatter& format, Emit&& emit) const {
        std::string indentation, line;
        return Traverse(
            1, [](int pass, const typename ChildMap::const_iterator&) { return pass == 0; },
            [&](const std::string&, const std::string& name, int depth, const NodePtr&, const Node& node) {
                const bool content = node.IsContentPresent();
                indentation.clear();
                for (int i = 0; i < depth; ++i) indentation += content ? "|==" : "|--";
                if (format) {
                    emit(format(prefix, indentation, name, node));
                } else {
                    line = prefix + ": " + indentation + " " + name;
                    if (content) line += "    " + CPathCacheDataText<T>::Get(node.m_data);
                    emit(line);
                }
                return true;
            });
    }

    char m_delimiter = '/';
    bool m_bothSlashes = false;
    bool m_exposeRoot = true;
    bool m_writeProtected = false;
    NodePtr m_root;
};

template <class T>
class CPathCacheOrderedT : public CPathCacheT<T, CPathCacheOrderedTag> {};

template <class T>
class CPathCacheUnorderedT : public CPathCacheT<T, CPathCacheUnorderedTag> {};
