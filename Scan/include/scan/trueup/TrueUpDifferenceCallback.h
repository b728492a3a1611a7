// Where the differences of a TrueUp comparison go; implemented by the caller. An error stops the
// comparison and is returned by it. The defaults accept and drop the item.
#pragma once

#include <memory>

#include "core/KoError.h"
#include "scan/trueup/TrueUpDifferenceItem.h"

class CTrueUpDifferenceCallback {
public:
    virtual ~CTrueUpDifferenceCallback() = default;
    // On the file system, never backed up.
    virtual CKoError OnNewItem(const CTrueUpDifferenceItemPtr& item);
    // Backed up, but changed since without being picked up.
    virtual CKoError OnModifiedItem(const CTrueUpDifferenceItemPtr& item);
    // Held by the backups, gone from the file system.
    virtual CKoError OnDeletedItem(const CTrueUpDifferenceItemPtr& item);
};

using CTrueUpDifferenceCallbackPtr = std::shared_ptr<CTrueUpDifferenceCallback>;
