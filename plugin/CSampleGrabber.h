// Pass-through filter that hands each sample's bytes to a SampleGrabberCallBack. It holds
// every timestamped sample back until the next timestamped one arrives (that is when its
// extent is known), merges untimed samples into the held one, keeps delivered start times
// rising and shifts all times by a base set on a seek.
#pragma once

#include "base/PCondMutex.h"
#include "base/PMutex.h"
#include "plugin/CSampleGrabberInPin.h"
#include "plugin/IGrabberSample.h"
#include "plugin/SampleGrabberCallBack.h"

class CSampleGrabber : public CTransInPlaceFilter, public IGrabberSample {
public:
    static constexpr int kAcceptedCount = 10;

    // *result is E_OUTOFMEMORY when the input pin could not be made.
    explicit CSampleGrabber(HRESULT* result);
    ~CSampleGrabber() override;

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return CTransInPlaceFilter::QueryInterface(riid, ppv);
    }
    ULONG AddRef() override { return CTransInPlaceFilter::AddRef(); }
    ULONG Release() override { return CTransInPlaceFilter::Release(); }

    // IGrabberSample
    HRESULT SetAcceptedMediaType(int index, const AM_MEDIA_TYPE* mt) override;
    HRESULT GetConnectedMediaType(AM_MEDIA_TYPE* mt) override;
    HRESULT SetCallback(SampleGrabberCallBack* callback, LONG streamId, PCondMutex* signal) override;
    HRESULT GetCallback(SampleGrabberCallBack** callback, LONG* streamId) override;

    // Drops the held sample; t becomes the time base and the last delivered start.
    HRESULT FlushBuffers(REFERENCE_TIME t);

    HRESULT CheckInputType(const CMediaType* mt) override;
    HRESULT Transform(IMediaSample* sample) override;
    HRESULT Receive(IMediaSample* sample) override;
    HRESULT EndOfStream() override;

    // Copy of accepted entry `position`; false past the end of the list.
    bool AcceptedType(int position, CMediaType* mt);

protected:
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

private:
    void ClearHeld();

    CSampleGrabberInPin* m_inputPin = nullptr;
    CMediaType m_acceptedTypes[kAcceptedCount];
    SampleGrabberCallBack* m_callBack = nullptr;
    LONG m_streamId = 0;
    PCondMutex* m_sampleSignal = nullptr;
    PMutex m_lock{true};
    BYTE* m_heldData = nullptr;
    int64_t m_heldLength = 0;
    REFERENCE_TIME m_heldStart = 0;
    REFERENCE_TIME m_heldEnd = 0;
    bool m_heldSyncPoint = false;
    REFERENCE_TIME m_lastStart = 0;
    REFERENCE_TIME m_timeBase = 0;
};
