#include "scan/dirchange/FlatDirChangeFile.h"

#include <cerrno>

#include "core/File.h"
#include "core/LogWriter.h"
#include "core/Path.h"
#include "core/ScanMisc.h"
#include "core/StringUtil.h"
#include "scan/Unix/CollectFileEncode.h"
#include "scan/dirchange/DirChangeFileFormat.h"
#include "scan/dirchange/FlatDirChangeFileCompactor.h"
#include "scan/dirchange/FlatDirChangeLineReader.h"
#include "scan/dirchange/PositionalLineSource.h"

namespace {

int ErrnoOf(const CKoError& error) {
    return FXErrorUtil::IsFamily(error, EErrorFamily::ErrNo) ? static_cast<int>(error.GetErrorCode()) : EIO;
}

}  // namespace

CFlatDirChangeFile::CFlatDirChangeFile(long long id, const std::string& fileName, const std::string& mode)
    : CProxyItemConsumer(id), m_fileName(fileName) {
    Open(fileName, mode);
}

CFlatDirChangeFile::CFlatDirChangeFile(long long id, const std::string& activeFileName, const std::string& fileName,
                                       const std::string& mode)
    : CProxyItemConsumer(id), m_activeFileName(activeFileName), m_fileName(fileName) {
    Open(activeFileName, mode);
}

CFlatDirChangeFile::~CFlatDirChangeFile() { Close().IgnoreError(); }

void CFlatDirChangeFile::Open(const std::string& path, const std::string& mode) {
    const bool append = !mode.empty() && mode[0] == 'a';
    CKoError error = FXEnv::Current()->NewWritableFile(path, append ? EWriteMode::Append : EWriteMode::Truncate, m_file);
    if (error.IsError()) {
        ZYLOG_ERROR("Failed to open output file '%s', error=%s", path.c_str(), error.AsString().c_str());
        m_file.reset();
        return;
    }
    const uint64_t size = m_file->Size();
    m_out.Attach(m_file.get(), size);
    if (size > 0) {
        // Appending: what is there keeps its blocks (and a torn last line is cut off).
        error = ReadExistingBlocks(path, size);
        if (error.IsError()) {
            ZYLOG_ERROR("Failed to read output file '%s', error=%s", path.c_str(), error.AsString().c_str());
            m_out.Detach();
            m_file.reset();
        }
        return;
    }
    error = m_out.Append(CDirChangeFileFormat::kFlatFileHeader);
    if (error.IsSuccess()) error = m_out.Flush();
    if (error.IsSuccess()) error = RecordBlock("/", m_out.Position());
    if (error.IsError()) {
        Failed(error).IgnoreError();
        ZYLOG_ERROR("Failed to write into output file '%s', error=%d", path.c_str(), ErrnoOf(error));
        return;
    }
    m_lastFolder = "/";
}

CKoError CFlatDirChangeFile::ReadExistingBlocks(const std::string& path, uint64_t size) {
    std::unique_ptr<FXRandomAccessFile> in;
    CKoError error = FXEnv::Current()->NewRandomAccessFile(path, in);
    if (error.IsError()) return error.Push(ZY_HERE);
    CPositionalLineSource source(in.get(), 0);
    CFlatDirChangeLineReader reader(source);
    uint64_t good = 0;
    std::string folder;
    for (;;) {
        bool got = false;
        error = reader.ReadLine(got);
        if (error.IsError()) return error.Push(ZY_HERE);
        if (!got || !reader.EndedByNewline()) break;
        good = reader.EndOffset();
        if (reader.Kind() != CFlatDirChangeLineReader::LINE_FOLDER) continue;
        CDirChangeFileFormat::DecodeFlatFolder(reader.Name(), true, folder);
        error = RecordBlock(folder, reader.EndOffset());
        if (error.IsError()) return error.Push(ZY_HERE);
        m_lastFolder = folder;
    }
    if (good < size) {
        ZYLOG(1, "Cutting a torn last line, FileName=[%s], Size=[%llu], Kept=[%llu]", path.c_str(),
              static_cast<unsigned long long>(size), static_cast<unsigned long long>(good));
        error = m_file->Truncate(good);
        if (error.IsError()) return error.Push(ZY_HERE);
        m_out.Attach(m_file.get(), good);
    }
    return CKoError::Success();
}

bool CFlatDirChangeFile::IsOpen() const { return m_file != nullptr && m_out.IsAttached(); }

CKoError CFlatDirChangeFile::Failed(CKoError error) {
    if (!m_eventSent) {
        m_eventSent = true;
        std::shared_ptr<ISendEventInterface> events = m_events ? m_events : ISendEventInterface::Current();
        events->SendEvent(ISendEventInterface::kOutputFileWriteFailed, {GetActiveFileName()}).IgnoreError();
    }
    return error;
}

CKoError CFlatDirChangeFile::Write(const std::string& data) {
    if (!IsOpen()) return FXErrorUtil::ErrorErrNo(ZY_HERE, EINVAL, "Output file is not opened");
    CKoError error = m_out.Append(data);
    if (error.IsError()) return Failed(error.Push(ZY_HERE, "FileName=[%s]", GetActiveFileName().c_str()));
    return CKoError::Success();
}

CKoError CFlatDirChangeFile::Flush() {
    if (!IsOpen()) return FXErrorUtil::ErrorErrNo(ZY_HERE, EINVAL, "Output file is not opened");
    CKoError error = m_out.Flush();
    if (error.IsError()) return Failed(error.Push(ZY_HERE, "FileName=[%s]", GetActiveFileName().c_str()));
    return CKoError::Success();
}

CKoError CFlatDirChangeFile::Close() {
    if (!m_file) return CKoError::Success();
    CKoError error = m_out.IsAttached() ? m_out.Flush() : CKoError();
    if (error.IsError()) Failed(error).IgnoreError();
    CKoError closed = m_file->Close();
    m_out.Detach();
    m_file.reset();
    if (error.IsError()) return error.Push(ZY_HERE, "FileName=[%s]", GetActiveFileName().c_str());
    if (closed.IsError()) return Failed(closed.Push(ZY_HERE, "FileName=[%s]", GetActiveFileName().c_str()));
    return CKoError::Success();
}

std::string CFlatDirChangeFile::TrieKey(const std::string& folder) const {
    // Network paths keep their two leading delimiters only in moniker form.
    return FXFile::IsVolumeUnc(folder) ? SXScanMisc::ConvertToUncMoniker(folder) : folder;
}

CKoError CFlatDirChangeFile::RecordBlock(const std::string& folder, uint64_t offset) {
    try {
        CFlatDirChangeOffsetTrie::NodePtr node;
        EPathCacheResult result;
        CKoError error = m_folderOffsets.SearchOrInsert(TrieKey(folder), node, result);
        if (error.IsError()) return error.Push(ZY_HERE, "Folder=[%s]", folder.c_str());
        if (!node->GetData()) node->GetData() = std::make_shared<OffsetAddressList>();
        node->GetData()->push_back(offset);
    } catch (const std::bad_alloc&) {
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_OUTOFMEMORY, "Folder=[%s]", folder.c_str());
    }
    return CKoError::Success();
}

CKoError CFlatDirChangeFile::WriteFolderLine(const std::string& folder, std::string_view fields) {
    std::string_view text = folder;
    if (m_useUncMoniker && FXFile::IsVolumeUnc(folder)) {
        m_scratch = SXScanMisc::ConvertToUncMoniker(folder);
        text = m_scratch;
    }
    m_line.clear();
    CDirChangeFileFormat::AppendEscapedName(m_line, text);
    if (!text.empty() && text.back() != '/') m_line.push_back('/');
    m_line.append(fields);
    m_line.push_back('\n');
    CKoError error = Write(m_line);
    if (error.IsError()) return error.Push(ZY_HERE);
    m_lastFolder = folder;
    error = RecordBlock(folder, m_out.Position());
    if (error.IsError()) return error.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError CFlatDirChangeFile::RawWriteFolder(const std::string& folder) {
    if (!IsOpen()) return FXErrorUtil::ErrorErrNo(ZY_HERE, EINVAL, "Output file is not opened");
    if (!m_lastFolder.empty() && FXPath::IsSamePathAs(folder, m_lastFolder)) return CKoError::Success();
    CKoError error = WriteFolderLine(folder, std::string_view());
    if (error.IsError()) return error.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError CFlatDirChangeFile::RawWriteItem(const std::string& line) {
    m_line.clear();
    m_line.push_back('\t');
    m_line.append(line);
    m_line.push_back('\n');
    CKoError error = Write(m_line);
    if (error.IsError()) return error.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError CFlatDirChangeFile::Process(std::shared_ptr<CItem> item) {
    if (!item) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "No item");
    const std::string_view local = item->IsFolder() ? std::string_view(item->GetPath()) : item->GetParentPath();
    // The translation is only needed when the folder changes (or another write moved on).
    if (m_lastLocalFolder.empty() || !FXPath::IsSamePathAs(local, m_lastLocalFolder) ||
        m_lastFolder != m_lastSourceFolder) {
        m_lastLocalFolder.assign(local);
        std::string source;
        CKoError error = TranslateToSourcePath(m_lastLocalFolder, source);
        if (error.IsError()) return error.Push(ZY_HERE);
        error = RawWriteFolder(source);
        if (error.IsError()) return error.Push(ZY_HERE, "Folder=[%s]", source.c_str());
        m_lastSourceFolder = m_lastFolder;
    }
    if (!item->IsFolder()) {
        std::string name;
        escapeFileName(std::string(item->GetName()).c_str(), name);
        CKoError error = RawWriteItem(name);
        if (error.IsError()) return error.Push(ZY_HERE, "Item=[%s]", item->GetPath().c_str());
    }
    IncrementProcessedItemsCount();
    return CKoError::Success();
}

CKoError CFlatDirChangeFile::Add(const CFlatDirChangeFilePtr& other) {
    if (!other) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "No file to add");
    if (other->IsOpen()) {
        CKoError error = other->Flush();
        if (error.IsError()) return error.Push(ZY_HERE);
    }
    const std::string& path = other->GetActiveFileName();
    std::unique_ptr<FXRandomAccessFile> in;
    CKoError error = FXEnv::Current()->NewRandomAccessFile(path, in);
    if (error.IsError()) return error.Push(ZY_HERE, "FileName=[%s]", path.c_str());
    CPositionalLineSource source(in.get(), 0);
    CFlatDirChangeLineReader reader(source);
    std::string folder;
    for (;;) {
        bool got = false;
        error = reader.ReadLine(got);
        if (error.IsError()) return error.Push(ZY_HERE, "FileName=[%s]", path.c_str());
        if (!got) break;
        if (!reader.EndedByNewline()) {
            ZYLOG(1, "Skipping a torn last line, FileName=[%s]", path.c_str());
            break;
        }
        const std::string_view line = reader.Line();
        if (line.empty() || FXString::MatchLeft(line, "Version")) continue;
        if (reader.Kind() == CFlatDirChangeLineReader::LINE_FILE) {
            error = RawWriteItem(std::string(line.substr(1)));
        } else {
            std::string text(reader.Name());
            if (FXString::MatchLeft(text, "\\\\")) text.replace(0, 2, SXScanMisc::kUncMonikerPrefix);
            folder = decodeFileName(text.c_str());
            // Fields of a folder line (a deleted mark) go with it, so such a line is always written.
            const std::string_view fields = line.substr(reader.Name().size());
            error = fields.empty() ? RawWriteFolder(folder) : WriteFolderLine(folder, fields);
        }
        if (error.IsError()) return error.Push(ZY_HERE, "FileName=[%s]", path.c_str());
    }
    return CKoError::Success();
}

CKoError CFlatDirChangeFile::CompactTo(const CFlatDirChangeFilePtr& target, bool writeAllFolders) {
    if (!target) return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "No target file");
    CKoError error = Close();
    if (error.IsError()) return error.Push(ZY_HERE);
    CFlatDirChangeFileCompactor compactor(this);
    error = compactor.CompactTo(target, writeAllFolders);
    if (error.IsError()) return error.Push(ZY_HERE);
    return CKoError::Success();
}

CKoError CFlatDirChangeFile::Compact(bool writeAllFolders) {
    if (m_activeFileName.empty())
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_NOT_SUPPORTED, "No active file to compact, FileName=[%s]",
                                       m_fileName.c_str());
    CKoError error = Close();
    if (error.IsError()) return error.Push(ZY_HERE);
    auto target = std::make_shared<CFlatDirChangeFile>(GetId(), m_fileName, std::string());
    target->SetUseUncMoniker(m_useUncMoniker);
    if (m_events) target->SetEventInterface(m_events);
    CFlatDirChangeFileCompactor compactor(this);
    error = compactor.CompactTo(target, writeAllFolders);
    if (error.IsSuccess()) error = target->Close();
    if (error.IsError()) return error.Push(ZY_HERE, "FileName=[%s]", m_fileName.c_str());
    error = FXEnv::Current()->RemoveFile(m_activeFileName);
    if (error.IsError()) return error.Push(ZY_HERE, "FileName=[%s]", m_activeFileName.c_str());
    return CKoError::Success();
}
