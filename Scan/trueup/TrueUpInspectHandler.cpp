#include "scan/trueup/TrueUpInspectHandler.h"

#include "core/LogWriter.h"

CKoError CTrueUpInspectHandler::Initialize() {
    if (!m_options)
        return FXErrorUtil::ErrorWin32(ZY_HERE, ZyWin32::ERROR_INVALID_PARAMETER, "The inspect handler has no options");
    m_evaluated = 0;
    return CKoError::Success();
}

CKoError CTrueUpInspectHandler::OnItem(const std::shared_ptr<CItem>& item) {
    m_options->AddInspected();
    ++m_evaluated;
    bool include = false;
    std::string reason;
    CKoError e = BasicEvaluation(item, include, reason);
    if (e.IsError()) {
        ZYLOG_ERROR("BasicEvaluation failed, Item=[%s]", item->GetPath().c_str());
        return e.Push(ZY_HERE);
    }
    if (include) {
        ZYLOG(3, "Included, Item=[%s], Reason=[%s]", item->GetPath().c_str(), reason.c_str());
        m_options->AddQualified();
    }
    return CKoError::Success();
}

CKoError CTrueUpInspectHandler::Complete() {
    ZYLOG(1, "%lld items evaluated", static_cast<long long>(m_evaluated));
    return CKoError::Success();
}

CKoError CTrueUpInspectHandler::BasicEvaluation(const std::shared_ptr<CItem>& item, bool& include,
                                                std::string& reason) {
    include = false;
    if (!item->IsFile()) return CKoError::Success();
    std::string guid;
    if (!IsQuillfernStub(*item, guid)) {
        ZYLOG(5, "File %s is not a quillfern stub", item->GetPath().c_str());
        return CKoError::Success();
    }
    CKoError e = WriteToOutputFile(*item, guid);
    if (e.IsError()) {
        ZYLOG_ERROR("Failed to write to output file.");
        return e.Push(ZY_HERE);
    }
    include = true;
    reason = "Stub";
    return CKoError::Success();
}

bool CTrueUpInspectHandler::IsQuillfernStub(const CItem& /*item*/, std::string& /*guid*/) { return false; }

CKoError CTrueUpInspectHandler::WriteToOutputFile(const CItem& item, const std::string& guid) {
    CTrueUpStubGuidWriterPtr writer;
    CKoError e = m_options->GetStubGUIDWriterForBackupSet(m_backupSetId, writer);
    if (e.IsSuccess()) e = writer->Write(guid, item.GetPath());
    if (e.IsError()) return e.Push(ZY_HERE);
    return CKoError::Success();
}
