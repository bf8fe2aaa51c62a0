#include "platform/sbe/StreamBufferSink.h"

#include <cstring>

#include "base/Log.h"
#include "platform/air/AirStream.h"
#include "platform/sbe/ContentRecorder.h"
#include "platform/sbe/SbePath.h"
#include "platform/sbe/TimeShiftWriter.h"

namespace {
// Private to this layer: lets a holder of any of the sink's interfaces reach the object.
GRAPH_GUID(IID_StreamBufferSinkObject, 0x3B1F6D20, 0x8E4C, 0x4A75, 0x9D, 0x02, 0x6F, 0x1C, 0x5A, 0x93, 0xE4,
           0xB8);
constexpr int64_t kPtsWrap = int64_t(1) << 33;
}  // namespace

class StreamBufferSink::InputPin : public CBaseInputPin {
public:
    InputPin(StreamBufferSink* sink, std::recursive_mutex* lock)
        : CBaseInputPin(sink, lock, L"Input"), m_sink(sink) {}

    HRESULT CheckMediaType(const CMediaType* mt) override {
        if (!mt) return E_POINTER;
        return mt->majortype == MEDIATYPE_Stream && mt->subtype == MEDIASUBTYPE_MPEG2_TRANSPORT
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
        if (FAILED(sample->GetPointer(&data)) || !data) return E_POINTER;
        LONG length = sample->GetActualDataLength();
        if (length > 0) m_sink->Feed(data, static_cast<size_t>(length));
        return S_OK;
    }

private:
    StreamBufferSink* m_sink;
};

StreamBufferSink::StreamBufferSink()
    : CBaseFilter(L"Stream Buffer Sink", CLSID_MSVidStreamBufferSink),
      m_input(std::make_unique<InputPin>(this, &m_filterLock)) {}

StreamBufferSink::~StreamBufferSink() {
    DetachAir();
    endBuffer(true);
}

HRESULT StreamBufferSink::NonDelegatingQueryInterface(REFIID riid, void** ppv) {
    if (riid == IID_IMSVidStreamBufferSink) {
        *ppv = static_cast<IMSVidStreamBufferSink*>(this);
    } else if (riid == IID_IStreamBufferSink) {
        *ppv = static_cast<IStreamBufferSink*>(this);
    } else if (riid == IID_IStreamBufferInitialize) {
        *ppv = static_cast<IStreamBufferInitialize*>(this);
    } else if (riid == IID_StreamBufferSinkObject) {
        *ppv = this;
    } else {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    return S_OK;
}

CBasePin* StreamBufferSink::GetPin(int n) {
    return n == 0 ? m_input.get() : nullptr;
}

HRESULT StreamBufferSink::put_SinkName(BSTR name) {
    if (!name || !*name) return E_INVALIDARG;
    std::lock_guard<std::mutex> guard(m_dataLock);
    if (m_writer) return E_UNEXPECTED;
    m_name = name;
    return S_OK;
}

HRESULT StreamBufferSink::get_SinkName(BSTR* name) {
    if (!name) return E_POINTER;
    std::lock_guard<std::mutex> guard(m_dataLock);
    *name = m_name.empty() ? nullptr : SysAllocString(m_name.c_str());
    return S_OK;
}

HRESULT StreamBufferSink::get_SBESink(IUnknown** sink) {
    if (!sink) return E_POINTER;
    *sink = static_cast<IStreamBufferSink*>(this);
    AddRef();
    return S_OK;
}

HRESULT StreamBufferSink::LockProfile(LPCOLESTR name) {
    std::lock_guard<std::mutex> guard(m_dataLock);
    if (m_writer) return S_FALSE;
    if (name && *name) m_name = name;
    return m_name.empty() ? E_INVALIDARG : S_OK;
}

HRESULT StreamBufferSink::IsProfileLocked() {
    std::lock_guard<std::mutex> guard(m_dataLock);
    return m_writer ? S_OK : S_FALSE;
}

HRESULT StreamBufferSink::SetHKEY(HKEY key) {
    if (!key) return E_INVALIDARG;
    BufferSettings settings = BufferSettings::fromKey(key);
    std::lock_guard<std::mutex> guard(m_dataLock);
    m_settings = settings;
    return S_OK;
}

HRESULT StreamBufferSink::SelectProgram(const ProgramChoice& choice) {
    std::lock_guard<std::mutex> guard(m_dataLock);
    // A stopped sink takes a new programme: its next run starts a new buffer.
    if (m_writer && !m_ended) return E_UNEXPECTED;
    m_choice = choice;
    return S_OK;
}

HRESULT StreamBufferSink::get_ContentRecorder(BSTR fileName, IMSVidStreamBufferRecordingControl** recorder) {
    if (!recorder) return E_POINTER;
    *recorder = nullptr;
    if (!fileName || !*fileName) return E_INVALIDARG;
    std::lock_guard<std::mutex> guard(m_dataLock);
    if (!m_selector) return E_UNEXPECTED;  // nothing is being written
    ComPtr<ContentRecorder> made;
    // The header is taken on the data thread, under the same lock as the selector, from the
    // selector of the buffer being written then: a recording outlives a stop and a new run.
    made.Attach(CreateComObject<ContentRecorder>(std::wstring(fileName), [this] {
        return m_selector ? m_selector->headerPackets() : std::vector<uint8_t>();
    }));
    m_recorders.push_back(made);
    *recorder = made.Detach();
    return S_OK;
}

HRESULT StreamBufferSink::startBuffer() {
    std::lock_guard<std::mutex> guard(m_dataLock);
    if (m_writer) return S_OK;
    if (m_name.empty()) {
        error(L"StreamBufferSink: no sink name was given; nothing is written");
        return E_UNEXPECTED;
    }
    std::string path = SbeFilePath(m_name);
    m_selector = std::make_unique<ProgramSelector>(m_choice,
                                                   [this](const ProgramSelector::Packet& p) { onPacket(p); });
    ProgramSelector* selector = m_selector.get();
    auto writer =
        std::make_unique<TimeShiftWriter>(path, m_settings, [selector] { return selector->headerPackets(); });
    std::string why;
    if (!writer->start(why)) {
        error(L"StreamBufferSink: cannot create the time-shift buffer %S: %S", path.c_str(), why.c_str());
        m_selector.reset();
        return E_FAIL;
    }
    m_writer = std::move(writer);
    m_ended = false;
    m_partial.clear();
    m_waitingFor.clear();
    info(L"StreamBufferSink: writing the time-shift buffer %S", path.c_str());
    return S_OK;
}

void StreamBufferSink::endBuffer(bool removeFiles) {
    std::lock_guard<std::mutex> guard(m_dataLock);
    // Recordings go on through a stop (they resume with the next run) and end with the sink.
    if (removeFiles) {
        for (auto& r : m_recorders) r->sinkEnded();
        m_recorders.clear();
    }
    m_ended = true;
    if (m_writer) {
        if (removeFiles)
            m_writer->removeFiles();
        else
            m_writer->finish();
    }
}

HRESULT StreamBufferSink::Pause() {
    std::lock_guard<std::recursive_mutex> guard(m_filterLock);
    if (IsStopped()) {
        // A new run after a stop starts a new buffer under the same name.
        {
            std::lock_guard<std::mutex> data(m_dataLock);
            if (m_writer) {
                m_writer->removeFiles();
                m_writer.reset();
                m_selector.reset();
            }
        }
        HRESULT hr = startBuffer();
        if (FAILED(hr)) return hr;
    }
    return CBaseFilter::Pause();
}

HRESULT StreamBufferSink::Stop() {
    DetachAir();
    HRESULT hr = CBaseFilter::Stop();
    endBuffer(false);
    return hr;
}

HRESULT StreamBufferSink::AttachAir(std::shared_ptr<AirStream> stream) {
    if (!stream) return E_POINTER;
    DetachAir();
    HRESULT hr = startBuffer();
    if (FAILED(hr)) return hr;
    auto consumer = stream->subscribe(16384);
    m_air = std::move(stream);
    m_airStop = false;
    m_airThread = std::thread([this, consumer] {
        std::vector<uint8_t> chunk(188 * 512);
        while (!m_airStop.load()) {
            size_t got = 0;
            AirConsumer::Read r = consumer->read(chunk.data(), 512, got, 50);
            if (r == AirConsumer::Read::Ended) break;
            if (got) Feed(chunk.data(), got * 188);
        }
        consumer->close();
    });
    return S_OK;
}

void StreamBufferSink::DetachAir() {
    m_airStop = true;
    if (m_airThread.joinable()) m_airThread.join();
    m_air.reset();
}

void StreamBufferSink::Feed(const uint8_t* data, size_t size) {
    std::lock_guard<std::mutex> guard(m_dataLock);
    if (!m_selector) return;
    // Whole packets straight from the input; a straddling one is assembled first.
    while (size > 0) {
        if (!m_partial.empty()) {
            size_t take = std::min(size, 188 - m_partial.size());
            m_partial.insert(m_partial.end(), data, data + take);
            data += take;
            size -= take;
            if (m_partial.size() < 188) return;
            m_selector->feed(m_partial.data(), 1);
            m_partial.clear();
            continue;
        }
        // After lost sync a packet start needs the next one to confirm it.
        bool confirmed = m_inSync || (size > 188 && data[188] == 0x47);
        if (data[0] != 0x47 || (!confirmed && size > 188)) {
            m_inSync = false;
            ++data;
            --size;
            continue;
        }
        m_inSync = true;
        size_t whole = size / 188;
        size_t n = 0;
        while (n < whole && data[n * 188] == 0x47) ++n;
        if (n > 0) {
            m_selector->feed(data, n);
            data += n * 188;
            size -= n * 188;
            continue;
        }
        m_partial.assign(data, data + size);
        return;
    }
    // Each reason for waiting is told once, as it changes.
    std::string waiting = m_selector->waitingFor();
    if (waiting != m_waitingFor) {
        m_waitingFor = waiting;
        if (!waiting.empty()) info(L"StreamBufferSink: waiting for the programme (%S)", waiting.c_str());
    }
}

void StreamBufferSink::onPacket(const ProgramSelector::Packet& packet) {
    if (m_writer) m_writer->write(packet.data, packet.randomAccess, packet.pts);
    if (m_recorders.empty()) return;
    int64_t position = 0;
    int64_t origin = m_writer ? m_writer->manifest().originPts : -1;
    if (packet.pts >= 0 && origin >= 0) {
        int64_t d = ((packet.pts - origin) % kPtsWrap + kPtsWrap) % kPtsWrap;
        if (d > kPtsWrap / 2) d -= kPtsWrap;
        position = d * 1000 / 9;
    }
    for (auto& r : m_recorders)
        r->write(packet.data, packet.randomAccess, origin >= 0 ? packet.pts : -1, position);
}

int64_t StreamBufferSink::LatestPosition() {
    std::lock_guard<std::mutex> guard(m_dataLock);
    return m_writer ? m_writer->latest() : 0;
}

uint64_t StreamBufferSink::BytesOnDisk() {
    std::lock_guard<std::mutex> guard(m_dataLock);
    return m_writer ? m_writer->bytesOnDisk() : 0;
}

bool StreamBufferSink::WriteFailed() {
    std::lock_guard<std::mutex> guard(m_dataLock);
    return m_writer && m_writer->failed();
}

std::string StreamBufferSink::BufferPath() {
    std::lock_guard<std::mutex> guard(m_dataLock);
    return SbeFilePath(m_name);
}

HRESULT SelectStreamBufferProgram(IUnknown* sink, const ProgramChoice& choice) {
    if (!sink) return E_POINTER;
    StreamBufferSink* object = nullptr;
    HRESULT hr = sink->QueryInterface(IID_StreamBufferSinkObject, reinterpret_cast<void**>(&object));
    if (FAILED(hr) || !object) return E_NOINTERFACE;
    hr = object->SelectProgram(choice);
    object->Release();
    return hr;
}
