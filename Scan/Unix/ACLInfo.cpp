// One record of an ACL network buffer.
#include <cstring>

#include "scan/Unix/ZyFsACL.h"

namespace ZyACL {

Info::Info(uint16_t type, uint16_t mode, uint16_t count, uint32_t elementSize, uint16_t extra) {
    reset(type, mode, count, elementSize, extra);
}

void Info::reset(uint16_t type, uint16_t mode, uint16_t count, uint32_t elementSize, uint16_t extra) {
    m_type = type;
    m_mode = mode;
    m_count = count;
    m_elementSize = elementSize;
    m_extra = extra;
    // assign() keeps the capacity, so a record reused for the next item does not reallocate.
    m_data.assign(static_cast<size_t>(dataSize()), 0);
}

bool Info::setData(const void* data, size_t size) {
    if (size > payloadSize()) return false;
    if (size) std::memcpy(m_data.data(), data, size);
    return true;
}

void Info::clear() {
    m_type = m_mode = m_count = m_extra = 0;
    m_elementSize = 0;
    m_data.clear();
}

}  // namespace ZyACL
