#include "scan/collect/CollectLineFormatter.h"

#include <charconv>

namespace {

template <typename T>
void AppendTagWithNumber(std::string& line, const std::string& key, T value) {
    char digits[24];
    auto result = std::to_chars(digits, digits + sizeof digits, value);
    line.append("|<", 2).append(key).push_back('>');
    line.append(digits, result.ptr);
}

}  // namespace

CCollectLineFormatter::~CCollectLineFormatter() = default;

std::string CCollectLineFormatter::FormatPlainLine(const CCollectFileEntry& entry) const {
    std::string line;
    line.reserve(entry.GetFullPath().size() + 32);
    line.append(entry.GetFullPath());
    if (entry.IsNotCounted()) line.push_back('?');
    AppendMetadata(line);
    return line;
}

std::string CCollectLineFormatter::GetFormattedLine(const CCollectFileFileEntry& entry) {
    return FormatPlainLine(entry);
}

std::string CCollectLineFormatter::GetFormattedLine(const CCollectFileFolderEntry& entry) {
    return FormatPlainLine(entry);
}

std::string CCollectLineFormatter::GetMetadata() const {
    std::string metadata;
    AppendMetadata(metadata);
    return metadata;
}

void CCollectLineFormatter::AppendMetadata(std::string& /*line*/) const {}

void CCollectLineFormatter::AddMetadata(std::string& line, const std::string& key) const {
    line.append("|<", 2).append(key).push_back('>');
}

void CCollectLineFormatter::AddMetadata(std::string& line, const std::string& key, const std::string& value) const {
    line.append("|<", 2).append(key).push_back('>');
    line.append(value);
}

void CCollectLineFormatter::AddMetadata(std::string& line, const std::string& key, int value) const {
    AppendTagWithNumber(line, key, value);
}

void CCollectLineFormatter::AddMetadata(std::string& line, const std::string& key, long long value) const {
    AppendTagWithNumber(line, key, value);
}

void CCollectLineFormatter::AddMetadata(std::string& line, const std::string& key, unsigned long long value) const {
    AppendTagWithNumber(line, key, value);
}

void CCollectLineFormatter::AddMetadataRaw(std::string& line, const std::string& text) const {
    line.push_back('|');
    line.append(text);
}
