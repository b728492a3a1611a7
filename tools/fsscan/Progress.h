// The progress line on standard error (only when it is a terminal) and the end-of-job summary.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

class CProgress {
public:
    explicit CProgress(const char* verb);
    // Cheap enough for every item: the clock is read once per 1,024 calls.
    void Update(uint64_t seen, uint64_t done) {
        if ((++m_calls & 1023) == 0 && m_enabled) Show(seen, done, false);
    }
    void Finish(uint64_t seen, uint64_t done);
    double ElapsedSeconds() const;

private:
    void Show(uint64_t seen, uint64_t done, bool last);

    const char* m_verb;
    bool m_enabled;
    uint64_t m_calls = 0;
    std::chrono::steady_clock::time_point m_start, m_lastShown;
};

// "1234567" -> "1,234,567"
std::string Thousands(uint64_t n);
