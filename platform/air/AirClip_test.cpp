#include "platform/air/AirClip.h"

#include <gtest/gtest.h>

#include <dirent.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/air/TsPacket.h"

namespace {

// A packet on `pid` with payload, optionally carrying a PCR.
std::vector<uint8_t> packet(uint16_t pid, uint8_t cc, int64_t pcr = -1) {
    std::vector<uint8_t> p(188, 0xFF);
    p[0] = 0x47;
    p[1] = uint8_t(pid >> 8);
    p[2] = uint8_t(pid);
    p[3] = uint8_t(0x10 | (cc & 0x0F));
    if (pcr >= 0) {
        p[3] |= 0x20;
        p[4] = 7;
        p[5] = 0x10;
        tspacket::writePcr(p.data(), pcr);
    }
    return p;
}

// `n` packets at `bitrate` with a PCR on PID 0x100 every `every` packets, starting at `pcr0`.
std::vector<uint8_t> stream(size_t n, int64_t bitrate, size_t every, int64_t pcr0) {
    std::vector<uint8_t> out;
    double perPacket = 27e6 * 188 * 8 / double(bitrate);
    for (size_t i = 0; i < n; ++i) {
        int64_t pcr = i % every == 0 ? (pcr0 + int64_t(perPacket * double(i))) % tspacket::kPcrWrap : -1;
        auto p = packet(i % every == 0 ? 0x100 : 0x200, uint8_t(i), pcr);
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

}  // namespace

TEST(AirClip, PcrPacesThePacketsAndTheLoop) {
    std::string error;
    auto clip = AirClip::fromBytes(stream(1000, 1504000, 10, 27000000), 0, error);
    ASSERT_TRUE(clip) << error;
    EXPECT_EQ(0x100, clip->pcrPid());
    // 1.504 Mbit/s is 1000 packets per second: 27000 ticks apart.
    EXPECT_EQ(0, clip->packetTime(0));
    EXPECT_NEAR(27000.0 * 500, double(clip->packetTime(500)), 2.0);
    EXPECT_NEAR(27000.0 * 999, double(clip->packetTime(999)), 2.0);
    EXPECT_EQ(0, clip->loopTicks() % 300);
    EXPECT_NEAR(27000000.0, double(clip->loopTicks()), 300.0);
    EXPECT_NEAR(1504000.0, clip->bitrate(), 1504.0);
    EXPECT_EQ(501u, clip->firstPacketAtOrAfter(27000 * 500 + 1));
}

TEST(AirClip, TimesKeepGrowingThroughPcrWrapAndDiscontinuity) {
    std::string error;
    // Starts 0.5 s before the 33-bit wrap.
    auto wrap = AirClip::fromBytes(stream(2000, 1504000, 10, tspacket::kPcrWrap - 13500000), 0, error);
    ASSERT_TRUE(wrap) << error;
    for (size_t i = 1; i < wrap->packetCount(); ++i)
        ASSERT_LT(wrap->packetTime(i - 1), wrap->packetTime(i)) << i;
    EXPECT_NEAR(27000.0 * 1999, double(wrap->packetTime(1999)), 30000.0);

    // A splice: the second half's PCR starts over from 0.
    auto bytes = stream(1000, 1504000, 10, 500000000);
    auto tail = stream(1000, 1504000, 10, 0);
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    auto splice = AirClip::fromBytes(bytes, 0, error);
    ASSERT_TRUE(splice) << error;
    for (size_t i = 1; i < splice->packetCount(); ++i)
        ASSERT_LT(splice->packetTime(i - 1), splice->packetTime(i));
    EXPECT_NEAR(27000.0 * 1999, double(splice->packetTime(1999)), 30000.0);
}

TEST(AirClip, WithoutPcrTheFallbackRateApplies) {
    std::vector<uint8_t> bytes;
    for (int i = 0; i < 100; ++i) {
        auto p = packet(0x11, uint8_t(i));
        bytes.insert(bytes.end(), p.begin(), p.end());
    }
    std::string error;
    auto clip = AirClip::fromBytes(bytes, 188 * 8 * 100, error);  // 100 packets a second
    ASSERT_TRUE(clip) << error;
    EXPECT_EQ(-1, clip->pcrPid());
    EXPECT_EQ(270000 * 50, clip->packetTime(50));
    EXPECT_EQ(27000000, clip->loopTicks());
}

TEST(AirClip, FindsPacketsInOtherFramingsAndAmongJunk) {
    auto plain = stream(50, 1504000, 10, 0);
    // 192-byte packets (4-byte timestamp in front), behind 7 bytes of junk.
    std::vector<uint8_t> m2ts(7, 0x00);
    for (size_t i = 0; i < 50; ++i) {
        uint8_t prefix[4] = {1, 2, 3, 4};
        m2ts.insert(m2ts.end(), prefix, prefix + 4);
        m2ts.insert(m2ts.end(), plain.begin() + long(i * 188), plain.begin() + long((i + 1) * 188));
    }
    std::string error;
    auto clip = AirClip::fromBytes(m2ts, 0, error);
    ASSERT_TRUE(clip) << error;
    ASSERT_EQ(50u, clip->packetCount());
    auto trimmed = plain;  // the clip holds whole units only, whatever the framing
    trimToWholeUnits(trimmed);
    EXPECT_EQ(0, std::memcmp(clip->packet(49), trimmed.data() + 49 * 188, 188));

    // A torn packet in the middle: the reader slides to the next sync byte.
    std::vector<uint8_t> torn(plain.begin(), plain.begin() + 188 * 10 + 100);
    torn.insert(torn.end(), plain.begin() + 188 * 11, plain.end());
    clip = AirClip::fromBytes(torn, 0, error);
    ASSERT_TRUE(clip) << error;
    EXPECT_EQ(49u, clip->packetCount());

    EXPECT_FALSE(AirClip::fromBytes(std::vector<uint8_t>(1000, 0x12), 0, error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(AirClip::fromBytes(std::vector<uint8_t>(), 0, error));
    EXPECT_FALSE(AirClip::load("/nonexistent/clip.ts", 0, error));
    EXPECT_NE(std::string::npos, error.find("/nonexistent/clip.ts"));
}

TEST(AirClip, RealCapturesLoadWithGrowingTimes) {
    std::string dir = std::string(SKYVANE_CORPUS_DIR) + "/ts";
    DIR* d = opendir(dir.c_str());
    if (!d) GTEST_SKIP() << "corpus of real captures not found at " << dir;
    int files = 0;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name.size() < 4 || name.substr(name.size() - 3) != ".ts") continue;
        std::string error;
        auto clip = AirClip::load(dir + "/" + name, 0, error);
        ASSERT_TRUE(clip) << error;
        ++files;
        for (size_t i = 1; i < clip->packetCount(); ++i)
            ASSERT_LE(clip->packetTime(i - 1), clip->packetTime(i)) << name << " packet " << i;
        EXPECT_GT(clip->loopTicks(), clip->packetTime(clip->packetCount() - 1)) << name;
        EXPECT_GT(clip->bitrate(), 8000.0) << name;
        EXPECT_LT(clip->bitrate(), 200e6) << name;
    }
    closedir(d);
    EXPECT_GT(files, 10);
}
