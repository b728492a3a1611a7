// How a content string is to be read: whether a wildcard may stand at the top of a path (filter
// items may say "/*.tmp"; content items may not). The content preprocessor owns the rest.
#pragma once

#include <memory>

class CContentContext {
public:
    CContentContext() = default;
    explicit CContentContext(bool allowRootWildcards) : m_allowRootWildcards(allowRootWildcards) {}
    bool AllowRootWildcards() const { return m_allowRootWildcards; }
    void SetAllowRootWildcards(bool allow) { m_allowRootWildcards = allow; }

private:
    bool m_allowRootWildcards = false;
};

using CContentContextPtr = std::shared_ptr<CContentContext>;
