#include "scan/trueup/TrueUpDifferenceCallback.h"

CKoError CTrueUpDifferenceCallback::OnNewItem(const CTrueUpDifferenceItemPtr& /*item*/) { return CKoError::Success(); }

CKoError CTrueUpDifferenceCallback::OnModifiedItem(const CTrueUpDifferenceItemPtr& /*item*/) {
    return CKoError::Success();
}

CKoError CTrueUpDifferenceCallback::OnDeletedItem(const CTrueUpDifferenceItemPtr& /*item*/) {
    return CKoError::Success();
}
