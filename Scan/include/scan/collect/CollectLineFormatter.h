// Formatters that turn a collect entry into one collect-file line (without its line feed).
//
// Line: [3 start characters] path ["?"] ["*"number] {"|" field} where a field is "<KEY>value"
// (a tag), "%..." (well-known-folder metadata) or opaque index metadata. The writer owns the file
// and appends the line feed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "scan/collect/CollectFileEntry.h"
#include "scan/collect/ScanJobType.h"

// The plain form: path, "?" when not counted, then the formatter's metadata.
class CCollectLineFormatter {
public:
    CCollectLineFormatter() = default;
    virtual ~CCollectLineFormatter();

    virtual std::string GetFormattedLine(const CCollectFileFileEntry& entry);
    virtual std::string GetFormattedLine(const CCollectFileFolderEntry& entry);
    // The formatter's own tags as one text (empty here): what AppendMetadata appends. Derived
    // formatters override AppendMetadata, through which lines get their tags in place.
    virtual std::string GetMetadata() const;

    // "|<key>", "|<key>value", "|<key>" and a number, "|text". They use no state of the formatter.
    virtual void AddMetadata(std::string& line, const std::string& key) const;
    virtual void AddMetadata(std::string& line, const std::string& key, const std::string& value) const;
    virtual void AddMetadata(std::string& line, const std::string& key, int value) const;
    virtual void AddMetadata(std::string& line, const std::string& key, long long value) const;
    virtual void AddMetadata(std::string& line, const std::string& key, unsigned long long value) const;
    virtual void AddMetadataRaw(std::string& line, const std::string& text) const;

protected:
    CCollectLineFormatter(const CCollectLineFormatter&) = default;
    CCollectLineFormatter& operator=(const CCollectLineFormatter&) = default;

    // Appends what GetMetadata returns, without building a separate string.
    virtual void AppendMetadata(std::string& line) const;

private:
    std::string FormatPlainLine(const CCollectFileEntry& entry) const;
};
