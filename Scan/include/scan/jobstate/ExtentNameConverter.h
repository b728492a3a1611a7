// Names of file extents: a large file backed up in parts names each part "<file path>:<n>",
// n the extent number in decimal. The commit of a stopped job turns extent lines back into
// lines of their file.
#pragma once

#include <cstdint>
#include <string>

class ExtentNameConverter {
public:
    static std::string GetExtentName(const std::string& filePath, uint64_t extentNumber);
    // False when the name does not end in ":<digits>" after a non-empty file path.
    static bool GetFileNameAndExtentNumber(const std::string& extentName, std::string& filePath,
                                           uint64_t& extentNumber);
};
