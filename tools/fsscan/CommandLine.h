// A small command-line parser: "--name value", "--name=value", repeated options and flags.
#pragma once

#include <map>
#include <string>
#include <vector>

class CCommandLine {
public:
    // `valued` lists the options that take a value, `flags` those that do not. Anything else that
    // starts with "-" is an error, as is a positional argument.
    bool Parse(int argc, char** argv, const std::vector<std::string>& valued, const std::vector<std::string>& flags);
    const std::string& Error() const { return m_error; }

    bool Has(const std::string& name) const { return m_values.count(name) != 0; }
    // The last value given, or `fallback`.
    std::string Get(const std::string& name, const std::string& fallback = std::string()) const;
    // Every value given, in order.
    std::vector<std::string> GetAll(const std::string& name) const;

private:
    std::multimap<std::string, std::string> m_values;
    std::string m_error;
};
