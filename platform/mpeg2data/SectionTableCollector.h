// Gathers the sections of one table request (PID and table id) from a run of sections.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// A table is complete when every section from 0 to last_section_number of one
// table_id_extension and version has been seen. Several extensions can share a request (the
// PMTs of programmes on one PID, the NITs of two networks), so the request is answered once
// the carousel comes round to a table that is already complete, or at the end of the data
// (finish()) when at least one table is complete. The answer holds every complete table in
// the order they completed, each with its sections in section_number order. Tables are taken
// in the long form only, except for the few defined in the short form, which are answered with
// their first section.
class SectionTableCollector {
public:
    SectionTableCollector(uint16_t pid, uint8_t tableId) : m_pid(pid), m_tableId(tableId) {}

    // Takes a section as transmitted; sections of other PIDs or table ids are ignored.
    // Returns true once the request is answered.
    bool offer(uint16_t pid, const uint8_t* section, size_t size);
    // The data ended: answers the request when a table is complete.
    bool finish();
    // The extensions the request stands for, when known (the programmes that the PAT maps to a
    // PMT PID): the request is answered as soon as every one of them is complete, without
    // waiting for the carousel to come round.
    void expect(std::vector<int> extensions);

    bool done() const { return m_done; }
    static bool isShortFormTable(uint8_t tableId);
    // The sections of the answer, as transmitted; empty until done().
    const std::vector<std::vector<uint8_t>>& sections() const { return m_answer; }

private:
    struct Table {
        int extension = -1;
        int version = -1;
        int lastSection = -1;
        std::vector<std::vector<uint8_t>> bySection;  // index: section_number
        bool complete = false;
        size_t count = 0;
    };

    void answer();
    bool expectedComplete() const;

    uint16_t m_pid;
    uint8_t m_tableId;
    std::vector<Table> m_tables;
    std::vector<size_t> m_completed;  // indexes into m_tables, in completion order
    std::vector<std::vector<uint8_t>> m_answer;
    std::vector<int> m_expected;
    bool m_done = false;
};
