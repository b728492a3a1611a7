// The user's switches for built-in filter sources: "-NAME" ignores the source of that name,
// "+NAME" marks it optional. Names compare without regard to case.
#pragma once

#include <memory>
#include <set>
#include <string>

#include "core/KoError.h"

struct __less_nocase_cmp {
    bool operator()(const std::string& a, const std::string& b) const;
};

class CBuiltInFilterManager {
public:
    virtual ~CBuiltInFilterManager() = default;

    // Takes one option; an empty one does nothing, one that starts with neither "-" nor "+" is
    // logged and ignored. Always succeeds.
    CKoError ProcessFilterOption(const std::string& option);
    bool IsFilterIgnored(const std::string& name) const { return m_ignored.count(name) != 0; }
    bool IsFilterOptional(const std::string& name) const { return m_optional.count(name) != 0; }

private:
    std::set<std::string, __less_nocase_cmp> m_ignored;
    std::set<std::string, __less_nocase_cmp> m_optional;
};

using CBuiltInFilterManagerPtr = std::shared_ptr<CBuiltInFilterManager>;
