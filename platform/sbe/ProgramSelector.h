// Keeps one programme of a multiplex: its PMT, elementary streams and PCR pass through, the
// PAT is replaced by one naming that programme alone, everything else is dropped. It also
// marks where a decoder can start (a video sequence header or H.264 parameter set, or any
// audio frame for a programme without video) and the presentation time found there. A
// programme with neither a video nor an audio stream of a known type is timed by the first of
// its streams whose PES packets carry a presentation time, so it is kept all the same.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

class TsDemux;

// Which programme to keep. With neither a programme number nor a major/minor channel, the
// first programme of the PAT is kept.
struct ProgramChoice {
    int programNumber = -1;  // DVB service id, or an analog encoder's programme
    int major = -1;          // ATSC virtual channel, looked up in the VCT
    int minor = -1;
};

class ProgramSelector {
public:
    struct Packet {
        const uint8_t* data;  // 188 bytes
        bool randomAccess;    // a decoder can start here
        int64_t pts;          // PTS (90 kHz) of the reference stream's PES starting here, or -1
    };
    using Output = std::function<void(const Packet&)>;

    ProgramSelector(ProgramChoice choice, Output output);
    ~ProgramSelector();

    // Takes whole 188-byte packets of the multiplex.
    void feed(const uint8_t* packets, size_t count);

    // PAT and PMT packets of the kept programme, to start a file that stands on its own.
    // Empty until the PMT has been seen.
    std::vector<uint8_t> headerPackets();

    bool ready() const { return m_pmtPid >= 0 && !m_pmt.empty(); }
    int programNumber() const { return m_program; }
    // Why nothing is kept yet, for the log ("" when ready).
    std::string waitingFor() const;

private:
    void section(uint16_t pid, const uint8_t* data, size_t size);
    void onPat(const uint8_t* data, size_t size);
    void onVct(const uint8_t* data, size_t size);
    void onPmt(const uint8_t* data, size_t size);
    void choose();
    std::vector<uint8_t> patPackets();
    static std::vector<uint8_t> packetize(uint16_t pid, const std::vector<uint8_t>& section, uint8_t& cc);
    bool startsDecoding(const uint8_t* p) const;

    ProgramChoice m_choice;
    Output m_output;
    std::unique_ptr<TsDemux> m_demux;
    std::vector<std::pair<int, int>> m_patPrograms;  // programme number, PMT PID
    int m_vctProgram = -1;
    int m_program = -1;
    int m_pmtPid = -1;
    int m_pcrPid = -1;
    int m_videoPid = -1;
    int m_videoType = 0;
    int m_refPid = -1;  // whose PTS times the buffer: the video, else the first audio, else
                        // the first stream whose PES carries a PTS
    int m_transportStreamId = 1;
    std::set<int> m_esPids;
    std::vector<uint8_t> m_pmt;  // the kept programme's PMT section as sent
    uint8_t m_patVersion = 0;
    uint8_t m_patCc = 0;
    uint8_t m_headerPmtCc = 0;
};
