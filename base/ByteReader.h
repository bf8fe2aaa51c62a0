// A bounded, big-endian reader over bytes that came from outside (broadcast tables, files).
#pragma once

#include <cstddef>
#include <cstdint>

// Reads from a fixed span. A read that would pass the end reads nothing, returns 0 and sets
// the error flag, which stays set; the offset is left where it was (no partial reads). So a
// parser can read a record as straight-line code and test error() once per record.
// sub(len) hands out a reader over the next len bytes and steps over them, so a wrong inner
// length can never spill into the next record or past the span.
class ByteReader {
public:
    ByteReader() = default;
    ByteReader(const uint8_t* data, size_t size) : m_data(size ? data : nullptr), m_size(data ? size : 0) {}

    size_t size() const { return m_size; }
    size_t offset() const { return m_offset; }
    size_t remaining() const { return m_size - m_offset; }
    bool error() const { return m_error; }
    bool atEnd() const { return m_offset == m_size; }
    bool canRead(size_t n) const { return n <= remaining(); }
    // The next unread byte; only valid while remaining() > 0.
    const uint8_t* current() const { return m_data ? m_data + m_offset : nullptr; }

    uint8_t u8();
    uint16_t u16();
    uint32_t u24();
    uint32_t u32();
    // Copies n bytes into out; on a short span nothing is copied.
    bool bytes(uint8_t* out, size_t n);
    bool skip(size_t n);
    // A reader over the next len bytes; when fewer remain it is empty and both readers
    // carry the error.
    ByteReader sub(size_t len);
    // A reader over whatever is left, possibly shorter than len: for the places where a
    // stated length may overrun and the data up to the end is still worth reading.
    ByteReader subAtMost(size_t len);
    // Reads the byte at offset + ahead without moving; 0 when outside the span.
    uint8_t peek(size_t ahead = 0) const;

private:
    bool take(size_t n);

    const uint8_t* m_data = nullptr;
    size_t m_size = 0;
    size_t m_offset = 0;
    bool m_error = false;
};
