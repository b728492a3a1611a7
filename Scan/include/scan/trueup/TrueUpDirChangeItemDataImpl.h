// The TrueUp item data, and its XML form (the metadata of a DirChange container entry):
//
//   <Metadata>
//     <FileSystem ChangeTime="..." FileId="0x..." FileSize="..." Folder="1" LastWriteTime="..."/>
//     <Derived CollectField="..." IsAclOnly="0" IsStub="0" IsSubclientFile="0" StubDataGuid="..."/>
//   </Metadata>
//
// Times are CTimeStamp system-time numbers; "Folder" only for folders, "FileId" only when set.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "scan/trueup/TrueUpDirChangeItemData.h"

class CTrueUpDirChangeItemDataImpl;
using CTrueUpDirChangeItemDataImplPtr = std::shared_ptr<CTrueUpDirChangeItemDataImpl>;

class CTrueUpDirChangeItemDataImpl : public CTrueUpDirChangeItemData {
public:
    CTrueUpDirChangeItemDataImpl();
    // Parses the field list (the result is not used: parsing never fails).
    explicit CTrueUpDirChangeItemDataImpl(const std::vector<std::string>& fields);
    CTrueUpDirChangeItemDataImpl(CTimeStamp lastWriteTime, CTimeStamp changeTime, uint64_t size, bool addedToCollect,
                                 bool subclientFile);
    CTrueUpDirChangeItemDataImpl(CTimeStamp lastWriteTime, CTimeStamp changeTime, uint64_t size, bool addedToCollect,
                                 bool subclientFile, int collectField, eDirChangeItemBackupFrequency frequency);
    CTrueUpDirChangeItemDataImpl(CTimeStamp lastWriteTime, CTimeStamp changeTime, uint64_t size, bool addedToCollect,
                                 bool subclientFile, uint64_t fileId, eDirChangeItemBackupFrequency frequency);
    CTrueUpDirChangeItemDataImpl(CTimeStamp lastWriteTime, CTimeStamp changeTime, uint64_t size, bool addedToCollect,
                                 bool subclientFile, uint64_t fileId, eDirChangeItemBackupFrequency frequency,
                                 const std::string& guidText, bool stub);
    // A GUID text that does not parse leaves the GUID nil (logged).
    CTrueUpDirChangeItemDataImpl(CTimeStamp lastWriteTime, CTimeStamp changeTime, uint64_t size, bool addedToCollect,
                                 bool subclientFile, const std::string& guidText, bool stub);
    CTrueUpDirChangeItemDataImpl(CTimeStamp lastWriteTime, CTimeStamp changeTime, uint64_t size, bool addedToCollect,
                                 bool subclientFile, int collectField, eDirChangeItemBackupFrequency frequency,
                                 uint64_t fileId, const std::string& guidText, bool stub, bool aclOnly);

    bool GetIsDeleted() const override { return m_deleted; }
    void SetIsDeleted(bool on) override { m_deleted = on; }
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

    CTimeStamp GetLastWriteTime() const override { return m_lastWriteTime; }
    void SetLastWriteTime(CTimeStamp time) override { m_lastWriteTime = time; }
    CTimeStamp GetChangeTime() const override { return m_changeTime; }
    void SetChangeTime(CTimeStamp time) override { m_changeTime = time; }
    uint64_t GetSize() const override { return m_size; }
    void SetSize(uint64_t size) override { m_size = size; }
    boost::uuids::uuid GetDataGuid() const override { return m_guid; }
    void SetDataGuid(boost::uuids::uuid guid) override { m_guid = guid; }
    int GetCollectField() const override { return m_collectField; }
    void SetCollectField(int collectField) override { m_collectField = collectField; }
    bool GetIsSubclientFile() const override { return m_subclientFile; }
    void SetIsSubclientFile(bool on) override { m_subclientFile = on; }
    bool GetIsStub() const override { return m_stub; }
    void SetIsStub(bool on) override { m_stub = on; }
    bool IsACLOnly() const override { return m_aclOnly; }
    void SetACLOnly(bool on) override { m_aclOnly = on; }

    // The XML form of `data` (see above); `isFolder` adds Folder="1".
    static CKoError AsXml(const CTrueUpDirChangeItemDataPtr& data, std::string& xml, bool isFolder);
    // Reads the XML form into new item data. No "Metadata" root: Win32 87. Unknown elements and
    // attributes are ignored; a number that does not parse reads as 0.
    static CKoError FromXml(CTrueUpDirChangeItemDataImplPtr& data, const std::string& xml);
    // FromXml through the document parser alone. FromXml reads the plain form that AsXml writes
    // (and texts like it) without one; both must read every text alike.
    static CKoError FromXmlDocument(CTrueUpDirChangeItemDataImplPtr& data, const std::string& xml);

private:
    void SetGuidFromText(const std::string& text);

    CTimeStamp m_lastWriteTime;
    CTimeStamp m_changeTime;
    uint64_t m_size = 0;
    boost::uuids::uuid m_guid;
    uint64_t m_fileId = 0;
    int32_t m_collectField = -1;
    uint8_t m_frequency : 4;
    uint8_t m_deleted : 1;
    uint8_t m_selectiveSync : 1;
    uint8_t m_addedToCollect : 1;
    uint8_t m_subclientFile : 1;
    uint8_t m_stub : 1;
    uint8_t m_aclOnly : 1;
};
