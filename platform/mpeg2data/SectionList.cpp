#include "platform/mpeg2data/SectionList.h"

#include <algorithm>

SectionList::SectionList(std::vector<std::vector<uint8_t>> sections) : m_sections(std::move(sections)) {
    // More than a WORD can count cannot be handed out; a table never has more than 256.
    if (m_sections.size() > 0xFFFF) m_sections.resize(0xFFFF);
    for (auto& s : m_sections) toHostHeader(s);
}

void SectionList::toHostHeader(std::vector<uint8_t>& s) {
    if (s.size() >= 3) std::swap(s[1], s[2]);
    if (s.size() >= 5) std::swap(s[3], s[4]);
}

HRESULT SectionList::GetNumberOfSections(WORD* count) {
    if (!count) return E_POINTER;
    *count = static_cast<WORD>(m_sections.size());
    return S_OK;
}

HRESULT SectionList::GetSectionData(WORD index, DWORD* size, SECTION** section) {
    if (!size || !section) return E_POINTER;
    if (index >= m_sections.size() || m_sections[index].size() < sizeof(SECTION)) {
        *size = 0;
        *section = nullptr;
        return E_INVALIDARG;
    }
    auto& bytes = m_sections[index];
    *size = static_cast<DWORD>(bytes.size());
    *section = reinterpret_cast<SECTION*>(bytes.data());
    return S_OK;
}
