// The MPEG encoder of an analog card. It takes the card's raw picture and sound from a capture
// source (an analog tuner on air: whatever it receives, a channel, an auxiliary input, snow; or a
// real card's capture device) and encodes them, at the source's pace, into a live MPEG-2
// transport stream of one programme: MPEG-2 video, MPEG-1 layer II audio, with PAT, PMT and
// PCR. A source without sound gets a silent audio stream, so every card's programme has the
// same two streams. Readers subscribe exactly as to a tuned multiplex's AirStream and get
// 188-byte packets through their own AirConsumer.
//
// Usage:
//     AirEncoder encoder(tuner);                 // tuner: an analog AirTuner (or any capture source)
//     if (!encoder.start()) log(encoder.lastError());
//     auto reader = encoder.subscribe();         // read() as from AirStream::subscribe()
//     ...
//     encoder.stop();                            // readers get Ended after what they buffered
//
// The tuner can be retuned at any time: the next frame shows the new channel (snow while it
// locks). Powering the tuner down leaves the encoder encoding snow and silence, as a real card
// does; the owner ends the stream with stop(), for instance stop(AirEndReason::SignalLost).
// A reader that does not read loses packets (counted by its AirConsumer); it never holds up
// the encoder or the other readers. Pictures are stamped by their frame number: a machine too
// busy to keep up delivers the stream late, never with frames missing.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/air/AirConsumer.h"
#include "platform/air/AirPacketSource.h"
#include "platform/air/AirStream.h"

class AirTuner;
class AnalogCaptureSource;

struct AirEncoderSettings {
    int width = 720;
    int height = 576;
    int framesPerSecond = 25;  // an MPEG-2 frame rate: 24, 25, 30, 50 or 60
    int videoBitrate = 4000000;
    int audioBitrate = 192000;
    int gopFrames = 12;  // a reader that joins late starts decoding at the next GOP
};

class AirEncoder : public AirPacketSource {
public:
    static constexpr uint16_t kPmtPid = 0x1000;
    static constexpr uint16_t kVideoPid = 0x100;
    static constexpr uint16_t kAudioPid = 0x101;
    static constexpr int kProgramNumber = 1;

    explicit AirEncoder(std::shared_ptr<AirTuner> tuner, AirEncoderSettings settings = {});
    explicit AirEncoder(std::shared_ptr<AnalogCaptureSource> source, AirEncoderSettings settings = {});
    // Stops as stop() does.
    ~AirEncoder() override;
    AirEncoder(const AirEncoder&) = delete;
    AirEncoder& operator=(const AirEncoder&) = delete;

    // Opens the codecs and starts encoding. True when running (also when it already was);
    // false with lastError() when the settings cannot be encoded. After stop() it starts a
    // new stream from a new GOP, with the readers subscribed since.
    bool start();
    // Drains the codecs, ends the stream and waits for the encoding thread. Every reader (also
    // one still waiting for a start) gets what the encoder produced and then Ended with
    // `reason`. Idempotent.
    void stop(AirEndReason reason = AirEndReason::Stopped);
    bool running() const override { return running_.load(); }

    // A new reader of the stream. While the encoder is not running it waits for the next
    // start(); a stream that ends (stop() or an encoding failure) ends all its readers.
    std::shared_ptr<AirConsumer> subscribe(
        size_t capacityPackets = AirStream::kDefaultConsumerPackets) override;

    uint64_t packetsSent() const { return sent_.load(); }
    int64_t framesEncoded() const { return frames_.load(); }
    const AirEncoderSettings& settings() const { return settings_; }
    // The air tuner it encodes, null for other sources.
    const std::shared_ptr<AirTuner>& tuner() const { return tuner_; }
    const std::shared_ptr<AnalogCaptureSource>& source() const { return source_; }
    std::string lastError() const;

private:
    struct Codecs;
    void run(std::unique_ptr<Codecs> codecs);
    void deliver(const uint8_t* data, size_t size);
    static int writePackets(void* opaque, uint8_t* data, int size);
    void fail(const std::string& what);
    void endReaders(AirEndReason reason);

    std::shared_ptr<AirTuner> tuner_;
    std::shared_ptr<AnalogCaptureSource> source_;
    AirEncoderSettings settings_;

    std::mutex control_;  // serialises start() and stop()
    std::atomic<bool> running_{false};
    std::atomic<bool> stopping_{false};
    std::mutex napMutex_;  // with nap_: the encoding thread's wait between frames
    std::condition_variable nap_;
    std::thread thread_;

    mutable std::mutex mutex_;  // guards everything below
    std::vector<std::weak_ptr<AirConsumer>> consumers_;
    std::vector<uint8_t> partial_;  // muxer output short of a whole packet
    std::string error_;

    std::atomic<uint64_t> sent_{0};
    std::atomic<int64_t> frames_{0};
};
