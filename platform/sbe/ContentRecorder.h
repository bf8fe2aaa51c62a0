// A content recording of the sink's programme into a transport stream file of its own,
// playable by any player: it begins with the programme's PAT and PMT at a key frame.
// put_StartTime(0) starts at the next key frame, a positive value that many seconds of
// programme later; put_StopTime(0) ends at once, a positive value once the recording holds
// that many seconds. Both write nothing when the file cannot be created (logged).
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/sbe/SbeInterfaces.h"

class ContentRecorder : public ComObject<IMSVidStreamBufferRecordingControl> {
public:
    ContentRecorder(std::wstring fileName, std::function<std::vector<uint8_t>()> headers);
    ~ContentRecorder() override;

    HRESULT get_StartTime(LONG* seconds) override;
    HRESULT put_StartTime(LONG seconds) override;
    HRESULT get_StopTime(LONG* seconds) override;
    HRESULT put_StopTime(LONG seconds) override;
    HRESULT get_RecordingStopped(VARIANT_BOOL* stopped) override;
    HRESULT get_RecordingStarted(VARIANT_BOOL* started) override;
    HRESULT get_FileName(BSTR* name) override;

    // Called by the sink with every packet of the programme; position in 100 ns (valid when
    // pts >= 0).
    void write(const uint8_t* packet, bool randomAccess, int64_t pts, int64_t position);
    // The sink goes away: the recording ends.
    void sinkEnded();

private:
    void stopLocked();
    bool writeLocked(const uint8_t* data, size_t size);

    std::mutex m_lock;
    std::wstring m_fileName;
    std::function<std::vector<uint8_t>()> m_headers;
    enum class State { Idle, Waiting, Recording, Stopped } m_state = State::Idle;
    LONG m_startSeconds = 0;
    LONG m_stopSeconds = -1;
    int64_t m_firstSeen = -1;  // position when the start was asked
    int64_t m_startPosition = -1;
    FILE* m_file = nullptr;
    // By PID: the PES packet being received, held until the next one of its stream begins and
    // shows it whole. What is still held when the recording ends is left out.
    std::map<int, std::vector<uint8_t>> m_pending;
};
