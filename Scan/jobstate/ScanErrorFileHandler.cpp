#include "scan/jobstate/ScanErrorFileHandler.h"

#include <cerrno>
#include <climits>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string_view>

#include "core/File.h"
#include "core/LogWriter.h"
#include "core/Path.h"
#include "core/StringUtil.h"

namespace {

constexpr const char* kFileName = "ScanError.zyf";
constexpr const char* kLineEnd = "\r\n";
constexpr uint32_t kWrittenVersion = 1;
constexpr uint32_t kPendingCauseEventType = 300;

// The job statuses a scan error can imply, by severity; others never win.
int JobStatusRank(unsigned status) {
    switch (status) {
        case 1: return 1;
        case 14: return 2;
        case 3: return 3;
        default: return 0;
    }
}

int ErrNoOr(int fallback) { return errno != 0 ? errno : fallback; }

}  // namespace

class CScanErrorFileHandlerPrivate {
public:
    explicit CScanErrorFileHandlerPrivate(std::string path) : m_path(std::move(path)) {}

    std::string m_path;
    std::fstream m_stream;
    uint32_t m_version = 0;
    bool m_forRead = false;
    // Whole-file operations of one handler do not interleave.
    std::recursive_mutex m_lock;
    std::string m_line;  // reused by the line reads
};

// ---------------------------------------------------------------------------------------------

CKoError CScanErrorFileData::Serialize(CScanErrorFileHandler& handler) const {
    try {
        handler << messageId << arguments << jobStatus;
    } catch (const CKoError& e) {
        CKoError error = e;
        return error.Push(ZY_HERE);
    } catch (const std::exception& ex) {
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_GENERAL_FAILURE, "%s", ex.what());
    }
    return CKoError::Success();
}

CKoError CScanErrorFileData::Deserialize(CScanErrorFileHandler& handler) {
    unsigned id = 0, status = 0;
    std::string args;
    try {
        handler >> id >> args >> status;
    } catch (const CKoError& e) {
        CKoError error = e;
        return error.Push(ZY_HERE);
    } catch (const std::exception& ex) {
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_GENERAL_FAILURE, "%s", ex.what());
    }
    messageId = id;
    arguments.swap(args);
    jobStatus = status;
    return CKoError::Success();
}

// ---------------------------------------------------------------------------------------------

CScanErrorFileHandler::CScanErrorFileHandler(const std::string& folder)
    : m_private(std::make_shared<CScanErrorFileHandlerPrivate>(FXPath::Join(folder, kFileName))) {}

uint32_t CScanErrorFileHandler::getVersion() const { return m_private->m_version; }

const std::string& CScanErrorFileHandler::GetFilePath() const { return m_private->m_path; }

CKoError CScanErrorFileHandler::OpenFile(bool forRead) {
    CScanErrorFileHandlerPrivate& p = *m_private;
    const char* path = p.m_path.c_str();
    if (p.m_stream.is_open()) p.m_stream.close();
    p.m_stream.clear();
    p.m_forRead = forRead;
    errno = 0;

    if (forRead) {
        p.m_stream.open(p.m_path, std::ios::in | std::ios::binary);
        if (!p.m_stream.is_open())
            return FXErrorUtil::ErrorErrNo(ZY_HERE, ErrNoOr(EIO), "Open failed, FileName=%s", path);
        p.m_stream.clear();
        p.m_stream.seekg(0, std::ios::beg);
        std::getline(p.m_stream, p.m_line);
        if (p.m_stream.bad() || p.m_stream.fail() || p.m_stream.eof()) {
            int err = ErrNoOr(ENODATA);
            p.m_stream.close();
            return FXErrorUtil::ErrorErrNo(ZY_HERE, err, "Failed to read, FileName=%s", path);
        }
        FXString::TrimWhiteSpace(p.m_line);
        try {
            p.m_version = static_cast<uint32_t>(std::stoul(p.m_line, nullptr, 10));
        } catch (const std::exception& ex) {
            p.m_stream.close();
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_GENERAL_FAILURE,
                                           "Invalid version line, FileName=%s, error=%s", path, ex.what());
        }
        return CKoError::Success();
    }

    const bool exists = FXFile::DoesFileExist(p.m_path);
    p.m_version = kWrittenVersion;
    p.m_stream.open(p.m_path, std::ios::out | std::ios::binary | (exists ? std::ios::app : std::ios::trunc));
    if (!p.m_stream.is_open()) return FXErrorUtil::ErrorErrNo(ZY_HERE, ErrNoOr(EIO), "Open failed, FileName=%s", path);
    p.m_stream.seekp(0, std::ios::end);
    if (!exists) p.m_stream << kWrittenVersion << kLineEnd;
    if (p.m_stream.bad() || p.m_stream.fail()) {
        int err = ErrNoOr(EIO);
        p.m_stream.close();
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_GENERAL_FAILURE,
                                       "Failed to write to backing file, Path=%s, error=%d", path, err);
    }
    return CKoError::Success();
}

CKoError CScanErrorFileHandler::CloseFile() {
    CScanErrorFileHandlerPrivate& p = *m_private;
    if (!p.m_stream.is_open()) return CKoError::Success();
    // A read that ran into the end leaves failbit set; only the close itself counts here.
    p.m_stream.clear();
    errno = 0;
    p.m_stream.close();
    if (p.m_stream.fail()) {
        int err = ErrNoOr(EIO);
        p.m_stream.clear();
        if (!p.m_forRead)
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_GENERAL_FAILURE,
                                           "Failed to write to backing file, Path=%s, error=%d", p.m_path.c_str(), err);
        return FXErrorUtil::ErrorErrNo(ZY_HERE, err, "Close failed, FileName=%s", p.m_path.c_str());
    }
    return CKoError::Success();
}

// ---------------------------------------------------------------------------------------------

void CScanErrorFileHandler::WriteLine(const std::string& value) {
    CScanErrorFileHandlerPrivate& p = *m_private;
    errno = 0;
    // A line end inside a value (file names may hold one) would shift every later field of the
    // file; it is written as the escape collect files use.
    if (value.find_first_of("\r\n") == std::string::npos) {
        p.m_stream << value;
    } else {
        for (char c : value) {
            if (c == '\r')
                p.m_stream << "%0D";
            else if (c == '\n')
                p.m_stream << "%0A";
            else
                p.m_stream.put(c);
        }
    }
    p.m_stream << kLineEnd;
    if (p.m_stream.bad() || p.m_stream.fail())
        throw FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_GENERAL_FAILURE,
                                      "Failed to write to backing file, Path=%s, error=%d", p.m_path.c_str(),
                                      ErrNoOr(EIO));
}

void CScanErrorFileHandler::WriteLine(unsigned value) {
    CScanErrorFileHandlerPrivate& p = *m_private;
    errno = 0;
    p.m_stream << value << kLineEnd;
    if (p.m_stream.bad() || p.m_stream.fail())
        throw FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_GENERAL_FAILURE,
                                      "Failed to write to backing file, Path=%s, error=%d", p.m_path.c_str(),
                                      ErrNoOr(EIO));
}

void CScanErrorFileHandler::ReadLine(std::string& value) {
    CScanErrorFileHandlerPrivate& p = *m_private;
    errno = 0;
    std::getline(p.m_stream, value);
    // A last line without its line end was cut short by a writer that died; it is not a value.
    if (p.m_stream.eof()) throw FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NO_MORE_ITEMS);
    if (p.m_stream.bad() || p.m_stream.fail())
        throw FXErrorUtil::ErrorErrNo(ZY_HERE, ErrNoOr(EIO), "Failed to read, FileName=%s", p.m_path.c_str());
    FXString::TrimRight(value, kLineEnd);
}

void CScanErrorFileHandler::ReadLine(unsigned& value) {
    std::string& line = m_private->m_line;
    ReadLine(line);
    unsigned long number = std::stoul(line, nullptr, 10);
    if (number > UINT_MAX) throw std::out_of_range("stoul: value out of range of unsigned, Value=[" + line + "]");
    value = static_cast<unsigned>(number);
}

// ---------------------------------------------------------------------------------------------

CKoError CScanErrorFileHandler::WriteMessage(const CScanErrorFileData& data) {
    std::lock_guard<std::recursive_mutex> lock(m_private->m_lock);
    CKoError e = OpenFile(false);
    if (e.IsError()) return e.Push(ZY_HERE);
    e = data.Serialize(*this);
    if (e.IsError()) {
        CloseFile().IgnoreError();  // the first failure is the one to report
        return e.Push(ZY_HERE, "MessageId=[%u]", data.messageId);
    }
    e = CloseFile();
    if (e.IsError()) return e.Push(ZY_HERE, "MessageId=[%u]", data.messageId);
    return CKoError::Success();
}

CKoError CScanErrorFileHandler::GetJobStatus(unsigned& status) {
    std::lock_guard<std::recursive_mutex> lock(m_private->m_lock);
    status = 1;
    CKoError e = OpenFile(true);
    if (e.IsError()) return e.Push(ZY_HERE);
    CScanErrorFileData data;
    for (;;) {
        e = data.Deserialize(*this);
        if (e.IsError()) break;
        if (JobStatusRank(data.jobStatus) > JobStatusRank(status)) status = data.jobStatus;
    }
    if (FXErrorUtil::IsNotWin32(e, ZyWin32::ERROR_NO_MORE_ITEMS))
        ZYLOG(1, "Stopped reading scan error file at a damaged record, FileName=[%s], error=%s",
              m_private->m_path.c_str(), e.AsString().c_str());
    e = CloseFile();
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError CScanErrorFileHandler::ReadAndSendScanErrorJPR(ZYJobStatus& status, ZYBkpJobClient* jobClient) {
    std::lock_guard<std::recursive_mutex> lock(m_private->m_lock);
    CKoError e = OpenFile(true);
    if (e.IsError()) {
        std::string text = e.GetMessage();
        return e.Push(ZY_HERE, "Error:%s", text.c_str());
    }

    CScanErrorFileData data;
    size_t raised = 0;
    for (;;) {
        e = data.Deserialize(*this);
        if (e.IsError()) break;
        if (!jobClient) continue;
        // An empty text is a message without arguments; empty pieces between separators stay.
        if (!data.arguments.empty()) {
            std::string_view args = data.arguments;
            for (;;) {
                size_t bar = args.find('|');
                jobClient->getEvent() << args.substr(0, bar);
                if (bar == std::string_view::npos) break;
                args.remove_prefix(bar + 1);
            }
        }
        CKoError raise = jobClient->setPendingCause(data.messageId, nullptr, false, kPendingCauseEventType, 0, 0, 0,
                                                    true, 0, 0, 0, 0);
        if (raise.IsError())
            ZYLOG_ERROR("Failed to raise pending cause, MessageId=[%u], error=%s", data.messageId,
                        raise.AsString().c_str());
        else
            ++raised;
    }
    if (FXErrorUtil::IsNotWin32(e, ZyWin32::ERROR_NO_MORE_ITEMS))
        ZYLOG(1, "Stopped reading scan error file at a damaged record, FileName=[%s], error=%s",
              m_private->m_path.c_str(), e.AsString().c_str());
    ZYLOG(3, "Raised scan errors as pending causes, FileName=[%s], Count=[%zu]", m_private->m_path.c_str(), raised);

    unsigned found = 1;
    e = CloseFile();
    if (e.IsSuccess()) e = GetJobStatus(found);
    if (e.IsError()) {
        std::string text = e.AsString();
        return e.Push(ZY_HERE, "Attempt to read Job status from ScanError file failed with error=[%s]", text.c_str());
    }
    status = found;
    return CKoError::Success();
}
