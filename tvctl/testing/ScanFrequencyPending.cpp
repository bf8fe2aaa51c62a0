// Linked into the TV control's tests only while the channel scan's table scan of one multiplex
// is not in the tree (it is written beside the TV control): a locked frequency then yields no
// channels. The build uses the scan's own library as soon as it exists.
#include "scan/ChannelScan.h"

HRESULT ChannelScan::scanFrequency(int32_t, int32_t, const std::wstring&, IUnknown*, IUnknown*, TuneRequest*,
                                   std::vector<std::wstring>&) {
    return E_NOTIMPL;
}
