// A string codec; this one passes text through unchanged. Codecs that transform names live in
// the hosting agent and derive from it.
#pragma once

#include <string>

#include "core/KoError.h"

class CStringEncoderDecoder {
public:
    CStringEncoderDecoder() = default;
    virtual ~CStringEncoderDecoder();

    virtual CKoError Encode(const std::string& in, std::string& out);
    virtual CKoError Decode(const std::string& in, std::string& out);
};
