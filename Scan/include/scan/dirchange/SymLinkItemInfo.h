// The item information of the segment DirChange: where an item's line ends in a tree DirChange
// file, and which file that is.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/Env.h"
#include "scan/dirchange/FVBase.h"

class SymLinkItemInfo : public FVBase {
public:
    SymLinkItemInfo() = default;
    SymLinkItemInfo(int64_t fileOffset, std::string fileName, int64_t lineStart = -1)
        : m_fileOffset(fileOffset), m_fileName(std::move(fileName)), m_lineStart(lineStart) {}

    // The position just after the item's line.
    int64_t GetFileOffset() const { return m_fileOffset; }
    void SetFileOffset(int64_t offset) { m_fileOffset = offset; }
    // Where the item's line begins (-1: not known).
    int64_t GetLineStart() const { return m_lineStart; }
    void SetLineStart(int64_t offset) { m_lineStart = offset; }
    const std::string& GetFileName() const { return m_fileName; }
    int64_t GetValue() const { return m_value; }
    // The file name and the value that goes with it (setPDFInfo / setCDFInfo take both).
    void SetFileInfo(const SymLinkItemInfo& other) {
        m_fileName = other.m_fileName;
        m_value = other.m_value;
        m_reader = other.m_reader;
    }
    void SetFileName(std::string fileName) { m_fileName = std::move(fileName); }
    // The file open for reading, when its owner keeps it open (readers then need no open per folder).
    const std::shared_ptr<FXRandomAccessFile>& GetReader() const { return m_reader; }
    void SetReader(std::shared_ptr<FXRandomAccessFile> reader) { m_reader = std::move(reader); }
    void SetValue(int64_t value) { m_value = value; }

private:
    int64_t m_fileOffset = 0;
    std::string m_fileName;
    int64_t m_value = 0;
    int64_t m_lineStart = -1;
    std::shared_ptr<FXRandomAccessFile> m_reader;
};

using SymLinkItemInfoPtr = std::shared_ptr<SymLinkItemInfo>;
