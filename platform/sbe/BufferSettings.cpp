#include "platform/sbe/BufferSettings.h"

#include <algorithm>

namespace {
bool readDword(HKEY key, const wchar_t* name, DWORD& value) {
    DWORD type = 0, size = sizeof value;
    DWORD v = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&v), &size) != ERROR_SUCCESS)
        return false;
    if (type != REG_DWORD || size != sizeof v) return false;
    value = v;
    return true;
}
}  // namespace

BufferSettings BufferSettings::fromKey(HKEY key) {
    BufferSettings s;
    if (!key) return s;
    DWORD window = 3600, megabytes = 4096, segment = 10;
    readDword(key, L"WindowSeconds", window);
    readDword(key, L"MaxMegabytes", megabytes);
    readDword(key, L"SegmentSeconds", segment);
    window = std::max<DWORD>(window, 2);
    megabytes = std::max<DWORD>(megabytes, 1);
    segment = std::clamp<DWORD>(segment, 1, std::max<DWORD>(window / 4, 1));
    s.window = int64_t(window) * 10000000;
    s.maxBytes = uint64_t(megabytes) << 20;
    s.segmentLength = int64_t(segment) * 10000000;
    return s;
}
