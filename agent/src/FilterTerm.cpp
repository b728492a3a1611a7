#include "agent/FilterTerm.h"

namespace {

CKoError Unparsable(const FXCodeLocation& loc, std::string_view text, const char* why) {
    return FXErrorUtil::ErrorWin32(loc, ZyWin32::ERROR_INVALID_DATA, "Cannot parse filter, Filter=[%.*s]: %s",
                                   static_cast<int>(text.size()), text.data(), why);
}

// The reasons a wildcard component gives; the term adds which filter it belongs to.
CKoError BadGlob(const FXCodeLocation& loc, const char* why) {
    return FXErrorUtil::ErrorWin32(loc, ZyWin32::ERROR_INVALID_DATA, "%s", why);
}

bool IsWildcard(char c) { return c == '*' || c == '?' || c == '['; }

// True when the component holds a wildcard that no "\" takes literally.
bool HasUnescapedWildcard(std::string_view s) {
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\') {
            ++i;
        } else if (IsWildcard(s[i])) {
            return true;
        }
    }
    return false;
}

// The path's components (empty ones, from "//", skipped).
void SplitComponents(std::string_view path, std::vector<std::string_view>& out) {
    out.clear();
    size_t i = 0;
    while (i < path.size()) {
        size_t end = path.find('/', i);
        if (end == std::string_view::npos) end = path.size();
        if (end > i) out.push_back(path.substr(i, end - i));
        i = end + 1;
    }
}

}  // namespace

// CFilterGlob ---------------------------------------------------------------------------------

CKoError CFilterGlob::Parse(std::string_view pattern) {
    m_text.assign(pattern);
    m_prefix.clear();
    m_suffix.clear();
    m_infix.clear();
    m_shape = EShape::Other;
    m_tokens.clear();
    m_segments.clear();
    m_sets.clear();
    uint32_t segmentStart = 0;
    const size_t n = pattern.size();
    for (size_t i = 0; i < n; ++i) {
        const char c = pattern[i];
        if (c == '*') {
            m_segments.push_back({segmentStart, static_cast<uint32_t>(m_tokens.size()) - segmentStart});
            segmentStart = static_cast<uint32_t>(m_tokens.size());
        } else if (c == '?') {
            m_tokens.push_back({ETok::Any, 0, 0});
        } else if (c == '[') {
            std::bitset<256> set;
            size_t j = i + 1;
            bool negate = false;
            if (j < n && (pattern[j] == '!' || pattern[j] == '^')) {
                negate = true;
                ++j;
            }
            bool first = true, closed = false;
            while (j < n) {
                unsigned char lo = static_cast<unsigned char>(pattern[j]);
                if (lo == ']' && !first) {
                    closed = true;
                    break;
                }
                first = false;
                if (lo == '\\') {
                    if (++j == n) break;
                    lo = static_cast<unsigned char>(pattern[j]);
                }
                ++j;
                unsigned char hi = lo;
                if (j + 1 < n && pattern[j] == '-' && pattern[j + 1] != ']') {
                    ++j;
                    if (pattern[j] == '\\' && ++j == n) break;
                    hi = static_cast<unsigned char>(pattern[j]);
                    ++j;
                    if (hi < lo) return BadGlob(ZY_HERE, "reversed range in [...]");
                }
                for (unsigned b = lo; b <= hi; ++b) set.set(b);
            }
            if (!closed) return BadGlob(ZY_HERE, "unclosed [");
            if (negate) set.flip();
            if (m_sets.size() >= 0xFFFF) return BadGlob(ZY_HERE, "too many [...] sets");
            m_sets.push_back(set);
            m_tokens.push_back({ETok::Set, 0, static_cast<uint16_t>(m_sets.size() - 1)});
            i = j;  // at the closing "]"
        } else if (c == '\\') {
            if (i + 1 == n) return BadGlob(ZY_HERE, "\\ at the end");
            m_tokens.push_back({ETok::Byte, static_cast<uint8_t>(pattern[++i]), 0});
        } else {
            m_tokens.push_back({ETok::Byte, static_cast<uint8_t>(c), 0});
        }
    }
    m_segments.push_back({segmentStart, static_cast<uint32_t>(m_tokens.size()) - segmentStart});
    m_minLength = m_tokens.size();

    const Segment& first = m_segments.front();
    for (uint32_t k = 0; k < first.count && m_tokens[first.first + k].kind == ETok::Byte; ++k)
        m_prefix.push_back(static_cast<char>(m_tokens[first.first + k].byte));
    const Segment& last = m_segments.back();
    uint32_t k = last.count;
    while (k > 0 && m_tokens[last.first + k - 1].kind == ETok::Byte) --k;
    for (; k < last.count; ++k) m_suffix.push_back(static_cast<char>(m_tokens[last.first + k].byte));
    for (const Segment& seg : m_segments) {
        std::string run;
        for (uint32_t t = 0; t <= seg.count; ++t) {
            if (t < seg.count && m_tokens[seg.first + t].kind == ETok::Byte) {
                run.push_back(static_cast<char>(m_tokens[seg.first + t].byte));
                continue;
            }
            if (run.size() > m_infix.size()) m_infix = run;
            run.clear();
        }
    }
    auto allBytes = [&](const Segment& seg) {
        for (uint32_t t = 0; t < seg.count; ++t)
            if (m_tokens[seg.first + t].kind != ETok::Byte) return false;
        return seg.count > 0;
    };
    m_shape = EShape::Other;
    if (m_segments.size() == 2 && m_segments[0].count == 0 && allBytes(m_segments[1]))
        m_shape = EShape::Suffix;
    else if (m_segments.size() == 2 && m_segments[1].count == 0 && allBytes(m_segments[0]))
        m_shape = EShape::Prefix;
    else if (m_segments.size() == 3 && m_segments[0].count == 0 && m_segments[2].count == 0 && allBytes(m_segments[1]))
        m_shape = EShape::Infix;
    return CKoError::Success();
}

bool CFilterGlob::MatchSegment(const Segment& s, const char* at) const {
    for (uint32_t k = 0; k < s.count; ++k) {
        const Token& t = m_tokens[s.first + k];
        const auto b = static_cast<unsigned char>(at[k]);
        switch (t.kind) {
            case ETok::Byte:
                if (b != t.byte) return false;
                break;
            case ETok::Set:
                if (!m_sets[t.set].test(b)) return false;
                break;
            case ETok::Any:
                break;
        }
    }
    return true;
}

bool CFilterGlob::Matches(std::string_view name) const {
    if (name.size() < m_minLength || m_segments.empty()) return false;
    const Segment& first = m_segments.front();
    if (m_segments.size() == 1) return name.size() == first.count && MatchSegment(first, name.data());
    // Every segment has a fixed width, so the leftmost place of each middle segment is as good as
    // any later one: greedy placement decides the match without backtracking.
    if (!MatchSegment(first, name.data())) return false;
    const Segment& last = m_segments.back();
    const size_t end = name.size() - last.count;
    if (!MatchSegment(last, name.data() + end)) return false;
    size_t pos = first.count;
    for (size_t s = 1; s + 1 < m_segments.size(); ++s) {
        const Segment& seg = m_segments[s];
        bool found = false;
        for (; pos + seg.count <= end; ++pos) {
            if (MatchSegment(seg, name.data() + pos)) {
                found = true;
                break;
            }
        }
        if (!found) return false;
        pos += seg.count;
    }
    return true;
}

// CFilterTerm ---------------------------------------------------------------------------------

CKoError CFilterTerm::LoadRaw(std::string_view text, EFilterSyntax syntax) {
    m_text.assign(text);
    m_components.clear();
    m_anchored = m_folderOnly = false;
    CKoError e = [&]() -> CKoError {
        if (text.empty()) return Unparsable(ZY_HERE, text, "empty filter");
        if (text.find('\0') != std::string_view::npos) return Unparsable(ZY_HERE, text, "NUL byte");
        if (text.front() == '<') return Unparsable(ZY_HERE, text, "filter tokens (\"<...>\") are not supported here");
        std::string_view body = text;
        const bool anchored = body.front() == '/';
        bool folderOnly = false;
        while (body.size() > 1 && body.back() == '/') {
            body.remove_suffix(1);
            folderOnly = true;
        }
        if (!anchored && body.find('/') != std::string_view::npos && syntax == EFilterSyntax::Subclient)
            return Unparsable(ZY_HERE, text, "a filter path must be absolute, or a name pattern without \"/\"");
        std::vector<std::string_view> raw;
        SplitComponents(body, raw);
        std::vector<Component> components;
        for (std::string_view r : raw) {
            if (r == ".") continue;
            if (r == "..") return Unparsable(ZY_HERE, text, "\"..\" in a filter path");
            Component c;
            if (r == "**") {
                if (components.empty() || components.back().kind != EKind::AnyDepth) {
                    c.kind = EKind::AnyDepth;
                    components.push_back(std::move(c));
                }
                continue;
            }
            // "**" inside a name would have to cross components; say so rather than guess.
            for (size_t i = 0; i + 1 < r.size(); ++i) {
                if (r[i] == '\\') {
                    ++i;
                } else if (r[i] == '*' && r[i + 1] == '*') {
                    return Unparsable(ZY_HERE, text, "\"**\" must be a whole path component");
                }
            }
            if (HasUnescapedWildcard(r)) {
                c.kind = EKind::Glob;
                CKoError ge = c.glob.Parse(r);
                if (ge.IsError()) return Unparsable(ZY_HERE, text, ge.GetMessage().c_str());
            } else {
                c.kind = EKind::Literal;
                for (size_t i = 0; i < r.size(); ++i) {
                    if (r[i] == '\\') {
                        if (++i == r.size()) return Unparsable(ZY_HERE, text, "\\ at the end of a component");
                    }
                    c.literal.push_back(r[i]);
                }
            }
            components.push_back(std::move(c));
        }
        // A trailing "**" is everything below its folder: any one component there covers it.
        if (!components.empty() && components.back().kind == EKind::AnyDepth) {
            components.back().kind = EKind::Glob;
            CKoError ge = components.back().glob.Parse("*");
            if (ge.IsError()) return ge.Push(ZY_HERE);
        }
        if (!anchored) {
            if (components.empty()) return Unparsable(ZY_HERE, text, "the pattern names nothing");
            if (components.front().kind != EKind::AnyDepth) {
                Component any;
                any.kind = EKind::AnyDepth;
                components.insert(components.begin(), std::move(any));
            }
        }
        m_components = std::move(components);
        m_anchored = anchored;
        m_folderOnly = folderOnly;
        return CKoError::Success();
    }();
    if (e.IsError()) m_components.clear();
    return e;
}

std::string CFilterTerm::GetPrefix() const {
    if (!m_anchored) return std::string();
    std::string prefix;
    for (const Component& c : m_components) {
        if (c.kind != EKind::Literal) break;
        prefix += '/';
        prefix += c.literal;
    }
    return prefix.empty() ? std::string("/") : prefix;
}

bool CFilterTerm::Matches(std::string_view path, bool isFolder) const {
    if (m_folderOnly && !isFolder) return false;
    if (m_text.empty() || (m_components.empty() && !m_anchored)) return false;
    std::vector<std::string_view> names;
    SplitComponents(path, names);
    // reach[j]: the components so far can end after names[0..j).
    const size_t n = names.size();
    std::vector<char> reach(n + 1, 0), next(n + 1, 0);
    reach[0] = 1;
    for (const Component& c : m_components) {
        std::fill(next.begin(), next.end(), 0);
        for (size_t j = 0; j <= n; ++j) {
            if (!reach[j]) continue;
            switch (c.kind) {
                case EKind::AnyDepth:
                    for (size_t k = j; k <= n; ++k) next[k] = 1;
                    break;
                case EKind::Literal:
                    if (j < n && names[j] == c.literal) next[j + 1] = 1;
                    break;
                case EKind::Glob:
                    if (j < n && c.glob.Matches(names[j])) next[j + 1] = 1;
                    break;
            }
        }
        reach.swap(next);
    }
    return reach[n] != 0;
}

std::string CFilterTerm::EscapeLiteral(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (IsWildcard(c) || c == '\\') out.push_back('\\');
        out.push_back(c);
    }
    return out;
}
