// The progress line on standard error (only when it is a terminal) and the end-of-job summary.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <cstdio>
#include <string>

// Threads may share one: Update and Finish are safe to call from any number of them.
class CProgress {
public:
    explicit CProgress(const char* verb);
    // Cheap enough for every item: the clock is read once per 1,024 calls.
    void Update(uint64_t seen, uint64_t done) {
        if (((m_calls.fetch_add(1, std::memory_order_relaxed) + 1) & 1023) == 0 && m_enabled) Show(seen, done, false);
    }
    void Finish(uint64_t seen, uint64_t done);
    double ElapsedSeconds() const;

private:
    void Show(uint64_t seen, uint64_t done, bool last);

    const char* m_verb;
    bool m_enabled;
    std::atomic<uint64_t> m_calls{0};
    std::mutex m_showMutex;  // guards m_lastShown and the line itself
    const std::chrono::steady_clock::time_point m_start;
    std::chrono::steady_clock::time_point m_lastShown;
};

// "1234567" -> "1,234,567"
std::string Thousands(uint64_t n);
