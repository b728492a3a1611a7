#include "core/TimeStamp.h"

#include <sys/time.h>

#include <cstdio>
#include <ctime>

CTimeStamp CTimeStamp::Now() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return FromUnixTime(ts.tv_sec, ts.tv_nsec / 1000);
}

CTimeStamp CTimeStamp::FromUnixTime(int64_t seconds, int64_t microseconds) {
    CTimeStamp t;
    t.m_micros = seconds * 1000000 + microseconds;
    return t;
}

std::string CTimeStamp::AsString() const {
    time_t secs = static_cast<time_t>(m_micros / 1000000);
    long micros = static_cast<long>(m_micros % 1000000);
    if (micros < 0) {
        micros += 1000000;
        --secs;
    }
    struct tm tm;
    gmtime_r(&secs, &tm);
    char buf[64];
    size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    std::snprintf(buf + n, sizeof buf - n, ".%06ldZ", micros);
    return buf;
}

void CTimeCounter::Stop() { Add(std::chrono::steady_clock::now() - m_start); }

void CTimeCounter::Add(std::chrono::nanoseconds d) {
    int64_t ns = d.count();
    ++m_count;
    m_totalNs += ns;
    if (ns > m_maxNs) m_maxNs = ns;
}

std::string CTimeCounter::AsString() const {
    char buf[160];
    double avgUs = m_count ? static_cast<double>(m_totalNs) / 1e3 / static_cast<double>(m_count) : 0.0;
    std::snprintf(buf, sizeof buf, "Count=[%llu], Total=[%.6fs], Average=[%.3fus], Max=[%.3fus]",
                  static_cast<unsigned long long>(m_count), static_cast<double>(m_totalNs) / 1e9, avgUs,
                  static_cast<double>(m_maxNs) / 1e3);
    return buf;
}

void CStopWatch::Start() {
    if (m_running) return;
    m_running = true;
    m_start = std::chrono::steady_clock::now();
}

void CStopWatch::Stop() {
    if (!m_running) return;
    m_running = false;
    m_elapsedNs += (std::chrono::steady_clock::now() - m_start).count();
    ++m_runs;
}

void CStopWatch::Reset() { *this = CStopWatch(); }

double CStopWatch::GetElapsedSeconds() const {
    int64_t ns = m_elapsedNs;
    if (m_running) ns += (std::chrono::steady_clock::now() - m_start).count();
    return static_cast<double>(ns) / 1e9;
}
