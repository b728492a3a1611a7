// The filter-term syntax of the agent: one filter or exception string parsed into its path
// components, and the plain matcher of one term.
//
// A term is a path pattern, matched component by component against an item's full path:
//   /srv/data/cache     that path (a folder filter leaves out everything below it as well)
//   /home/*/.cache      "*" any run of bytes within one component, "?" one byte,
//   /data/[a-c]?.log    "[...]" one byte of a set ("[!...]" or "[^...]" not of it, ranges "a-z")
//   /srv/**/core        "**" as a whole component: any number of components, none included
//   /mnt/x/**           a trailing "**": everything below /mnt/x, but not /mnt/x itself
//   *.tmp               no "/": the item's name, at any depth
//   cache/              a trailing "/": folders only
//   \*literal\[1]       "\" takes the next byte as it is
// Components "." are dropped and repeated "/" collapse; ".." is refused, and so is a token
// starting with "<" (this platform has none). Matching is by byte, case-sensitive.
//
// The two syntaxes differ in one point only: a relative pattern holding "/" ("build/out") is
// refused in a subclient's filter strings, which are absolute paths or name patterns, while a
// command-line pattern takes it as rsync and tar do: matched at the end of the path, at any depth.
#pragma once

#include <bitset>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/KoError.h"

enum class EFilterSyntax : uint8_t {
    Subclient,  // the subclient's filter strings
    Quick,      // command-line patterns, as tar and rsync take them
};

// One path component with wildcards, compiled: runs of fixed-width tokens between stars.
class CFilterGlob {
public:
    // The common simple forms, which a matcher may test by their literal alone.
    enum class EShape : uint8_t {
        Other,
        Suffix,  // "*" LITERAL: LiteralSuffix()
        Prefix,  // LITERAL "*": LiteralPrefix()
        Infix,   // "*" LITERAL "*": LiteralInfix()
    };

    // `pattern` is one component as written (escapes included). Fails with Win32 13 on an
    // unclosed "[", a reversed range or a trailing "\"; the message is the reason alone.
    CKoError Parse(std::string_view pattern);

    bool Matches(std::string_view name) const;
    // The bytes every match begins and ends with (escapes resolved; empty when it begins or ends
    // with a wildcard). The matcher indexes globs by them.
    const std::string& LiteralPrefix() const { return m_prefix; }
    const std::string& LiteralSuffix() const { return m_suffix; }
    // The longest run of literal bytes anywhere in the pattern: every match holds it.
    const std::string& LiteralInfix() const { return m_infix; }
    const std::string& Text() const { return m_text; }
    EShape Shape() const { return m_shape; }

private:
    enum class ETok : uint8_t { Byte, Any, Set };
    struct Token {
        ETok kind;
        uint8_t byte;
        uint16_t set;  // index into m_sets
    };
    struct Segment {
        uint32_t first, count;  // tokens; each matches exactly one byte
    };
    bool MatchSegment(const Segment& s, const char* at) const;

    std::string m_text, m_prefix, m_suffix, m_infix;
    std::vector<Token> m_tokens;
    std::vector<Segment> m_segments;  // segments.size() - 1 stars between them
    std::vector<std::bitset<256>> m_sets;
    size_t m_minLength = 0;
    EShape m_shape = EShape::Other;
};

class CFilterTerm {
public:
    enum class EKind : uint8_t { Literal, Glob, AnyDepth };
    struct Component {
        EKind kind = EKind::Literal;
        std::string literal;  // Literal: the name, escapes resolved
        CFilterGlob glob;     // Glob
    };

    // Parses `text`; on failure (Win32 13, the reason in the message) the term is empty.
    CKoError LoadRaw(std::string_view text, EFilterSyntax syntax = EFilterSyntax::Subclient);

    const std::string& Text() const { return m_text; }
    // Anchored at "/"; an unanchored term begins with an AnyDepth component.
    bool IsAnchored() const { return m_anchored; }
    bool IsFolderOnly() const { return m_folderOnly; }
    const std::vector<Component>& Components() const { return m_components; }

    // The leading literal components as a path ("/srv/data" for "/srv/data/*.tmp", "/" for
    // "/*.tmp"); empty for an unanchored term.
    std::string GetPrefix() const;

    // Whether the term matches this very path (an absolute path, "/" the root); what lies below a
    // matched folder is the caller's concern.
    bool Matches(std::string_view path, bool isFolder) const;

    // `text` with "\" before every byte the syntax would read as a wildcard or escape, so that a
    // path from elsewhere is matched as it is.
    static std::string EscapeLiteral(std::string_view text);

private:
    std::string m_text;
    bool m_anchored = false;
    bool m_folderOnly = false;
    std::vector<Component> m_components;
};
