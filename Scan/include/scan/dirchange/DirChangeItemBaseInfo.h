// What a DirChange record stores about one item beside its name: the deleted mark, and for the
// DirChange proper the file id, backup frequency, selective-sync and added-to-collect marks. They
// are written as "|<TAG>value" fields after the name (see DirChangeFormatter.h) and read back from
// a line's field list.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/KoError.h"
#include "scan/dirchange/FVBase.h"

// Only the number is stored (0 to 15, 0 = none).
enum eDirChangeItemBackupFrequency : uint8_t {
    DIRCHANGE_ITEM_BACKUP_FREQUENCY_NONE = 0,
};

class CDirChangeItemBaseInfo : public FVBase {
public:
    virtual bool GetIsDeleted() const = 0;
    virtual void SetIsDeleted(bool deleted) = 0;
    // Reads the fields it knows from a line's field list (name first); unknown fields are ignored
    // and malformed values read as far as they go. Never fails.
    virtual CKoError ParseFields(const std::vector<std::string>& fields);

protected:
    // Takes one element if it is a field of this class; answers whether it was.
    bool ParseBaseField(const std::string& element);
};

class CDirChangeItemBaseInfoImpl : public CDirChangeItemBaseInfo {
public:
    CDirChangeItemBaseInfoImpl() = default;
    explicit CDirChangeItemBaseInfoImpl(bool deleted) : m_deleted(deleted) {}
    explicit CDirChangeItemBaseInfoImpl(const std::vector<std::string>& fields) { ParseFields(fields).IgnoreError(); }

    bool GetIsDeleted() const override { return m_deleted; }
    void SetIsDeleted(bool deleted) override { m_deleted = deleted; }

private:
    bool m_deleted = false;
};
