// The filters and exceptions a job applies, each with where it came from: the subclient
// ("user"), the command line, or a system source ("system:FilesNotToBackup", ...). Compiled into
// the scan's matcher; the rule numbers of its verdicts are the entries' indexes here, so a
// verdict can say which entry decided.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "agent/FilterTerm.h"
#include "core/KoError.h"
#include "scan/content/FilterMatcher.h"

struct SFilterEntry {
    std::string pattern;
    EFilterRuleKind kind = EFilterRuleKind::Filter;
    EFilterSyntax syntax = EFilterSyntax::Subclient;
    std::string source;
};

class CEffectiveFilters {
public:
    static constexpr const char* kUserSource = "user";
    static constexpr const char* kCommandLineSource = "command line";
    static std::string SystemSource(const std::string& name) { return "system:" + name; }

    // Adds one entry. A pattern that does not parse is Win32 13 naming the pattern and its source.
    CKoError Add(const std::string& pattern, EFilterRuleKind kind, EFilterSyntax syntax, const std::string& source);
    // The same, but a pattern that does not parse is kept aside (Skipped) rather than failing:
    // for sources whose strings the user does not write.
    void AddOrSkip(const std::string& pattern, EFilterRuleKind kind, EFilterSyntax syntax, const std::string& source);

    const std::vector<SFilterEntry>& Entries() const { return m_entries; }
    // Entries left out, each with the reason.
    const std::vector<std::pair<SFilterEntry, std::string>>& Skipped() const { return m_skipped; }
    // The entry a verdict names (null when no rule decided).
    const SFilterEntry* EntryOf(const SFilterVerdict& verdict) const;

    CKoError Compile(std::shared_ptr<const CFilterMatcher>& matcher) const;

    // One line per entry, filters first: "filter     PATTERN    SOURCE" (bytes that would break
    // a line are shown as \xNN).
    void Describe(std::vector<std::string>& lines) const;

    // A byte string made safe for one line of a terminal.
    static std::string Printable(const std::string& text);

private:
    std::vector<SFilterEntry> m_entries;
    std::vector<SFilterRule> m_rules;  // parallel to m_entries
    std::vector<std::pair<SFilterEntry, std::string>> m_skipped;
};
