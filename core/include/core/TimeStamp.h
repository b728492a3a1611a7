// Time stamps, and the counters that account for time spent in hot operations.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

// A point in wall-clock time with microsecond precision.
class CTimeStamp {
public:
    CTimeStamp() = default;
    static CTimeStamp Now();
    static CTimeStamp FromUnixTime(int64_t seconds, int64_t microseconds = 0);

    int64_t AsUnixTime() const { return m_micros / 1000000; }
    int64_t AsUnixMicroseconds() const { return m_micros; }
    // "2026-12-05T16:30:01.123456Z" (UTC).
    std::string AsString() const;
    bool IsValid() const { return m_micros != 0; }

    // The number documents store a time as (microseconds since the epoch); FromSystemTime reads
    // back exactly what AsSystemTime wrote.
    int64_t AsSystemTime() const { return m_micros; }
    static CTimeStamp FromSystemTime(int64_t systemTime) {
        CTimeStamp t;
        t.m_micros = systemTime;
        return t;
    }

    bool operator<(const CTimeStamp& o) const { return m_micros < o.m_micros; }
    bool operator==(const CTimeStamp& o) const { return m_micros == o.m_micros; }

private:
    int64_t m_micros = 0;
};

// Accumulates the time of many short intervals: count, total and longest.
class CTimeCounter {
public:
    void Start() { m_start = std::chrono::steady_clock::now(); }
    void Stop();
    void Add(std::chrono::nanoseconds d);
    void Reset() { *this = CTimeCounter(); }

    uint64_t GetCount() const { return m_count; }
    double GetTotalSeconds() const { return static_cast<double>(m_totalNs) / 1e9; }
    // "Count=[n], Total=[s], Average=[us], Max=[us]".
    std::string AsString() const;

    class Scoped {
    public:
        explicit Scoped(CTimeCounter& c) : m_c(c) { m_c.Start(); }
        ~Scoped() { m_c.Stop(); }
        Scoped(const Scoped&) = delete;
        Scoped& operator=(const Scoped&) = delete;

    private:
        CTimeCounter& m_c;
    };

private:
    std::chrono::steady_clock::time_point m_start{};
    uint64_t m_count = 0;
    int64_t m_totalNs = 0;
    int64_t m_maxNs = 0;
};

// A stop watch: runs between Start and Stop, adding up the time of every run.
class CStopWatch {
public:
    void Start();
    void Stop();
    void Reset();
    bool IsRunning() const { return m_running; }
    double GetElapsedSeconds() const;
    uint64_t GetRuns() const { return m_runs; }

private:
    std::chrono::steady_clock::time_point m_start{};
    int64_t m_elapsedNs = 0;
    uint64_t m_runs = 0;
    bool m_running = false;
};

// Runs a stop watch (which may be null) for the life of a scope.
class CScanAutoStopWatch {
public:
    explicit CScanAutoStopWatch(CStopWatch* w) : m_w(w && !w->IsRunning() ? w : nullptr) {
        if (m_w) m_w->Start();
    }
    ~CScanAutoStopWatch() {
        if (m_w) m_w->Stop();
    }
    CScanAutoStopWatch(const CScanAutoStopWatch&) = delete;
    CScanAutoStopWatch& operator=(const CScanAutoStopWatch&) = delete;

private:
    CStopWatch* m_w;
};
