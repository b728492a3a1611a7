#include "agent/BasicScanner.h"

#include <algorithm>
#include <mutex>
#include <thread>

#include "agent/FileSystemScanner.h"

namespace {

class CRootWalk : public IScanItemCallback {
public:
    CRootWalk(IBasicScannerOutputHandler& handler, IBasicScannerCallback& callback, CLineWriter* lines,
              std::atomic<uint64_t>& items, std::atomic<uint64_t>& errors)
        : m_handler(handler), m_callback(callback), m_lines(lines), m_items(items), m_errors(errors) {}

    CKoError OnItem(const std::shared_ptr<CItem>& item, bool& /*descend*/) override {
        if (m_callback.IsAborted())
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OPERATION_ABORTED, "The scan was aborted");
        m_items.fetch_add(1, std::memory_order_relaxed);
        CKoError e = m_handler.OnItem(item);
        if (e.IsError()) Note(item->GetPath(), e);
        return CKoError::Success();
    }
    void OnScanError(const std::string& path, const CKoError& error) override { Note(path, error); }

private:
    void Note(const std::string& path, const CKoError& error) {
        m_errors.fetch_add(1, std::memory_order_relaxed);
        if (m_lines) m_lines->WriteLine("Scan error, Path=[%s], Error=[%s]", path.c_str(), error.AsString().c_str()).IgnoreError();
    }

    IBasicScannerOutputHandler& m_handler;
    IBasicScannerCallback& m_callback;
    CLineWriter* m_lines;
    std::atomic<uint64_t>& m_items;
    std::atomic<uint64_t>& m_errors;
};

}  // namespace

CBasicScanner::CBasicScanner(std::vector<std::string> content, int workers, std::shared_ptr<CLineWriter> lineWriter,
                             std::shared_ptr<IBasicScannerCallback> callback)
    : m_content(std::move(content)),
      m_workers(std::max(1, workers)),
      m_lineWriter(std::move(lineWriter)),
      m_callback(std::move(callback)) {}

CKoError CBasicScanner::ScanRoot(const std::string& root) {
    std::shared_ptr<IBasicScannerOutputHandler> handler;
    CKoError e = m_callback->GetOutputHandler(root, handler);
    if (e.IsSuccess() && !handler)
        e = FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_HANDLE, "No output handler for the root");
    if (e.IsSuccess()) e = handler->Initialize();
    if (e.IsError()) return e.Push(ZY_HERE, "Root=[%s]", root.c_str());
    CRootWalk walk(*handler, *m_callback, m_lineWriter.get(), m_items, m_errors);
    CFileSystemScanner scanner;
    e = scanner.Scan(root, walk);
    CKoError complete = handler->Complete();
    if (e.IsSuccess()) e = complete;
    if (e.IsError()) return e.Push(ZY_HERE, "Root=[%s]", root.c_str());
    return CKoError::Success();
}

void CBasicScanner::Worker(std::atomic<size_t>& next, std::vector<CKoError>& results) {
    for (size_t i; (i = next.fetch_add(1)) < m_content.size();) results[i] = ScanRoot(m_content[i]);
}

CKoError CBasicScanner::Run() {
    if (!m_callback)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "The basic scanner has no callback");
    std::vector<CKoError> results(m_content.size());
    std::atomic<size_t> next{0};
    const size_t workers = std::min<size_t>(static_cast<size_t>(m_workers), std::max<size_t>(1, m_content.size()));
    std::vector<std::thread> threads;
    try {
        for (size_t i = 1; i < workers; ++i) threads.emplace_back([&] { Worker(next, results); });
    } catch (const std::system_error&) {
        // Fewer workers than asked for: the calling thread and those started do the work.
    }
    Worker(next, results);
    for (std::thread& t : threads) t.join();
    for (CKoError& e : results)
        if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}
