// Cuts the bytes of a frequency file into entries the way the scan reads it: as text (a
// carriage return before a line feed belongs to the line end), in chunks of at most 1023 bytes
// with the line feed removed, every chunk an entry, empty or not. An entry ends at a NUL byte
// and is read as UTF-8 up to its first invalid sequence.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

class FrequencyFileLines {
public:
    static constexpr size_t kChunk = 1023;

    void add(const char* bytes, size_t size);
    // The last line when the file does not end with a line feed.
    void finish();
    const std::vector<std::wstring>& lines() const { return m_lines; }
    std::vector<std::wstring> take() { return std::move(m_lines); }

private:
    void addByte(char c);
    void flush();

    std::vector<std::wstring> m_lines;
    std::string m_line;
    bool m_pendingCr = false;
};
