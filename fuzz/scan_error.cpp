// A scan-error file ("ScanError.zyf") of arbitrary bytes, read as the end of a job reads it: its
// job status, and every record raised as a pending cause.
//
// Any bytes read or fail cleanly. Both readings agree on the status, which is one a scan error can
// imply; every record read is raised with its arguments; written again by the writer, the records
// read back the same (a line end inside an argument comes back escaped, as the writer writes it).
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "agent/JobClient.h"
#include "scan/jobstate/ScanErrorFileHandler.h"

namespace {

bool KnownStatus(unsigned status) { return status == 1 || status == 3 || status == 14; }

// The arguments the handler splits a record's text into.
std::vector<std::string> Split(const std::string& arguments) {
    std::vector<std::string> out;
    if (arguments.empty()) return out;
    size_t start = 0;
    for (;;) {
        size_t bar = arguments.find('|', start);
        out.push_back(arguments.substr(start, bar == std::string::npos ? bar : bar - start));
        if (bar == std::string::npos) return out;
        start = bar + 1;
    }
}

std::string EscapeLineEnds(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\r')
            out += "%0D";
        else if (c == '\n')
            out += "%0A";
        else
            out.push_back(c);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzsupport::Setup();
    fuzzsupport::ClearScratchDir();
    const std::string& folder = fuzzsupport::ScratchDir();
    fuzzsupport::WriteScratchFile("ScanError.zyf", data, size);

    CScanErrorFileHandler handler(folder);
    unsigned status = 0;
    if (handler.GetJobStatus(status).IsError()) return 0;
    FUZZ_CHECK(KnownStatus(status));

    ZYRecordingBkpJobClient client;
    ZYJobStatus raisedStatus = 0;
    FUZZ_CHECK(handler.ReadAndSendScanErrorJPR(raisedStatus, &client).IsSuccess());
    FUZZ_CHECK(raisedStatus == status);

    // The records, read one by one through the handler's own line operations.
    std::vector<CScanErrorFileData> records;
    FUZZ_CHECK(handler.OpenFile(true).IsSuccess());
    for (;;) {
        CScanErrorFileData record;
        CKoError e = record.Deserialize(handler);
        // A whole record whose numbers do not parse is passed over, as the job's reading does.
        if (FXErrorUtil::IsWin32(e, ZyWin32::ERROR_GENERAL_FAILURE)) continue;
        if (e.IsError()) break;
        records.push_back(record);
    }
    FUZZ_CHECK(handler.CloseFile().IsSuccess());

    const std::vector<ZYPendingCause> causes = client.getPendingCauses();
    FUZZ_CHECK(causes.size() == records.size());
    for (size_t i = 0; i < causes.size(); ++i) {
        FUZZ_CHECK(causes[i].messageId == records[i].messageId);
        FUZZ_CHECK(causes[i].args == Split(records[i].arguments));
    }

    // Written again, one record at a time, into a file of their own.
    const std::string copyFolder = fuzzsupport::ScratchPath("copy");
    ::mkdir(copyFolder.c_str(), 0700);
    CScanErrorFileHandler copy(copyFolder);
    ::unlink(copy.GetFilePath().c_str());
    for (const CScanErrorFileData& record : records) FUZZ_CHECK(copy.WriteMessage(record).IsSuccess());
    if (records.empty()) return 0;
    FUZZ_CHECK(copy.OpenFile(true).IsSuccess());
    for (const CScanErrorFileData& record : records) {
        CScanErrorFileData back;
        FUZZ_CHECK(back.Deserialize(copy).IsSuccess());
        FUZZ_CHECK(back.messageId == record.messageId && back.jobStatus == record.jobStatus);
        FUZZ_CHECK(back.arguments == EscapeLineEnds(record.arguments));
    }
    FUZZ_CHECK(copy.CloseFile().IsSuccess());
    return 0;
}
