// The Unix flat collect file: each item becomes one line of the form that CFlatCollectLine
// describes (escaped name, start characters, "|" and the size; extent-qualified files with their
// times and extent size). A deleted item is written "??d" + name; a renamed item is followed by
// a deletion line for its previous path.
//
// What the line says comes from the item's property bag: the names below. One thread at a time;
// CUnixThreadFlatCollectFile is the variant that several scanner threads share.
#pragma once

#include <string>

#include "scan/collect/FlatCollectFile.h"

class CUnixFlatCollectFile : public CFlatCollectFile {
public:
    // Properties read from the item (all optional).
    static constexpr const char* kPropertyPreviousPath = "PREV_PATH";  // string: the item was renamed
    static constexpr const char* kPropertyDeleted = "DELETED";
    static constexpr const char* kPropertyMigrationAssistant = "MigrationAssistant";
    static constexpr const char* kPropertyContentPush = "ContentPush";
    static constexpr const char* kPropertyExtentQualified = "ExtentQualifiedFile";
    static constexpr const char* kPropertyExtentSize = "ExtentBackupFileExtentSize";  // 64-bit; 0 disqualifies
    static constexpr const char* kPropertyAclOnly = "ItemACLOnly";
    static constexpr const char* kPropertyExtentExplicit = "ExtentFeatureEnabledExplicitly";
    // The scanner's own marks of an item.
    static constexpr const char* kPropertyAdHoc = "AdHoc";
    static constexpr const char* kPropertyRawDevice = "RawDevice";
    static constexpr const char* kPropertyRawDeviceSize = "RawDeviceSize";  // 64-bit, the device's size
    static constexpr const char* kPropertyAppleDouble = "AppleDouble";

    using CFlatCollectFile::CFlatCollectFile;
    ~CUnixFlatCollectFile() override;

    CKoError Process(std::shared_ptr<CItem> item) override;

private:
    // Scratch buffers kept between items.
    std::string m_source, m_escaped, m_line, m_previous;
};
