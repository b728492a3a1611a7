// Reading and writing the parts of the ACL network buffer: record headers and the entries of
// extended-attribute records. Everything read here may come from a damaged or hostile backup, so
// every length is checked against what is left before it is used.
#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

#include "scan/Unix/ZyFsACL.h"

namespace ZyACL {
namespace {

uint16_t Get16(const uint8_t* p) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return ntohs(v);
}

uint32_t Get32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return ntohl(v);
}

CKoError Corrupt(const FXCodeLocation& where, const char* format, unsigned long long a, unsigned long long b) {
    return FXErrorUtil::ErrorWin32(where, ZyWin32::ERROR_INVALID_DATA, format, a, b);
}

}  // namespace

void AppendXattrEntry(std::string& out, std::string_view name, std::string_view value) {
    // Each item: a 4-byte length, the bytes, padding to 8. The name travels with its NUL.
    auto item = [&out](std::string_view bytes, bool withNul) {
        const size_t n = bytes.size() + (withNul ? 1 : 0);
        const uint32_t len = htonl(static_cast<uint32_t>(n));
        out.append(reinterpret_cast<const char*>(&len), 4);
        out.append(bytes.data(), bytes.size());
        out.append(Pad8(n) - bytes.size(), '\0');
    };
    item(name, true);
    item(value, false);
}

CKoError ParseXattrEntries(const uint8_t* data, size_t size, std::vector<XattrEntry>& entries) {
    entries.clear();
    size_t pos = 0;
    auto item = [&](std::string_view& out) -> CKoError {
        if (size - pos < 4)
            return Corrupt(ZY_HERE, "Extended attribute entry truncated at offset %llu of %llu", pos, size);
        const uint32_t n = Get32(data + pos);
        pos += 4;
        // Pad8 of a 32-bit length cannot overflow size_t on this platform.
        if (Pad8(n) > size - pos && n > size - pos)
            return Corrupt(ZY_HERE, "Extended attribute length %llu passes the end of the record (%llu bytes)",
                           static_cast<unsigned long long>(n), size);
        out = std::string_view(reinterpret_cast<const char*>(data + pos), n);
        // The last item's padding may be cut by the record's own padding rule; never read past.
        pos += std::min<size_t>(Pad8(n), size - pos);
        return CKoError::Success();
    };
    while (pos < size) {
        XattrEntry e;
        std::string_view name;
        CKoError err = item(name);
        if (err.IsError()) return err.Push(ZY_HERE);
        if (name.size() < 2 || name.back() != '\0' || name.find('\0') != name.size() - 1)
            return Corrupt(ZY_HERE, "Extended attribute name of %llu bytes at offset %llu is not one NUL-terminated name",
                           name.size(), pos);
        e.name = name.substr(0, name.size() - 1);
        err = item(e.value);
        if (err.IsError()) return err.Push(ZY_HERE, "value of '%.*s'", int(e.name.size()), e.name.data());
        entries.push_back(e);
    }
    return CKoError::Success();
}

CKoError ParseNetworkBuffer(const uint8_t* buffer, size_t size, std::vector<RecordView>& records) {
    records.clear();
    size_t pos = 0;
    while (pos < size) {
        if (size - pos < HEADER_SIZE)
            return Corrupt(ZY_HERE, "ACL network buffer truncated in a record header at offset %llu of %llu", pos,
                           size);
        const uint8_t* h = buffer + pos;
        RecordView r;
        r.type = Get16(h);
        r.mode = Get16(h + 2);
        r.count = Get16(h + 4);
        r.extra = Get16(h + 6);
        r.elementSize = Get32(h + 8);
        if (Get32(h + 12) != 0)
            return Corrupt(ZY_HERE, "ACL network buffer record at offset %llu has a non-zero reserved field (%llu)",
                           pos, Get32(h + 12));
        pos += HEADER_SIZE;
        // 16 x 32 bits: the product fits in 64 bits, and so does its padding.
        const uint64_t payload = uint64_t(r.count) * r.elementSize;
        const uint64_t padded = (payload + 7) & ~uint64_t(7);
        if (padded > size - pos && payload > size - pos)
            return Corrupt(ZY_HERE, "ACL network buffer record of %llu data bytes passes the end (%llu bytes left)",
                           payload, static_cast<unsigned long long>(size - pos));
        if (payload == 0) continue;  // never written; nothing to apply
        r.data = buffer + pos;
        r.size = payload;
        pos += static_cast<size_t>(std::min<uint64_t>(padded, size - pos));
        records.push_back(r);
    }
    return CKoError::Success();
}

}  // namespace ZyACL
