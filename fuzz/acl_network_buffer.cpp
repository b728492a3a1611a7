// The ACL network buffer as a restore reads it from a backup: both layouts, the extended-attribute
// entries of every record, and writing the parsed records back out. The first byte picks the
// layout and the helper; the rest is the buffer.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "scan/Unix/ZyFsACL.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t selector = data[0];
    const char* buffer = reinterpret_cast<const char*>(data + 1);
    const size_t length = size - 1;

    static ZyACL::LinuxHelper linux;
    static ZyACL::NTFSACLHelper ntfs(std::vector<std::string>{});  // no library: parsing only
    ZyACL::Helper& helper = (selector & 2) ? static_cast<ZyACL::Helper&>(ntfs) : linux;
    const uint64_t flags = (selector & 1) ? ZyACL::FLAG_NEW_LAYOUT : 0;

    if (helper.fromNetworkBuffer(buffer, length, flags) == 0) {
        // What parsed must write back, and parse again to the same records.
        std::string out;
        if (helper.toNetworkBuffer(out) < 0 && helper.isACLSupported()) __builtin_trap();
        std::vector<ZyACL::XattrEntry> entries;
        for (size_t i = 0; i < helper.recordCount(); ++i) {
            const ZyACL::Info& r = helper.record(i);
            if (r.type() == ZyACL::RECORD_XATTR &&
                ZyACL::ParseXattrEntries(r.data(), static_cast<size_t>(r.payloadSize()), entries).IsError())
                __builtin_trap();
        }
        const size_t count = helper.recordCount();
        if (helper.isACLSupported() && helper.fromNetworkBuffer(out.data(), out.size(), ZyACL::FLAG_NEW_LAYOUT) != 0)
            __builtin_trap();
        if (helper.isACLSupported() && helper.recordCount() != count) __builtin_trap();
        (void)helper.DoesBackupHaveACL();
    }
    // The pieces on their own.
    std::vector<ZyACL::RecordView> records;
    ZyACL::ParseNetworkBuffer(data + 1, length, records).IgnoreError();
    std::vector<ZyACL::XattrEntry> entries;
    ZyACL::ParseXattrEntries(data + 1, length, entries).IgnoreError();
    return 0;
}
