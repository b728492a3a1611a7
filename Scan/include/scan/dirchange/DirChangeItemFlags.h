// The item flag word of the DirChange: which job saw an item and what has been done with it.
//
// Four groups of four bits, each group its own enum type, so that a bit of one group can only be
// tested, set or cleared through the operations of its group.
#pragma once

#include <cstdint>
#include <string>

class BDirChangeItemFlags {
public:
    enum PREVIOUS_JOB_FLAGS : uint32_t {
        PREVIOUSDIRCHANGE = 0x0001,  // in the previous job's DirChange
        PD_FILE = 0x0002,            // a file there
    };
    enum CURRENT_JOB_FLAGS : uint32_t {
        CURRENTDIRCHANGE = 0x0010,  // belongs to the current job's DirChange
        CD_FILE = 0x0020,           // a file there
        CD_ANCESTOR = 0x0040,       // a folder there only as an ancestor of an added item
        CD_INTERMEDIATE = 0x0080,   // a folder there only because items below it are there
    };
    enum CURRENT_COLLECT_FLAGS : uint32_t {
        CURRENTCOLLECT = 0x0100,    // goes to the current collect file
        CC_FILE = 0x0200,           // a file there
        CC_INTERMEDIATE = 0x0800,   // a folder written because items below it are collected
    };
    enum ACTIVITY_FLAGS : uint32_t {
        COLLECT_WRITTEN = 0x1000,    // written to the collect file
        DIRCHANGE_WRITTEN = 0x2000,  // written to the current DirChange file
    };

    static constexpr uint32_t PREVIOUS_JOB_FLAGS_MASK = 0x000F;
    static constexpr uint32_t CURRENT_JOB_FLAGS_MASK = 0x00F0;
    static constexpr uint32_t CURRENT_COLLECT_FLAGS_MASK = 0x0F00;
    static constexpr uint32_t ACTIVITY_FLAGS_MASK = 0xF000;

    BDirChangeItemFlags() = default;
    explicit BDirChangeItemFlags(uint32_t value) : m_value(value) {}
    BDirChangeItemFlags(PREVIOUS_JOB_FLAGS bits) : m_value(bits & PREVIOUS_JOB_FLAGS_MASK) {}
    BDirChangeItemFlags(CURRENT_JOB_FLAGS bits) : m_value(bits & CURRENT_JOB_FLAGS_MASK) {}
    BDirChangeItemFlags(CURRENT_COLLECT_FLAGS bits) : m_value(bits & CURRENT_COLLECT_FLAGS_MASK) {}
    BDirChangeItemFlags(ACTIVITY_FLAGS bits) : m_value(bits & ACTIVITY_FLAGS_MASK) {}

    explicit operator uint32_t() const { return m_value; }
    uint32_t GetValue() const { return m_value; }
    bool operator==(const BDirChangeItemFlags& o) const { return m_value == o.m_value; }
    bool operator!=(const BDirChangeItemFlags& o) const { return m_value != o.m_value; }

    void Set(PREVIOUS_JOB_FLAGS bits, bool on) { SetMasked(bits & PREVIOUS_JOB_FLAGS_MASK, on); }
    void Set(CURRENT_JOB_FLAGS bits, bool on) { SetMasked(bits & CURRENT_JOB_FLAGS_MASK, on); }
    void Set(CURRENT_COLLECT_FLAGS bits, bool on) { SetMasked(bits & CURRENT_COLLECT_FLAGS_MASK, on); }
    void Set(ACTIVITY_FLAGS bits, bool on) { SetMasked(bits & ACTIVITY_FLAGS_MASK, on); }

    void Clear(PREVIOUS_JOB_FLAGS bits) { m_value &= ~(bits & PREVIOUS_JOB_FLAGS_MASK); }
    void Clear(CURRENT_JOB_FLAGS bits) { m_value &= ~(bits & CURRENT_JOB_FLAGS_MASK); }
    void Clear(CURRENT_COLLECT_FLAGS bits) { m_value &= ~(bits & CURRENT_COLLECT_FLAGS_MASK); }
    void Clear(ACTIVITY_FLAGS bits) { m_value &= ~(bits & ACTIVITY_FLAGS_MASK); }
    // Clears every bit of a mask, across groups.
    void Clear(uint32_t mask) { m_value &= ~mask; }

    // True when all the given bits are set.
    bool IsSet(PREVIOUS_JOB_FLAGS bits) const { return AllSet(bits & PREVIOUS_JOB_FLAGS_MASK); }
    bool IsSet(CURRENT_JOB_FLAGS bits) const { return AllSet(bits & CURRENT_JOB_FLAGS_MASK); }
    bool IsSet(CURRENT_COLLECT_FLAGS bits) const { return AllSet(bits & CURRENT_COLLECT_FLAGS_MASK); }
    bool IsSet(ACTIVITY_FLAGS bits) const { return AllSet(bits & ACTIVITY_FLAGS_MASK); }
    // True when none of the given bits is set.
    bool IsClear(CURRENT_JOB_FLAGS bits) const { return (m_value & bits & CURRENT_JOB_FLAGS_MASK) == 0; }
    bool IsAnySet(uint32_t mask) const { return (m_value & mask) != 0; }

    BDirChangeItemFlags& operator|=(PREVIOUS_JOB_FLAGS bits) {
        m_value |= bits & PREVIOUS_JOB_FLAGS_MASK;
        return *this;
    }
    BDirChangeItemFlags& operator|=(const BDirChangeItemFlags& other) {
        m_value |= other.m_value;
        return *this;
    }
    BDirChangeItemFlags operator|(const BDirChangeItemFlags& other) const { return BDirChangeItemFlags(m_value | other.m_value); }

    // The names of the set bits.
    std::string AsString() const;
    std::wstring AsWstring() const;

    // The value to keep when `incoming` is written onto a node that already has `existing`: an item
    // already in the current DirChange as a real entry never becomes an ancestor entry, and an
    // ancestor entry that gets a real current-job mark loses its ancestor bit. Flags without a
    // current-job bit are simply added.
    static BDirChangeItemFlags Merge(BDirChangeItemFlags existing, BDirChangeItemFlags incoming);
    // The current-job part of Merge, applied whatever the incoming bits are (the folder records of
    // the flat-file index merge this way).
    static BDirChangeItemFlags MergeCurrentJob(BDirChangeItemFlags existing, BDirChangeItemFlags incoming);

private:
    void SetMasked(uint32_t bits, bool on) {
        m_value &= ~bits;
        if (on) m_value |= bits;
    }
    bool AllSet(uint32_t bits) const { return (m_value & bits) == bits; }

    uint32_t m_value = 0;
};

inline BDirChangeItemFlags::PREVIOUS_JOB_FLAGS operator|(BDirChangeItemFlags::PREVIOUS_JOB_FLAGS a,
                                                         BDirChangeItemFlags::PREVIOUS_JOB_FLAGS b) {
    return static_cast<BDirChangeItemFlags::PREVIOUS_JOB_FLAGS>((a | static_cast<uint32_t>(b)) &
                                                                 BDirChangeItemFlags::PREVIOUS_JOB_FLAGS_MASK);
}
inline BDirChangeItemFlags::CURRENT_JOB_FLAGS operator|(BDirChangeItemFlags::CURRENT_JOB_FLAGS a,
                                                        BDirChangeItemFlags::CURRENT_JOB_FLAGS b) {
    return static_cast<BDirChangeItemFlags::CURRENT_JOB_FLAGS>((a | static_cast<uint32_t>(b)) &
                                                                BDirChangeItemFlags::CURRENT_JOB_FLAGS_MASK);
}
inline BDirChangeItemFlags::CURRENT_COLLECT_FLAGS operator|(BDirChangeItemFlags::CURRENT_COLLECT_FLAGS a,
                                                            BDirChangeItemFlags::CURRENT_COLLECT_FLAGS b) {
    return static_cast<BDirChangeItemFlags::CURRENT_COLLECT_FLAGS>((a | static_cast<uint32_t>(b)) &
                                                                    BDirChangeItemFlags::CURRENT_COLLECT_FLAGS_MASK);
}
inline BDirChangeItemFlags::ACTIVITY_FLAGS operator|(BDirChangeItemFlags::ACTIVITY_FLAGS a,
                                                     BDirChangeItemFlags::ACTIVITY_FLAGS b) {
    return static_cast<BDirChangeItemFlags::ACTIVITY_FLAGS>((a | static_cast<uint32_t>(b)) &
                                                             BDirChangeItemFlags::ACTIVITY_FLAGS_MASK);
}

// How a subclient keeps its DirChange.
class EDirChangeMethod {
public:
    enum Value {
        DIRCHANGE_METHOD_NOT_CONFIGURED = 0,
        DIRCHANGE_METHOD_FILE = 1,
        DIRCHANGE_METHOD_CONTAINER = 2,
    };

    EDirChangeMethod(Value value = DIRCHANGE_METHOD_NOT_CONFIGURED) : m_value(value) {}
    EDirChangeMethod& operator=(Value value) {
        m_value = value;
        return *this;
    }
    operator Value() const { return m_value; }
    bool IsSelected(Value value) const { return m_value == value; }
    std::string AsString() const;
    std::wstring AsWstring() const;

private:
    Value m_value;
};
