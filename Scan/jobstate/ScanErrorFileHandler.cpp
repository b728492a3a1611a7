#include "scan/jobstate/ScanErrorFileHandler.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string_view>

#include "core/Env.h"
#include "core/LogWriter.h"
#include "core/Path.h"
#include "core/StringUtil.h"

namespace {

constexpr const char* kFileName = "ScanError.zyf";
constexpr const char* kLineEnd = "\r\n";
constexpr uint32_t kWrittenVersion = 1;
constexpr uint32_t kPendingCauseEventType = 300;
constexpr size_t kReadChunk = 1 << 16;
constexpr uint64_t kUnknown = UINT64_MAX;

// The job statuses a scan error can imply, by severity; others never win.
int JobStatusRank(unsigned status) {
    switch (status) {
        case 1: return 1;
        case 14: return 2;
        case 3: return 3;
        default: return 0;
    }
}

unsigned ParseUnsigned(const std::string& line) {
    unsigned long number = std::stoul(line, nullptr, 10);
    if (number > UINT_MAX) throw std::out_of_range("stoul: value out of range of unsigned, Value=[" + line + "]");
    return static_cast<unsigned>(number);
}

// The end of the part of the file that holds the version line and whole records (three lines
// each); 0 when not even the version line is whole.
CKoError WholeRecordsEnd(FXRandomRWFile& file, uint64_t size, uint64_t& end) {
    end = 0;
    std::unique_ptr<char[]> buffer(new char[kReadChunk]);
    uint64_t lines = 0;
    for (uint64_t at = 0; at < size;) {
        size_t got = 0;
        CKoError e = file.Read(at, buffer.get(), static_cast<size_t>(std::min<uint64_t>(kReadChunk, size - at)), got);
        if (e.IsError()) return e;
        if (got == 0) break;
        for (const char* p = buffer.get(); (p = static_cast<const char*>(std::memchr(p, '\n', buffer.get() + got - p)));
             ++p) {
            if (++lines % 3 == 1) end = at + static_cast<uint64_t>(p - buffer.get()) + 1;
        }
        at += got;
    }
    return CKoError::Success();
}

}  // namespace

class CScanErrorFileHandlerPrivate {
public:
    explicit CScanErrorFileHandlerPrivate(std::string path) : m_path(std::move(path)) {}

    // Reading: the next line with its line feed; false at the end of the file, where a last line
    // without its line feed is left (a writer that died wrote it).
    bool NextLine(std::string& line);
    CKoError OpenForAppend();
    CKoError FinishAppend();
    CKoError WriteFailure(const FXCodeLocation& here, const CKoError& cause) const {
        return FXErrorUtil::ErrorWin32(here, ZyWin32::ERROR_GENERAL_FAILURE,
                                       "Failed to write to backing file, Path=%s, error=%d", m_path.c_str(),
                                       FXEnvErrno(cause));
    }
    bool IsOpen() const { return m_reader || m_writer; }
    void Drop() {
        m_reader.reset();
        m_writer.reset();
        m_pending.clear();
    }

    std::string m_path;
    uint32_t m_version = 0;
    bool m_forRead = false;
    // Whole-file operations of one handler do not interleave.
    std::recursive_mutex m_lock;
    std::string m_line;  // reused by the line reads

    std::unique_ptr<FXSequentialFile> m_reader;
    std::string m_buffer;  // read ahead
    size_t m_consumed = 0;
    bool m_atEnd = false;
    CKoError m_readError;

    // Records go to the file in one write when it is closed, at the end of its last whole record,
    // so that a failed or interrupted write can be cut back without a torn record staying.
    std::unique_ptr<FXRandomRWFile> m_writer;
    uint64_t m_writeAt = 0;
    std::string m_pending;
    // The size at which this handler last left the file ending in a whole record: the file is
    // checked when it is opened at any other size (another writer, or a crash, came between).
    uint64_t m_wholeSize = kUnknown;
};

bool CScanErrorFileHandlerPrivate::NextLine(std::string& line) {
    line.clear();
    for (;;) {
        const char* start = m_buffer.data() + m_consumed;
        const size_t left = m_buffer.size() - m_consumed;
        const void* feed = std::memchr(start, '\n', left);
        if (feed) {
            const size_t n = static_cast<size_t>(static_cast<const char*>(feed) - start) + 1;
            line.append(start, n);
            m_consumed += n;
            return true;
        }
        line.append(start, left);
        m_buffer.clear();
        m_consumed = 0;
        if (m_atEnd || !m_reader) return false;
        m_buffer.resize(kReadChunk);
        size_t got = 0;
        CKoError e = m_reader->Read(m_buffer.data(), kReadChunk, got);
        m_buffer.resize(got);
        if (e.IsError()) {
            m_readError = e;
            m_atEnd = true;
            return false;
        }
        if (got == 0) m_atEnd = true;
    }
}

CKoError CScanErrorFileHandlerPrivate::OpenForAppend() {
    FXEnv* env = FXEnv::Current();
    FXFileStat st;
    const bool existed = env->Stat(m_path, st).IsSuccess();
    CKoError e = env->NewRandomRWFile(m_path, true, m_writer);
    uint64_t size = 0, end = 0;
    if (e.IsSuccess()) e = m_writer->Size(size);
    if (e.IsSuccess() && size == m_wholeSize) end = size;
    else if (e.IsSuccess()) e = WholeRecordsEnd(*m_writer, size, end);
    if (e.IsSuccess() && end < size) {
        // A record torn by a failed write or a crash would shift every record appended after it.
        e = m_writer->Truncate(end);
        if (e.IsSuccess())
            ZYLOG_ERROR("Scan error file cut back to its last whole record, FileName=[%s], Size=[%llu], NewSize=[%llu]",
                        m_path.c_str(), static_cast<unsigned long long>(size), static_cast<unsigned long long>(end));
    }
    // A new file (or one without a whole version line) starts with the version line; the file
    // itself must then last as well as the records in it.
    if (e.IsSuccess() && !existed) e = FXSyncParentDir(m_path);
    if (e.IsError()) {
        m_writer.reset();
        return e;
    }
    m_writeAt = end;
    m_pending.clear();
    if (end == 0) m_pending.append(std::to_string(kWrittenVersion)).append(kLineEnd);
    return CKoError::Success();
}

CKoError CScanErrorFileHandlerPrivate::FinishAppend() {
    CKoError e;
    if (!m_pending.empty()) {
        e = m_writer->Write(m_writeAt, m_pending);
        if (e.IsSuccess()) e = m_writer->Sync();
        if (e.IsError()) {
            CKoError cut = m_writer->Truncate(m_writeAt);
            if (cut.IsError())
                ZYLOG_ERROR("Failed to cut scan error file back to its last whole record, FileName=[%s], error=%s",
                            m_path.c_str(), cut.AsString().c_str());
            m_wholeSize = cut.IsSuccess() ? m_writeAt : kUnknown;
        } else {
            m_wholeSize = m_writeAt + m_pending.size();
        }
    }
    CKoError closed = m_writer->Close();
    m_writer.reset();
    m_pending.clear();
    if (e.IsError()) return e;
    if (closed.IsError()) m_wholeSize = kUnknown;
    return closed;
}

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
    std::string idLine, args, statusLine;
    try {
        // All three lines first: a record whose numbers do not parse is then passed whole, and
        // the reader can go on with the next one.
        handler >> idLine >> args >> statusLine;
        id = ParseUnsigned(idLine);
        status = ParseUnsigned(statusLine);
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
    if (p.IsOpen()) CloseFile().IgnoreError();
    p.Drop();
    p.m_forRead = forRead;

    if (forRead) {
        p.m_buffer.clear();
        p.m_consumed = 0;
        p.m_atEnd = false;
        p.m_readError = CKoError::Success();
        FXOpenOptions options;
        options.followLinks = true;
        CKoError e = FXEnv::Current()->NewSequentialFile(p.m_path, p.m_reader, options);
        if (e.IsError()) return FXErrorUtil::ErrorErrNo(ZY_HERE, FXEnvErrno(e), "Open failed, FileName=%s", path);
        if (!p.NextLine(p.m_line)) {
            const int err = p.m_readError.IsError() ? FXEnvErrno(p.m_readError) : ENODATA;
            p.Drop();
            return FXErrorUtil::ErrorErrNo(ZY_HERE, err, "Failed to read, FileName=%s", path);
        }
        FXString::TrimWhiteSpace(p.m_line);
        try {
            p.m_version = static_cast<uint32_t>(std::stoul(p.m_line, nullptr, 10));
        } catch (const std::exception& ex) {
            p.Drop();
            return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_GENERAL_FAILURE,
                                           "Invalid version line, FileName=%s, error=%s", path, ex.what());
        }
        return CKoError::Success();
    }

    p.m_version = kWrittenVersion;
    CKoError e = p.OpenForAppend();
    if (e.IsError()) {
        CKoError error = FXErrorUtil::ErrorErrNo(ZY_HERE, FXEnvErrno(e), "Open failed, FileName=%s", path);
        return error.Push(ZY_HERE, "%s", e.GetMessage().c_str());
    }
    return CKoError::Success();
}

CKoError CScanErrorFileHandler::CloseFile() {
    CScanErrorFileHandlerPrivate& p = *m_private;
    if (p.m_reader) {
        p.Drop();
        return CKoError::Success();
    }
    if (!p.m_writer) return CKoError::Success();
    CKoError e = p.FinishAppend();
    if (e.IsError()) return p.WriteFailure(ZY_HERE, e).Push(ZY_HERE, "%s", e.GetMessage().c_str());
    return CKoError::Success();
}

// ---------------------------------------------------------------------------------------------

void CScanErrorFileHandler::WriteLine(const std::string& value) {
    CScanErrorFileHandlerPrivate& p = *m_private;
    if (!p.m_writer)
        throw p.WriteFailure(ZY_HERE, FXErrorUtil::ErrorErrNo(ZY_HERE, EBADF, "Not open for writing"));
    // A line end inside a value (file names may hold one) would shift every later field of the
    // file; it is written as the escape collect files use.
    if (value.find_first_of("\r\n") == std::string::npos) {
        p.m_pending.append(value);
    } else {
        for (char c : value) {
            if (c == '\r')
                p.m_pending.append("%0D");
            else if (c == '\n')
                p.m_pending.append("%0A");
            else
                p.m_pending.push_back(c);
        }
    }
    p.m_pending.append(kLineEnd);
}

void CScanErrorFileHandler::WriteLine(unsigned value) { WriteLine(std::to_string(value)); }

void CScanErrorFileHandler::ReadLine(std::string& value) {
    CScanErrorFileHandlerPrivate& p = *m_private;
    if (!p.m_reader)
        throw FXErrorUtil::ErrorErrNo(ZY_HERE, EBADF, "Failed to read, FileName=%s", p.m_path.c_str());
    // A last line without its line end was cut short by a writer that died; it is not a value.
    if (!p.NextLine(value)) {
        if (p.m_readError.IsError())
            throw FXErrorUtil::ErrorErrNo(ZY_HERE, FXEnvErrno(p.m_readError), "Failed to read, FileName=%s",
                                          p.m_path.c_str());
        throw FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NO_MORE_ITEMS);
    }
    FXString::TrimRight(value, kLineEnd);
}

void CScanErrorFileHandler::ReadLine(unsigned& value) {
    std::string& line = m_private->m_line;
    ReadLine(line);
    value = ParseUnsigned(line);
}

// A record read whole whose numbers did not parse (774, from Deserialize): the next record
// starts after it, so reading goes on. A record cut short, or a failed read, ends the reading.
bool CScanErrorFileHandler::IsDamagedRecord(const CKoError& e) {
    if (!FXErrorUtil::IsWin32(e, ZyWin32::ERROR_GENERAL_FAILURE)) return false;
    ZYLOG(1, "Skipping a damaged record in scan error file, FileName=[%s], error=%s", m_private->m_path.c_str(),
          e.AsString().c_str());
    return true;
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
        if (IsDamagedRecord(e)) continue;
        if (e.IsError()) break;
        if (JobStatusRank(data.jobStatus) > JobStatusRank(status)) status = data.jobStatus;
    }
    if (FXErrorUtil::IsNotWin32(e, ZyWin32::ERROR_NO_MORE_ITEMS))
        ZYLOG(1, "Stopped reading scan error file, FileName=[%s], error=%s", m_private->m_path.c_str(),
              e.AsString().c_str());
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
        if (IsDamagedRecord(e)) continue;
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
        ZYLOG(1, "Stopped reading scan error file, FileName=[%s], error=%s", m_private->m_path.c_str(),
              e.AsString().c_str());
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
