#include "platform/sbe/ProgramSelector.h"

#include <cstring>

#include "base/ByteReader.h"
#include "platform/air/TsPacket.h"
#include "platform/mpeg2data/TsDemux.h"

namespace {
constexpr uint16_t kPatPid = 0;
constexpr uint16_t kVctPid = 0x1FFB;

bool isVideo(int type) {
    return type == 0x01 || type == 0x02 || type == 0x1B || type == 0x24;
}
bool isAudio(int type) {
    return type == 0x03 || type == 0x04 || type == 0x0F || type == 0x11 || type == 0x81 || type == 0x87;
}
}  // namespace

ProgramSelector::ProgramSelector(ProgramChoice choice, Output output)
    : m_choice(choice),
      m_output(std::move(output)),
      m_demux(std::make_unique<TsDemux>(
          [this](uint16_t pid, const uint8_t* data, size_t size) { section(pid, data, size); })) {
    m_demux->addPid(kPatPid);
    if (m_choice.major >= 0) m_demux->addPid(kVctPid);
}

ProgramSelector::~ProgramSelector() = default;

std::string ProgramSelector::waitingFor() const {
    if (ready()) return "";
    if (m_patPrograms.empty()) return "no PAT yet";
    if (m_choice.major >= 0 && m_vctProgram < 0)
        return "no VCT entry for channel " + std::to_string(m_choice.major) + "." +
               std::to_string(m_choice.minor);
    if (m_program < 0) return "programme " + std::to_string(m_choice.programNumber) + " is not in the PAT";
    return "no PMT yet for programme " + std::to_string(m_program);
}

void ProgramSelector::section(uint16_t pid, const uint8_t* data, size_t size) {
    if (size < 3) return;
    if (pid == kPatPid && data[0] == 0x00) {
        onPat(data, size);
    } else if (pid == kVctPid && (data[0] == 0xC8 || data[0] == 0xC9)) {
        onVct(data, size);
    } else if (static_cast<int>(pid) == m_pmtPid && data[0] == 0x02) {
        onPmt(data, size);
    }
}

void ProgramSelector::onPat(const uint8_t* data, size_t size) {
    ByteReader r(data, size);
    r.skip(1);
    ByteReader body = r.sub(r.u16() & 0x0FFF);
    m_transportStreamId = body.u16();
    body.skip(1);
    uint8_t sectionNumber = body.u8();
    body.skip(1);
    if (body.error() || body.remaining() < 4) return;
    ByteReader loop = body.sub(body.remaining() - 4);
    if (sectionNumber == 0) m_patPrograms.clear();
    while (loop.remaining() >= 4) {
        int number = loop.u16();
        int pmtPid = loop.u16() & 0x1FFF;
        if (number != 0) m_patPrograms.emplace_back(number, pmtPid);
    }
    choose();
}

// Terrestrial and cable VCT: 32 fixed bytes per channel, then its descriptors.
void ProgramSelector::onVct(const uint8_t* data, size_t size) {
    ByteReader r(data, size);
    r.skip(1);
    ByteReader body = r.sub(r.u16() & 0x0FFF);
    body.skip(6);  // transport_stream_id, version, section numbers, protocol_version
    int channels = body.u8();
    for (int i = 0; i < channels && !body.error(); ++i) {
        body.skip(14);  // short_name
        uint32_t majorMinor = body.u24();
        body.skip(1 + 4 + 2);  // modulation_mode, carrier_frequency, channel_TSID
        int programNumber = body.u16();
        body.skip(2 + 2);  // flags and service_type, source_id
        ByteReader descriptors = body.sub(body.u16() & 0x03FF);
        (void)descriptors;
        if (body.error()) return;
        int major = static_cast<int>((majorMinor >> 10) & 0x3FF);
        int minor = static_cast<int>(majorMinor & 0x3FF);
        if (major == m_choice.major && minor == m_choice.minor) {
            m_vctProgram = programNumber;
            choose();
            return;
        }
    }
}

void ProgramSelector::choose() {
    int wanted = m_choice.major >= 0 ? m_vctProgram : m_choice.programNumber;
    if (m_choice.major >= 0 && wanted < 0) return;
    for (const auto& [number, pmtPid] : m_patPrograms) {
        if (wanted >= 0 && number != wanted) continue;
        if (number != m_program || pmtPid != m_pmtPid) {
            m_program = number;
            m_pmtPid = pmtPid;
            m_pmt.clear();
            m_demux->addPid(static_cast<uint16_t>(pmtPid));
        }
        return;
    }
}

void ProgramSelector::onPmt(const uint8_t* data, size_t size) {
    ByteReader r(data, size);
    r.skip(1);
    ByteReader body = r.sub(r.u16() & 0x0FFF);
    int number = body.u16();
    body.skip(3);
    int pcrPid = body.u16() & 0x1FFF;
    body.skip(body.u16() & 0x0FFF);
    if (body.error() || number != m_program || body.remaining() < 4) return;
    ByteReader loop = body.sub(body.remaining() - 4);
    std::set<int> pids;
    int videoPid = -1, videoType = 0, audioPid = -1;
    while (loop.remaining() >= 5) {
        int type = loop.u8();
        int pid = loop.u16() & 0x1FFF;
        loop.skip(loop.u16() & 0x0FFF);
        if (loop.error()) break;
        pids.insert(pid);
        if (isVideo(type) && videoPid < 0) {
            videoPid = pid;
            videoType = type;
        } else if (isAudio(type) && audioPid < 0) {
            audioPid = pid;
        }
    }
    m_esPids = std::move(pids);
    m_pcrPid = pcrPid;
    m_videoPid = videoPid;
    m_videoType = videoType;
    if (videoPid >= 0 || audioPid >= 0)
        m_refPid = videoPid >= 0 ? videoPid : audioPid;
    else if (m_esPids.count(m_refPid) == 0)
        m_refPid = -1;  // chosen from the packets (see feed); one chosen before stays while the PMT has it
    m_pmt.assign(data, data + size);
    // Sent again each time it is received, with our own continuity counter.
    std::vector<uint8_t> packets = packetize(static_cast<uint16_t>(m_pmtPid), m_pmt, m_headerPmtCc);
    for (size_t at = 0; at + 188 <= packets.size(); at += 188) m_output({packets.data() + at, false, -1});
}

std::vector<uint8_t> ProgramSelector::packetize(uint16_t pid, const std::vector<uint8_t>& section,
                                                uint8_t& cc) {
    std::vector<uint8_t> out;
    size_t done = 0;
    bool first = true;
    while (done < section.size() || first) {
        uint8_t p[188];
        std::memset(p, 0xFF, sizeof p);
        p[0] = 0x47;
        p[1] = static_cast<uint8_t>((first ? 0x40 : 0) | (pid >> 8));
        p[2] = static_cast<uint8_t>(pid);
        p[3] = static_cast<uint8_t>(0x10 | (cc & 0x0F));
        cc = static_cast<uint8_t>((cc + 1) & 0x0F);
        size_t at = 4;
        if (first) p[at++] = 0;  // pointer_field
        size_t n = std::min(section.size() - done, sizeof p - at);
        std::memcpy(p + at, section.data() + done, n);
        done += n;
        first = false;
        out.insert(out.end(), p, p + sizeof p);
    }
    return out;
}

std::vector<uint8_t> ProgramSelector::patPackets() {
    std::vector<uint8_t> s = {0x00,
                              0xB0,
                              13,
                              static_cast<uint8_t>(m_transportStreamId >> 8),
                              static_cast<uint8_t>(m_transportStreamId),
                              static_cast<uint8_t>(0xC1 | ((m_patVersion & 0x1F) << 1)),
                              0,
                              0,
                              static_cast<uint8_t>(m_program >> 8),
                              static_cast<uint8_t>(m_program),
                              static_cast<uint8_t>(0xE0 | (m_pmtPid >> 8)),
                              static_cast<uint8_t>(m_pmtPid)};
    uint32_t crc = Mpeg2Crc32(s.data(), s.size());
    for (int k = 3; k >= 0; --k) s.push_back(static_cast<uint8_t>(crc >> (8 * k)));
    return packetize(kPatPid, s, m_patCc);
}

std::vector<uint8_t> ProgramSelector::headerPackets() {
    if (!ready()) return {};
    std::vector<uint8_t> out = patPackets();
    std::vector<uint8_t> pmt = packetize(static_cast<uint16_t>(m_pmtPid), m_pmt, m_headerPmtCc);
    out.insert(out.end(), pmt.begin(), pmt.end());
    return out;
}

bool ProgramSelector::startsDecoding(const uint8_t* p) const {
    if (tspacket::pid(p) != m_videoPid) return true;  // audio reference: every frame
    size_t at = tspacket::payloadOffset(p);
    if (at == 0 || 188 - at < 9) return false;
    const uint8_t* pes = p + at;
    if (pes[0] != 0 || pes[1] != 0 || pes[2] != 1) return false;
    size_t es = at + 9 + pes[8];
    for (size_t i = es; i + 3 < 188; ++i) {
        if (p[i] != 0 || p[i + 1] != 0 || p[i + 2] != 1) continue;
        uint8_t code = p[i + 3];
        if (m_videoType == 0x1B) {
            int nal = code & 0x1F;
            if (nal == 7 || nal == 5) return true;
        } else if (code == 0xB3) {
            return true;
        }
    }
    return false;
}

void ProgramSelector::feed(const uint8_t* packets, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* p = packets + i * 188;
        if (p[0] != tspacket::kSync) continue;
        m_demux->feed(p, 188);
        if (!ready()) continue;
        int pid = tspacket::pid(p);
        if (pid == kPatPid) {
            if (!tspacket::payloadStart(p)) continue;
            std::vector<uint8_t> pat = patPackets();
            for (size_t at = 0; at + 188 <= pat.size(); at += 188) m_output({pat.data() + at, false, -1});
            continue;
        }
        if (pid == m_pmtPid) continue;  // re-sent from onPmt
        if (pid != m_pcrPid && m_esPids.count(pid) == 0) continue;
        Packet out{p, false, -1};
        bool unitStart = tspacket::payloadStart(p) && !tspacket::transportError(p);
        if (m_refPid < 0 && unitStart && m_esPids.count(pid) && tspacket::findPesTimes(p).ptsAt)
            m_refPid = pid;
        if (pid == m_refPid && unitStart) {
            tspacket::PesTimes times = tspacket::findPesTimes(p);
            if (times.ptsAt) out.pts = tspacket::readTimestamp(p + times.ptsAt);
            out.randomAccess = out.pts >= 0 && startsDecoding(p);
        }
        m_output(out);
    }
}
