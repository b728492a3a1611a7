#include "scan/content/FilterWalk.h"

#include <cstring>

namespace {

bool IsSameOrAncestor(std::string_view folder, std::string_view path) {
    if (path.size() < folder.size() || path.compare(0, folder.size(), folder) != 0) return false;
    return path.size() == folder.size() || path[folder.size()] == '/';
}

}  // namespace

CFilterWalk::CFilterWalk(std::shared_ptr<const CFilterMatcher> matcher) : m_matcher(std::move(matcher)) {
    m_levels.resize(1);
    m_matcher->RootState(m_levels[0].state);
}

void CFilterWalk::EnterFolder(std::string_view folder) {
    while (m_depth > 0 && !IsSameOrAncestor(m_levels[m_depth].path, folder)) --m_depth;
    size_t i = m_levels[m_depth].path.size();
    while (i < folder.size()) {
        size_t end = folder.find('/', i);
        if (end == std::string_view::npos) end = folder.size();
        if (end > i) {
            if (m_levels.size() < m_depth + 2) m_levels.resize(m_depth + 2);
            const Level& parent = m_levels[m_depth];
            Level& level = m_levels[m_depth + 1];
            m_matcher->Step(parent.state, folder.substr(i, end - i), true, &level.state);
            level.path.assign(folder.substr(0, end));
            ++m_depth;
        }
        i = end + 1;
    }
}

SFilterVerdict CFilterWalk::Decide(std::string_view path, bool isFolder) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    if (path.size() <= 1 && (path.empty() || path[0] == '/')) return m_levels[0].state.Verdict();
    const void* found = ::memrchr(path.data(), '/', path.size());
    const size_t slash = found ? static_cast<size_t>(static_cast<const char*>(found) - path.data()) : std::string_view::npos;
    const std::string_view folder = found ? path.substr(0, slash) : std::string_view();
    const std::string_view name = found ? path.substr(slash + 1) : path;
    if (m_levels[m_depth].path != folder) EnterFolder(folder);
    if (!isFolder) return m_matcher->Step(m_levels[m_depth].state, name, false);
    if (m_levels.size() < m_depth + 2) m_levels.resize(m_depth + 2);
    Level& level = m_levels[m_depth + 1];
    const SFilterVerdict v = m_matcher->Step(m_levels[m_depth].state, name, true, &level.state);
    if (v.descend) {
        level.path.assign(path);
        ++m_depth;
    }
    return v;
}
