#include "platform/mpeg2data/TsDemux.h"

#include <cstring>

namespace {
constexpr uint8_t kSync = 0x47;
constexpr uint16_t kNullPid = 0x1FFF;
constexpr size_t kPidCount = 0x2000;

struct CrcTable {
    uint32_t t[256];
    CrcTable() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i << 24;
            for (int k = 0; k < 8; ++k) c = (c & 0x80000000u) ? (c << 1) ^ 0x04C11DB7u : c << 1;
            t[i] = c;
        }
    }
};
}  // namespace

uint32_t Mpeg2Crc32(const uint8_t* data, size_t size) {
    static const CrcTable table;
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) crc = (crc << 8) ^ table.t[((crc >> 24) ^ data[i]) & 0xFF];
    return crc;
}

struct TsDemux::PidState {
    std::vector<uint8_t> section;  // bytes of the section in progress
    bool inSection = false;
    int lastCc = -1;
};

TsDemux::TsDemux(SectionHandler handler) : m_handler(std::move(handler)), m_pids(kPidCount) {}

TsDemux::~TsDemux() = default;

void TsDemux::addPid(uint16_t pid) {
    if (m_pidFilter.empty()) m_pidFilter.assign(kPidCount, 0);
    m_pidFilter[pid & 0x1FFF] = 1;
}

bool TsDemux::wanted(uint16_t pid) const {
    return m_pidFilter.empty() || m_pidFilter[pid] != 0;
}

void TsDemux::reset() {
    m_partialSize = 0;
    for (auto& st : m_pids) st.reset();
}

void TsDemux::feed(const uint8_t* data, size_t size) {
    if (!data) return;
    size_t pos = 0;
    if (m_partialSize > 0) {
        size_t need = kPacketSize - m_partialSize;
        size_t n = size < need ? size : need;
        std::memcpy(m_partial.data() + m_partialSize, data, n);
        m_partialSize += n;
        pos = n;
        if (m_partialSize < kPacketSize) return;
        m_partialSize = 0;
        packet(m_partial.data());
    }
    while (pos < size) {
        if (data[pos] != kSync) {
            // Lost sync: look for the next sync byte and start over there.
            ++m_stats.syncLosses;
            const void* next = std::memchr(data + pos, kSync, size - pos);
            if (!next) return;
            pos = static_cast<const uint8_t*>(next) - data;
        }
        if (size - pos < kPacketSize) {
            m_partialSize = size - pos;
            std::memcpy(m_partial.data(), data + pos, m_partialSize);
            return;
        }
        packet(data + pos);
        pos += kPacketSize;
    }
}

void TsDemux::packet(const uint8_t* p) {
    ++m_stats.packets;
    const uint16_t pid = static_cast<uint16_t>(((p[1] & 0x1F) << 8) | p[2]);
    if (pid == kNullPid || !wanted(pid)) return;
    const bool transportError = (p[1] & 0x80) != 0;
    const bool unitStart = (p[1] & 0x40) != 0;
    const int afc = (p[3] >> 4) & 3;
    const int cc = p[3] & 0x0F;

    auto& slot = m_pids[pid];
    if (!slot) slot = std::make_unique<PidState>();
    PidState& st = *slot;

    if (transportError) {
        // Nothing in the packet can be trusted, the PID included; what was being assembled
        // on this PID has lost bytes or will.
        ++m_stats.transportErrors;
        if (st.inSection) ++m_stats.droppedSections;
        st.inSection = false;
        st.section.clear();
        st.lastCc = -1;
        return;
    }
    if (afc == 0) return;  // reserved: no payload, no adaptation field

    size_t offset = 4;
    bool discontinuity = false;
    if (afc & 2) {
        const size_t afLength = p[4];
        if (afLength > kPacketSize - 5) return;  // malformed adaptation field
        if (afLength > 0) discontinuity = (p[5] & 0x80) != 0;
        offset = 5 + afLength;
    }
    if (!(afc & 1)) return;  // adaptation field only: the counter does not advance

    if (st.lastCc >= 0 && !discontinuity) {
        if (cc == st.lastCc) return;  // a repeated packet
        if (cc != ((st.lastCc + 1) & 0x0F)) {
            ++m_stats.continuityErrors;
            if (st.inSection) ++m_stats.droppedSections;
            st.inSection = false;
            st.section.clear();
        }
    }
    st.lastCc = cc;
    payload(st, pid, p + offset, kPacketSize - offset, unitStart);
}

void TsDemux::payload(PidState& st, uint16_t pid, const uint8_t* data, size_t size, bool unitStart) {
    if (!unitStart) {
        if (st.inSection) collect(st, pid, data, size);
        return;
    }
    if (size == 0) return;
    const size_t pointer = data[0];
    ++data;
    --size;
    if (pointer > size) {
        // The pointer leads out of the packet: nothing here can be placed.
        if (st.inSection) ++m_stats.droppedSections;
        st.inSection = false;
        st.section.clear();
        return;
    }
    if (st.inSection) {
        collect(st, pid, data, pointer);
        if (st.inSection) {
            // A new section starts before the old one was complete: the old one is lost.
            ++m_stats.droppedSections;
            st.inSection = false;
            st.section.clear();
        }
    }
    size_t pos = pointer;
    while (pos < size && data[pos] != 0xFF) {
        st.inSection = true;
        st.section.clear();
        pos += collect(st, pid, data + pos, size - pos);
        if (st.inSection) break;  // continues in the next packet
    }
}

size_t TsDemux::collect(PidState& st, uint16_t pid, const uint8_t* data, size_t size) {
    size_t used = 0;
    // The header may itself be split across packets: first gather the three bytes that
    // carry the length, then exactly the rest of the section.
    while (used < size) {
        size_t want;
        if (st.section.size() < 3) {
            want = 3 - st.section.size();
        } else {
            const size_t total = 3 + (((st.section[1] & 0x0F) << 8) | st.section[2]);
            want = total - st.section.size();
        }
        size_t n = size - used < want ? size - used : want;
        st.section.insert(st.section.end(), data + used, data + used + n);
        used += n;
        if (st.section.size() >= 3) {
            const size_t total = 3 + (((st.section[1] & 0x0F) << 8) | st.section[2]);
            if (total > kMaxSectionSize) {
                ++m_stats.droppedSections;
                st.inSection = false;
                st.section.clear();
                return size;  // the rest of this payload belongs to the broken section
            }
            if (st.section.size() == total) {
                emit(st, pid);
                return used;
            }
        }
    }
    return used;
}

void TsDemux::emit(PidState& st, uint16_t pid) {
    st.inSection = false;
    const std::vector<uint8_t>& s = st.section;
    const bool longForm = (s[1] & 0x80) != 0;
    if (longForm) {
        // table id, two header words, version, numbers, CRC
        if (s.size() < 12) {
            ++m_stats.droppedSections;
            st.section.clear();
            return;
        }
        if (m_checkCrc && Mpeg2Crc32(s.data(), s.size()) != 0) {
            ++m_stats.crcErrors;
            st.section.clear();
            return;
        }
    }
    ++m_stats.sections;
    // The handler may feed nothing back into this demultiplexer, but it may keep the bytes:
    // hand over a copy-free view and clear afterwards.
    m_handler(pid, s.data(), s.size());
    st.section.clear();
}
