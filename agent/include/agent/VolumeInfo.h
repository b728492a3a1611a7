// Stand-in for the agent's volume services: the identity (GUID) of the volume that holds a path.
#pragma once

#include <string>

#include "core/KoError.h"

class ZyVolumeInfo {
public:
    // The same text for every path of one mounted file system, different between file systems,
    // made of hexadecimal digits and "-" (never "_"): the file system's id and the device.
    static CKoError GetObjectGuid(const std::string& path, std::string& guid);
};
