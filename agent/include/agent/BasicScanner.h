// Stand-in for the agent's basic scanner: walks a list of content roots with several workers,
// hands every item to an output handler that a callback gives per root, and stops when the
// callback says it is aborted. Each root is walked by one worker (CFileSystemScanner); a worker
// takes the next root when it is done with one.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "agent/Item.h"
#include "core/KoError.h"
#include "core/LogWriter.h"

// Takes the items of one root, from one worker thread.
class IBasicScannerOutputHandler {
public:
    virtual ~IBasicScannerOutputHandler() = default;
    virtual CKoError Initialize() = 0;
    // An error is logged and the walk goes on.
    virtual CKoError OnItem(const std::shared_ptr<CItem>& item) = 0;
    virtual CKoError Complete() = 0;
};

// Shared by the workers: called from several threads at once.
class IBasicScannerCallback {
public:
    virtual ~IBasicScannerCallback() = default;
    virtual bool IsAborted() = 0;
    // The handler for the items below one root (the root's path names its source volume).
    virtual CKoError GetOutputHandler(const std::string& sourceVolumeName,
                                      std::shared_ptr<IBasicScannerOutputHandler>& handler) = 0;
};

class CBasicScanner {
public:
    // `workers` below 1 counts as 1. `lineWriter` (may be null) gets one line per scan error.
    CBasicScanner(std::vector<std::string> content, int workers, std::shared_ptr<CLineWriter> lineWriter,
                  std::shared_ptr<IBasicScannerCallback> callback);

    // Walks every root. A root that cannot be walked, or a handler that fails to start or end,
    // makes Run fail (after the other roots were walked); an abort is Win32 995.
    CKoError Run();

    uint64_t GetItemsScanned() const { return m_items.load(); }
    uint64_t GetErrors() const { return m_errors.load(); }

private:
    void Worker(std::atomic<size_t>& next, std::vector<CKoError>& results);
    CKoError ScanRoot(const std::string& root);

    std::vector<std::string> m_content;
    int m_workers;
    std::shared_ptr<CLineWriter> m_lineWriter;
    std::shared_ptr<IBasicScannerCallback> m_callback;
    std::atomic<uint64_t> m_items{0};
    std::atomic<uint64_t> m_errors{0};
};
