// The DVB-T and ATSC locators: plain holders of where a multiplex is.
#pragma once

#include "platform/bda/BdaInterfaces.h"

class DVBTLocator : public ComObject<IDVBTLocator> {
public:
    HRESULT get_CarrierFrequency(LONG* frequency) override;
    HRESULT put_CarrierFrequency(LONG frequency) override;
    HRESULT Clone(ILocator** out) override;
    HRESULT get_Bandwidth(LONG* mhz) override;
    HRESULT put_Bandwidth(LONG mhz) override;

private:
    LONG m_frequency = -1;
    LONG m_bandwidth = -1;
};

class ATSCLocator : public ComObject<IATSCLocator> {
public:
    HRESULT get_CarrierFrequency(LONG* frequency) override;
    HRESULT put_CarrierFrequency(LONG frequency) override;
    HRESULT Clone(ILocator** out) override;
    HRESULT get_PhysicalChannel(LONG* channel) override;
    HRESULT put_PhysicalChannel(LONG channel) override;

private:
    LONG m_frequency = -1;
    LONG m_physical = -1;
};
