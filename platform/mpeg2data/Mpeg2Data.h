// The section source: whole MPEG-2 tables by PID and table id.
#pragma once

#include "platform/com/Unknown.h"

using PID = WORD;
using TID = BYTE;

// A section as handed over. The two 16-bit header words (the one that carries
// section_length and the table_id_extension) are in host order, little-endian here: byte 1
// is the low byte of section_length, byte 2 the flags and its high four bits, byte 3 the
// low byte of the extension and byte 4 its high byte. Everything after them is as sent.
#pragma pack(push, 1)
struct SECTION {
    BYTE TableId;
    WORD Header;
    BYTE SectionData[1];
};
#pragma pack(pop)

// Filtering on more than PID and table id is not offered; callers pass none.
struct MPEG2_FILTER;

// {AFEC1EB5-2A64-46C6-BF4B-AE3CCB6AFDB0}
constexpr IID IID_ISectionList = {
    0xAFEC1EB5, 0x2A64, 0x46C6, {0xBF, 0x4B, 0xAE, 0x3C, 0xCB, 0x6A, 0xFD, 0xB0}};
// {9B396D40-F380-4E3C-A514-1A82BF6EBFE6}
constexpr IID IID_IMpeg2Data = {0x9B396D40, 0xF380, 0x4E3C, {0xA5, 0x14, 0x1A, 0x82, 0xBF, 0x6E, 0xBF, 0xE6}};

// The status of a table request that did not complete in time.
constexpr HRESULT MPEG2DATA_E_TIMEOUT = HRESULT_FROM_WIN32(1460);  // ERROR_TIMEOUT

// The sections of one table. The section pointers stay valid until the list is released.
struct ISectionList : IUnknown {
    COM_INTERFACE(ISectionList, IUnknown)
    virtual HRESULT GetNumberOfSections(WORD* count) = 0;
    virtual HRESULT GetSectionData(WORD index, DWORD* size, SECTION** section) = 0;
};

struct IMpeg2Data : IUnknown {
    COM_INTERFACE(IMpeg2Data, IUnknown)
    // Waits up to timeoutMs for the whole table; MPEG2DATA_E_TIMEOUT when it does not come.
    virtual HRESULT GetTable(PID pid, TID tid, MPEG2_FILTER* filter, DWORD timeoutMs,
                             ISectionList** list) = 0;
};
