#include "scan/content/FilterMatcher.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <map>
#include <new>
#include <unordered_map>
#include <utility>

namespace {

constexpr uint32_t kNone = 0xFFFFFFFFu;
constexpr int32_t kNoRule = INT32_MAX;
constexpr uint32_t kMaxGlobNodes = 1u << 26;  // glob node ids fit the bucket key
constexpr size_t kBigramBits = 65536;  // one bit per byte pair that begins an infix key
constexpr size_t kBigramWords = kBigramBits / 64;
constexpr size_t kInlineLiteral = 14;
constexpr int kKeyBytes = 3;                  // glob buckets key on up to 3 literal bytes
static_assert(kKeyBytes == 3, "the infix scan reads names two bytes at a time for three-byte keys");

// Terminal slots of a node: rules that end there.
enum ETerminal { kFilterAny, kFilterFolder, kExceptionAny, kExceptionFolder };

inline uint64_t Mix(uint64_t h) {
    h ^= h >> 31;
    h *= 0xD6E8FEB86659FD93ull;
    h ^= h >> 32;
    return h;
}

inline uint64_t HashName(uint32_t parent, std::string_view s) {
    constexpr uint64_t kMul = 0x9E3779B97F4A7C15ull;
    uint64_t h = (static_cast<uint64_t>(parent) << 32 | s.size()) * kMul;
    const char* p = s.data();
    size_t n = s.size();
    for (; n >= 8; p += 8, n -= 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        h = (h ^ w) * kMul;
        h ^= h >> 29;
    }
    if (n > 0) {
        uint64_t w = 0;
        std::memcpy(&w, p, n);
        h = (h ^ w) * kMul;
    }
    return Mix(h);
}

// Up to kKeyBytes bytes as one number (a memcpy of a variable length would be a call).
inline uint32_t PackBytes(const char* p, size_t k) {
    const auto* b = reinterpret_cast<const unsigned char*>(p);
    uint32_t w = b[0];
    if (k > 1) w |= static_cast<uint32_t>(b[1]) << 8;
    if (k > 2) w |= static_cast<uint32_t>(b[2]) << 16;
    return w;
}

// side 0: the bytes a glob ends with; 1: those it begins with; 2: bytes it holds somewhere.
inline uint64_t BucketKey(uint32_t globNode, unsigned side, size_t k, uint32_t bytes) {
    return static_cast<uint64_t>(globNode) << 37 | static_cast<uint64_t>(side) << 35 | static_cast<uint64_t>(k) << 32 |
           bytes;
}

inline unsigned BigramBit(unsigned char b0, unsigned char b1) { return static_cast<unsigned>(b0) << 8 | b1; }

inline bool TestBit(const uint64_t (&bits)[4], unsigned char b) { return (bits[b >> 6] >> (b & 63)) & 1; }
inline void SetBit(uint64_t (&bits)[4], unsigned char b) { bits[b >> 6] |= uint64_t(1) << (b & 63); }

size_t TableSize(size_t entries) {
    size_t size = 16;
    while (size < entries * 2) size <<= 1;
    return size;
}

}  // namespace

struct CFilterMatcher::Node {
    uint32_t anyDepth = kNone;  // the "**" child
    uint32_t globNode = kNone;  // index into m_globNodes when the node has wildcard children
    int32_t terminal[4] = {-1, -1, -1, -1};
    bool isAnyDepth = false;
    bool hasLiterals = false;
    bool hasTerminal = false;
    bool ruleBelow = false;       // a rule can end below this node
    bool exceptionBelow = false;  // an exception can end below this node
};

struct CFilterMatcher::LiteralSlot {
    uint32_t parent = kNone;
    uint32_t child = kNone;  // kNone: empty slot
    uint32_t nameOffset = 0;
    uint32_t nameLength = 0;
    uint32_t hash = 0;
};

struct CFilterMatcher::GlobNode {
    uint64_t lastBytes[4] = {};   // last byte of every suffix key
    uint64_t firstBytes[4] = {};  // first byte of every prefix key
    uint64_t infixBytes[4] = {};  // first byte of every one-byte infix key
    uint8_t suffixLengths = 0;    // bit k: keys of k bytes
    uint8_t prefixLengths = 0;
    uint8_t infixLengths = 0;
    uint32_t pairs2 = kNone;  // offset in m_bigrams of the bitmap of two-byte infix keys
    uint32_t pairs3 = kNone;  // of the bitmap of both byte pairs of three-byte infix keys
    uint32_t plainFirst = 0, plainCount = 0;  // globs with no literal byte, in m_globRefs
};

// A wildcard child as a bucket lists it. The simple forms ("*.ext", "name*", "*part*") carry
// their literal, so most are decided without touching the compiled glob.
struct CFilterMatcher::GlobRef {
    uint32_t child = kNone;
    uint32_t glob = kNone;  // index into m_globs
    CFilterGlob::EShape shape = CFilterGlob::EShape::Other;
    uint8_t length = 0;
    char literal[kInlineLiteral] = {};
};

struct CFilterMatcher::GlobEntry {
    CFilterGlob glob;
    uint32_t child = kNone;
};

struct CFilterMatcher::BucketSlot {
    uint64_t key = 0;
    uint32_t first = 0;
    uint32_t count = 0;  // 0: empty slot
};

// The trie as rules are added, with maps that are easy to grow; Finish turns it into the
// compact tables the matcher reads.
class CFilterMatcher::Builder {
public:
    explicit Builder(CFilterMatcher& m) : m_m(m) { m_nodes.emplace_back(); }

    void Add(const SFilterRule& rule, int32_t index) {
        uint32_t n = 0;
        for (const CFilterTerm::Component& c : rule.term.Components()) {
            switch (c.kind) {
                case CFilterTerm::EKind::Literal: {
                    auto it = m_nodes[n].literals.find(c.literal);
                    if (it != m_nodes[n].literals.end()) {
                        n = it->second;
                    } else {
                        const uint32_t child = NewNode();
                        m_nodes[n].literals.emplace(c.literal, child);
                        n = child;
                    }
                    break;
                }
                case CFilterTerm::EKind::Glob: {
                    auto it = m_nodes[n].globByText.find(c.glob.Text());
                    if (it != m_nodes[n].globByText.end()) {
                        n = m_nodes[n].globs[it->second].second;
                    } else {
                        const uint32_t child = NewNode();
                        m_nodes[n].globByText.emplace(c.glob.Text(), m_nodes[n].globs.size());
                        m_nodes[n].globs.emplace_back(c.glob, child);
                        n = child;
                    }
                    break;
                }
                case CFilterTerm::EKind::AnyDepth:
                    if (m_nodes[n].anyDepth == kNone) {
                        const uint32_t child = NewNode();
                        m_nodes[child].isAnyDepth = true;
                        m_nodes[n].anyDepth = child;
                    }
                    n = m_nodes[n].anyDepth;
                    break;
            }
        }
        const int slot = (rule.kind == EFilterRuleKind::Exception ? kExceptionAny : kFilterAny) +
                         (rule.term.IsFolderOnly() ? 1 : 0);
        if (m_nodes[n].terminal[slot] < 0) m_nodes[n].terminal[slot] = index;
    }

    void Finish() {
        const size_t count = m_nodes.size();
        m_m.m_nodes.assign(count, Node());
        size_t literalEdges = 0;
        for (size_t i = 0; i < count; ++i) {
            Node& out = m_m.m_nodes[i];
            const BNode& in = m_nodes[i];
            out.anyDepth = in.anyDepth;
            out.isAnyDepth = in.isAnyDepth;
            out.hasLiterals = !in.literals.empty();
            std::copy(std::begin(in.terminal), std::end(in.terminal), out.terminal);
            out.hasTerminal = std::any_of(std::begin(in.terminal), std::end(in.terminal), [](int32_t r) { return r >= 0; });
            literalEdges += in.literals.size();
        }
        // Children are made after their parents, so one pass from the end sees every child first.
        for (size_t i = count; i-- > 0;) {
            Node& out = m_m.m_nodes[i];
            auto fold = [&](uint32_t c) {
                const Node& child = m_m.m_nodes[c];
                out.ruleBelow |= child.hasTerminal || child.ruleBelow;
                out.exceptionBelow |=
                    child.terminal[kExceptionAny] >= 0 || child.terminal[kExceptionFolder] >= 0 || child.exceptionBelow;
            };
            for (const auto& [name, c] : m_nodes[i].literals) fold(c);
            for (const auto& edge : m_nodes[i].globs) fold(edge.second);
            if (m_nodes[i].anyDepth != kNone) fold(m_nodes[i].anyDepth);
        }
        FillLiterals(literalEdges);
        FillGlobs();
    }

private:
    struct BNode {
        std::unordered_map<std::string, uint32_t> literals;
        std::map<std::string, size_t> globByText;
        std::vector<std::pair<CFilterGlob, uint32_t>> globs;
        uint32_t anyDepth = kNone;
        int32_t terminal[4] = {-1, -1, -1, -1};
        bool isAnyDepth = false;
    };

    uint32_t NewNode() {
        if (m_nodes.size() >= kNone - 1) throw std::bad_alloc();
        m_nodes.emplace_back();
        return static_cast<uint32_t>(m_nodes.size() - 1);
    }

    void FillLiterals(size_t edges) {
        if (edges == 0) return;
        m_m.m_literals.assign(TableSize(edges), LiteralSlot());
        const size_t mask = m_m.m_literals.size() - 1;
        for (size_t parent = 0; parent < m_nodes.size(); ++parent) {
            for (const auto& [name, child] : m_nodes[parent].literals) {
                if (m_m.m_names.size() + name.size() > UINT32_MAX) throw std::bad_alloc();
                const uint64_t h = HashName(static_cast<uint32_t>(parent), name);
                size_t i = h & mask;
                while (m_m.m_literals[i].child != kNone) i = (i + 1) & mask;
                LiteralSlot& s = m_m.m_literals[i];
                s.parent = static_cast<uint32_t>(parent);
                s.child = child;
                s.nameOffset = static_cast<uint32_t>(m_m.m_names.size());
                s.nameLength = static_cast<uint32_t>(name.size());
                s.hash = static_cast<uint32_t>(h >> 32);
                m_m.m_names += name;
            }
        }
    }

    GlobRef MakeRef(const CFilterGlob& glob, uint32_t child) {
        GlobRef ref;
        ref.child = child;
        ref.glob = static_cast<uint32_t>(m_m.m_globs.size());
        m_m.m_globs.push_back({glob, child});
        const std::string* literal = nullptr;
        switch (glob.Shape()) {
            case CFilterGlob::EShape::Suffix: literal = &glob.LiteralSuffix(); break;
            case CFilterGlob::EShape::Prefix: literal = &glob.LiteralPrefix(); break;
            case CFilterGlob::EShape::Infix: literal = &glob.LiteralInfix(); break;
            case CFilterGlob::EShape::Other: break;
        }
        if (literal && literal->size() <= kInlineLiteral) {
            ref.shape = glob.Shape();
            ref.length = static_cast<uint8_t>(literal->size());
            std::memcpy(ref.literal, literal->data(), literal->size());
        }
        return ref;
    }

    void FillGlobs() {
        std::vector<std::pair<uint64_t, GlobRef>> keyed;  // bucket key, glob
        for (size_t n = 0; n < m_nodes.size(); ++n) {
            if (m_nodes[n].globs.empty()) continue;
            if (m_m.m_globNodes.size() >= kMaxGlobNodes) throw std::bad_alloc();
            const auto g = static_cast<uint32_t>(m_m.m_globNodes.size());
            m_m.m_nodes[n].globNode = g;
            GlobNode gn;
            gn.plainFirst = static_cast<uint32_t>(m_m.m_globRefs.size());
            for (auto& [glob, child] : m_nodes[n].globs) {
                const GlobRef ref = MakeRef(glob, child);
                const std::string& suffix = glob.LiteralSuffix();
                const std::string& prefix = glob.LiteralPrefix();
                const std::string& infix = glob.LiteralInfix();
                if (!suffix.empty()) {
                    const size_t k = std::min<size_t>(kKeyBytes, suffix.size());
                    gn.suffixLengths |= static_cast<uint8_t>(1u << k);
                    SetBit(gn.lastBytes, static_cast<unsigned char>(suffix.back()));
                    keyed.emplace_back(BucketKey(g, 0, k, PackBytes(suffix.data() + suffix.size() - k, k)), ref);
                } else if (!prefix.empty()) {
                    const size_t k = std::min<size_t>(kKeyBytes, prefix.size());
                    gn.prefixLengths |= static_cast<uint8_t>(1u << k);
                    SetBit(gn.firstBytes, static_cast<unsigned char>(prefix.front()));
                    keyed.emplace_back(BucketKey(g, 1, k, PackBytes(prefix.data(), k)), ref);
                } else if (!infix.empty()) {
                    // "*cache*": found through the bytes it holds, wherever they stand in a name.
                    const size_t k = std::min<size_t>(kKeyBytes, infix.size());
                    gn.infixLengths |= static_cast<uint8_t>(1u << k);
                    auto setPair = [&](uint32_t& table, const char* at) {
                        if (table == kNone) {
                            table = static_cast<uint32_t>(m_m.m_bigrams.size());
                            m_m.m_bigrams.resize(m_m.m_bigrams.size() + kBigramWords);
                        }
                        const unsigned bit = BigramBit(static_cast<unsigned char>(at[0]), static_cast<unsigned char>(at[1]));
                        m_m.m_bigrams[table + bit / 64] |= uint64_t(1) << (bit % 64);
                    };
                    if (k == 1) {
                        SetBit(gn.infixBytes, static_cast<unsigned char>(infix[0]));
                    } else if (k == 2) {
                        setPair(gn.pairs2, infix.data());
                    } else {
                        // Either pair of a three-byte key starts at an even place of a name that
                        // holds it, so a name is read two bytes at a time.
                        setPair(gn.pairs3, infix.data());
                        setPair(gn.pairs3, infix.data() + 1);
                    }
                    keyed.emplace_back(BucketKey(g, 2, k, PackBytes(infix.data(), k)), ref);
                } else {
                    m_m.m_globRefs.push_back(ref);
                    ++gn.plainCount;
                }
            }
            m_m.m_globNodes.push_back(gn);
        }
        if (keyed.empty()) return;
        std::stable_sort(keyed.begin(), keyed.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        size_t distinct = 0;
        for (size_t i = 0; i < keyed.size(); ++i) distinct += (i == 0 || keyed[i].first != keyed[i - 1].first);
        m_m.m_buckets.assign(TableSize(distinct), BucketSlot());
        const size_t mask = m_m.m_buckets.size() - 1;
        for (size_t i = 0; i < keyed.size();) {
            size_t j = i;
            const auto first = static_cast<uint32_t>(m_m.m_globRefs.size());
            for (; j < keyed.size() && keyed[j].first == keyed[i].first; ++j) m_m.m_globRefs.push_back(keyed[j].second);
            size_t s = Mix(keyed[i].first) & mask;
            while (m_m.m_buckets[s].count != 0) s = (s + 1) & mask;
            m_m.m_buckets[s] = {keyed[i].first, first, static_cast<uint32_t>(j - i)};
            i = j;
        }
    }

    CFilterMatcher& m_m;
    std::vector<BNode> m_nodes;
};

// ---------------------------------------------------------------------------------------------

void CFilterFolderState::Add(uint32_t node) {
    for (uint32_t i = 0; i < m_size; ++i)
        if (At(i) == node) return;
    if (m_size < kInline)
        m_inline[m_size] = node;
    else
        m_more.push_back(node);
    ++m_size;
}

CFilterMatcher::CFilterMatcher() = default;
CFilterMatcher::~CFilterMatcher() = default;

size_t CFilterMatcher::NodeCount() const { return m_nodes.size(); }

CKoError CFilterMatcher::Build(const std::vector<SFilterRule>& rules, std::shared_ptr<const CFilterMatcher>& out) {
    out.reset();
    if (rules.size() >= static_cast<size_t>(INT32_MAX))
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY, "Too many filter rules, Count=[%zu]",
                                       rules.size());
    try {
        auto matcher = std::make_shared<CFilterMatcher>();
        Builder builder(*matcher);
        for (size_t i = 0; i < rules.size(); ++i) builder.Add(rules[i], static_cast<int32_t>(i));
        builder.Finish();
        matcher->m_ruleCount = rules.size();
        out = std::move(matcher);
    } catch (const std::bad_alloc&) {
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY, "Cannot compile filter rules, Count=[%zu]",
                                       rules.size());
    }
    return CKoError::Success();
}

uint32_t CFilterMatcher::FindLiteral(uint32_t parent, std::string_view name) const {
    const uint64_t h = HashName(parent, name);
    const auto tag = static_cast<uint32_t>(h >> 32);
    const size_t mask = m_literals.size() - 1;
    for (size_t i = h & mask;; i = (i + 1) & mask) {
        const LiteralSlot& s = m_literals[i];
        if (s.child == kNone) return kNone;
        if (s.hash == tag && s.parent == parent && s.nameLength == name.size() &&
            std::memcmp(m_names.data() + s.nameOffset, name.data(), name.size()) == 0)
            return s.child;
    }
}

const CFilterMatcher::BucketSlot* CFilterMatcher::FindBucket(uint64_t key) const {
    const size_t mask = m_buckets.size() - 1;
    for (size_t i = Mix(key) & mask;; i = (i + 1) & mask) {
        const BucketSlot& s = m_buckets[i];
        if (s.count == 0) return nullptr;
        if (s.key == key) return &s;
    }
}

bool CFilterMatcher::RefMatches(const GlobRef& ref, std::string_view name) const {
    const size_t n = name.size(), k = ref.length;
    switch (ref.shape) {
        case CFilterGlob::EShape::Suffix:
            return n >= k && std::memcmp(name.data() + n - k, ref.literal, k) == 0;
        case CFilterGlob::EShape::Prefix:
            return n >= k && std::memcmp(name.data(), ref.literal, k) == 0;
        case CFilterGlob::EShape::Infix:
            return name.find(std::string_view(ref.literal, k)) != std::string_view::npos;
        case CFilterGlob::EShape::Other:
            break;
    }
    return m_globs[ref.glob].glob.Matches(name);
}

template <class Visit>
void CFilterMatcher::VisitGlobs(uint32_t g, std::string_view name, Visit& visit) const {
    const GlobNode& gn = m_globNodes[g];
    const size_t n = name.size();
    auto tryRange = [&](uint32_t first, uint32_t count) {
        for (uint32_t r = first; r < first + count; ++r) {
            const GlobRef& ref = m_globRefs[r];
            if (RefMatches(ref, name)) visit(ref.child);
        }
    };
    if (n > 0 && gn.suffixLengths && TestBit(gn.lastBytes, static_cast<unsigned char>(name[n - 1]))) {
        for (size_t k = 1; k <= kKeyBytes && k <= n; ++k) {
            if (!(gn.suffixLengths >> k & 1)) continue;
            if (const BucketSlot* b = FindBucket(BucketKey(g, 0, k, PackBytes(name.data() + n - k, k))))
                tryRange(b->first, b->count);
        }
    }
    if (n > 0 && gn.prefixLengths && TestBit(gn.firstBytes, static_cast<unsigned char>(name[0]))) {
        for (size_t k = 1; k <= kKeyBytes && k <= n; ++k) {
            if (!(gn.prefixLengths >> k & 1)) continue;
            if (const BucketSlot* b = FindBucket(BucketKey(g, 1, k, PackBytes(name.data(), k))))
                tryRange(b->first, b->count);
        }
    }
    if (gn.infixLengths) {
        // A glob is tried at every place its bytes occur: the state keeps each node once.
        if (gn.infixLengths & 2) {
            for (size_t i = 0; i < n; ++i) {
                const auto b0 = static_cast<unsigned char>(name[i]);
                if (!TestBit(gn.infixBytes, b0)) continue;
                if (const BucketSlot* b = FindBucket(BucketKey(g, 2, 1, b0))) tryRange(b->first, b->count);
            }
        }
        auto probe = [&](size_t start, size_t k) {
            if (start + k > n) return;
            if (const BucketSlot* b = FindBucket(BucketKey(g, 2, k, PackBytes(name.data() + start, k))))
                tryRange(b->first, b->count);
        };
        const auto* bytes = reinterpret_cast<const unsigned char*>(name.data());
        auto pairAt = [&](const uint64_t* table, size_t i) {
            const unsigned bit = BigramBit(bytes[i], bytes[i + 1]);
            return (table[bit / 64] >> (bit % 64)) & 1;
        };
        if (gn.pairs2 != kNone) {
            const uint64_t* table = m_bigrams.data() + gn.pairs2;
            for (size_t i = 0; i + 1 < n; ++i)
                if (pairAt(table, i)) probe(i, 2);
        }
        if (gn.pairs3 != kNone) {
            const uint64_t* table = m_bigrams.data() + gn.pairs3;
            for (size_t i = 0; i + 1 < n; i += 2) {
                if (!pairAt(table, i)) continue;
                probe(i, 3);
                if (i > 0) probe(i - 1, 3);
            }
        }
    }
    tryRange(gn.plainFirst, gn.plainCount);
}

template <class Visit>
void CFilterMatcher::VisitWithClosure(uint32_t node, Visit& visit) const {
    visit(node);
    // Entering a node enters its "**" child too: "**" may match no component at all.
    const uint32_t any = m_nodes[node].anyDepth;
    if (any != kNone) visit(any);
}

template <class Visit>
void CFilterMatcher::ForEachNext(const CFilterFolderState& parent, std::string_view name, Visit&& visit) const {
    auto enter = [&](uint32_t child) { VisitWithClosure(child, visit); };
    for (uint32_t i = 0; i < parent.Size(); ++i) {
        const uint32_t id = parent.At(i);
        const Node& node = m_nodes[id];
        if (node.isAnyDepth) visit(id);  // "**" takes this component and stays
        if (node.hasLiterals) {
            const uint32_t child = FindLiteral(id, name);
            if (child != kNone) enter(child);
        }
        if (node.globNode != kNone) VisitGlobs(node.globNode, name, enter);
    }
}

SFilterVerdict CFilterMatcher::Step(const CFilterFolderState& parent, std::string_view name, bool isFolder,
                                    CFilterFolderState* child) const {
    int32_t filter = kNoRule, exception = kNoRule;
    bool exceptionBelow = false;
    auto check = [&](uint32_t id) {
        const Node& node = m_nodes[id];
        if (node.hasTerminal) {
            auto take = [](int32_t rule, int32_t& best) {
                if (rule >= 0 && rule < best) best = rule;
            };
            take(node.terminal[kFilterAny], filter);
            take(node.terminal[kExceptionAny], exception);
            if (isFolder) {
                take(node.terminal[kFilterFolder], filter);
                take(node.terminal[kExceptionFolder], exception);
            }
        }
        exceptionBelow |= node.exceptionBelow;
    };
    if (child) {
        child->Clear();
        ForEachNext(parent, name, [&](uint32_t id) {
            check(id);
            if (m_nodes[id].ruleBelow) child->Add(id);
        });
    } else {
        ForEachNext(parent, name, check);
    }
    SFilterVerdict v;
    if (exception != kNoRule) {
        v.included = true;
        v.rule = exception;
    } else if (filter != kNoRule) {
        v.included = false;
        v.rule = filter;
    } else {
        v.included = parent.m_verdict.included;
        v.rule = parent.m_verdict.rule;
    }
    v.descend = isFolder && (v.included || exceptionBelow);
    if (child) child->m_verdict = v;
    return v;
}

void CFilterMatcher::RootState(CFilterFolderState& state) const {
    state.Clear();
    SFilterVerdict v;
    if (!m_nodes.empty()) {
        const Node& root = m_nodes[0];
        if (root.ruleBelow) state.Add(0);
        if (root.anyDepth != kNone && m_nodes[root.anyDepth].ruleBelow) state.Add(root.anyDepth);
        // "/" is a folder: rules for folders only apply to it too.
        auto first = [](int32_t a, int32_t b) { return a < 0 ? b : b < 0 ? a : std::min(a, b); };
        const int32_t exception = first(root.terminal[kExceptionAny], root.terminal[kExceptionFolder]);
        const int32_t filter = first(root.terminal[kFilterAny], root.terminal[kFilterFolder]);
        if (exception >= 0) {
            v.rule = exception;
        } else if (filter >= 0) {
            v.included = false;
            v.rule = filter;
            v.descend = root.exceptionBelow;
        }
    }
    state.m_verdict = v;
}

void CFilterMatcher::FolderState(std::string_view folderPath, CFilterFolderState& state) const {
    CFilterFolderState other;
    CFilterFolderState* cur = &state;
    CFilterFolderState* next = &other;
    RootState(*cur);
    size_t i = 0;
    while (i < folderPath.size()) {
        size_t end = folderPath.find('/', i);
        if (end == std::string_view::npos) end = folderPath.size();
        if (end > i) {
            Step(*cur, folderPath.substr(i, end - i), true, next);
            std::swap(cur, next);
        }
        i = end + 1;
    }
    if (cur != &state) std::swap(state, other);
}

SFilterVerdict CFilterMatcher::Match(std::string_view path, bool isFolder) const {
    size_t end = path.size();
    while (end > 0 && path[end - 1] == '/') --end;
    const size_t slash = path.rfind('/', end == 0 ? 0 : end - 1);
    if (end == 0 || slash == std::string_view::npos) {
        CFilterFolderState root;
        RootState(root);
        if (end == 0) return root.Verdict();
        return Step(root, path.substr(0, end), isFolder);
    }
    CFilterFolderState folder;
    FolderState(path.substr(0, slash), folder);
    return Step(folder, path.substr(slash + 1, end - slash - 1), isFolder);
}
