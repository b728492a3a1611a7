// Writes one TrueUp DirChange record, item by item: the TrueUp DirChange from the index browse,
// or the comparison DirChange from a walk of the content. Two forms, by the subclient's DirChange
// method: a flat DirChange file (DIRCHANGE_METHOD_FILE) or a DirChange container
// (DIRCHANGE_METHOD_CONTAINER).
//
// Open removes a record of the same name left by an earlier run. A record only counts as written
// once Complete returned: a flat file is written under a temporary name and renamed into place
// durably, a container records its origin last. The comparisons refuse records that were not
// completed, so a run that died never passes for what the file system holds (which would report
// everything it missed as deleted).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/KoError.h"
#include "scan/dirchange/DirChangeItemFlags.h"
#include "scan/trueup/TrueUpDirChangeItemData.h"

class CTrueUpDirChangeWriter {
public:
    virtual ~CTrueUpDirChangeWriter() = default;

    // The writer of `method` for the file or container `name`.
    static CKoError Create(EDirChangeMethod method, const std::string& name,
                           std::unique_ptr<CTrueUpDirChangeWriter>& writer);

    virtual CKoError Open() = 0;
    // `path` is absolute, without trailing "/" (but "/" for the root). A folder's items may come
    // before or after it; the items of one folder best come together.
    virtual CKoError AddItem(const std::string& path, bool folder, const CTrueUpDirChangeItemDataPtr& data) = 0;
    // Writes what is left and puts the record in place; `origin` and `query` describe it.
    virtual CKoError Complete(const std::string& origin, const std::string& query) = 0;
    // Drops what was written; nothing complete is left under the name.
    virtual void Abandon() = 0;

    const std::string& GetName() const { return m_name; }
    uint64_t GetItemCount() const { return m_items; }

protected:
    explicit CTrueUpDirChangeWriter(std::string name) : m_name(std::move(name)) {}
    std::string m_name;
    uint64_t m_items = 0;
};
