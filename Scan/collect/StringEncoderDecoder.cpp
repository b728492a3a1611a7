#include "scan/collect/StringEncoderDecoder.h"

CStringEncoderDecoder::~CStringEncoderDecoder() = default;

CKoError CStringEncoderDecoder::Encode(const std::string& in, std::string& out) {
    out = in;
    return CKoError::Success();
}

CKoError CStringEncoderDecoder::Decode(const std::string& in, std::string& out) {
    out = in;
    return CKoError::Success();
}
