// A DirChange item with its times, size and attributes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/KoError.h"
#include "scan/dirchange/DirChangeItemBaseInfo.h"
#include "scan/dirchange/FVBase.h"

class CDirChangeItemData : public CDirChangeItemBaseInfo {
public:
    virtual uint64_t GetFileId() const = 0;
    virtual void SetFileId(uint64_t fileId) = 0;
    virtual eDirChangeItemBackupFrequency GetBackupFrequency() const = 0;
    virtual void SetBackupFrequency(eDirChangeItemBackupFrequency frequency) = 0;
    virtual bool GetIsSelectiveSync() const = 0;
    virtual void SetIsSelectiveSync(bool on) = 0;
    virtual bool GetIsAddedToCollect() const = 0;
    virtual void SetIsAddedToCollect(bool on) = 0;

    // The deleted field first, then file id, backup frequency, selective sync, added to collect.
    CKoError ParseFields(const std::vector<std::string>& fields) override;

protected:
    bool ParseDataField(const std::string& element);
};

class CDirChangeItemDataImpl : public CDirChangeItemData {
public:
    CDirChangeItemDataImpl() : m_frequency(0), m_deleted(false), m_selectiveSync(false), m_addedToCollect(false) {}
    explicit CDirChangeItemDataImpl(uint64_t fileId) : CDirChangeItemDataImpl() { m_fileId = fileId; }
    CDirChangeItemDataImpl(uint64_t fileId, eDirChangeItemBackupFrequency frequency) : CDirChangeItemDataImpl(fileId) {
        SetBackupFrequency(frequency);
    }
    CDirChangeItemDataImpl(uint64_t fileId, eDirChangeItemBackupFrequency frequency, bool selectiveSync)
        : CDirChangeItemDataImpl(fileId, frequency) {
        m_selectiveSync = selectiveSync;
    }
    explicit CDirChangeItemDataImpl(const std::vector<std::string>& fields) : CDirChangeItemDataImpl() {
        ParseFields(fields).IgnoreError();
    }

    bool GetIsDeleted() const override { return m_deleted; }
    void SetIsDeleted(bool deleted) override { m_deleted = deleted; }
    uint64_t GetFileId() const override { return m_fileId; }
    void SetFileId(uint64_t fileId) override { m_fileId = fileId; }
    eDirChangeItemBackupFrequency GetBackupFrequency() const override {
        return static_cast<eDirChangeItemBackupFrequency>(m_frequency);
    }
    void SetBackupFrequency(eDirChangeItemBackupFrequency frequency) override { m_frequency = frequency & 0xF; }
    bool GetIsSelectiveSync() const override { return m_selectiveSync; }
    void SetIsSelectiveSync(bool on) override { m_selectiveSync = on; }
    bool GetIsAddedToCollect() const override { return m_addedToCollect; }
    void SetIsAddedToCollect(bool on) override { m_addedToCollect = on; }

private:
    uint64_t m_fileId = 0;
    uint8_t m_frequency : 4;
    uint8_t m_deleted : 1;
    uint8_t m_selectiveSync : 1;
    uint8_t m_addedToCollect : 1;
};
