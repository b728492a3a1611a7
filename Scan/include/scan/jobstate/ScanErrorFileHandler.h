// "ScanError.zyf": errors the scan records for the job manager, each a message id, its arguments
// and the job status it implies. Read back at the end of the job, raised as job pending causes,
// and ranked into the job's status.
//
// Text with CR LF line ends, one field per line: the format version ("1"), then per record the
// message id, the arguments (separated by "|") and the job status.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "agent/JobClient.h"
#include "core/KoError.h"

class CScanErrorFileHandler;

class CScanErrorFileData {
public:
    virtual ~CScanErrorFileData() = default;

    // Write or read the three fields through the handler's line operations. A record cut short
    // reads as Win32 259, like the end of the file; a whole record whose numbers do not parse is
    // Win32 774 and is passed over. Deserialize changes nothing on failure.
    virtual CKoError Serialize(CScanErrorFileHandler& handler) const;
    virtual CKoError Deserialize(CScanErrorFileHandler& handler);

    uint32_t messageId = 0;
    std::string arguments;  // "|" between arguments
    uint32_t jobStatus = 3;
};

class CScanErrorFileHandlerPrivate;

class CScanErrorFileHandler {
public:
    // The file is "ScanError.zyf" in `folder`.
    explicit CScanErrorFileHandler(const std::string& folder);

    // For reading (the version line is read), or for appending (a new file gets the version line).
    CKoError OpenFile(bool forRead);
    // Closing a file opened for appending is where buffered records reach it (in one write, synced);
    // its failure counts, and a record it tore is cut off again. Opening for appending cuts a
    // torn last record off first, so that records appended after it stay whole.
    CKoError CloseFile();
    // 0 until read or written.
    uint32_t getVersion() const;
    const std::string& GetFilePath() const;

    // Line operations; they throw CKoError: 774 for a failed write, 259 at the end of the file
    // (a last line without its line end included), an errno error for a failed read. The unsigned
    // read throws what std::stoul throws for a line that is not a number.
    void WriteLine(const std::string& value);
    void WriteLine(unsigned value);
    void ReadLine(std::string& value);
    void ReadLine(unsigned& value);
    CScanErrorFileHandler& operator<<(const std::string& value) {
        WriteLine(value);
        return *this;
    }
    CScanErrorFileHandler& operator<<(unsigned value) {
        WriteLine(value);
        return *this;
    }
    CScanErrorFileHandler& operator>>(std::string& value) {
        ReadLine(value);
        return *this;
    }
    CScanErrorFileHandler& operator>>(unsigned& value) {
        ReadLine(value);
        return *this;
    }

    // Appends one record (opening and closing the file).
    CKoError WriteMessage(const CScanErrorFileData& data);
    // The most severe job status in the file: 3 over 14 over 1; 1 when there is none.
    CKoError GetJobStatus(unsigned& status);
    // Raises every record as a pending cause through `jobClient` and sets `status` to the file's
    // most severe job status. Damaged records are passed over; a record cut short ends the file.
    CKoError ReadAndSendScanErrorJPR(ZYJobStatus& status, ZYBkpJobClient* jobClient);

private:
    bool IsDamagedRecord(const CKoError& e);
    std::shared_ptr<CScanErrorFileHandlerPrivate> m_private;
};
