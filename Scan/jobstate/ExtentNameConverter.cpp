#include "scan/jobstate/ExtentNameConverter.h"

#include <cerrno>
#include <cstdlib>

std::string ExtentNameConverter::GetExtentName(const std::string& filePath, uint64_t extentNumber) {
    return filePath + ":" + std::to_string(extentNumber);
}

bool ExtentNameConverter::GetFileNameAndExtentNumber(const std::string& extentName, std::string& filePath,
                                                     uint64_t& extentNumber) {
    size_t colon = extentName.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == extentName.size() || colon + 21 < extentName.size())
        return false;
    for (size_t i = colon + 1; i < extentName.size(); ++i)
        if (extentName[i] < '0' || extentName[i] > '9') return false;
    errno = 0;
    unsigned long long n = std::strtoull(extentName.c_str() + colon + 1, nullptr, 10);
    if (errno == ERANGE) return false;
    filePath = extentName.substr(0, colon);
    extentNumber = n;
    return true;
}
