// Test and benchmark support: an output device that stands in the stream-buffer sink's slot
// (class CLSID_MSVidStreamBufferSink) and records the transport stream that reaches it: when
// the first packet came, how many, the transport_stream_id of the PATs it saw, and (when asked
// to) the packets themselves.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <vector>

#include "platform/air/TsPacket.h"
#include "platform/com/ClassRegistry.h"
#include "platform/graph/BaseFilter.h"
#include "platform/graph/BaseInputPin.h"
#include "platform/vidctl/VidCtlInterfaces.h"

class VidTestSinkFilter : public CBaseFilter {
public:
    VidTestSinkFilter() : CBaseFilter(L"Test Sink", GUID_NULL), m_input(this, &m_filterLock) {}
    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override { return n == 0 ? &m_input : nullptr; }

    uint64_t packets() const { return m_packets.load(); }
    std::chrono::steady_clock::time_point firstPacketAt() const {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_first;
    }
    // Forgets what came so far (after a retune).
    void reset() {
        std::lock_guard<std::mutex> guard(m_lock);
        m_packets = 0;
        m_tsids.clear();
        m_first = {};
        m_kept.clear();
    }
    // Keeps every packet that arrives from now on, up to `limitBytes` (whole packets).
    void keep(size_t limitBytes) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_keepLimit = limitBytes / tspacket::kSize * tspacket::kSize;
        m_kept.clear();
    }
    std::vector<uint8_t> kept() const {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_kept;
    }
    // Waits (up to limitMs) for a PAT naming tsid.
    bool waitForTsid(int tsid, int limitMs) {
        std::unique_lock<std::mutex> guard(m_lock);
        return m_arrived.wait_for(guard, std::chrono::milliseconds(limitMs),
                                  [&] { return m_tsids.count(tsid) != 0; });
    }
    bool waitForPackets(uint64_t count, int limitMs) {
        std::unique_lock<std::mutex> guard(m_lock);
        return m_arrived.wait_for(guard, std::chrono::milliseconds(limitMs),
                                  [&] { return m_packets >= count; });
    }

private:
    class InputPin : public CBaseInputPin {
    public:
        InputPin(VidTestSinkFilter* owner, std::recursive_mutex* lock)
            : CBaseInputPin(owner, lock, L"Transport In"), m_owner(owner) {}
        HRESULT CheckMediaType(const CMediaType* mt) override {
            return mt && mt->majortype == MEDIATYPE_Stream && mt->subtype == MEDIASUBTYPE_MPEG2_TRANSPORT
                       ? S_OK
                       : VFW_E_TYPE_NOT_ACCEPTED;
        }
        HRESULT GetMediaType(int position, CMediaType* mt) override {
            if (position < 0) return E_INVALIDARG;
            if (position > 0) return VFW_S_NO_MORE_ITEMS;
            mt->Clear();
            mt->majortype = MEDIATYPE_Stream;
            mt->subtype = MEDIASUBTYPE_MPEG2_TRANSPORT;
            mt->formattype = FORMAT_None;
            return S_OK;
        }
        HRESULT Receive(IMediaSample* sample) override {
            HRESULT hr = CBaseInputPin::Receive(sample);
            if (hr != S_OK) return hr;
            BYTE* data = nullptr;
            sample->GetPointer(&data);
            LONG size = sample->GetActualDataLength();
            if (data && size > 0) m_owner->take(data, static_cast<size_t>(size));
            return S_OK;
        }

    private:
        VidTestSinkFilter* m_owner;
    };

    void take(const uint8_t* data, size_t size) {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_packets == 0) m_first = std::chrono::steady_clock::now();
        if (m_kept.size() < m_keepLimit)
            m_kept.insert(m_kept.end(), data, data + std::min(size, m_keepLimit - m_kept.size()));
        for (size_t at = 0; at + tspacket::kSize <= size; at += tspacket::kSize) {
            const uint8_t* p = data + at;
            ++m_packets;
            if (p[0] != tspacket::kSync || tspacket::pid(p) != 0 || !tspacket::payloadStart(p)) continue;
            size_t off = tspacket::payloadOffset(p);
            // pointer field, then table id 0 and the section header up to the transport_stream_id
            if (off == 0 || off + 1 + p[off] + 5 >= tspacket::kSize) continue;
            const uint8_t* s = p + off + 1 + p[off];
            if (s[0] == 0x00) m_tsids.insert((s[3] << 8) | s[4]);
        }
        m_arrived.notify_all();
    }

    InputPin m_input;
    mutable std::mutex m_lock;
    std::condition_variable m_arrived;
    std::atomic<uint64_t> m_packets{0};
    std::set<int> m_tsids;
    std::chrono::steady_clock::time_point m_first{};
    size_t m_keepLimit = 0;
    std::vector<uint8_t> m_kept;
};

class VidTestSink : public ComObject<IMSVidOutputDevice, IMSVidGraphSegment> {
public:
    VidTestSink() { m_filter.Attach(CreateComObject<VidTestSinkFilter>()); }
    HRESULT get_Name(BSTR* name) override {
        *name = SysAllocString(L"Test Sink");
        return S_OK;
    }
    HRESULT get__ClassID(GUID* clsid) override {
        *clsid = CLSID_MSVidStreamBufferSink;
        return S_OK;
    }
    HRESULT get_Filter(IBaseFilter** filter) override {
        IBaseFilter* f = m_filter.Get();
        f->AddRef();
        *filter = f;
        return S_OK;
    }
    VidTestSinkFilter* filter() const { return m_filter.Get(); }

    // The sink made by the last creation through the class registry.
    static ComPtr<VidTestSink>& last() {
        static ComPtr<VidTestSink> sink;
        return sink;
    }
    static HRESULT create(REFIID riid, void** ppv) {
        ComPtr<VidTestSink> sink;
        sink.Attach(CreateComObject<VidTestSink>());
        last() = sink;
        return sink->QueryInterface(riid, ppv);
    }
    static void registerAsStreamBufferSink() {
        static const ClassEntry kTestSink[] = {
            {CLSID_MSVidStreamBufferSink, "Test Sink", &VidTestSink::create}};
        ClassRegistry::instance().registerClasses(kTestSink);
    }

private:
    ComPtr<VidTestSinkFilter> m_filter;
};
