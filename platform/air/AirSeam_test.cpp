#include "platform/air/AirSeam.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/air/AirClip.h"
#include "platform/air/AirLoopCursor.h"
#include "platform/air/TsPacket.h"

namespace {

uint32_t crc32(const uint8_t* d, size_t n) {
    uint32_t crc = 0xFFFFFFFF;
    for (size_t i = 0; i < n; ++i) {
        crc ^= uint32_t(d[i]) << 24;
        for (int b = 0; b < 8; ++b) crc = crc & 0x80000000 ? (crc << 1) ^ 0x04C11DB7 : crc << 1;
    }
    return crc;
}

// A long-form section of `size` bytes in total with a valid CRC.
std::vector<uint8_t> section(uint8_t tableId, size_t size, uint8_t fill) {
    std::vector<uint8_t> s(size, fill);
    s[0] = tableId;
    s[1] = uint8_t(0xB0 | ((size - 3) >> 8));
    s[2] = uint8_t(size - 3);
    uint32_t crc = crc32(s.data(), size - 4);
    for (int i = 0; i < 4; ++i) s[size - 4 + size_t(i)] = uint8_t(crc >> (24 - 8 * i));
    return s;
}

std::vector<uint8_t> tsPacket(uint16_t pid, bool start, uint8_t cc, const std::vector<uint8_t>& payload,
                              int64_t pcr = -1, bool randomAccess = false) {
    std::vector<uint8_t> p(188, 0xFF);
    p[0] = 0x47;
    p[1] = uint8_t((start ? 0x40 : 0) | (pid >> 8));
    p[2] = uint8_t(pid);
    size_t at = 4;
    if (pcr >= 0 || randomAccess) {
        p[3] = uint8_t(0x30 | cc);
        size_t af = 188 - 5 - payload.size();
        p[4] = uint8_t(af);
        p[5] = uint8_t((pcr >= 0 ? 0x10 : 0) | (randomAccess ? 0x40 : 0));
        if (pcr >= 0) tspacket::writePcr(p.data(), pcr);
        at = 5 + af;
    } else {
        p[3] = uint8_t(0x10 | cc);
    }
    if (!payload.empty())
        std::memcpy(p.data() + at, payload.data(), std::min(payload.size(), size_t(188) - at));
    return p;
}

// Reassembles sections packet by packet as a receiver does, counting whole ones and bad CRCs.
struct SectionCounter {
    std::vector<uint8_t> pending;
    bool open = false;
    int good = 0, bad = 0;
    void finish() {
        while (open && pending.size() >= 3) {
            size_t len = 3 + ((size_t(pending[1] & 0x0F) << 8) | pending[2]);
            if (pending.size() < len) return;
            // Short-form sections (TDT) carry no CRC.
            bool crcOk = !(pending[1] & 0x80) || crc32(pending.data(), len) == 0;
            (crcOk ? good : bad)++;
            pending.erase(pending.begin(), pending.begin() + long(len));
            if (pending.empty() || pending[0] == 0xFF) {
                open = false;
                pending.clear();
            }
        }
    }
    void feed(const uint8_t* p) {
        size_t off = tspacket::payloadOffset(p);
        if (!off || tspacket::transportError(p)) return;
        if (tspacket::payloadStart(p)) {
            size_t ptr = p[off];
            if (off + 1 + ptr > 188) return;
            if (open) {
                pending.insert(pending.end(), p + off + 1, p + off + 1 + ptr);
                finish();
            }
            pending.assign(p + off + 1 + ptr, p + 188);
            open = true;
            finish();
        } else if (open) {
            pending.insert(pending.end(), p + off, p + 188);
            finish();
        }
    }
};

std::vector<uint8_t> join(const std::vector<std::vector<uint8_t>>& packets) {
    std::vector<uint8_t> out;
    for (const auto& p : packets) out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace

TEST(AirSeam, LoopedSectionsStayWholeAcrossTheSeam) {
    // Payload of PID 0x12: the tail of a section begun before the recording, two whole sections
    // (the second spanning packets), then a section cut off by the end of the recording.
    auto a = section(0x4E, 150, 0x11), b = section(0x4E, 300, 0x22), c = section(0x4E, 400, 0x33);
    std::vector<uint8_t> bytes(300, 0x99);
    std::vector<size_t> starts = {bytes.size()};
    bytes.insert(bytes.end(), a.begin(), a.end());
    starts.push_back(bytes.size());
    bytes.insert(bytes.end(), b.begin(), b.end());
    starts.push_back(bytes.size());
    bytes.insert(bytes.end(), c.begin(), c.begin() + 250);
    // Packetized as a multiplexer does: a unit start and pointer where a section begins.
    std::vector<std::vector<uint8_t>> packets;
    size_t at = 0;
    uint8_t cc = 0;
    while (at < bytes.size()) {
        size_t room = 184;
        auto s =
            std::find_if(starts.begin(), starts.end(), [&](size_t x) { return x >= at && x < at + 183; });
        std::vector<uint8_t> payload;
        if (s != starts.end()) {
            payload.push_back(uint8_t(*s - at));
            --room;
        }
        size_t n = std::min(room, bytes.size() - at);
        payload.insert(payload.end(), bytes.begin() + long(at), bytes.begin() + long(at + n));
        packets.push_back(tsPacket(0x12, s != starts.end(), cc++ & 0x0F, payload));
        at += n;
    }
    std::vector<uint8_t> ts = join(packets);
    std::vector<uint8_t> untouched = ts;

    // Untrimmed, a looped receiver glues the cut-off section to the next pass's start.
    SectionCounter glued;
    for (int pass = 0; pass < 3; ++pass)
        for (size_t i = 0; i < untouched.size(); i += 188) glued.feed(untouched.data() + i);
    EXPECT_GT(glued.bad, 0);

    AirSeamTrim trim = trimToWholeUnits(ts);
    // The packet holding only the orphaned tail, and the one holding only the cut-off section.
    EXPECT_EQ(2u, trim.packetsRemoved);
    EXPECT_EQ(1u, trim.pidsTrimmed);
    SectionCounter looped;
    std::string error;
    auto clip = AirClip::fromBytes(untouched, 1000000, error);
    ASSERT_TRUE(clip) << error;
    AirLoopCursor cursor(clip);
    uint8_t p[188];
    for (size_t i = 0; i < 3 * clip->packetCount(); ++i) {
        cursor.next(p);
        if (tspacket::pid(p) == 0x12) looped.feed(p);
    }
    EXPECT_EQ(0, looped.bad);
    EXPECT_EQ(6, looped.good);  // a and b, three times
}

TEST(AirSeam, VideoRunsFromRandomAccessToWholePicturesAndEndsItsSequence) {
    auto pes = [](bool withStart) {
        std::vector<uint8_t> v = {0, 0, 1, 0xE0, 0, 0, 0x80, 0, 0, 0, 0, 1, 0x46, 0x01, 0x50};
        if (!withStart) v.assign(184, 0xAB);
        return v;
    };
    std::vector<std::vector<uint8_t>> packets = {
        tsPacket(0x200, false, 0, pes(false)),             // tail of an earlier picture
        tsPacket(0x200, true, 1, pes(true)),               // a picture that needs earlier ones
        tsPacket(0x200, true, 2, pes(true), 27000, true),  // random access point
        tsPacket(0x200, false, 3, pes(false)),
        tsPacket(0x200, true, 4, pes(true)),
        tsPacket(0x200, false, 5, std::vector<uint8_t>(176, 0xAB), 54000),  // carries the clock
        tsPacket(0x1FFF, false, 0, {}),
        tsPacket(0x200, true, 6, pes(true)),  // cut off by the recording's end
        tsPacket(0x200, false, 7, std::vector<uint8_t>(176, 0xAB), 81000),
    };
    std::vector<uint8_t> ts = join(packets);
    trimToWholeUnits(ts);
    auto at = [&](size_t i) { return ts.data() + i * 188; };
    EXPECT_EQ(tspacket::kNullPid, tspacket::pid(at(0)));
    EXPECT_EQ(tspacket::kNullPid, tspacket::pid(at(1)));
    for (size_t i : {2, 3, 4, 5}) EXPECT_EQ(0x200, tspacket::pid(at(i))) << i;
    // The null packet after the last whole picture now ends the sequence.
    EXPECT_EQ(0x200, tspacket::pid(at(6)));
    EXPECT_TRUE(tspacket::payloadStart(at(6)));
    EXPECT_EQ(6, tspacket::continuity(at(6)));
    EXPECT_EQ(0, std::memcmp(at(6) + 183, "\x00\x00\x01\x48\x01", 5));
    EXPECT_EQ(tspacket::kNullPid, tspacket::pid(at(7)));
    // The clock survives in a packet without payload.
    int64_t pcr = 0;
    EXPECT_EQ(0x200, tspacket::pid(at(8)));
    EXPECT_FALSE(tspacket::hasPayload(at(8)));
    ASSERT_TRUE(tspacket::readPcr(at(8), pcr));
    EXPECT_EQ(81000, pcr);
}

TEST(AirSeam, RealCapturesLoopWithoutBrokenSections) {
    for (const char* name : {"dvbt2_cz_db_mux24.ts", "dvbt2_de_br_626MHz.ts"}) {
        std::string path = std::string(SKYVANE_CORPUS_DIR) + "/ts/" + name;
        struct stat st;
        if (::stat(path.c_str(), &st) != 0) GTEST_SKIP() << "capture not available: " << path;
        std::string error;
        auto clip = AirClip::load(path, 0, error);
        ASSERT_TRUE(clip) << error;
        EXPECT_GT(clip->seamTrim().packetsRemoved, 0u) << name;
        std::map<uint16_t, SectionCounter> tables;
        AirLoopCursor cursor(clip);
        uint8_t p[188];
        for (size_t i = 0; i < clip->packetCount() * 5 / 2; ++i) {
            cursor.next(p);
            uint16_t pid = tspacket::pid(p);
            if (pid <= 0x14) tables[pid].feed(p);
        }
        for (auto& t : tables) {
            EXPECT_EQ(0, t.second.bad) << name << " PID " << t.first;
            EXPECT_GT(t.second.good, 0) << name << " PID " << t.first;
        }
    }
}

TEST(AirSeam, GeneratedClipsLoopWithoutAGapInSoundOrPictures) {
    const std::string demo = std::string(SKYVANE_BINARY_DIR) + "/data/demo/";
    for (const char* name : {"dvbt-474000.ts", "atsc-22.ts", "analog-3.ts"}) {
        std::string error;
        auto clip = AirClip::load(demo + name, 0, error);
        ASSERT_TRUE(clip) << error;
        // Made whole by the generator: nothing to cut.
        EXPECT_EQ(0u, clip->seamTrim().packetsRemoved) << name;
        std::map<uint16_t, std::vector<int64_t>> pts;   // per PID, in sending order
        std::map<uint16_t, std::vector<size_t>> bytes;  // payload bytes of each PES
        std::map<uint16_t, uint8_t> streamId;
        AirLoopCursor cursor(clip);
        uint8_t p[188];
        for (size_t i = 0; i < clip->packetCount() * 5 / 2; ++i) {
            cursor.next(p);
            size_t off = tspacket::payloadOffset(p);
            if (!tspacket::payloadStart(p) || !off || p[off] != 0 || p[off + 1] != 0 || p[off + 2] != 1)
                continue;
            tspacket::PesTimes t = tspacket::findPesTimes(p);
            if (!t.ptsAt) continue;
            uint16_t pid = tspacket::pid(p);
            streamId[pid] = p[off + 3];
            pts[pid].push_back(tspacket::readTimestamp(p + t.ptsAt));
            size_t length = (size_t(p[off + 4]) << 8) | p[off + 5];
            bytes[pid].push_back(length ? length - 3 - p[off + 8] : 0);
        }
        ASSERT_FALSE(pts.empty()) << name;
        for (auto& entry : pts) {
            const auto& v = entry.second;
            bool video = (streamId[entry.first] & 0xF0) == 0xE0;
            bool ac3 = streamId[entry.first] == 0xBD;
            // 90 kHz ticks per audio frame (1536 or 1152 samples at 48 kHz) or per picture.
            double step = video ? (std::string(name).find("atsc") == 0 ? 3003.0 : 3600.0)
                          : ac3 ? 2880.0
                                : 2160.0;
            // Sound frames have a fixed size (AC-3 at 384 kbit/s, MPEG layer II at 192 kbit/s).
            size_t frameBytes = ac3 ? 1536 : 576;
            ASSERT_GT(v.size(), 10u) << name;
            for (size_t k = 1; k < v.size(); ++k) {
                double d = double(v[k] - v[k - 1]);
                if (video) {
                    // 24 pictures at 29.97 fps last 0.8 ms longer than the 25 AC-3 frames they loop with.
                    EXPECT_NEAR(step, d, 300.0) << name << " PID " << entry.first << " picture " << k;
                } else {
                    // Each PES packet holds a few sound frames: the next one starts right after them.
                    const auto& b = bytes[entry.first];
                    ASSERT_EQ(0u, b[k - 1] % frameBytes) << name;
                    EXPECT_EQ(step * double(b[k - 1] / frameBytes), d)
                        << name << " PID " << entry.first << " PES " << k;
                }
            }
        }
    }
}
