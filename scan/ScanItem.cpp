#include "scan/ScanItem.h"

void SplitChannelEntry(const std::wstring& entry, std::wstring* medium, std::wstring* name) {
    const size_t slash = entry.rfind(L'/');
    if (slash == std::wstring::npos) {
        if (medium) medium->clear();
        if (name) *name = entry;
        return;
    }
    if (medium) *medium = entry.substr(0, slash);
    if (name) *name = entry.substr(slash + 1);
}

ScanItem MakeDigitalScanItem(const std::wstring& mediaType, const std::wstring& entry, int32_t frequency,
                             int32_t signal) {
    ScanItem item;
    std::wstring medium;
    SplitChannelEntry(entry, &medium, &item.name);
    item.path = L"device://" + mediaType + L"/#/" + medium;
    item.frequency = std::to_wstring(frequency);
    item.signal = signal;
    return item;
}
