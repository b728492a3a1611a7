// The record of one folder in the flat-file index's folder trie: its flag word, where its blocks
// start in the two backing files, and the item information of its folder lines.
//
// An index holds one record per folder of a file system, so a record is kept to 32 bytes: the
// first two block offsets (a folder usually has one block in each backing file) live in the
// record, anything more (further offsets, item information) in a side allocation made on first
// use.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "scan/dirchange/DirChangeItemFlags.h"
#include "scan/dirchange/FVBase.h"

class CPathCacheScanData {
public:
    // Bit 63 of an offset address marks an offset in the previous backing file; bits 0-62 are the
    // byte offset of a block (the position just after its folder line).
    static constexpr uint64_t kPreviousBit = 1ull << 63;

    CPathCacheScanData() = default;
    explicit CPathCacheScanData(BDirChangeItemFlags flags) : m_flags(flags) {}
    CPathCacheScanData(const CPathCacheScanData& other);
    CPathCacheScanData& operator=(const CPathCacheScanData& other);
    CPathCacheScanData(CPathCacheScanData&&) noexcept = default;
    CPathCacheScanData& operator=(CPathCacheScanData&&) noexcept = default;

    BDirChangeItemFlags& GetFlags() { return m_flags; }
    const BDirChangeItemFlags& GetFlags() const { return m_flags; }
    void SetFlags(BDirChangeItemFlags flags) { m_flags = flags; }

    // Offsets, in the order they were added. Throw std::bad_alloc only when a side allocation fails.
    void AddPreviousOffsetAddress(uint64_t offset) { AddOffsetAddress(offset | kPreviousBit); }
    void AddCurrentOffsetAddress(uint64_t offset) { AddOffsetAddress(offset & ~kPreviousBit); }
    static bool IsPreviousOffsetAddress(uint64_t address) { return (address & kPreviousBit) != 0; }
    static bool IsCurrentOffsetAddress(uint64_t address) { return (address & kPreviousBit) == 0; }
    static uint64_t GetAddressOfOffsetAddress(uint64_t address) { return address & ~kPreviousBit; }
    bool IsOffsetListEmpty() const { return Count() == 0; }
    size_t GetOffsetCount() const { return Count(); }
    uint64_t GetOffsetAddress(size_t i) const { return i < kInline ? m_inline[i] : m_extra->more[i - kInline]; }
    std::vector<uint64_t> GetOffsetAddressList() const;
    bool HasPreviousOffsets() const { return HasOffsets(true); }
    bool HasCurrentOffsets() const { return HasOffsets(false); }
    // Drops the offsets of one backing file (a folder marked deleted there, a file rewritten).
    void RemovePreviousOffsets() { RemoveOffsets(true); }
    void RemoveCurrentOffsets() { RemoveOffsets(false); }
    // Drops the last offset when it is `address` (a block that stayed empty); answers whether it was.
    bool RemoveLastOffsetAddress(uint64_t address);

    const FVBasePtr& GetPreviousInfo() const;
    const FVBasePtr& GetCurrentInfo() const;
    void SetPreviousInfo(FVBasePtr info);
    void SetCurrentInfo(FVBasePtr info);

    // A mark for the owner's own bookkeeping (a recorder notes the folders whose deleted files it
    // has listed already).
    bool IsMarked() const { return (m_count & kMarkBit) != 0; }
    void SetMarked(bool on) { m_count = on ? (m_count | kMarkBit) : (m_count & ~kMarkBit); }

    // For diagnostic dumps: the flag names.
    std::string AsString() const { return m_flags.AsString(); }

private:
    static constexpr size_t kInline = 2;
    static constexpr uint32_t kMarkBit = 1u << 31;  // the mark shares the word of the count
    uint32_t Count() const { return m_count & ~kMarkBit; }
    struct Extra {
        std::vector<uint64_t> more;
        FVBasePtr previousInfo;
        FVBasePtr currentInfo;
    };
    void AddOffsetAddress(uint64_t address);
    bool HasOffsets(bool previous) const;
    void RemoveOffsets(bool previous);
    Extra& MakeExtra();

    BDirChangeItemFlags m_flags;
    uint32_t m_count = 0;
    uint64_t m_inline[kInline] = {0, 0};
    std::unique_ptr<Extra> m_extra;
};

using CPathCacheScanDataPtr = std::shared_ptr<CPathCacheScanData>;
