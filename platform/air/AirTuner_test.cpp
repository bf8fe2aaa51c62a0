#include "platform/air/AirTuner.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/air/AirBroadcast.h"
#include "platform/air/TsPacket.h"
#include "platform/com/Types.h"

namespace {

using Clock = std::chrono::steady_clock;
const std::string kDemo = std::string(SKYVANE_BINARY_DIR) + "/data/demo/broadcast.xml";
const wchar_t* kDvbt = L"Skyvane Virtual DVB-T Tuner";
const wchar_t* kAtsc = L"Skyvane Virtual ATSC Tuner";
const wchar_t* kAnalog = L"Skyvane Virtual Analog Tuner A";

std::shared_ptr<AirBroadcast> openDemo(double speed) {
    std::string error;
    auto air = AirBroadcast::open(kDemo, error);
    EXPECT_TRUE(air) << error;
    if (air) air->setSpeed(speed);
    return air;
}

// Polls the way a signal test does. The lock comes at a fixed time on the broadcast's clock;
// the bound only keeps a broken tuner from hanging the run.
AirSignal waitForLock(AirTuner& t, int limitMs = 60000) {
    auto end = Clock::now() + std::chrono::milliseconds(limitMs);
    AirSignal s = t.signal();
    while (!s.locked && Clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        s = t.signal();
    }
    return s;
}

struct Received {
    size_t packets = 0;
    bool pat = false;
    double wallSeconds = -1;  // from `since` to the packet that ended the reading
};

// Reads `seconds` of broadcast time (by the PCR, from the first one read) from a reader of
// a tuner's live stream.
Received receive(AirConsumer& reader, int pcrPid, double seconds, Clock::time_point since) {
    Received r;
    std::vector<uint8_t> buf(188 * 256);
    int64_t first = -1;
    for (;;) {
        size_t got = 0;
        if (reader.read(buf.data(), 256, got, 60000) != AirConsumer::Read::Data) return r;
        r.packets += got;
        for (size_t i = 0; i < got; ++i) {
            const uint8_t* p = buf.data() + i * 188;
            if (tspacket::pid(p) == 0) r.pat = true;
            int64_t pcr;
            if (tspacket::pid(p) != pcrPid || !tspacket::readPcr(p, pcr)) continue;
            if (first < 0) first = pcr;
            if (double(pcr - first) >= seconds * 27e6) {
                r.wallSeconds = std::chrono::duration<double>(Clock::now() - since).count();
                return r;
            }
        }
    }
}

Received receive(AirTuner& t, double seconds) {
    auto stream = t.stream();
    if (!stream) return Received();
    auto reader = stream->subscribe(1 << 16);
    return receive(*reader, stream->clip().pcrPid(), seconds, Clock::now());
}

double configuredSpeed() {
    const char* env = std::getenv("PELMO_AIR_SPEED");
    return env && *env ? std::atof(env) : 4.0;
}

}  // namespace

// Every multiplex and channel of the demo broadcast, tuned on a tuner that receives it,
// locks with its strength and quality and carries its live stream at the configured speed:
// nothing before the lock, and no packet ahead of its time at that speed. (How closely the
// stream keeps its time on a busy machine is bench/air's figure, not something to assert.)
TEST(AirTuner, EveryDemoMultiplexAndChannelIsReceivedLive) {
    double speed = configuredSpeed();
    auto air = openDemo(speed);
    ASSERT_TRUE(air);
    auto dvbt = air->tuner(kDvbt);
    auto atsc = air->tuner(kAtsc);
    auto analog = air->tuner(kAnalog);
    ASSERT_TRUE(dvbt && atsc && analog);
    for (const AirMultiplex& m : air->catalogue().multiplexes()) {
        std::shared_ptr<AirTuner> t;
        Clock::time_point tuned = Clock::now();
        if (m.system == AirSystem::DVBT) {
            t = dvbt;
            EXPECT_EQ(S_OK, t->tuneDvbt(m.frequencyKHz + m.offsetKHz, m.bandwidthMHz));
        } else if (m.system == AirSystem::ATSC) {
            t = atsc;
            EXPECT_EQ(S_OK, t->tuneAtsc(m.physicalChannel));
        } else {
            t = analog;
            EXPECT_EQ(S_OK, t->tuneAnalog(m.channel));
        }
        SCOPED_TRACE(std::string(m.file));
        EXPECT_EQ(&m, t->multiplex());
        auto stream = t->stream();
        ASSERT_TRUE(stream);
        EXPECT_EQ(speed, stream->speed());
        auto reader = stream->subscribe(1 << 16);
        AirSignal s = waitForLock(*t);
        EXPECT_TRUE(s.present);
        EXPECT_TRUE(s.locked);
        EXPECT_EQ(m.strength, s.strength);
        EXPECT_EQ(m.quality, s.quality);
        const double seconds = 0.5 * speed;
        Received r = receive(*reader, stream->clip().pcrPid(), seconds, tuned);
        EXPECT_TRUE(r.pat);
        ASSERT_GT(r.wallSeconds, 0);
        // (A millisecond of broadcast time for the schedule's rounding between PCRs.)
        EXPECT_GE(r.wallSeconds, (m.lockMs / 1000.0 + seconds - 0.001) / speed);
    }
}

TEST(AirTuner, LockAndFaultsFollowTheBroadcastClock) {
    // A broadcast whose clock the test moves by hand: no waiting, whatever the machine's load.
    std::string dir = std::string(SKYVANE_BINARY_DIR) + "/data/demo/";
    std::string path = dir + "faults_test.xml";
    std::ofstream(path)
        << "<broadcast speed=\"4\"><devices><device category=\"networktuner\" receives=\"dvbt\" "
           "name=\"T\" path=\"a#b\"/></devices>"
           "<dvbt frequency=\"474000\" bandwidth=\"8\" file=\"dvbt-474000.ts\" lock=\"400\" "
           "dropout=\"2000-3000\" strength=\"0:90,4000:50\" quality=\"75\"><service id=\"1\" "
           "name=\"x\"/></dvbt>"
           "<dvbt frequency=\"538000\" bandwidth=\"7\" file=\"dvbt-538000.ts\" lock=\"never\" "
           "strength=\"33\"><service id=\"2\" name=\"y\"/></dvbt></broadcast>";
    std::string error;
    auto air = AirBroadcast::open(path, error);
    std::remove(path.c_str());
    ASSERT_TRUE(air) << error;
    air->setManualClock(true);
    auto t = air->tuner(L"T");
    ASSERT_EQ(S_OK, t->tuneDvbt(474000, -1));  // bandwidth not given: found at any
    ASSERT_NE(nullptr, t->multiplex());
    auto at = [&](double ms) {
        air->advanceMs(ms - t->msSinceTune());
        return t->signal();
    };
    AirSignal s = at(0);
    EXPECT_TRUE(s.present && !s.locked && s.quality == 0 && s.strength == 90);
    EXPECT_FALSE(at(399).locked);
    s = at(400);
    EXPECT_TRUE(s.locked);
    EXPECT_EQ(75, s.quality);
    EXPECT_EQ(86, s.strength);  // on its way from 90 to 50 over four seconds
    EXPECT_FALSE(at(2000).present);
    EXPECT_FALSE(at(3399).locked);  // back at 3000, locking again
    s = at(3400);
    EXPECT_TRUE(s.present && s.locked);
    EXPECT_EQ(56, s.strength);
    // The speed factor moves the clock faster; a retune starts the time since tuning again.
    ASSERT_EQ(S_OK, t->tuneDvbt(538000, 7));
    s = at(60000);
    EXPECT_TRUE(s.present);
    EXPECT_FALSE(s.locked);
    EXPECT_EQ(33, s.strength);
    ASSERT_EQ(S_OK, t->tuneDvbt(538000, 8));
    EXPECT_FALSE(t->signal().present);
}

TEST(AirTuner, StreamCarriesNothingWhileTheTunerIsNotLocked) {
    auto air = openDemo(20.0);
    ASSERT_TRUE(air);
    std::string error;
    const AirMultiplex* m = air->catalogue().findDvbt(474000, 8);
    auto clip = air->clip(*m, error);
    ASSERT_TRUE(clip) << error;
    // Locked only from 1 s to 2 s after tuning. The stream's own thread asks whether it is
    // receiving; that hook holds the first question until the reader is there and, at the first
    // packet due after the lock, checks that nothing at all has come through before it.
    std::promise<std::shared_ptr<AirConsumer>> readerReady;
    std::shared_future<std::shared_ptr<AirConsumer>> readerOf = readerReady.get_future().share();
    AirStream* self = nullptr;
    std::atomic<bool> lockSeen{false};
    AirConsumer::Read beforeLock = AirConsumer::Read::Data;
    uint64_t sentBeforeLock = ~uint64_t(0);
    AirStream stream(clip, 20.0, 0, 0, [&](double ms) {
        auto reader = readerOf.get();
        if (ms >= 1000 && !lockSeen.load()) {
            size_t n = 0;
            std::vector<uint8_t> probe(188 * 16);
            beforeLock = reader->read(probe.data(), 16, n, 0);
            sentBeforeLock = self->packetsSent();
            lockSeen = true;
        }
        return ms >= 1000 && ms < 2000;
    });
    self = &stream;
    auto reader = stream.subscribe(1 << 16);
    readerReady.set_value(reader);
    // Waits for the stream's own progress (no limit on how long a loaded machine takes but
    // the test's time-out).
    auto reach = [&](double ms) {
        while (stream.reachedMs() < ms) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    reach(2500);
    ASSERT_TRUE(lockSeen.load());
    EXPECT_EQ(AirConsumer::Read::Timeout, beforeLock);
    EXPECT_EQ(0u, sentBeforeLock);
    uint64_t sent = stream.packetsSent();
    // One second of the clip's packets, give or take one packet at each edge.
    double perSecond = double(clip->packetCount()) * 27e6 / double(clip->loopTicks());
    EXPECT_NEAR(perSecond, double(sent), 2.0);
    reach(3000);
    EXPECT_EQ(sent, stream.packetsSent());
    stream.stop(AirEndReason::Stopped);
}

TEST(AirTuner, NothingOnAirGivesNoSignalAndNoStream) {
    auto air = openDemo(8.0);
    ASSERT_TRUE(air);
    auto t = air->tuner(kDvbt);
    ASSERT_TRUE(t);
    EXPECT_EQ(S_OK, t->tuneDvbt(618000, 8));  // the off-raster multiplex's nominal frequency
    AirSignal s = t->signal();
    EXPECT_FALSE(s.present);
    EXPECT_FALSE(s.locked);
    EXPECT_EQ(0, s.strength);
    EXPECT_EQ(nullptr, t->stream());
    EXPECT_EQ(S_OK, t->tuneDvbt(474000, 7));  // wrong bandwidth
    EXPECT_EQ(nullptr, t->multiplex());
    EXPECT_EQ(E_INVALIDARG, t->tuneDvbt(474000, 9));
    EXPECT_EQ(E_INVALIDARG, t->tuneDvbt(-1, 8));
    EXPECT_EQ(E_INVALIDARG, t->tuneAtsc(22));
    EXPECT_EQ(E_INVALIDARG, t->tuneAnalog(3));
    EXPECT_EQ(E_INVALIDARG, air->tuner(kAtsc)->tuneDvbt(474000, 8));
    EXPECT_EQ(E_INVALIDARG, air->tuner(kAnalog)->tuneAnalog(0));
    EXPECT_EQ(nullptr, air->tuner(L"Skyvane Virtual MPEG Encoder A"));  // not a tuner
    EXPECT_EQ(nullptr, air->tuner(L"no such device"));
    // One tuner object per device, by name or by path.
    const AirDevice* d = air->catalogue().findDevice(kDvbt);
    ASSERT_NE(nullptr, d);
    EXPECT_EQ(t, air->tuner(d->devicePath));
}

TEST(AirTuner, RetuneAndSignalLossEndTheOldStream) {
    auto air = openDemo(8.0);
    ASSERT_TRUE(air);
    auto t = air->tuner(kDvbt);
    ASSERT_EQ(S_OK, t->tuneDvbt(474000, 8));
    auto first = t->stream();
    ASSERT_TRUE(first);
    auto reader = first->subscribe();
    ASSERT_EQ(S_OK, t->tuneDvbt(538000, 8));
    uint8_t buf[188 * 64];
    size_t got = 0;
    while (reader->read(buf, 64, got, 5000) == AirConsumer::Read::Data) {
    }
    EXPECT_EQ(AirEndReason::Retuned, reader->endReason());
    EXPECT_FALSE(first->running());
    auto second = t->stream();
    ASSERT_TRUE(second);
    EXPECT_NE(first, second);
    auto reader2 = second->subscribe();
    t->powerDown();
    while (reader2->read(buf, 64, got, 5000) == AirConsumer::Read::Data) {
    }
    EXPECT_EQ(AirEndReason::SignalLost, reader2->endReason());
    EXPECT_FALSE(t->signal().present);
    EXPECT_EQ(nullptr, t->stream());
}

// The set-top box feeds composite input 1; switching it changes what that input carries.
TEST(AirTuner, SetTopBoxFeedsItsInputAndFollowsChannelChanges) {
    auto air = openDemo(8.0);
    ASSERT_TRUE(air);
    auto t = air->tuner(kAnalog);
    ASSERT_EQ(S_OK, t->selectAuxInput(0));
    EXPECT_FALSE(t->signal().present);
    ASSERT_EQ(S_OK, t->selectAuxInput(1));
    EXPECT_EQ(air->catalogue().setTopBox().channel, t->analogChannel());
    auto before = t->stream();
    ASSERT_TRUE(before);
    auto reader = before->subscribe();
    EXPECT_EQ(S_OK, air->setTopBoxTuneToChannel(3));
    EXPECT_EQ(3, air->setTopBoxChannel());
    EXPECT_EQ(3, t->analogChannel());
    uint8_t buf[188 * 64];
    size_t got = 0;
    while (reader->read(buf, 64, got, 5000) == AirConsumer::Read::Data) {
    }
    EXPECT_EQ(AirEndReason::Retuned, reader->endReason());
    ASSERT_TRUE(t->stream());
    EXPECT_TRUE(waitForLock(*t).locked);
    EXPECT_TRUE(receive(*t, 0.2).pat);
    EXPECT_EQ(E_INVALIDARG, air->setTopBoxTuneToChannel(4));
    EXPECT_EQ(3, air->setTopBoxChannel());
    // The box is wired to card A only; a tuner on an ordinary channel is not disturbed by it.
    auto other = air->tuner(L"Skyvane Virtual Analog Tuner B");
    ASSERT_EQ(S_OK, other->selectAuxInput(1));
    EXPECT_FALSE(other->signal().present);
    ASSERT_EQ(S_OK, other->tuneAnalog(5));
    auto stream5 = other->stream();
    EXPECT_EQ(S_OK, air->setTopBoxTuneToChannel(8));
    EXPECT_EQ(stream5, other->stream());
    EXPECT_EQ(5, other->analogChannel());
}

TEST(AirTuner, ProcessWideBroadcastComesFromTheEnvironment) {
    setenv("PELMO_BROADCAST", kDemo.c_str(), 1);
    AirBroadcast::setInstance(nullptr);
    auto air = AirBroadcast::instance();
    ASSERT_TRUE(air) << AirBroadcast::lastError();
    EXPECT_EQ(kDemo, air->catalogue().path());
    EXPECT_EQ(air, AirBroadcast::instance());

    setenv("PELMO_BROADCAST", "/nonexistent/broadcast.xml", 1);
    EXPECT_EQ(air, AirBroadcast::instance());  // opened once
    AirBroadcast::setInstance(nullptr);
    EXPECT_EQ(nullptr, AirBroadcast::instance());
    EXPECT_NE(std::string::npos, AirBroadcast::lastError().find("/nonexistent/broadcast.xml"));
    AirBroadcast::setInstance(nullptr);
    unsetenv("PELMO_BROADCAST");
}
