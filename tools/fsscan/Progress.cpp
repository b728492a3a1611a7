#include "Progress.h"

#include <unistd.h>

CProgress::CProgress(const char* verb)
    : m_verb(verb), m_enabled(::isatty(STDERR_FILENO) == 1), m_start(std::chrono::steady_clock::now()),
      m_lastShown(m_start) {}

double CProgress::ElapsedSeconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
}

void CProgress::Show(uint64_t seen, uint64_t done, bool last) {
    std::unique_lock<std::mutex> lock(m_showMutex, std::defer_lock);
    // Another thread showing the line now is as good as this one doing it.
    if (last)
        lock.lock();
    else if (!lock.try_lock())
        return;
    auto now = std::chrono::steady_clock::now();
    if (!last && now - m_lastShown < std::chrono::milliseconds(250)) return;
    m_lastShown = now;
    double seconds = ElapsedSeconds();
    double rate = seconds > 0 ? static_cast<double>(seen) / seconds : 0.0;
    std::fprintf(stderr, "\r  %s items seen, %s %s, %s items/s   %s", Thousands(seen).c_str(), Thousands(done).c_str(),
                 m_verb, Thousands(static_cast<uint64_t>(rate)).c_str(), last ? "\n" : "");
    std::fflush(stderr);
}

void CProgress::Finish(uint64_t seen, uint64_t done) {
    if (m_enabled) Show(seen, done, true);
}

std::string Thousands(uint64_t n) {
    std::string digits = std::to_string(n), out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i && (digits.size() - i) % 3 == 0) out.push_back(',');
        out.push_back(digits[i]);
    }
    return out;
}
