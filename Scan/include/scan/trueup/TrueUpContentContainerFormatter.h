// The metadata texts of the entries of a TrueUp DirChange container: the XML form of the item's
// TrueUp data (CTrueUpDirChangeItemDataImpl::AsXml), for the item itself and for a parent folder
// made on its behalf.
#pragma once

#include <memory>
#include <string>

#include "core/KoError.h"
#include "scan/trueup/TrueUpDirChangeItem.h"

class ITrueUpContentContainerFormatter {
public:
    virtual ~ITrueUpContentContainerFormatter() = default;
    virtual CKoError CreateParentMetadata(const CTrueUpDirChangeItemPtr& item, std::string& metadata) = 0;
    virtual CKoError CreateMetadata(const CTrueUpDirChangeItemPtr& item, std::string& metadata) = 0;
};

class CTrueUpContentContainerFormatter : public ITrueUpContentContainerFormatter {
public:
    CKoError CreateParentMetadata(const CTrueUpDirChangeItemPtr& item, std::string& metadata) override;
    CKoError CreateMetadata(const CTrueUpDirChangeItemPtr& item, std::string& metadata) override;

    // Marks an entry's metadata as collected later: "Metadata/State" gets Collect="1" and
    // AddedLater="1" (both made when missing; an empty text starts a new document).
    static CKoError UpdateMetadataStateCollect(const std::string& in, std::string& out);
};
