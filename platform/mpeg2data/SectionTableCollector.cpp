#include "platform/mpeg2data/SectionTableCollector.h"

bool SectionTableCollector::offer(uint16_t pid, const uint8_t* section, size_t size) {
    if (m_done) return true;
    if (!section || pid != m_pid || size < 3 || section[0] != m_tableId) return false;
    if (!(section[1] & 0x80)) {
        // Only the long form has a CRC and section numbers: a short-form section is a table of
        // its own where the table is defined so, and damage or a stray table everywhere else.
        if (!isShortFormTable(m_tableId)) return false;
        m_answer.emplace_back(section, section + size);
        m_done = true;
        return true;
    }
    if (size < 12) return false;  // header, section numbers and CRC
    const int extension = (section[3] << 8) | section[4];
    const int version = (section[5] >> 1) & 0x1F;
    const int number = section[6];
    const int last = section[7];
    if (number > last) return false;

    Table* table = nullptr;
    for (auto& t : m_tables) {
        if (t.extension == extension) table = &t;
    }
    if (table && table->complete) {
        // The carousel came round: what is complete now is the answer.
        answer();
        return true;
    }
    if (!table) {
        m_tables.emplace_back();
        table = &m_tables.back();
        table->extension = extension;
    }
    if (table->version != version || table->lastSection != last) {
        table->version = version;
        table->lastSection = last;
        table->bySection.assign(last + 1, {});
        table->count = 0;
    }
    auto& slot = table->bySection[number];
    if (slot.empty()) {
        slot.assign(section, section + size);
        ++table->count;
    }
    if (table->count == table->bySection.size()) {
        table->complete = true;
        m_completed.push_back(static_cast<size_t>(table - m_tables.data()));
        if (expectedComplete()) {
            answer();
            return true;
        }
    }
    return false;
}

void SectionTableCollector::expect(std::vector<int> extensions) {
    m_expected = std::move(extensions);
    if (!m_done && expectedComplete()) answer();
}

bool SectionTableCollector::expectedComplete() const {
    if (m_expected.empty()) return false;
    for (int extension : m_expected) {
        bool complete = false;
        for (const auto& t : m_tables) complete = complete || (t.extension == extension && t.complete);
        if (!complete) return false;
    }
    return true;
}

bool SectionTableCollector::isShortFormTable(uint8_t tableId) {
    // time and date, running status, stuffing, time offset, discontinuity information
    return (tableId >= 0x70 && tableId <= 0x73) || tableId == 0x7E;
}

bool SectionTableCollector::finish() {
    if (!m_done && !m_completed.empty()) answer();
    return m_done;
}

void SectionTableCollector::answer() {
    m_done = true;
    for (size_t index : m_completed) {
        for (auto& s : m_tables[index].bySection) m_answer.push_back(std::move(s));
    }
    m_tables.clear();
}
