#include "CommandLine.h"

#include <algorithm>

bool CCommandLine::Parse(int argc, char** argv, const std::vector<std::string>& valued,
                         const std::vector<std::string>& flags) {
    auto contains = [](const std::vector<std::string>& v, const std::string& s) {
        return std::find(v.begin(), v.end(), s) != v.end();
    };
    for (int i = 0; i < argc; ++i) {
        std::string arg = argv[i];
        std::string name = arg, value;
        bool hasValue = false;
        size_t eq = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            hasValue = true;
        }
        if (contains(flags, name) && !hasValue) {
            m_values.emplace(name, "1");
        } else if (contains(valued, name)) {
            if (!hasValue) {
                if (i + 1 >= argc) {
                    m_error = "option " + name + " needs a value";
                    return false;
                }
                value = argv[++i];
            }
            m_values.emplace(name, value);
        } else {
            m_error = (arg.empty() || arg[0] != '-') ? "unexpected argument '" + arg + "'" : "unknown option " + name;
            return false;
        }
    }
    return true;
}

std::string CCommandLine::Get(const std::string& name, const std::string& fallback) const {
    auto range = m_values.equal_range(name);
    if (range.first == range.second) return fallback;
    return std::prev(range.second)->second;
}

std::vector<std::string> CCommandLine::GetAll(const std::string& name) const {
    std::vector<std::string> out;
    auto range = m_values.equal_range(name);
    for (auto it = range.first; it != range.second; ++it) out.push_back(it->second);
    return out;
}
