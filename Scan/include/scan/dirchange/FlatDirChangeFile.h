// Writes a flat DirChange file from a stream of items (live-sync replication hands them on), can
// merge another such file into itself, and can compact a file in which a folder has several
// blocks into one block per folder.
//
// File grammar: "Version2" and "/" first, then folder lines (the folder with a trailing "/",
// escaped) each followed by TAB lines naming files of that folder. Every block's offset (the
// position just after its folder line) is remembered in a path trie, which is what compaction
// walks. Writes are buffered; a failed write raises the agent event 0x11000028 naming the file
// (once per file) and is returned; the file then never ends in a torn line.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "agent/SendEvent.h"
#include "core/Env.h"
#include "core/KoError.h"
#include "scan/content/ProxyItemConsumer.h"
#include "scan/dirchange/BufferedFileAppender.h"
#include "scan/dirchange/PathCache.h"

class CFlatDirChangeFile;
using CFlatDirChangeFilePtr = std::shared_ptr<CFlatDirChangeFile>;
using OffsetAddressList = std::vector<uint64_t>;
using OffsetAddressListPtr = std::shared_ptr<OffsetAddressList>;
using CFlatDirChangeOffsetTrie = CPathCacheOrderedT<OffsetAddressListPtr>;

class CFlatDirChangeFile : public CProxyItemConsumer {
public:
    // Opens `fileName` for writing; `mode` "w" (the default when empty) starts the file anew, a
    // mode beginning with "a" appends to what is there (its blocks are read back first, so that
    // compaction keeps them). An open failure is logged and leaves the object unopened.
    CFlatDirChangeFile(long long id, const std::string& fileName, const std::string& mode);
    // Writes `activeFileName`; Compact puts the compacted result in `fileName`.
    CFlatDirChangeFile(long long id, const std::string& activeFileName, const std::string& fileName,
                       const std::string& mode);
    ~CFlatDirChangeFile() override;

    // A file item: its folder line when the folder changes, then TAB and the escaped name. A
    // folder item: its folder line when it differs from the last one written. Paths go through
    // the content mapper (proxy to host) when one is set.
    CKoError Process(std::shared_ptr<CItem> item) override;
    virtual bool IsOpen() const;
    // Writes what is buffered and closes the file.
    CKoError Close();
    // Writes what is buffered.
    CKoError Flush();
    const std::string& GetFileName() const { return m_fileName; }
    // The file being written: the active name, or the file name when there is none.
    const std::string& GetActiveFileName() const { return m_activeFileName.empty() ? m_fileName : m_activeFileName; }
    // On: network paths are written in moniker form ("UNC-NT_server/share/"). Compact keeps it.
    void SetUseUncMoniker(bool on) { m_useUncMoniker = on; }
    bool IsUseUncMoniker() const { return m_useUncMoniker; }
    // Where write failures are reported; the process's current event interface by default.
    void SetEventInterface(std::shared_ptr<ISendEventInterface> events) { m_events = std::move(events); }

    // A folder line unless `folder` is the last folder written.
    CKoError RawWriteFolder(const std::string& folder);
    // TAB, the line (a name and its fields, already escaped) and LF.
    CKoError RawWriteItem(const std::string& line);
    // Appends every block of `other` (read from its file from the beginning).
    CKoError Add(const CFlatDirChangeFilePtr& other);
    // Compacts the active file into the final file and removes the active file; without an
    // active file name Win32 50 (not supported).
    CKoError Compact(bool writeAllFolders);
    // Closes this file and writes it compacted into `target`.
    CKoError CompactTo(const CFlatDirChangeFilePtr& target, bool writeAllFolders);

    // Where each folder's blocks start, as written by this object.
    const CFlatDirChangeOffsetTrie& GetFolderOffsets() const { return m_folderOffsets; }

private:
    void Open(const std::string& path, const std::string& mode);
    CKoError ReadExistingBlocks(const std::string& path, uint64_t size);
    CKoError WriteFolderLine(const std::string& folder, std::string_view fields);
    CKoError RecordBlock(const std::string& folder, uint64_t offset);
    CKoError Write(const std::string& data);
    CKoError Failed(CKoError error);
    std::string TrieKey(const std::string& folder) const;

    std::string m_activeFileName;
    std::string m_fileName;
    std::unique_ptr<FXWritableFile> m_file;
    CBufferedFileAppender m_out;
    bool m_useUncMoniker = false;
    std::string m_lastFolder;
    std::string m_lastLocalFolder;   // the untranslated folder of the last item, for Process
    std::string m_lastSourceFolder;  // and the folder written for it
    CFlatDirChangeOffsetTrie m_folderOffsets;
    std::shared_ptr<ISendEventInterface> m_events;
    bool m_eventSent = false;
    std::string m_line, m_scratch;
};
