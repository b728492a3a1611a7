// The agent's file-system scanner: walks content roots and drives the scan item by item.
//
// The walk never follows symbolic links and stays on the file system of its root unless told
// otherwise. Each folder is opened relative to its parent (openat), each entry costs one fstatat
// (a folder one fstat more, to make sure the folder opened is the one examined), and no path is
// resolved again from the root, so the walk is as cheap as the file system allows and works below
// any path length. Names may hold any byte.
//
// With one thread (the default) the order is depth first: a folder is reported before its
// entries, entries in byte order of their names (so two scans of an unchanged tree produce the
// same output). With several threads the walkers share a stack of folders still to read; each
// walker reads one folder at a time and reports its entries in a row, in byte order, so a folder
// is still reported before its entries, but the folders of the walk interleave.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "agent/Item.h"
#include "core/KoError.h"

// With several threads, OnItem and OnScanError are called from all walkers at once: the callback
// must be thread-safe then (and so must the consumers).
class IScanItemCallback {
public:
    virtual ~IScanItemCallback() = default;
    // One item. For a folder, set `descend` to false to skip what lies below it. An error stops
    // the whole walk and is returned by Scan.
    virtual CKoError OnItem(const std::shared_ptr<CItem>& item, bool& descend) = 0;
    // A folder that cannot be read, an entry that cannot be examined: the walk goes on without it.
    virtual void OnScanError(const std::string& path, const CKoError& error) = 0;
};

struct SScanStatistics {
    uint64_t items = 0;
    uint64_t folders = 0;
    uint64_t files = 0;
    uint64_t bytes = 0;  // sizes of the files
    uint64_t errors = 0;
};

class CFileSystemScanner {
public:
    struct Options {
        bool crossFileSystems = false;
        // Walkers; 0 counts as 1. The calling thread is one of them.
        unsigned threads = 1;
    };

    CFileSystemScanner() = default;
    explicit CFileSystemScanner(Options options) : m_options(options) {}

    // Items are also handed to these consumers (after the callback).
    void AddConsumer(std::shared_ptr<CItemConsumer> consumer) { m_consumers.push_back(std::move(consumer)); }

    // Walks one content root (reported itself first). A root that does not exist or cannot be
    // examined is an error; trouble below it is reported through OnScanError.
    CKoError Scan(const std::string& root, IScanItemCallback& callback);

    // Makes a running Scan return Win32 995 (aborted) at its next item; safe from any thread.
    void RequestStop() { m_stop.store(true, std::memory_order_relaxed); }

    const SScanStatistics& Statistics() const { return m_statistics; }

private:
    struct Frame;
    struct SharedWalk;
    class Walker;

    // Reports the item in `slot` to the callback and the consumers, counting it in `statistics`.
    CKoError Report(std::shared_ptr<CItem>& slot, SScanStatistics& statistics, IScanItemCallback& callback,
                    bool& descend);
    static void Count(const CItem& item, SScanStatistics& statistics);
    static void ScanError(SScanStatistics& statistics, IScanItemCallback& callback, const std::string& path,
                          const CKoError& error);
    CKoError WalkOneThread(std::string& path, const struct stat& rootStat, IScanItemCallback& callback);
    CKoError WalkThreads(const std::string& path, const struct stat& rootStat, IScanItemCallback& callback);

    Options m_options;
    std::vector<std::shared_ptr<CItemConsumer>> m_consumers;
    std::shared_ptr<CItem> m_item;
    std::atomic<bool> m_stop{false};
    SScanStatistics m_statistics;
};
