// The reader over a buffer written by hand: segments of tagged transport packets, and a window
// that moves on between two reads.
#include "platform/sbe/TimeShiftReader.h"

#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/TempFolder.h"
#include "platform/sbe/BufferManifest.h"

namespace {

constexpr int kPacket = 188;
constexpr int kPacketsPerSegment = 4;
constexpr int kSegmentBytes = kPacket * kPacketsPerSegment;

// A live buffer whose segment n holds packets whose payload bytes are all n.
class HandBuffer {
public:
    explicit HandBuffer(int segments) {
        for (int n = 0; n < segments; ++n) add();
    }
    void add() {
        const uint32_t number = static_cast<uint32_t>(next++);
        std::string bytes;
        for (int p = 0; p < kPacketsPerSegment; ++p) {
            bytes += '\x47';
            bytes.append(kPacket - 1, static_cast<char>(number));
        }
        std::ofstream(BufferManifest::segmentPath(path(), number), std::ios::binary) << bytes;
        manifest.segments.push_back(
            {number, static_cast<int64_t>(number) * kSegmentBytes, static_cast<int64_t>(number) * 10000000});
        save();
    }
    // As the writer drops the oldest segment: the manifest first, then the file.
    void dropOldest() {
        BufferSegment gone = manifest.segments.front();
        manifest.segments.erase(manifest.segments.begin());
        save();
        ::unlink(BufferManifest::segmentPath(path(), gone.number).c_str());
    }
    std::string path() const { return folder / "buffer.asf"; }

private:
    void save() {
        std::string why;
        ASSERT_TRUE(manifest.write(path(), why)) << why;
    }
    TempFolder folder{"sbe_reader_test"};
    BufferManifest manifest;
    int next = 0;
};

// The segment a run of bytes came from (its payload tag); -1 when they are mixed.
int tagOf(const std::vector<uint8_t>& bytes, int n) {
    int tag = -1;
    for (int i = 0; i < n; ++i) {
        if (i % kPacket == 0) continue;
        if (tag == -1) tag = bytes[static_cast<size_t>(i)];
        if (bytes[static_cast<size_t>(i)] != tag) return -1;
    }
    return tag;
}

}  // namespace

// A reader that holds a segment open when the window drops it goes on at the oldest segment
// still listed, not with the rest of the dropped one.
TEST(TimeShiftReader, LeavesASegmentTheWindowDroppedWhileItWasOpen) {
    HandBuffer buffer(3);
    TimeShiftReader reader(buffer.path());
    std::string why;
    ASSERT_TRUE(reader.open(why)) << why;
    std::vector<uint8_t> got(kPacket);
    ASSERT_EQ(kPacket, reader.read(got.data(), kPacket));
    EXPECT_EQ(0, tagOf(got, kPacket));

    buffer.dropOldest();
    got.assign(kSegmentBytes, 0);
    int n = reader.read(got.data(), kSegmentBytes);
    ASSERT_GT(n, 0);
    EXPECT_EQ(1, tagOf(got, n)) << "read the rest of a dropped segment";
    EXPECT_EQ(kSegmentBytes, reader.position() - n);
}

// The drop comes exactly between the reader's check of its segment and the read that follows
// (forced by the check's hook): at most what was read in that instant is from the old segment,
// and the next read has moved on.
TEST(TimeShiftReader, ADropRightAfterTheCheckCostsAtMostOneRead) {
    HandBuffer buffer(3);
    TimeShiftReader reader(buffer.path());
    std::string why;
    ASSERT_TRUE(reader.open(why)) << why;
    std::vector<uint8_t> got(kPacket);
    ASSERT_EQ(kPacket, reader.read(got.data(), kPacket));
    bool dropped = false;
    reader.setSegmentCheckHook([&] {
        if (!dropped) {
            dropped = true;
            buffer.dropOldest();
        }
    });
    ASSERT_EQ(kPacket, reader.read(got.data(), kPacket));
    EXPECT_EQ(0, tagOf(got, kPacket));
    ASSERT_EQ(kPacket, reader.read(got.data(), kPacket));
    EXPECT_EQ(1, tagOf(got, kPacket));
}

// Reading on across segments as they come, and the end of a buffer that is finished: deleted
// files under a reader end its stream instead of being read on.
TEST(TimeShiftReader, ReadsAcrossSegmentsAndEndsWhenTheBufferIsDeleted) {
    HandBuffer buffer(1);
    TimeShiftReader reader(buffer.path());
    std::string why;
    ASSERT_TRUE(reader.open(why)) << why;
    reader.setProbing(false);
    std::vector<uint8_t> got(kSegmentBytes);
    ASSERT_EQ(kSegmentBytes, reader.read(got.data(), kSegmentBytes));
    EXPECT_EQ(0, tagOf(got, kSegmentBytes));
    // At the live edge the reader waits; the writer adds the next segment while it does.
    int waits = 0;
    reader.setWaitHook([&] {
        if (waits++ == 0) buffer.add();
    });
    int n = reader.read(got.data(), 2 * kPacket);
    ASSERT_EQ(2 * kPacket, n);
    EXPECT_EQ(1, tagOf(got, n));
    EXPECT_EQ(1, waits);

    // Halfway through segment 1 the owner removes the whole buffer.
    ::unlink(buffer.path().c_str());
    ::unlink(BufferManifest::segmentPath(buffer.path(), 0).c_str());
    ::unlink(BufferManifest::segmentPath(buffer.path(), 1).c_str());
    EXPECT_EQ(TimeShiftReader::kEnd, reader.read(got.data(), kSegmentBytes));
    EXPECT_EQ("the buffer was deleted", reader.endReason());
}
