#include "tools/skyvane-mkbroadcast/BroadcastTables.h"

#include <stdexcept>

namespace {

// Builds one long-form section: header, body, CRC.
class SectionBuilder {
public:
    SectionBuilder(uint8_t tableId, uint16_t extension, bool privateBit) {
        b_ = {tableId,
              uint8_t(privateBit ? 0xF0 : 0xB0),
              0,
              uint8_t(extension >> 8),
              uint8_t(extension),
              0xC1 /* version 0, current */,
              0,
              0};
    }
    void u8(unsigned v) { b_.push_back(uint8_t(v)); }
    void u16(unsigned v) {
        u8(v >> 8);
        u8(v);
    }
    void u32(uint32_t v) {
        u16(v >> 16);
        u16(v & 0xFFFF);
    }
    void bytes(const std::vector<uint8_t>& v) { b_.insert(b_.end(), v.begin(), v.end()); }
    size_t size() const { return b_.size(); }
    // A 12-bit length field with four reserved bits set, patched once the loop is written.
    size_t lengthMark() {
        size_t at = b_.size();
        u16(0xF000);
        return at;
    }
    void patchLength(size_t at) {
        size_t len = b_.size() - at - 2;
        if (len > 0x3FF) throw std::runtime_error("descriptor loop longer than 1023 bytes");
        b_[at] = uint8_t(0xF0 | (len >> 8));
        b_[at + 1] = uint8_t(len);
    }
    BroadcastTables::Section finish() {
        size_t sectionLength = b_.size() - 3 + 4;
        if (sectionLength > 1021) throw std::runtime_error("section longer than 1024 bytes");
        b_[1] = uint8_t((b_[1] & 0xF0) | (sectionLength >> 8));
        b_[2] = uint8_t(sectionLength);
        uint32_t crc = BroadcastTables::crc32(b_.data(), b_.size());
        u32(crc);
        return b_;
    }

private:
    std::vector<uint8_t> b_;
};

std::vector<uint8_t> descriptor(uint8_t tag, const std::vector<uint8_t>& body) {
    if (body.size() > 255) throw std::runtime_error("descriptor longer than 255 bytes");
    std::vector<uint8_t> d{tag, uint8_t(body.size())};
    d.insert(d.end(), body.begin(), body.end());
    return d;
}

void put32(std::vector<uint8_t>& v, uint32_t x) {
    v.push_back(uint8_t(x >> 24));
    v.push_back(uint8_t(x >> 16));
    v.push_back(uint8_t(x >> 8));
    v.push_back(uint8_t(x));
}

// Centre frequencies go in units of 10 Hz.
uint32_t tenHertz(int kHz) {
    return uint32_t(kHz) * 100u;
}

std::vector<uint8_t> terrestrialDelivery(const AirMultiplex& m) {
    std::vector<uint8_t> b;
    put32(b, tenHertz(m.frequencyKHz + m.offsetKHz));
    static const uint8_t kBandwidthCode[] = {3, 2, 1, 0};  // 5, 6, 7, 8 MHz
    uint8_t bw = kBandwidthCode[m.bandwidthMHz - 5];
    // HP stream, no time slicing, no MPE-FEC
    b.push_back(uint8_t((bw << 5) | 0x1F));
    b.push_back(uint8_t((2 << 6) /* 64-QAM */ | (0 << 3) /* non-hierarchical */ | 2 /* HP rate 3/4 */));
    uint8_t otherFrequency = m.alternateKHz.empty() ? 0 : 1;
    b.push_back(
        uint8_t((0 << 5) /* LP rate */ | (0 << 3) /* guard 1/32 */ | (1 << 1) /* 8k */ | otherFrequency));
    put32(b, 0xFFFFFFFF);
    return descriptor(0x5A, b);
}

std::vector<uint8_t> frequencyList(const AirMultiplex& m) {
    std::vector<uint8_t> b{0xFC | 0x03};  // coding type: terrestrial
    for (int f : m.alternateKHz) put32(b, tenHertz(f + m.offsetKHz));
    return descriptor(0x62, b);
}

std::vector<uint8_t> serviceList(const AirMultiplex& m) {
    std::vector<uint8_t> b;
    for (const AirService& s : m.services) {
        b.push_back(uint8_t(s.serviceId >> 8));
        b.push_back(uint8_t(s.serviceId));
        b.push_back(uint8_t(s.type));
    }
    return descriptor(0x41, b);
}

std::vector<uint8_t> logicalChannels(const AirMultiplex& m) {
    std::vector<uint8_t> b;
    for (const AirService& s : m.services) {
        if (s.lcn < 0) continue;
        b.push_back(uint8_t(s.serviceId >> 8));
        b.push_back(uint8_t(s.serviceId));
        b.push_back(uint8_t(0x80 | 0x7C | (s.lcn >> 8)));  // visible
        b.push_back(uint8_t(s.lcn));
    }
    return b.empty() ? b : descriptor(0x83, b);
}

}  // namespace

uint32_t BroadcastTables::crc32(const uint8_t* data, size_t size) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) {
        crc ^= uint32_t(data[i]) << 24;
        for (int k = 0; k < 8; ++k) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

std::vector<BroadcastTables::Section> BroadcastTables::nit(const AirCatalogue& catalogue,
                                                           const AirMultiplex& m) {
    if (!m.nit || m.system != AirSystem::DVBT) return {};
    SectionBuilder s(0x40, uint16_t(m.networkId), true);
    size_t networkLoop = s.lengthMark();
    if (!m.networkName.empty())
        s.bytes(descriptor(0x40, std::vector<uint8_t>(m.networkName.begin(), m.networkName.end())));
    s.patchLength(networkLoop);
    size_t tsLoop = s.lengthMark();
    for (const AirMultiplex& o : catalogue.multiplexes()) {
        if (o.system != AirSystem::DVBT || !o.nit || o.networkId != m.networkId) continue;
        s.u16(o.transportStreamId);
        s.u16(o.originalNetworkId);
        size_t d = s.lengthMark();
        s.bytes(serviceList(o));
        s.bytes(terrestrialDelivery(o));
        if (!o.alternateKHz.empty()) s.bytes(frequencyList(o));
        s.bytes(logicalChannels(o));
        s.patchLength(d);
    }
    s.patchLength(tsLoop);
    return {s.finish()};
}

std::vector<BroadcastTables::Section> BroadcastTables::sdt(const AirMultiplex& m) {
    if (m.system != AirSystem::DVBT) return {};
    SectionBuilder s(0x42, uint16_t(m.transportStreamId), true);
    s.u16(m.originalNetworkId);
    s.u8(0xFF);
    for (const AirService& v : m.services) {
        s.u16(v.serviceId);
        s.u8(0xFC);  // no EIT
        std::vector<uint8_t> body{uint8_t(v.type), uint8_t(v.provider.size())};
        body.insert(body.end(), v.provider.begin(), v.provider.end());
        body.push_back(uint8_t(v.name.size()));
        body.insert(body.end(), v.name.begin(), v.name.end());
        std::vector<uint8_t> d = descriptor(0x48, body);
        // running (4), not scrambled, loop length
        s.u16(0x8000 | unsigned(d.size()));
        s.bytes(d);
    }
    return {s.finish()};
}

std::vector<BroadcastTables::Section> BroadcastTables::vct(const AirMultiplex& m) {
    if (m.system != AirSystem::ATSC) return {};
    SectionBuilder s(0xC8, uint16_t(m.transportStreamId), true);
    s.u8(0);  // protocol version
    s.u8(unsigned(m.services.size()));
    for (const AirService& v : m.services) {
        // short_name: seven UTF-16 code units, zero padded.
        for (size_t i = 0; i < 7; ++i) s.u16(i < v.name.size() ? static_cast<unsigned char>(v.name[i]) : 0);
        s.u8(0xF0 | (v.major >> 6));
        s.u8(((v.major & 0x3F) << 2) | (v.minor >> 8));
        s.u8(v.minor & 0xFF);
        s.u8(0x04);  // 8-VSB
        s.u32(0);    // carrier frequency (no longer used)
        s.u16(m.transportStreamId);
        s.u16(v.serviceId);
        s.u8(0x0D);          // no ETM, not access controlled, not hidden, reserved, shown in guide
        s.u8(0xC0 | 0x02);   // reserved, ATSC digital television
        s.u16(v.serviceId);  // source id
        s.u16(0xFC00);       // no descriptors
    }
    s.u16(0xFC00);  // no additional descriptors
    return {s.finish()};
}

std::vector<uint8_t> BroadcastTables::packetize(const std::vector<Section>& sections, uint16_t pid,
                                                uint8_t& cc) {
    std::vector<uint8_t> out;
    for (const Section& sec : sections) {
        size_t done = 0;
        bool first = true;
        while (done < sec.size()) {
            uint8_t p[188];
            p[0] = 0x47;
            p[1] = uint8_t((first ? 0x40 : 0) | (pid >> 8));
            p[2] = uint8_t(pid);
            p[3] = uint8_t(0x10 | (cc & 0x0F));
            cc = uint8_t((cc + 1) & 0x0F);
            size_t at = 4;
            if (first) p[at++] = 0;  // pointer field
            size_t n = std::min(sec.size() - done, sizeof(p) - at);
            std::copy(sec.begin() + long(done), sec.begin() + long(done + n), p + at);
            std::fill(p + at + n, p + sizeof(p), 0xFF);
            done += n;
            first = false;
            out.insert(out.end(), p, p + sizeof(p));
        }
    }
    return out;
}
