#include "platform/mpeg2data/TsDemux.h"

#include <cstring>

namespace {
constexpr uint8_t kSync = 0x47;
constexpr uint16_t kNullPid = 0x1FFF;
constexpr size_t kPidCount = 0x2000;
// Plain packets, packets behind a 4-byte time stamp, packets followed by 16 parity bytes.
constexpr size_t kStrides[] = {188, 192, 204};
constexpr size_t kUndecided = ~size_t(0);

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
    m_held.clear();
    m_stride = 0;
    for (auto& st : m_pids) st.reset();
}

size_t TsDemux::syncAt(const uint8_t* data, size_t size, size_t pos, bool atEnd) const {
    bool undecided = false;
    for (size_t stride : kStrides) {
        size_t seen = 0;  // sync bytes in a row at this distance
        bool broken = false;
        for (size_t at = pos; seen < kSyncConfirm && at < size; at += stride) {
            if (data[at] != kSync) {
                broken = true;
                break;
            }
            ++seen;
        }
        if (broken) continue;
        if (seen == kSyncConfirm) return stride;
        if (!atEnd || size - pos < kPacketSize) {
            undecided = true;  // a packet that is not whole yet is kept for more data
        } else {
            // The data ends before enough packets to confirm: every packet there is in step.
            return stride;
        }
    }
    return undecided ? kUndecided : 0;
}

size_t TsDemux::process(const uint8_t* data, size_t size, bool atEnd) {
    size_t pos = 0;
    while (pos < size) {
        if (m_stride == 0) {
            size_t from = pos;
            size_t stride = 0;
            for (; from < size; ++from) {
                const void* next = std::memchr(data + from, kSync, size - from);
                if (!next) {
                    from = size;
                    break;
                }
                from = static_cast<const uint8_t*>(next) - data;
                stride = syncAt(data, size, from, atEnd);
                if (stride != 0) break;
            }
            if (from > pos) {
                ++m_stats.syncLosses;
                m_stats.skippedBytes += from - pos;
                pos = from;
            }
            if (stride == 0 || stride == kUndecided) return pos;
            if (stride == 192) {
                // A 0x47 in the 4-byte prefix repeats at the same distance as the sync byte
                // behind it: the last position of the prefix that holds up is the packet's.
                // That one is confirmed a few bytes later, so it may need more data.
                size_t shift = 0;
                for (size_t k = 4; k > 0 && shift == 0; --k) {
                    const size_t at = pos + k < size ? syncAt(data, size, pos + k, atEnd) : kUndecided;
                    if (at == kUndecided && !atEnd) return pos;
                    if (at == 192) shift = k;
                }
                m_stats.skippedBytes += shift;
                pos += shift;
            }
            m_stride = stride;
        }
        // A packet is read once its whole distance is here (or the data ended), so the next
        // one starts exactly at the next sync byte.
        const size_t stride = m_stride;
        for (;;) {
            const size_t left = size - pos;
            if (left < stride && (!atEnd || left < kPacketSize)) return pos;
            if (data[pos] != kSync) {
                m_stride = 0;
                break;
            }
            packet(data + pos);
            pos += left < stride ? left : stride;
            if (pos == size) return pos;
        }
    }
    return pos;
}

void TsDemux::feed(const uint8_t* data, size_t size) {
    if (!data) return;
    // Bytes held from before are topped up a little at a time until the input can be read in
    // place again, so a held-back tail never makes the whole input be copied.
    const size_t topUp = kSyncConfirm * 204 + 204;
    while (!m_held.empty() && size > 0) {
        const size_t old = m_held.size();
        const size_t n = size < topUp ? size : topUp;
        m_held.insert(m_held.end(), data, data + n);
        const size_t done = process(m_held.data(), m_held.size(), false);
        if (done >= old) {
            // Everything held is done with; what is left of the input is read from the input.
            data += done - old;
            size -= done - old;
            m_held.clear();
            break;
        }
        m_held.erase(m_held.begin(), m_held.begin() + static_cast<std::ptrdiff_t>(done));
        data += n;
        size -= n;
    }
    if (!m_held.empty() || size == 0) return;
    const size_t done = process(data, size, false);
    m_held.assign(data + done, data + size);
}

void TsDemux::flush() {
    if (m_held.empty()) return;
    const size_t done = process(m_held.data(), m_held.size(), true);
    m_held.erase(m_held.begin(), m_held.begin() + static_cast<std::ptrdiff_t>(done));
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
