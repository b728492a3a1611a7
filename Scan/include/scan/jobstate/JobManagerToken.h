// The job manager's token of a job run, "<value>:<phase>:<further>" (each field decimal, or
// hexadecimal with "0x"; missing fields are 0). A restarted job is recognised by its phase.
#pragma once

#include <cstdint>
#include <string>

class CJobManagerToken {
public:
    CJobManagerToken() = default;
    explicit CJobManagerToken(const std::string& token);

    uint64_t GetValue() const { return m_value; }
    int GetPhase() const { return m_phase; }
    int GetFurther() const { return m_further; }

    static std::string Format(uint64_t value, int phase, int further = 0);

private:
    uint64_t m_value = 0;
    int m_phase = 0;
    int m_further = 0;
};
