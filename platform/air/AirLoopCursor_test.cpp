#include "platform/air/AirLoopCursor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/air/AirTestClips.h"
#include "platform/air/TsPacket.h"

// What a receiver checks: per PID the continuity counter steps by one, the PCR and the
// PES timestamps keep rising with the clock, also where the clip starts over.
TEST(AirLoopCursor, LoopIsSeamlessForAReceiver) {
    auto clip = load(kDemo + "dvbt-474000.ts");
    ASSERT_TRUE(clip);
    AirLoopCursor cursor(clip);
    std::map<uint16_t, int> lastCc;
    std::map<uint16_t, int64_t> lastPcr, lastPts;
    std::map<uint16_t, int64_t> lastPcrDue;
    uint8_t p[188];
    int64_t lastDue = -1;
    size_t total = clip->packetCount() * 5 / 2;
    int ptsSeen = 0;
    for (size_t i = 0; i < total; ++i) {
        int64_t due = cursor.next(p);
        ASSERT_GE(due, lastDue);
        lastDue = due;
        uint16_t pid = tspacket::pid(p);
        if (pid == tspacket::kNullPid) continue;
        if (tspacket::hasPayload(p)) {
            int cc = tspacket::continuity(p);
            if (lastCc.count(pid)) {
                ASSERT_EQ((lastCc[pid] + 1) & 15, cc) << "pid " << pid << " packet " << i;
            }
            lastCc[pid] = cc;
        }
        int64_t pcr;
        if (tspacket::readPcr(p, pcr)) {
            if (lastPcr.count(pid)) {
                ASSERT_GT(pcr, lastPcr[pid]) << "pid " << pid << " packet " << i;
                // The PCR advances as the send schedule does (within the interpolation's rounding).
                EXPECT_NEAR(double(pcr - lastPcr[pid]), double(due - lastPcrDue[pid]), 2000.0) << i;
            }
            lastPcr[pid] = pcr;
            lastPcrDue[pid] = due;
        }
        auto pes = tspacket::findPesTimes(p);
        if (pes.ptsAt) {
            int64_t pts = tspacket::readTimestamp(p + pes.ptsAt);
            if (lastPts.count(pid)) {
                ASSERT_GT(pts, lastPts[pid]) << "pid " << pid << " packet " << i;
                EXPECT_LT(pts - lastPts[pid], 90000 / 5) << "pid " << pid << " packet " << i;
            }
            lastPts[pid] = pts;
            ++ptsSeen;
        }
    }
    EXPECT_EQ(2u, cursor.passes());
    EXPECT_GT(ptsSeen, 100);
    EXPECT_NEAR(double(lastDue), 2.5 * double(clip->loopTicks()), double(clip->loopTicks()) / 100);
}

TEST(AirLoopCursor, StartsPartWayIntoTheClip) {
    auto clip = load(kDemo + "atsc-22.ts");
    ASSERT_TRUE(clip);
    int64_t phase = clip->loopTicks() + clip->loopTicks() / 2;  // beyond one pass: taken modulo
    AirLoopCursor cursor(clip, phase);
    uint8_t p[188];
    int64_t first = cursor.next(p);
    EXPECT_GE(first, 0);
    EXPECT_LT(first, 27000000 / 100);
    size_t index = clip->firstPacketAtOrAfter(clip->loopTicks() / 2);
    EXPECT_EQ(tspacket::pid(clip->packet(index)), tspacket::pid(p));
    // The first pass is the rest of the clip; the next starts one clip length after the phase.
    int64_t due = first;
    for (size_t i = index + 1; i <= clip->packetCount(); ++i) due = cursor.next(p);
    EXPECT_EQ(1u, cursor.passes());
    EXPECT_EQ(clip->loopTicks() - clip->loopTicks() / 2, due);
}

// Reception damage in a capture (errored packets, broken counters) goes out as it was
// recorded; the cursor neither trips over it nor "repairs" errored headers.
TEST(AirLoopCursor, DamagedCapturesPlayWithoutHarm) {
    std::string dir = std::string(SKYVANE_CORPUS_DIR) + "/ts/";
    std::string error;
    auto clip = AirClip::load(dir + "dvbt2_cz_cra_mux22_rx_errors.ts", 0, error);
    if (!clip) GTEST_SKIP() << "corpus of real captures not available: " << error;
    AirLoopCursor cursor(clip);
    uint8_t p[188];
    size_t errored = 0;
    for (size_t i = 0; i < clip->packetCount() * 2; ++i) {
        cursor.next(p);
        size_t k = i % clip->packetCount();
        if (tspacket::transportError(clip->packet(k))) {
            ++errored;
            EXPECT_EQ(0, std::memcmp(p, clip->packet(k), 188));
        }
    }
    EXPECT_GT(errored, 100u);
}
