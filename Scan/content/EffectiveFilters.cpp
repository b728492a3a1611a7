#include "scan/content/EffectiveFilters.h"

#include <algorithm>

#include "core/LogWriter.h"
#include "core/StringUtil.h"

namespace {

const char* KindName(EFilterRuleKind kind) { return kind == EFilterRuleKind::Exception ? "exception" : "filter"; }

}  // namespace

std::string CEffectiveFilters::Printable(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F)
            out += FXString::Format("\\x%02X", b);
        else
            out.push_back(c);
    }
    return out;
}

CKoError CEffectiveFilters::Add(const std::string& pattern, EFilterRuleKind kind, EFilterSyntax syntax,
                                const std::string& source) {
    SFilterRule rule;
    CKoError e = rule.term.LoadRaw(pattern, syntax);
    if (e.IsError()) return e.Push(ZY_HERE, "Bad %s from %s", KindName(kind), source.c_str());
    rule.kind = kind;
    m_rules.push_back(std::move(rule));
    m_entries.push_back({pattern, kind, syntax, source});
    return CKoError::Success();
}

void CEffectiveFilters::AddOrSkip(const std::string& pattern, EFilterRuleKind kind, EFilterSyntax syntax,
                                  const std::string& source) {
    if (pattern.empty()) return;
    CKoError e = Add(pattern, kind, syntax, source);
    if (e.IsSuccess()) return;
    ZYLOG_ERROR("Skipping %s [%s] from %s: %s", KindName(kind), pattern.c_str(), source.c_str(), e.GetMessage().c_str());
    m_skipped.push_back({{pattern, kind, syntax, source}, e.GetMessage()});
}

const SFilterEntry* CEffectiveFilters::EntryOf(const SFilterVerdict& verdict) const {
    if (verdict.rule < 0 || static_cast<size_t>(verdict.rule) >= m_entries.size()) return nullptr;
    return &m_entries[static_cast<size_t>(verdict.rule)];
}

CKoError CEffectiveFilters::Compile(std::shared_ptr<const CFilterMatcher>& matcher) const {
    CKoError e = CFilterMatcher::Build(m_rules, matcher);
    if (e.IsError()) return e.Push(ZY_HERE);
    ZYLOG(1, "Filters compiled, Rules=[%zu], TrieNodes=[%zu]", matcher->RuleCount(), matcher->NodeCount());
    return CKoError::Success();
}

void CEffectiveFilters::Describe(std::vector<std::string>& lines) const {
    size_t width = 0;
    for (const auto& entry : m_entries) width = std::max(width, Printable(entry.pattern).size());
    width = std::min<size_t>(width, 60);
    for (EFilterRuleKind kind : {EFilterRuleKind::Filter, EFilterRuleKind::Exception}) {
        for (const auto& entry : m_entries) {
            if (entry.kind != kind) continue;
            lines.push_back(FXString::Format("%-10s %-*s  %s", KindName(kind), static_cast<int>(width),
                                             Printable(entry.pattern).c_str(), entry.source.c_str()));
        }
    }
    for (const auto& [entry, reason] : m_skipped)
        lines.push_back(FXString::Format("skipped    %s  %s: %s (%s)", Printable(entry.pattern).c_str(),
                                         entry.source.c_str(), reason.c_str(), KindName(entry.kind)));
}
