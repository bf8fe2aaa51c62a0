#include "scan/FrequencyFileLines.h"

#include <cstring>

#include "base/Text.h"

void FrequencyFileLines::add(const char* bytes, size_t size) {
    for (size_t i = 0; i < size; ++i) addByte(bytes[i]);
}

void FrequencyFileLines::addByte(char c) {
    if (m_pendingCr) {
        m_pendingCr = false;
        if (c != '\n') {
            m_line += '\r';
            if (m_line.size() == kChunk) flush();
        }
    }
    if (c == '\r') {
        m_pendingCr = true;
    } else if (c == '\n') {
        flush();
    } else {
        m_line += c;
        // A full chunk is an entry of its own; a line feed right after it then ends an empty one.
        if (m_line.size() == kChunk) flush();
    }
}

void FrequencyFileLines::finish() {
    if (m_pendingCr) {
        m_pendingCr = false;
        m_line += '\r';
    }
    if (!m_line.empty()) flush();
}

void FrequencyFileLines::flush() {
    m_lines.push_back(NarrowToWide(m_line.c_str(), std::strlen(m_line.c_str())));
    m_line.clear();
}
