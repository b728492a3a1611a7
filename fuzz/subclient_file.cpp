// The subclient-file parser, and the filter strings it accepts: any text either parses into a
// definition whose content paths are absolute and whose filters compile, or is refused with an
// error; the compiled matcher agrees with the plain reading of each term on the file's paths.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "agent/SubclientFile.h"
#include "core/PlatformInfo.h"
#include "scan/content/FilterMatcher.h"

namespace {

void Check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "subclient_file: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool once = [] {
        ZYPlatformInfo::SetSettingsFile("").IgnoreError();
        return true;
    }();
    (void)once;
    const std::string text(reinterpret_cast<const char*>(data), size);
    ZYSubclientDefinition def;
    if (ZYSubclientFile::Parse("fuzz.subclient", text, def).IsError()) return 0;
    Check(!def.content.empty(), "a definition without content");
    for (const auto& c : def.content) Check(!c.text.empty() && c.text[0] == '/', "a relative content path");
    Check(def.readers >= 0 && def.readers <= 1000, "readers out of range");

    std::vector<SFilterRule> rules;
    for (const auto* list : {&def.filters, &def.exceptions}) {
        for (const auto& v : *list) {
            SFilterRule rule;
            Check(rule.term.LoadRaw(v.text).IsSuccess(), "an accepted filter that does not parse again");
            rule.kind = list == &def.exceptions ? EFilterRuleKind::Exception : EFilterRuleKind::Filter;
            rules.push_back(std::move(rule));
        }
    }
    std::shared_ptr<const CFilterMatcher> matcher;
    Check(CFilterMatcher::Build(rules, matcher).IsSuccess(), "rules that do not compile");
    // Every path the file names, as a file and as a folder: the rule the matcher names must
    // match the path (or an ancestor), and a path some rule matches must have a verdict naming one.
    std::vector<std::string> paths;
    for (const auto* list : {&def.content, &def.added, &def.filters, &def.exceptions})
        for (const auto& v : *list) paths.push_back(v.text);
    for (const std::string& path : paths) {
        if (path.empty() || path[0] != '/') continue;
        for (bool folder : {false, true}) {
            const SFilterVerdict v = matcher->Match(path, folder);
            bool anyHere = false;
            for (const auto& r : rules) anyHere |= r.term.Matches(path, folder);
            if (anyHere) {
                Check(v.rule >= 0 && rules[static_cast<size_t>(v.rule)].term.Matches(path, folder),
                      "a verdict that does not name a rule matching the item");
                Check(v.included == (rules[static_cast<size_t>(v.rule)].kind == EFilterRuleKind::Exception),
                      "a verdict that contradicts its rule");
            }
        }
    }
    return 0;
}
