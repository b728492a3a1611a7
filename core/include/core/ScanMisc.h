// The agent's moniker form of network paths, as stored in DirChange files.
//
// A network path "//server/share/x" (or "\\server\share\x") is written "UNC-NT_server/share/x";
// every other path is written as it is.
#pragma once

#include <string>
#include <string_view>

class SXScanMisc {
public:
    static constexpr std::string_view kUncMonikerPrefix = "UNC-NT_";

    static std::string ConvertToUncMoniker(std::string_view path);
    // Also accepts the moniker behind one leading "/" (as deleted-item lines write it).
    static std::string ConvertFromUncMoniker(std::string_view path);
};
