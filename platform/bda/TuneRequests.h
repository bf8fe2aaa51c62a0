// Tune requests, made by their tuning space: a channel (analog, auxiliary input), an ATSC
// channel with its minor channel, a DVB service by its network ids. Each keeps its tuning
// space and locator.
#pragma once

#include "platform/bda/BdaInterfaces.h"

// Holds what every tune request holds. I is the most derived request interface.
template <class I>
class TuneRequestBase : public ComObject<I> {
public:
    explicit TuneRequestBase(ITuningSpace* space) : m_space(space) {}

    HRESULT get_TuningSpace(ITuningSpace** space) override { return m_space.CopyTo(space); }
    HRESULT get_Locator(ILocator** locator) override { return m_locator.CopyTo(locator); }
    HRESULT put_Locator(ILocator* locator) override {
        m_locator = locator;
        return S_OK;
    }

protected:
    ComPtr<ITuningSpace> m_space;
    ComPtr<ILocator> m_locator;
};

// A channel within [minChannel, maxChannel] of its tuning space; put_Channel refuses others.
class ChannelTuneRequest : public TuneRequestBase<IChannelTuneRequest> {
public:
    ChannelTuneRequest(ITuningSpace* space, LONG minChannel, LONG maxChannel)
        : TuneRequestBase(space), m_min(minChannel), m_max(maxChannel) {}
    HRESULT get_Channel(LONG* channel) override;
    HRESULT put_Channel(LONG channel) override;
    HRESULT Clone(ITuneRequest** out) override;

private:
    LONG m_min, m_max;
    LONG m_channel = -1;
};

class ATSCChannelTuneRequest : public TuneRequestBase<IATSCChannelTuneRequest> {
public:
    using TuneRequestBase::TuneRequestBase;
    HRESULT get_Channel(LONG* channel) override;
    HRESULT put_Channel(LONG channel) override;
    HRESULT get_MinorChannel(LONG* channel) override;
    HRESULT put_MinorChannel(LONG channel) override;
    HRESULT Clone(ITuneRequest** out) override;

private:
    LONG m_major = -1;
    LONG m_minor = -1;
};

class DVBTuneRequest : public TuneRequestBase<IDVBTuneRequest> {
public:
    using TuneRequestBase::TuneRequestBase;
    HRESULT get_ONID(LONG* id) override;
    HRESULT put_ONID(LONG id) override;
    HRESULT get_TSID(LONG* id) override;
    HRESULT put_TSID(LONG id) override;
    HRESULT get_SID(LONG* id) override;
    HRESULT put_SID(LONG id) override;
    HRESULT Clone(ITuneRequest** out) override;

private:
    LONG m_onid = -1;
    LONG m_tsid = -1;
    LONG m_sid = -1;
};
