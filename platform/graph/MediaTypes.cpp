#include "platform/graph/MediaTypes.h"

#include <cstdlib>
#include <cstring>

void FreeMediaType(AM_MEDIA_TYPE& mt) {
    std::free(mt.pbFormat);
    mt.pbFormat = nullptr;
    mt.cbFormat = 0;
    if (mt.pUnk) {
        mt.pUnk->Release();
        mt.pUnk = nullptr;
    }
}

HRESULT CopyMediaType(AM_MEDIA_TYPE* dst, const AM_MEDIA_TYPE* src) {
    if (!dst || !src) return E_POINTER;
    if (dst == src) return S_OK;
    *dst = *src;
    dst->pbFormat = nullptr;
    dst->cbFormat = 0;
    if (src->cbFormat && src->pbFormat) {
        dst->pbFormat = static_cast<BYTE*>(std::malloc(src->cbFormat));
        if (!dst->pbFormat) {
            std::memset(dst, 0, sizeof *dst);
            return E_OUTOFMEMORY;
        }
        std::memcpy(dst->pbFormat, src->pbFormat, src->cbFormat);
        dst->cbFormat = src->cbFormat;
    }
    if (dst->pUnk) dst->pUnk->AddRef();
    return S_OK;
}

AM_MEDIA_TYPE* CreateMediaType(const AM_MEDIA_TYPE* src) {
    auto* mt = static_cast<AM_MEDIA_TYPE*>(std::calloc(1, sizeof(AM_MEDIA_TYPE)));
    if (!mt) return nullptr;
    if (src && FAILED(CopyMediaType(mt, src))) {
        std::free(mt);
        return nullptr;
    }
    return mt;
}

void DeleteMediaType(AM_MEDIA_TYPE* mt) {
    if (!mt) return;
    FreeMediaType(*mt);
    std::free(mt);
}

std::wstring MediaGuidName(REFGUID g) {
    struct Named {
        const GUID* guid;
        const wchar_t* name;
    };
    static const Named names[] = {
        {&GUID_NULL, L"GUID_NULL"},
        {&MEDIATYPE_Video, L"MEDIATYPE_Video"},
        {&MEDIATYPE_Audio, L"MEDIATYPE_Audio"},
        {&MEDIATYPE_Stream, L"MEDIATYPE_Stream"},
        {&MEDIASUBTYPE_YUY2, L"MEDIASUBTYPE_YUY2"},
        {&MEDIASUBTYPE_RGB24, L"MEDIASUBTYPE_RGB24"},
        {&MEDIASUBTYPE_RGB32, L"MEDIASUBTYPE_RGB32"},
        {&MEDIASUBTYPE_PCM, L"MEDIASUBTYPE_PCM"},
        {&MEDIASUBTYPE_MPEG2_VIDEO, L"MEDIASUBTYPE_MPEG2_VIDEO"},
        {&MEDIASUBTYPE_H264, L"MEDIASUBTYPE_H264"},
        {&MEDIASUBTYPE_MPEG2_AUDIO, L"MEDIASUBTYPE_MPEG2_AUDIO"},
        {&MEDIASUBTYPE_MPEG1AudioPayload, L"MEDIASUBTYPE_MPEG1AudioPayload"},
        {&MEDIASUBTYPE_DOLBY_AC3, L"MEDIASUBTYPE_DOLBY_AC3"},
        {&MEDIASUBTYPE_MPEG2_TRANSPORT, L"MEDIASUBTYPE_MPEG2_TRANSPORT"},
        {&FORMAT_None, L"FORMAT_None"},
        {&FORMAT_VideoInfo, L"FORMAT_VideoInfo"},
        {&FORMAT_VideoInfo2, L"FORMAT_VideoInfo2"},
        {&FORMAT_WaveFormatEx, L"FORMAT_WaveFormatEx"},
    };
    for (const Named& n : names)
        if (*n.guid == g) return n.name;
    return GuidToString(g);
}

CMediaType::CMediaType() : AM_MEDIA_TYPE() {
    std::memset(static_cast<AM_MEDIA_TYPE*>(this), 0, sizeof(AM_MEDIA_TYPE));
}

CMediaType::CMediaType(const AM_MEDIA_TYPE& src) : CMediaType() {
    CopyMediaType(this, &src);
}

CMediaType::CMediaType(const CMediaType& src) : CMediaType() {
    CopyMediaType(this, &src);
}

CMediaType& CMediaType::operator=(const AM_MEDIA_TYPE& src) {
    if (&src != this) {
        CMediaType copy(src);
        Clear();
        *static_cast<AM_MEDIA_TYPE*>(this) = copy;
        // The copy's format and reference now belong to this record.
        copy.pbFormat = nullptr;
        copy.cbFormat = 0;
        copy.pUnk = nullptr;
    }
    return *this;
}

CMediaType& CMediaType::operator=(const CMediaType& src) {
    return *this = static_cast<const AM_MEDIA_TYPE&>(src);
}

CMediaType::~CMediaType() {
    FreeMediaType(*this);
}

void CMediaType::Clear() {
    FreeMediaType(*this);
    std::memset(static_cast<AM_MEDIA_TYPE*>(this), 0, sizeof(AM_MEDIA_TYPE));
}

bool CMediaType::SetFormat(const void* data, ULONG len) {
    BYTE* block = nullptr;
    if (len) {
        block = static_cast<BYTE*>(std::malloc(len));
        if (!block) return false;
        std::memcpy(block, data, len);
    }
    std::free(pbFormat);
    pbFormat = block;
    cbFormat = len;
    return true;
}

bool CMediaType::MatchesExactly(const AM_MEDIA_TYPE& o) const {
    if (majortype != o.majortype || subtype != o.subtype || formattype != o.formattype) return false;
    if (cbFormat != o.cbFormat) return false;
    return cbFormat == 0 || std::memcmp(pbFormat, o.pbFormat, cbFormat) == 0;
}
