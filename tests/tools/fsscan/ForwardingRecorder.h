// A DirChange recorder that passes every call to a real one; tests override the calls they
// want to fail or watch.
#pragma once

#include <memory>
#include <string>

#include "scan/dirchange/DirChangeRecorder.h"

class CForwardingRecorder : public CDirChangeRecorder {
public:
    explicit CForwardingRecorder(std::unique_ptr<CDirChangeRecorder> real) : m_real(std::move(real)) {}

    EDirChangeKind GetKind() const override { return m_real->GetKind(); }
    std::shared_ptr<IDirChange> GetDirChange() const override { return m_real->GetDirChange(); }
    CKoError LoadPrevious(const std::string& f, ContentMapperAPI* m) override { return m_real->LoadPrevious(f, m); }
    SDirChangeLoadReport GetLoadReport() const override { return m_real->GetLoadReport(); }
    CKoError StartCurrent(const std::string& f) override { return m_real->StartCurrent(f); }
    CKoError AddSurface(const std::string& r) override { return m_real->AddSurface(r); }
    bool IsFileInPreviousJob(const std::string& p) override { return m_real->IsFileInPreviousJob(p); }
    bool IsFolderInPreviousJob(const std::string& p) override { return m_real->IsFolderInPreviousJob(p); }
    CKoError AddFolder(const std::string& p) override { return m_real->AddFolder(p); }
    CKoError AddFile(const std::string& p, bool c) override { return m_real->AddFile(p, c); }
    CKoError CarryForward(const std::string& p) override { return m_real->CarryForward(p); }
    bool IsWritten(const std::string& f) override { return m_real->IsWritten(f); }
    CKoError SetWritten(const std::string& f) override { return m_real->SetWritten(f); }
    CKoError EndScan() override { return m_real->EndScan(); }
    CKoError WriteDeletedItems(FILE* out, bool every) override { return m_real->WriteDeletedItems(out, every); }

private:
    std::unique_ptr<CDirChangeRecorder> m_real;
};
