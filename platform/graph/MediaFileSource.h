// Source filter over a media file (MPEG transport or program stream) read with libavformat:
// one output pin for the main video stream and one for the main audio stream, each pushing
// compressed frames on its own streaming thread, with times in 100-ns units from the start.
#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/graph/BaseFilter.h"

struct AVFormatContext;
struct AVPacket;
class MediaFileSourcePin;

class MediaFileSource : public CBaseFilter, public IFileSourceFilter, public IMediaSeeking {
public:
    MediaFileSource();
    ~MediaFileSource() override;

    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        return CBaseFilter::QueryInterface(riid, ppv);
    }
    ULONG AddRef() override { return CBaseFilter::AddRef(); }
    ULONG Release() override { return CBaseFilter::Release(); }

    int GetPinCount() override;
    CBasePin* GetPin(int n) override;

    // IFileSourceFilter: opens the file (once) and makes the pins. The type is ignored.
    HRESULT Load(LPCOLESTR fileName, const AM_MEDIA_TYPE* mt) override;
    HRESULT GetCurFile(OLECHAR** fileName, AM_MEDIA_TYPE* mt) override;

    // IMediaSeeking
    HRESULT GetCapabilities(DWORD* caps) override;
    HRESULT CheckCapabilities(DWORD* caps) override;
    HRESULT GetDuration(LONGLONG* duration) override;
    HRESULT GetStopPosition(LONGLONG* stop) override;
    HRESULT GetCurrentPosition(LONGLONG* current) override;
    HRESULT SetPositions(LONGLONG* current, DWORD currentFlags, LONGLONG* stop, DWORD stopFlags) override;
    HRESULT GetPositions(LONGLONG* current, LONGLONG* stop) override;
    HRESULT GetAvailable(LONGLONG* earliest, LONGLONG* latest) override;

    // Streaming side, called by the pins' threads: the next packet of one stream, read from
    // the file as needed. Null at the end of the file or on a read error.
    AVPacket* NextPacket(int streamIndex);
    // 100-ns time of a packet timestamp of a stream, from the start of the file.
    REFERENCE_TIME ToReferenceTime(int streamIndex, int64_t ts) const;
    void NoteDelivered(REFERENCE_TIME t);
    void DropQueued(int streamIndex);

protected:
    HRESULT NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

private:
    bool StreamWanted(int streamIndex);

    std::mutex m_demuxLock;
    AVFormatContext* m_format = nullptr;
    std::wstring m_fileName;
    std::vector<std::unique_ptr<MediaFileSourcePin>> m_pins;
    std::vector<std::deque<AVPacket*>> m_queues;  // by stream index
    bool m_endOfFile = false;
    int64_t m_startTime = 0;  // AV_TIME_BASE units
    REFERENCE_TIME m_position = 0;
};

HRESULT CreateMediaFileSource(REFIID riid, void** ppv);
