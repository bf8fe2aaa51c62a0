// An ISectionList over sections held in memory.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/mpeg2data/Mpeg2Data.h"

class SectionList : public ComObject<ISectionList> {
public:
    // Takes sections as transmitted and turns their header words to host order.
    explicit SectionList(std::vector<std::vector<uint8_t>> sections);

    HRESULT GetNumberOfSections(WORD* count) override;
    HRESULT GetSectionData(WORD index, DWORD* size, SECTION** section) override;

    // Puts bytes 1-2 and 3-4 of a transmitted section in the order the parser reads them.
    static void toHostHeader(std::vector<uint8_t>& section);

private:
    std::vector<std::vector<uint8_t>> m_sections;
};
