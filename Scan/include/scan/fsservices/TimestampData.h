// The times one restored item must get once the restore has written everything below it.
//
// Record text: "<PATH>" and the file name; then, each only when present and each after "|",
// "<REPPATH>" and the reporting name, "<CTIME>", "<MTIME>" and "<ATIME>" with signed decimal
// Unix seconds. The record is taken apart from the right, so a "|" inside the path survives.
// A name the line-based timestamp files could not carry as it is (a line break in it, or "|<"
// that would read as a field) is written under "<PATHX>" / "<REPPATHX>", percent-escaped.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/KoError.h"

class CTimestampDataPrivate;

class CTimestampData {
public:
    CTimestampData();
    CTimestampData(std::string fileName, bool isDirectory);

    const std::string& GetFileName() const;
    void SetFileName(std::string fileName);
    // The path as the restore reports it; may be empty.
    const std::string& GetReportingFileName() const;
    void SetReportingFileName(std::string name);
    bool IsDirectory() const;
    void SetDirectory(bool isDirectory);

    // Change (creation) time: recorded, never applied; the system sets it.
    bool HasCreationTime() const;
    int64_t GetCreationTime() const;
    void SetCreationTime(int64_t seconds);
    bool HasAccessTime() const;
    int64_t GetAccessTime() const;
    void SetAccessTime(int64_t seconds);
    bool HasModifiedTime() const;
    int64_t GetModifiedTime() const;
    void SetModifiedTime(int64_t seconds);

    CKoError Serialize(std::string& out) const;
    // Empty input is Win32 87 "Input is empty"; a record that does not begin with "<PATH>", a
    // time that is not a number, or a field given twice is Win32 13.
    CKoError DeSerialize(std::string_view record);

private:
    std::shared_ptr<CTimestampDataPrivate> m_p;  // copies share the record
};
