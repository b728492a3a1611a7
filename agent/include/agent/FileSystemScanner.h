// The agent's file-system scanner: walks content roots and drives the scan item by item.
//
// The walk never follows symbolic links and stays on the file system of its root unless told
// otherwise. Each folder is opened relative to its parent (openat), each entry costs one fstatat,
// and no path is resolved again from the root, so the walk is as cheap as the file system allows
// and works below any path length. Names may hold any byte.
//
// Order: depth first; a folder is reported before its entries, entries in byte order of their
// names (so two scans of an unchanged tree produce the same output).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "agent/Item.h"
#include "core/KoError.h"

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
    CKoError Report(IScanItemCallback& callback, bool& descend);
    void Count(const CItem& item);
    void ScanError(IScanItemCallback& callback, const std::string& path, const CKoError& error);

    Options m_options;
    std::vector<std::shared_ptr<CItemConsumer>> m_consumers;
    std::shared_ptr<CItem> m_item;
    std::atomic<bool> m_stop{false};
    SScanStatistics m_statistics;
};
