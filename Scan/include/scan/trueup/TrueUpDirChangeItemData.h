// What a TrueUp DirChange record holds about one item: the DirChange item data plus the item's
// modification and change times, size, data GUID, collect field, and the subclient-file, stub and
// ACL-only marks. Written after the DirChange fields as "|<LWT>", "|<CTIME>", "|<SIZE>", "|<SCF>",
// "|<CI>", "|<SDG>", "|<ACL>" and "|<STUB>" fields (see TrueUpDirChangeFormatter.h).
#pragma once

#include <boost/uuid/uuid.hpp>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/KoError.h"
#include "core/TimeStamp.h"
#include "scan/dirchange/DirChangeItemData.h"

class CTrueUpDirChangeItemData : public CDirChangeItemData {
public:
    virtual CTimeStamp GetLastWriteTime() const = 0;
    virtual void SetLastWriteTime(CTimeStamp time) = 0;
    virtual CTimeStamp GetChangeTime() const = 0;
    virtual void SetChangeTime(CTimeStamp time) = 0;
    virtual uint64_t GetSize() const = 0;
    virtual void SetSize(uint64_t size) = 0;
    virtual boost::uuids::uuid GetDataGuid() const = 0;
    virtual void SetDataGuid(boost::uuids::uuid guid) = 0;
    // -1: not set.
    virtual int GetCollectField() const = 0;
    virtual void SetCollectField(int collectField) = 0;
    virtual bool GetIsSubclientFile() const = 0;
    virtual void SetIsSubclientFile(bool on) = 0;
    virtual bool GetIsStub() const = 0;
    virtual void SetIsStub(bool on) = 0;
    virtual bool IsACLOnly() const = 0;
    virtual void SetACLOnly(bool on) = 0;

    // The DirChange fields, then the TrueUp tags in the order LWT, CTIME, SIZE, SCF, CI, SDG,
    // STUB, ACL; the first tag an element starts with (in any letter case) wins. Never fails:
    // numbers read as far as they go, a GUID that does not parse leaves the GUID nil.
    CKoError ParseFields(const std::vector<std::string>& fields) override;

protected:
    bool ParseTrueUpField(const std::string& element);
};

using CTrueUpDirChangeItemDataPtr = std::shared_ptr<CTrueUpDirChangeItemData>;

// GUID text: 32 hexadecimal digits, either bare or with dashes in the 8-4-4-4-12 places, with or
// without braces. False (and `guid` nil) for anything else; `error` then says why.
bool TrueUpParseGuid(const std::string& text, boost::uuids::uuid& guid, std::string& error);
// The 36-character lower-case form with dashes.
std::string TrueUpGuidText(const boost::uuids::uuid& guid);
// A Unix time in seconds as a time stamp; values beyond what a time stamp holds are clamped.
CTimeStamp TrueUpTimeFromUnix(long long seconds);
