#include "base/ByteReader.h"

#include <cstring>

bool ByteReader::take(size_t n) {
    if (m_error || n > remaining()) {
        m_error = true;
        return false;
    }
    return true;
}

uint8_t ByteReader::u8() {
    if (!take(1)) return 0;
    return m_data[m_offset++];
}

uint16_t ByteReader::u16() {
    if (!take(2)) return 0;
    const uint8_t* p = m_data + m_offset;
    m_offset += 2;
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t ByteReader::u24() {
    if (!take(3)) return 0;
    const uint8_t* p = m_data + m_offset;
    m_offset += 3;
    return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2];
}

uint32_t ByteReader::u32() {
    if (!take(4)) return 0;
    const uint8_t* p = m_data + m_offset;
    m_offset += 4;
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

bool ByteReader::bytes(uint8_t* out, size_t n) {
    if (!take(n)) return false;
    if (n) std::memcpy(out, m_data + m_offset, n);
    m_offset += n;
    return true;
}

bool ByteReader::skip(size_t n) {
    if (!take(n)) return false;
    m_offset += n;
    return true;
}

ByteReader ByteReader::sub(size_t len) {
    if (!take(len)) {
        ByteReader empty;
        empty.m_error = true;
        return empty;
    }
    ByteReader r(m_data + m_offset, len);
    m_offset += len;
    return r;
}

ByteReader ByteReader::subAtMost(size_t len) {
    if (m_error) return sub(len);
    size_t n = len < remaining() ? len : remaining();
    ByteReader r(m_data + m_offset, n);
    m_offset += n;
    return r;
}

uint8_t ByteReader::peek(size_t ahead) const {
    if (ahead >= remaining()) return 0;
    return m_data[m_offset + ahead];
}
