#include "scan/jobstate/JobManagerToken.h"

#include <cstdlib>
#include <vector>

#include "core/StringUtil.h"

CJobManagerToken::CJobManagerToken(const std::string& token) {
    std::vector<std::string> fields;
    FXString::Split(token, ":", fields);
    if (fields.size() > 0) m_value = std::strtoull(fields[0].c_str(), nullptr, 0);
    if (fields.size() > 1) m_phase = static_cast<int>(std::strtol(fields[1].c_str(), nullptr, 0));
    if (fields.size() > 2) m_further = static_cast<int>(std::strtol(fields[2].c_str(), nullptr, 0));
}

std::string CJobManagerToken::Format(uint64_t value, int phase, int further) {
    return FXString::Format("%llu:%d:%d", static_cast<unsigned long long>(value), phase, further);
}
