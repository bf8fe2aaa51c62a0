// The time-shift sink: a filter with one input pin taking an MPEG-2 transport stream (major
// type Stream, subtype MPEG-2 transport), or fed straight from the air, that keeps one
// programme of it in the time-shift buffer named by put_SinkName (see TimeShiftWriter) and
// hands it to content recorders. The buffer's files are deleted when the sink goes away;
// content recordings go on through a stop and end when the sink goes away.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/graph/BaseFilter.h"
#include "platform/graph/BaseInputPin.h"
#include "platform/sbe/BufferSettings.h"
#include "platform/sbe/ProgramSelector.h"
#include "platform/sbe/SbeInterfaces.h"

class AirStream;
class ContentRecorder;
class TimeShiftWriter;

class StreamBufferSink : public CBaseFilter,
                         public IMSVidStreamBufferSink,
                         public IStreamBufferSink,
                         public IStreamBufferInitialize {
public:
    StreamBufferSink();
    ~StreamBufferSink() override;

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return CBaseFilter::QueryInterface(riid, ppv);
    }
    ULONG AddRef() override { return CBaseFilter::AddRef(); }
    ULONG Release() override { return CBaseFilter::Release(); }

    int GetPinCount() override { return 1; }
    CBasePin* GetPin(int n) override;
    HRESULT Pause() override;
    HRESULT Stop() override;

    // IMSVidStreamBufferSink
    HRESULT put_SinkName(BSTR name) override;
    HRESULT get_SinkName(BSTR* name) override;
    HRESULT get_SBESink(IUnknown** sink) override;
    HRESULT get_ContentRecorder(BSTR fileName, IMSVidStreamBufferRecordingControl** recorder) override;
    // IStreamBufferSink
    HRESULT LockProfile(LPCOLESTR name) override;
    HRESULT IsProfileLocked() override;
    // IStreamBufferInitialize
    HRESULT SetHKEY(HKEY key) override;

    // The programme to keep; before the first packet (E_UNEXPECTED once writing).
    HRESULT SelectProgram(const ProgramChoice& choice);
    // Takes the multiplex from an air stream on a thread of its own until DetachAir, Stop or
    // the stream's end. Starts the buffer like Pause does.
    HRESULT AttachAir(std::shared_ptr<AirStream> stream);
    void DetachAir();
    // Takes bytes of the multiplex (any size; packets may straddle calls).
    void Feed(const uint8_t* data, size_t size);

    // For tests and benchmarks: newest key-frame position written, and the buffer's size.
    int64_t LatestPosition();
    uint64_t BytesOnDisk();
    bool WriteFailed();
    std::string BufferPath();

protected:
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

private:
    class InputPin;
    HRESULT startBuffer();
    void endBuffer(bool removeFiles);
    void onPacket(const ProgramSelector::Packet& packet);

    std::unique_ptr<InputPin> m_input;
    std::mutex m_dataLock;  // the selector, the writer, the recorders and the partial packet
    std::wstring m_name;
    BufferSettings m_settings;
    ProgramChoice m_choice;
    std::unique_ptr<ProgramSelector> m_selector;
    std::unique_ptr<TimeShiftWriter> m_writer;
    std::vector<ComPtr<ContentRecorder>> m_recorders;
    std::vector<uint8_t> m_partial;
    std::string m_waitingFor;
    bool m_inSync = true;
    bool m_ended = false;  // stopped: the buffer is finished and the next run starts a new one

    std::shared_ptr<AirStream> m_air;
    std::atomic<bool> m_airStop{false};
    std::thread m_airThread;
};

// Chooses the programme for callers that hold only one of the sink's interfaces (the Video Control).
HRESULT SelectStreamBufferProgram(IUnknown* sink, const ProgramChoice& choice);
