// The metadata reader of DirChange container entries (the XML form of TrueUp item data), and the
// state update of a collected entry: whatever the text, the plain reader and the document parser
// read it alike, and an item read from it writes a text that reads back as the same item.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "scan/trueup/TrueUpContentContainerFormatter.h"
#include "scan/trueup/TrueUpDirChangeItemDataImpl.h"

namespace {

bool Same(const CTrueUpDirChangeItemData& a, const CTrueUpDirChangeItemData& b) {
    return a.GetLastWriteTime() == b.GetLastWriteTime() && a.GetChangeTime() == b.GetChangeTime() &&
           a.GetSize() == b.GetSize() && a.GetFileId() == b.GetFileId() && a.GetDataGuid() == b.GetDataGuid() &&
           a.GetCollectField() == b.GetCollectField() && a.GetIsSubclientFile() == b.GetIsSubclientFile() &&
           a.GetIsStub() == b.GetIsStub() && a.IsACLOnly() == b.IsACLOnly();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string xml(reinterpret_cast<const char*>(data), size);
    CTrueUpDirChangeItemDataImplPtr item, document;
    const bool read = CTrueUpDirChangeItemDataImpl::FromXml(item, xml).IsSuccess();
    const bool parsed = CTrueUpDirChangeItemDataImpl::FromXmlDocument(document, xml).IsSuccess();
    if (read != parsed || (read && !Same(*item, *document))) std::abort();
    if (read) {
        if (!item) std::abort();
        std::string written;
        if (CTrueUpDirChangeItemDataImpl::AsXml(item, written, size % 2 == 0).IsError()) std::abort();
        CTrueUpDirChangeItemDataImplPtr back;
        if (CTrueUpDirChangeItemDataImpl::FromXml(back, written).IsError() || !Same(*item, *back)) std::abort();
    }
    std::string updated;
    if (CTrueUpContentContainerFormatter::UpdateMetadataStateCollect(xml, updated).IsSuccess()) {
        std::string again;
        if (CTrueUpContentContainerFormatter::UpdateMetadataStateCollect(updated, again).IsError()) std::abort();
    }
    return 0;
}
