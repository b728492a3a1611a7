// A flat collect file: an item consumer of the scanner that turns each item into one line of a
// collect file and appends it, counting the bytes of the items written and the folders.
//
// The base class writes the item's path (as the protected machine sees it, through the content
// mapper) as the line; CUnixFlatCollectFile writes the full Unix line. Lines are buffered: a
// failed write shows at the latest in Close, which then fails. RawWriteItem, RawAppendFile, Open,
// Close and tellp may be called from several threads; Process of the base class and of
// CUnixFlatCollectFile belongs to one thread at a time (CUnixThreadFlatCollectFile serialises it).
// All file I/O goes through FXEnv::Current().
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "core/BufferedWritableFile.h"
#include "core/KoError.h"
#include "scan/content/ProxyItemConsumer.h"

class CFlatCollectFile : public CProxyItemConsumer {
public:
    // Events sent through the agent's event interface, with the file name.
    static constexpr uint32_t kEventOpenFailed = 0x600001E;
    static constexpr uint32_t kEventWriteToClosedFile = 0x11000027;

    // Opens `fileName` with `mode` ("w" when empty); a failure is logged and leaves the object
    // closed (Open tries again).
    CFlatCollectFile(long long id, const std::string& fileName, const std::string& mode);
    ~CFlatCollectFile() override;

    // Writes the item's source path as a line and counts the item.
    CKoError Process(std::shared_ptr<CItem> item) override;

    virtual bool IsOpen();
    // "w..." creates or empties the file, "a..." appends; unless the mode starts with "a" the
    // byte and folder counters start again. A failure sends kEventOpenFailed.
    virtual CKoError Open(const std::string& mode);
    // Writes what is buffered and closes; reports the first write error since Open.
    virtual CKoError Close();
    // The position at which the next line goes (what is buffered included); 0 when closed.
    virtual long long tellp();
    // The line and a line feed; adds `size` to the byte counter. On a closed file it sends
    // kEventWriteToClosedFile and fails with Win32 6.
    virtual CKoError RawWriteItem(const std::string& line, unsigned long long size);
    // Copies every line of another file (a trailing CR removed) as lines of this one.
    virtual CKoError RawAppendFile(const std::string& path);

    const std::string& GetFileName() const { return m_fileName; }
    void IncrementProcessedFolderCount() { m_folders.fetch_add(1, std::memory_order_relaxed); }
    long long GetProcessedBytes() const { return m_bytes.load(std::memory_order_relaxed); }
    long long GetProcessedFolderCount() const { return m_folders.load(std::memory_order_relaxed); }

protected:
    void AddProcessedBytes(unsigned long long size) {
        m_bytes.fetch_add(static_cast<long long>(size), std::memory_order_relaxed);
    }
    // Sends kEventWriteToClosedFile and answers Win32 6.
    CKoError ClosedFileError(const FXCodeLocation& where);

private:
    CKoError OpenLocked(const std::string& mode);

    std::atomic<long long> m_bytes{0};    // of the items written
    std::atomic<long long> m_folders{0};  // folders written
    std::string m_fileName;
    FXBufferedWritableFile m_output;
    std::mutex m_mutex;  // guards m_output
    std::string m_source;  // Process's scratch
};
