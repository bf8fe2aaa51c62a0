// Linked into the TV control's tests only while the channel scan's implementation is not in
// the tree (it is written beside the TV control): every scan ends before it starts. The build
// drops this file as soon as scan/ChannelScan.cpp exists.
#include "scan/ChannelScan.h"

ChannelScan::ChannelScan() = default;
ChannelScan::~ChannelScan() = default;

void ChannelScan::setResultsHandler(std::wstring deviceName, ScanResultsHandler* handler) {
    m_deviceName = std::move(deviceName);
    m_handler = handler;
}

int32_t ChannelScan::startScanChannels(std::wstring, IUnknown*, TuneRequest*) {
    return E_NOTIMPL;
}

int32_t ChannelScan::stopScanChannels() {
    m_stopRequested = true;
    return 0;
}

bool ChannelScan::scanning() const {
    return false;
}

void ChannelScan::waitScanEnded() {}
