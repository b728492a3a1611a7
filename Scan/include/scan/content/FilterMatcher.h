// The scan's filter matcher: decides, item by item, whether the walk backs an item up and
// whether it goes below a folder, for any number of filters and exceptions.
//
// Rules are filter terms (agent/FilterTerm.h), each a filter or an exception. What decides an
// item is the rule that matches nearest to it:
//   - a rule that matches the item itself decides it; when a filter and an exception both
//     match it, the exception wins;
//   - otherwise the item is decided as its folder was (so a filtered folder leaves out what it
//     holds, and an exception on a folder takes back what it holds), and at the top nothing is
//     filtered.
// So "/srv/cache" with the exception "/srv/cache/keep" backs up keep and what lies below it, and
// a further filter "*.tmp" still leaves out /srv/cache/keep/a.tmp.
//
// The walk may leave a filtered folder out without going below it, unless an exception could
// take back something there: then the folder's verdict says to descend although the folder
// itself is left out.
//
// How it is fast: the rules are compiled into one trie of path components shared by all of
// them ("**" a node that loops on itself), literal components found through one hash table,
// wildcard components bucketed by the literal bytes they end (or else begin) with, or else by
// bytes they hold (found through a bitmap of byte pairs as a name is read). The matcher
// follows the walk: the state after a folder is the set of trie nodes still live there (rarely
// more than two or three), so an item costs one step from its folder's state, whatever the
// number of rules, and no allocation. A state with no live node is inert: below it every item
// simply takes its folder's verdict.
//
// A compiled matcher is immutable and may be shared by any number of threads; states belong to
// their thread (copy one to hand a folder to another thread).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "agent/FilterTerm.h"
#include "core/KoError.h"

enum class EFilterRuleKind : uint8_t { Filter, Exception };

struct SFilterRule {
    CFilterTerm term;
    EFilterRuleKind kind = EFilterRuleKind::Filter;
};

// The answer for one item.
struct SFilterVerdict {
    bool included = true;  // the item is backed up
    bool descend = true;   // a folder: the walk goes below it (false: leave it all out unseen)
    int32_t rule = -1;     // the deciding rule (its index in the rules given), -1 when none
};

// Where the matcher stands after a folder: the folder's verdict and the rules still live there.
class CFilterFolderState {
public:
    const SFilterVerdict& Verdict() const { return m_verdict; }
    // True when no rule can match anything below: every item there takes this folder's verdict.
    bool IsInert() const { return m_size == 0; }

private:
    friend class CFilterMatcher;
    static constexpr uint32_t kInline = 6;
    uint32_t Size() const { return m_size; }
    uint32_t At(uint32_t i) const { return i < kInline ? m_inline[i] : m_more[i - kInline]; }
    void Clear() {
        m_size = 0;
        m_more.clear();
    }
    void Add(uint32_t node);  // once

    SFilterVerdict m_verdict;
    uint32_t m_size = 0;
    std::array<uint32_t, kInline> m_inline{};
    std::vector<uint32_t> m_more;  // past kInline; keeps its capacity when the state is reused
};

class CFilterMatcher {
public:
    // Compiles the rules (their order numbers the rules in verdicts). Win32 14 when memory runs out.
    static CKoError Build(const std::vector<SFilterRule>& rules, std::shared_ptr<const CFilterMatcher>& out);

    size_t RuleCount() const { return m_ruleCount; }

    // The state of the root folder "/".
    void RootState(CFilterFolderState& state) const;
    // The state of any folder, from its absolute path (cost: one step per component).
    void FolderState(std::string_view folderPath, CFilterFolderState& state) const;
    // The verdict of the entry `name` of the folder whose state is `parent`. For a folder that
    // the walk descends into, `child` (when given) receives the folder's state; it may not be
    // `parent` itself.
    SFilterVerdict Step(const CFilterFolderState& parent, std::string_view name, bool isFolder,
                        CFilterFolderState* child = nullptr) const;
    // The verdict of an item from its absolute path alone.
    SFilterVerdict Match(std::string_view path, bool isFolder) const;

    // Trie size, for logs and benchmarks.
    size_t NodeCount() const;

    CFilterMatcher();
    ~CFilterMatcher();
    CFilterMatcher(const CFilterMatcher&) = delete;
    CFilterMatcher& operator=(const CFilterMatcher&) = delete;

private:
    struct Node;
    struct GlobNode;
    struct GlobEntry;
    struct GlobRef;
    struct LiteralSlot;
    struct BucketSlot;
    class Builder;
    template <class Visit>
    void ForEachNext(const CFilterFolderState& parent, std::string_view name, Visit&& visit) const;
    template <class Visit>
    void VisitWithClosure(uint32_t node, Visit& visit) const;
    uint32_t FindLiteral(uint32_t parent, std::string_view name) const;
    template <class Visit>
    void VisitGlobs(uint32_t globNode, std::string_view name, Visit& visit) const;
    const BucketSlot* FindBucket(uint64_t key) const;
    bool RefMatches(const GlobRef& ref, std::string_view name) const;

    size_t m_ruleCount = 0;
    std::vector<Node> m_nodes;
    std::vector<LiteralSlot> m_literals;  // open addressing; size a power of two
    std::string m_names;                  // the bytes of literal components
    std::vector<GlobNode> m_globNodes;
    std::vector<GlobEntry> m_globs;
    std::vector<GlobRef> m_globRefs;     // bucket contents
    std::vector<uint64_t> m_bigrams;     // bitmaps of byte pairs that begin infix keys
    std::vector<BucketSlot> m_buckets;   // open addressing; size a power of two
};
