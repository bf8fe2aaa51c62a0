#include "platform/linuxtv/DvbTransportStream.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <vector>

namespace {

// Packets numbered in their payload so that order and completeness can be checked.
std::vector<uint8_t> packets(int count) {
    std::vector<uint8_t> out(size_t(count) * 188);
    for (int i = 0; i < count; ++i) {
        uint8_t* p = &out[size_t(i) * 188];
        p[0] = 0x47;
        p[1] = 0x01;
        p[2] = 0x00;
        p[3] = 0x10;
        p[4] = uint8_t(i >> 8);
        p[5] = uint8_t(i);
        for (int j = 6; j < 188; ++j) p[j] = uint8_t(i + j);
    }
    return out;
}

// Everything a reader gets until Ended (or `limit` packets, against a stream that never ends).
std::vector<uint8_t> readAll(AirConsumer& c, size_t limit) {
    std::vector<uint8_t> all, buf(64 * 188);
    while (all.size() < limit * 188) {
        size_t got = 0;
        AirConsumer::Read r = c.read(buf.data(), 64, got, -1);
        all.insert(all.end(), buf.begin(), buf.begin() + long(got * 188));
        if (r == AirConsumer::Read::Ended) break;
    }
    return all;
}

class PipeStream : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, pipe2(fds_, O_CLOEXEC));
        std::string error;
        stream_ = DvbTransportStream::adopt(-1, fds_[0], "/dev/dvb/adapter9/dvr0", error);
        ASSERT_TRUE(stream_) << error;
    }
    void TearDown() override {
        closeWriter();
        stream_.reset();  // joins the reader
    }
    void write(const std::vector<uint8_t>& bytes, size_t chunk) {
        for (size_t at = 0; at < bytes.size(); at += chunk)
            ASSERT_EQ(ssize_t(std::min(chunk, bytes.size() - at)),
                      ::write(fds_[1], bytes.data() + at, std::min(chunk, bytes.size() - at)));
    }
    void closeWriter() {
        if (fds_[1] >= 0) ::close(fds_[1]);
        fds_[1] = -1;
    }

    int fds_[2] = {-1, -1};
    std::unique_ptr<DvbTransportStream> stream_;
};

}  // namespace

TEST_F(PipeStream, PacketsCutAnywhereArriveWholeAndInOrderToEveryReader) {
    std::shared_ptr<AirConsumer> a = stream_->subscribe();
    std::shared_ptr<AirConsumer> b = stream_->subscribe();
    std::vector<uint8_t> sent = packets(100);
    write(sent, 17);
    // The device going away ends the stream after everything it gave.
    closeWriter();
    EXPECT_EQ(sent, readAll(*a, 200));
    EXPECT_EQ(sent, readAll(*b, 200));
    EXPECT_EQ(100u, stream_->packetsRead());
    EXPECT_EQ(AirEndReason::SignalLost, a->endReason());
    EXPECT_NE(std::string::npos, stream_->error().find("adapter9/dvr0 is not there any more"))
        << stream_->error();
}

TEST_F(PipeStream, AStopEndsAWaitingReaderAndLaterSubscribersAtOnce) {
    std::shared_ptr<AirConsumer> a = stream_->subscribe();
    write(packets(1), 188);
    // Once the packet is through, the reader thread goes back to waiting on the empty pipe.
    std::vector<uint8_t> first = readAll(*a, 1);
    ASSERT_EQ(188u, first.size());
    stream_->close(AirEndReason::Retuned);
    EXPECT_FALSE(stream_->running());
    EXPECT_TRUE(readAll(*a, 10).empty());
    EXPECT_EQ(AirEndReason::Retuned, a->endReason());
    std::shared_ptr<AirConsumer> late = stream_->subscribe();
    EXPECT_TRUE(readAll(*late, 10).empty());
    EXPECT_EQ(AirEndReason::Retuned, late->endReason());
    EXPECT_TRUE(stream_->error().empty());
}

TEST_F(PipeStream, AReaderThatFallsBehindLosesOnlyItsOwnPackets) {
    std::shared_ptr<AirConsumer> slow = stream_->subscribe(10);
    std::shared_ptr<AirConsumer> fast = stream_->subscribe(1000);
    std::vector<uint8_t> sent = packets(300);
    write(sent, 188 * 7);
    closeWriter();
    EXPECT_EQ(sent, readAll(*fast, 1000));
    std::vector<uint8_t> kept = readAll(*slow, 1000);
    EXPECT_EQ(10u * 188, kept.size());
    EXPECT_EQ(290u, slow->dropped());
}
