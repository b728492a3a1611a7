#include "agent/KoBatchSort.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <queue>
#include <string_view>

#include "core/BufferedWritableFile.h"
#include "core/LineReader.h"
#include "core/LogWriter.h"
#include "core/Path.h"

namespace {

constexpr size_t kMergeReadBuffer = 64 * 1024;

// One run in memory, in one block of the budget's size, allocated once and touched only as far as
// it is filled: the lines' bytes from the front, an index entry per line from the back. No
// reallocation ever doubles what is held.
class CRun {
public:
    // Offsets are 32-bit: a run holds less than 4 GiB.
    explicit CRun(size_t budget) : m_budget(std::clamp<size_t>(budget, 2 * sizeof(Entry), UINT32_MAX)) {}

    // False when the line does not fit (then the run is spilled and the line tried again; a line
    // that does not fit an empty run is written as a run of its own).
    bool Add(std::string_view line) {
        if (!m_arena) m_arena.reset(new char[m_budget]);
        if (line.size() + sizeof(Entry) > Free()) return false;
        std::memcpy(m_arena.get() + m_front, line.data(), line.size());
        m_back -= sizeof(Entry);
        Entry entry{static_cast<uint32_t>(m_front), static_cast<uint32_t>(line.size())};
        std::memcpy(m_arena.get() + m_back, &entry, sizeof entry);
        m_front += line.size();
        return true;
    }
    bool Empty() const { return m_front == 0 && m_back == Capacity(); }
    void Sort() {
        const char* base = m_arena.get();
        std::sort(Entries(), Entries() + Count(), [base](const Entry& a, const Entry& b) {
            return std::string_view(base + a.offset, a.size) < std::string_view(base + b.offset, b.size);
        });
    }
    CKoError WriteTo(FXBufferedWritableFile& out) const {
        const Entry* entries = Entries();
        for (size_t i = 0; i < Count(); ++i) {
            CKoError err = out.AppendLine(std::string_view(m_arena.get() + entries[i].offset, entries[i].size));
            if (err.IsError()) return err.Push(ZY_HERE);
        }
        return CKoError::Success();
    }
    void Clear() {
        m_front = 0;
        m_back = Capacity();
    }

private:
    struct Entry {
        uint32_t offset;
        uint32_t size;
    };
    size_t Capacity() const { return m_budget - m_budget % alignof(Entry); }
    size_t Free() const { return m_back - m_front; }
    size_t Count() const { return (Capacity() - m_back) / sizeof(Entry); }
    Entry* Entries() const { return reinterpret_cast<Entry*>(m_arena.get() + m_back); }

    size_t m_budget;
    std::unique_ptr<char[]> m_arena;  // new char[] leaves the pages untouched
    size_t m_front = 0;
    size_t m_back = Capacity();
};

CKoError WriteFile(const CRun& run, const std::string& path, bool sync) {
    FXBufferedWritableFile out;
    CKoError e = out.Open(path, EWriteMode::Truncate);
    if (e.IsSuccess()) e = run.WriteTo(out);
    if (e.IsSuccess() && sync) e = out.Sync();
    if (e.IsSuccess()) e = out.Close();
    if (e.IsError()) out.Abandon();
    return e;
}

}  // namespace

CKoError KoBatchSort::Merge(const std::vector<std::string>& runs, const std::string& output, bool sync) {
    std::vector<std::unique_ptr<FXLineReader>> readers;
    struct Head {
        std::string_view line;
        size_t reader;
    };
    auto greater = [](const Head& a, const Head& b) {
        return a.line != b.line ? a.line > b.line : a.reader > b.reader;
    };
    std::priority_queue<Head, std::vector<Head>, decltype(greater)> heap(greater);
    for (const std::string& run : runs) {
        auto reader = std::make_unique<FXLineReader>();
        CKoError e = reader->Open(run, kMergeReadBuffer);
        if (e.IsError()) return e.Push(ZY_HERE);
        std::string_view line;
        bool got = false;
        e = reader->Next(line, got);
        if (e.IsError()) return e.Push(ZY_HERE);
        readers.push_back(std::move(reader));
        if (got) heap.push(Head{line, readers.size() - 1});
    }
    FXBufferedWritableFile out;
    CKoError e = out.Open(output, EWriteMode::Truncate);
    if (e.IsError()) return e.Push(ZY_HERE);
    while (!heap.empty() && e.IsSuccess()) {
        Head head = heap.top();
        heap.pop();
        e = out.AppendLine(head.line);
        if (e.IsError()) break;
        bool got = false;
        e = readers[head.reader]->Next(head.line, got);
        if (e.IsSuccess() && got) heap.push(head);
    }
    if (e.IsSuccess() && sync) e = out.Sync();
    if (e.IsSuccess()) e = out.Close();
    if (e.IsError()) {
        out.Abandon();
        return e.Push(ZY_HERE, "Merging sorted runs failed, Output=[%s]", output.c_str());
    }
    return CKoError::Success();
}

CKoError KoBatchSort::Sort(const std::string& input, const std::string& output, const std::string& workDir) {
    m_runsWritten = 0;
    FXEnv* env = FXEnv::Current();
    std::string folder, name;
    if (FXPath::SplitParentPath(output, folder, name).IsError()) name = output;
    const std::string runPrefix = FXPath::Join(workDir, name + ".run");
    std::vector<std::string> runs;
    bool madeWorkDir = false;
    int nextRun = 0;

    auto cleanUp = [&]() {
        for (const std::string& r : runs) env->RemoveFile(r).IgnoreError();
        if (madeWorkDir) env->RemoveDir(workDir).IgnoreError();
    };
    auto fail = [&](CKoError e) {
        cleanUp();
        env->RemoveFile(output).IgnoreError();
        return e.Push(ZY_HERE, "Sorting failed, Input=[%s]", input.c_str());
    };
    auto newRunPath = [&]() { return runPrefix + std::to_string(nextRun++); };

    FXLineReader reader;
    CKoError e = reader.Open(input);
    if (e.IsError()) return fail(e);
    std::unique_ptr<CRun> run;
    try {
        run = std::make_unique<CRun>(m_memoryBudget);
    } catch (const std::bad_alloc&) {
        return fail(FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY, "No memory for a sort run"));
    }
    auto spill = [&]() -> CKoError {
        if (!madeWorkDir) {
            CKoError d = env->CreateDir(workDir);
            if (d.IsError() && !FXErrorUtil::IsWin32(d, ZyWin32::ERROR_ALREADY_EXISTS)) return d.Push(ZY_HERE);
            madeWorkDir = d.IsSuccess();
        }
        run->Sort();
        runs.push_back(newRunPath());
        ++m_runsWritten;
        CKoError w = WriteFile(*run, runs.back(), false);
        if (w.IsError()) return w.Push(ZY_HERE);
        run->Clear();
        return CKoError::Success();
    };
    try {
        for (;;) {
            std::string_view line;
            bool got = false;
            e = reader.Next(line, got);
            if (e.IsError()) return fail(e);
            if (!got) break;
            if (run->Add(line)) continue;
            if (!run->Empty()) {
                e = spill();
                if (e.IsError()) return fail(e);
                if (run->Add(line)) continue;
            }
            // Larger than the whole budget: a run of its own.
            CRun single(line.size() + 16);
            single.Add(line);
            std::swap(*run, single);
            e = spill();
            std::swap(*run, single);
            if (e.IsError()) return fail(e);
        }
    } catch (const std::bad_alloc&) {
        return fail(FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY, "No memory for a sort run"));
    }
    reader.Close();

    if (runs.empty()) {
        // Everything fitted: no intermediate files.
        run->Sort();
        e = WriteFile(*run, output, true);
        if (e.IsError()) return fail(e);
        cleanUp();
        return CKoError::Success();
    }
    if (!run->Empty()) {
        e = spill();
        if (e.IsError()) return fail(e);
    }
    run.reset();
    // Merge many runs at a time until one pass can write the output.
    while (runs.size() > kMaxMergeWidth) {
        std::vector<std::string> group(runs.begin(), runs.begin() + kMaxMergeWidth);
        std::string merged = newRunPath();
        runs.push_back(merged);  // listed first, so that a failure removes it too
        e = Merge(group, merged, false);
        if (e.IsError()) return fail(e);
        for (const std::string& r : group) env->RemoveFile(r).IgnoreError();
        runs.erase(runs.begin(), runs.begin() + kMaxMergeWidth);
    }
    e = Merge(runs, output, true);
    if (e.IsError()) return fail(e);
    cleanUp();
    ZYLOG(3, "Sorted with %zu runs, Input=[%s]", m_runsWritten, input.c_str());
    return CKoError::Success();
}
