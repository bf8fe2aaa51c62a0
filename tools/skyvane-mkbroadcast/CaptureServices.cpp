#include "tools/skyvane-mkbroadcast/CaptureServices.h"

#include <map>

#include "base/ByteReader.h"
#include "platform/air/TsPacket.h"
#include "tools/skyvane-mkbroadcast/BroadcastTables.h"

namespace {

// Collects whole sections of one PID.
class SectionCollector {
public:
    std::vector<std::vector<uint8_t>> sections;

    void feed(const uint8_t* p) {
        size_t off = tspacket::payloadOffset(p);
        if (!off || tspacket::transportError(p)) return;
        const uint8_t* data = p + off;
        size_t size = tspacket::kSize - off;
        if (tspacket::payloadStart(p)) {
            size_t pointer = data[0];
            if (1 + pointer > size) {
                open_ = false;
                return;
            }
            if (open_) append(data + 1, pointer);
            pending_.assign(data + 1 + pointer, data + size);
            open_ = true;
            drain();
        } else if (open_) {
            append(data, size);
        }
    }

private:
    void append(const uint8_t* d, size_t n) {
        pending_.insert(pending_.end(), d, d + n);
        drain();
    }
    void drain() {
        while (open_ && pending_.size() >= 3) {
            if (pending_[0] == 0xFF) {
                open_ = false;
                break;
            }
            size_t length = 3 + ((size_t(pending_[1] & 0x0F) << 8) | pending_[2]);
            if (pending_.size() < length) return;
            std::vector<uint8_t> s(pending_.begin(), pending_.begin() + long(length));
            if (length >= 8 && BroadcastTables::crc32(s.data(), s.size()) == 0) sections.push_back(s);
            pending_.erase(pending_.begin(), pending_.begin() + long(length));
        }
        if (pending_.empty()) open_ = false;
    }
    std::vector<uint8_t> pending_;
    bool open_ = false;
};

// DVB text: an optional character-table byte, then text; plain bytes are kept as they are
// when printable ASCII and shown as '?' otherwise (the listing only needs to be recognisable).
std::string dvbText(ByteReader r) {
    std::string s;
    if (r.remaining() && r.peek() < 0x20) {
        uint8_t table = r.u8();
        if (table == 0x10)
            r.skip(2);
        else if (table == 0x1F)
            r.skip(1);
    }
    while (!r.atEnd()) {
        uint8_t c = r.u8();
        if (c >= 0x20 && c < 0x7F)
            s += char(c);
        else if (c >= 0xA0)
            s += '?';
    }
    return s;
}

}  // namespace

CaptureTables readCaptureTables(const AirClip& clip) {
    std::map<uint16_t, SectionCollector> pids = {{0x0000, {}}, {0x0011, {}}, {0x1FFB, {}}};
    for (size_t i = 0; i < clip.packetCount(); ++i) {
        auto it = pids.find(tspacket::pid(clip.packet(i)));
        if (it != pids.end()) it->second.feed(clip.packet(i));
    }
    CaptureTables t;
    std::map<int, CaptureService> services;
    for (const auto& s : pids[0x0000].sections) {
        ByteReader r(s.data(), s.size() - 4);
        if (r.u8() != 0x00) continue;
        r.skip(2);
        t.transportStreamId = r.u16();
        r.skip(3);
        while (r.remaining() >= 4) {
            int program = r.u16();
            r.u16();
            if (program != 0) services[program].serviceId = program;
        }
    }
    for (const auto& s : pids[0x0011].sections) {
        ByteReader r(s.data(), s.size() - 4);
        if (r.u8() != 0x42) continue;  // actual transport stream only
        r.skip(5);
        r.skip(2);
        t.originalNetworkId = r.u16();
        r.skip(1);
        while (r.remaining() >= 5 && !r.error()) {
            int id = r.u16();
            r.skip(1);
            ByteReader loop = r.sub(r.u16() & 0x0FFF);
            CaptureService& v = services[id];
            v.serviceId = id;
            while (loop.remaining() >= 2 && !loop.error()) {
                uint8_t tag = loop.u8();
                ByteReader d = loop.sub(loop.u8());
                if (tag != 0x48 || d.error()) continue;
                v.type = d.u8();
                v.provider = dvbText(d.sub(d.u8()));
                v.name = dvbText(d.sub(d.u8()));
            }
        }
    }
    for (const auto& s : pids[0x1FFB].sections) {
        ByteReader r(s.data(), s.size() - 4);
        uint8_t table = r.u8();
        if (table != 0xC8 && table != 0xC9) continue;
        r.skip(2);
        if (t.transportStreamId < 0)
            t.transportStreamId = r.u16();
        else
            r.skip(2);
        r.skip(4);
        int count = r.u8();
        for (int k = 0; k < count && !r.error(); ++k) {
            std::string name;
            for (int c = 0; c < 7; ++c) {
                uint16_t unit = r.u16();
                if (unit >= 0x20 && unit < 0x7F) name += char(unit);
            }
            uint32_t numbers = r.u24();
            r.skip(1 + 4 + 2);
            int program = r.u16();
            r.skip(2 + 2);  // flags and service type, source id
            r.sub(r.u16() & 0x03FF);
            if (r.error()) break;
            CaptureService& v = services[program];
            v.serviceId = program;
            v.name = name;
            v.major = int((numbers >> 10) & 0x3FF);
            v.minor = int(numbers & 0x3FF);
        }
    }
    for (auto& entry : services) t.services.push_back(entry.second);
    return t;
}
